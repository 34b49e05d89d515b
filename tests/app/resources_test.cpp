// The program's resources as the platform reads them: the dialog template, the string table,
// and UninstallMV.exe's version, manifest and subsystem.

#include <windows.h>

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "base/unique_any.h"

namespace {

std::string string_resource(HMODULE module, UINT id, int limit) {
  std::vector<char> buffer(static_cast<std::size_t>(limit));
  const int length = LoadStringA(module, id, buffer.data(), limit);
  return std::string(buffer.data(), static_cast<std::size_t>(length));
}

TEST(StringTable, HoldsEveryTextWholeWithinItsLimit) {
  const std::string not_all =
      "Not all of Merivane's components were successfully removed. This could be because you do "
      "not have sufficient rights to remove files, or because some of Merivane's components were "
      "moved after installation.";
  const std::string uninstalled = "Merivane has been successfully uninstalled.";
  const std::string form_step =
      "\n\nYou may now wish to make the standard Outlook task form the default form for your "
      "task folders. Uninstall cannot do this for you. Please consult the document "
      "UninstallMV.doc, which should now be open.";
  const std::string at_restart =
      "Merivane has been removed. Some of its files will be deleted when you restart your "
      "computer.";
  struct Row {
    UINT id;
    std::string text;
    int limit;
  };
  const Row rows[] = {
      {1, "Failed", 50},
      {2, "Are you sure you want to completely remove Merivane from your computer?", 500},
      {3, not_all, 500},
      {5, uninstalled, 500},
      {6, "Removed %s", 80},
      {7, uninstalled + form_step, 500},
      {8,
       not_all +
           "\n\nOptionally, you may now wish to remove the Merivane form from Outlook. Please "
           "consult the document UninstallMV.doc, which should now be open.",
       500},
      {10, at_restart, 500},
      {11, at_restart + form_step, 500},
  };
  const HMODULE module = GetModuleHandleA(nullptr);
  for (const Row& row : rows) {
    EXPECT_EQ(string_resource(module, row.id, row.limit), row.text) << "string " << row.id;
    EXPECT_LT(static_cast<int>(row.text.size()), row.limit) << "string " << row.id;
  }
  EXPECT_EQ(string_resource(module, 8, 500).size(), 347u);
}

// A DLGTEMPLATE and its items, read as the platform lays them out.
class TemplateReader {
 public:
  explicit TemplateReader(const BYTE* at) : at_(at) {}
  WORD word() {
    WORD value;
    std::memcpy(&value, at_, sizeof value);
    at_ += sizeof value;
    return value;
  }
  DWORD dword() {
    DWORD value;
    std::memcpy(&value, at_, sizeof value);
    at_ += sizeof value;
    return value;
  }
  // A text, or "#<ordinal>" for a 0xFFFF ordinal.
  std::string text() {
    if (peek() == 0xFFFF) {
      word();
      std::string ordinal = "#";
      return ordinal += std::to_string(word());
    }
    std::string value;
    for (WORD c; (c = word()) != 0;) value += static_cast<char>(c);
    return value;
  }
  void align() {
    while (reinterpret_cast<ULONG_PTR>(at_) % 4 != 0) ++at_;
  }

 private:
  WORD peek() const {
    WORD value;
    std::memcpy(&value, at_, sizeof value);
    return value;
  }
  const BYTE* at_;
};

TEST(ProgressDialog, TemplateIsAsTabled) {
  const HMODULE module = GetModuleHandleA(nullptr);
  const HRSRC found = FindResourceExA(module, MAKEINTRESOURCEA(5), MAKEINTRESOURCEA(129),
                                      MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_UK));
  ASSERT_NE(found, nullptr) << "no dialog 129 in English (United Kingdom)";
  TemplateReader reader(static_cast<const BYTE*>(LockResource(LoadResource(module, found))));
  EXPECT_EQ(reader.dword(),
            static_cast<DWORD>(WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT));
  EXPECT_EQ(reader.dword(), 0u) << "extended style";
  const WORD count = reader.word();
  ASSERT_EQ(count, 8u);
  EXPECT_EQ(reader.word(), 0u);
  EXPECT_EQ(reader.word(), 0u);
  EXPECT_EQ(reader.word(), 237u);
  EXPECT_EQ(reader.word(), 61u);
  EXPECT_EQ(reader.text(), "") << "menu";
  EXPECT_EQ(reader.text(), "") << "class";
  EXPECT_EQ(reader.text(), "Merivane Uninstall Progress");
  EXPECT_EQ(reader.word(), 9u);
  EXPECT_EQ(reader.text(), "Arial");

  struct Item {
    WORD id;
    const char* text;
    short x, y, cx, cy;
    bool visible, enabled;
  };
  const Item items[] = {
      {1000, "Converting all Merivane tasks to standard tasks...", 7, 7, 173, 8, true, true},
      {1004, "Done", 192, 7, 38, 8, false, true},
      {1001, "Removing program files...", 7, 20, 118, 8, true, false},
      {1005, "Done", 192, 20, 38, 8, false, true},
      {1002, "Removing registry entries...", 7, 33, 128, 8, true, false},
      {1006, "Done", 192, 33, 38, 8, false, true},
      {1003, "Removing Start menu link...", 7, 46, 134, 8, true, false},
      {1007, "Done", 192, 46, 38, 8, false, true},
  };
  for (const Item& item : items) {
    reader.align();
    const DWORD style = reader.dword();
    DWORD expected = WS_CHILD | WS_GROUP | SS_LEFT;
    if (item.visible) expected |= WS_VISIBLE;
    if (!item.enabled) expected |= WS_DISABLED;
    EXPECT_EQ(style, expected) << item.id;
    EXPECT_EQ(reader.dword(), 0u) << item.id << ": extended style";
    EXPECT_EQ(static_cast<short>(reader.word()), item.x) << item.id;
    EXPECT_EQ(static_cast<short>(reader.word()), item.y) << item.id;
    EXPECT_EQ(static_cast<short>(reader.word()), item.cx) << item.id;
    EXPECT_EQ(static_cast<short>(reader.word()), item.cy) << item.id;
    EXPECT_EQ(reader.word(), item.id);
    EXPECT_EQ(reader.text(), "#130") << item.id << ": the predefined Static class";
    EXPECT_EQ(reader.text(), item.text) << item.id;
    EXPECT_EQ(reader.word(), 0u) << item.id << ": creation data";
  }
}

std::string program_path() {
  char name[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, name, sizeof name);
  std::string path(name, length);
  return path.substr(0, path.find_last_of('\\') + 1) + "UninstallMV.exe";
}

BOOL CALLBACK collect_name(HMODULE, LPCSTR, LPSTR name, LONG_PTR names) {
  reinterpret_cast<std::vector<ULONG_PTR>*>(names)->push_back(reinterpret_cast<ULONG_PTR>(name));
  return TRUE;
}

TEST(Program, IsAWindowsProgramWithOneManifestStartedAtItsCallersLevel) {
  const base::unique_hmodule program(
      LoadLibraryExA(program_path().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
  ASSERT_TRUE(program) << program_path();
  std::vector<ULONG_PTR> manifests;
  EnumResourceNamesA(program.get(), MAKEINTRESOURCEA(24), collect_name,
                     reinterpret_cast<LONG_PTR>(&manifests));
  ASSERT_EQ(manifests, std::vector<ULONG_PTR>{1}) << "exactly one manifest, id 1";
  const HRSRC found = FindResourceA(program.get(), MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
  const auto* bytes = static_cast<const char*>(LockResource(LoadResource(program.get(), found)));
  const std::string manifest(bytes, SizeofResource(program.get(), found));
  for (const char* part : {"level=\"asInvoker\"",
                           "name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\"",
                           ">PerMonitorV2, PerMonitor</dpiAwareness>",
                           "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",   // Windows 10 and 11
                           "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}"})  // Windows 7
    EXPECT_NE(manifest.find(part), std::string::npos) << part;

  DWORD ignored = 0;
  std::vector<char> version(GetFileVersionInfoSizeA(program_path().c_str(), &ignored));
  ASSERT_FALSE(version.empty());
  ASSERT_TRUE(GetFileVersionInfoA(program_path().c_str(), 0, static_cast<DWORD>(version.size()),
                                  version.data()));
  char* product = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueA(version.data(), "\\StringFileInfo\\080904B0\\ProductName",
                             reinterpret_cast<void**>(&product), &length));
  EXPECT_STREQ(product, "Merivane");

  const auto* base = reinterpret_cast<const BYTE*>(reinterpret_cast<ULONG_PTR>(program.get()) &
                                                   ~static_cast<ULONG_PTR>(3));
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  EXPECT_EQ(nt->OptionalHeader.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);

  // It imports only the platform's known libraries (Windows 10's KnownDLLs, which load from the
  // system's own copies whatever the search order): any other is bound at run time from the
  // system directory, so that a library planted beside the program never loads into it.
  const std::set<std::string> known = {
      "advapi32.dll", "clbcatq.dll", "combase.dll", "comdlg32.dll", "coml2.dll",  "difxapi.dll",
      "gdi32.dll",    "gdiplus.dll", "imagehlp.dll", "imm32.dll",   "kernel32.dll", "msctf.dll",
      "msvcrt.dll",   "normaliz.dll", "nsi.dll",     "ole32.dll",   "oleaut32.dll", "psapi.dll",
      "rpcrt4.dll",   "sechost.dll", "setupapi.dll", "shcore.dll",  "shell32.dll",  "shlwapi.dll",
      "user32.dll",   "wldap32.dll", "ws2_32.dll"};
  const IMAGE_SECTION_HEADER* const sections = IMAGE_FIRST_SECTION(nt);
  // The file's bytes at an address of the image, as the sections lay them out.
  const auto at = [&](DWORD address) -> const BYTE* {
    for (WORD index = 0; index < nt->FileHeader.NumberOfSections; ++index) {
      const IMAGE_SECTION_HEADER& section = sections[index];
      if (address >= section.VirtualAddress &&
          address < section.VirtualAddress + section.SizeOfRawData)
        return base + section.PointerToRawData + (address - section.VirtualAddress);
    }
    return nullptr;
  };
  std::size_t imported = 0;
  for (auto* entry = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(at(
           nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress));
       entry != nullptr && entry->Name != 0; ++entry, ++imported) {
    std::string name = reinterpret_cast<const char*>(at(entry->Name));
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_EQ(known.count(name), 1u) << name;
  }
  EXPECT_GT(imported, 0u);
}

}  // namespace
