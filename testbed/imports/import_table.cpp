#include "testbed/imports/import_table.h"

#include <cstring>

namespace testbed {

namespace {

template <typename T>
T* at(HMODULE module, DWORD offset) {
  return reinterpret_cast<T*>(reinterpret_cast<BYTE*>(module) + offset);
}

}  // namespace

ImportedFunction* import_slot(const char* dll, const char* function) {
  const HMODULE module = GetModuleHandleA(nullptr);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(module);
  const auto* nt = at<const IMAGE_NT_HEADERS>(module, DWORD(dos->e_lfanew));
  const IMAGE_DATA_DIRECTORY& imports =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (imports.VirtualAddress == 0) return nullptr;
  for (auto* descriptor = at<IMAGE_IMPORT_DESCRIPTOR>(module, imports.VirtualAddress);
       descriptor->Name != 0; ++descriptor) {
    if (_stricmp(at<const char>(module, descriptor->Name), dll) != 0) continue;
    // The names stay in the lookup table; the loader wrote the addresses over the other one.
    const auto* names = at<IMAGE_THUNK_DATA>(module, descriptor->OriginalFirstThunk != 0
                                                         ? descriptor->OriginalFirstThunk
                                                         : descriptor->FirstThunk);
    auto* addresses = at<IMAGE_THUNK_DATA>(module, descriptor->FirstThunk);
    for (; names->u1.AddressOfData != 0; ++names, ++addresses) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      const auto* by_name = at<const IMAGE_IMPORT_BY_NAME>(module, DWORD(names->u1.AddressOfData));
      if (std::strcmp(reinterpret_cast<const char*>(by_name->Name), function) == 0)
        return reinterpret_cast<ImportedFunction*>(&addresses->u1.Function);
    }
  }
  return nullptr;
}

bool write_import_slot(ImportedFunction* slot, ImportedFunction value) {
  DWORD protection = 0;
  if (!VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &protection)) return false;
  *slot = value;
  VirtualProtect(slot, sizeof *slot, protection, &protection);
  return true;
}

}  // namespace testbed
