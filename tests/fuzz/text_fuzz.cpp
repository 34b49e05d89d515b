// libFuzzer target over the texts the program builds and decodes: path composition within
// 260-byte buffers, hexadecimal identifiers, the MAPIX detection, the command line and the
// messages between two processes of one removal. Built
// natively with AddressSanitizer and UndefinedBehaviorSanitizer by tools/fuzz.
//
// The first input byte picks what is fuzzed; the rest is the text.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "app/command_line.h"
#include "base/path_text.h"
#include "mapi/identifier_text.h"
#include "parts/frame.h"

namespace {

// The code page in force for one input: none has lead bytes, or Shift-JIS's.
base::LeadBytes single_byte;
base::LeadBytes shift_jis = [] {
  base::LeadBytes table;
  for (unsigned byte = 0x81; byte <= 0xFC; ++byte) table.lead[byte] = byte <= 0x9F || byte >= 0xE0;
  return table;
}();
const base::LeadBytes* code_page = &single_byte;

void require(bool condition) {
  if (!condition) std::abort();
}

int digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 255;
}

void fuzz_hex(const std::string& input) {
  const std::string text = input.c_str();  // up to the first zero, as a C string
  const mapi::IdentifierBytes id = mapi::hex_to_bytes(text.c_str());
  require(id.size == text.size() / 2);
  for (std::size_t i = 0; i < id.size; ++i)
    require(id.bytes[i] == (16 * digit(text[2 * i]) + digit(text[2 * i + 1])) % 256);
}

void fuzz_mapix(const std::string& input, bool is_string) {
  // Exactly as many bytes as the registry would return: a read past them is caught.
  const std::unique_ptr<char[]> exact(new char[input.size()]);
  std::memcpy(exact.get(), input.data(), input.size());
  const bool detected = mapi::mapix_says_installed(exact.get(), input.size(), is_string);
  const std::string text(input.data(), strnlen(input.data(), input.size()));
  require(detected == (is_string && text == "1"));
}

void fuzz_paths(const std::string& input) {
  const std::size_t split = input.find('\0');
  const std::string head = input.substr(0, split);
  const std::string tail = split == std::string::npos ? "" : input.substr(split + 1).c_str();

  char buffer[base::path_capacity];
  std::memset(buffer, 'Z', sizeof buffer);
  const bool joined = base::join_path(buffer, head.c_str(), tail.c_str());
  require(joined == (head.size() + tail.size() < base::path_capacity));
  require(joined ? buffer == head + tail : buffer[0] == '\0');

  if (base::copy_path(buffer, head.c_str())) {
    const std::string before = buffer;
    base::strip_trailing_separator(buffer);
    require(std::strlen(buffer) + 1 >= before.size());
    const auto separator = base::last_separator(buffer);
    if (separator) require(buffer[*separator] == '\\' || buffer[*separator] == '/');
    if (code_page == &single_byte) {
      const std::size_t at = std::string_view(buffer).find_last_of("\\/");
      require(separator == (at == std::string_view::npos ? std::optional<std::size_t>() : at));
    }
    const bool cut = base::cut_at_last_separator(buffer);
    require(cut == separator.has_value());
    if (cut) require(std::strlen(buffer) == *separator);
    if (base::names_directory_below_root(before.c_str())) {
      const bool drive = before.size() >= 3 && before[1] == ':';
      const bool share = before.size() >= 2 && (before[0] == '\\' || before[0] == '/');
      require(drive || share);
    }
    const std::string kept = before;
    std::strcpy(buffer, kept.c_str());
    base::keep_directory(buffer);
    require(kept.compare(0, std::strlen(buffer), buffer) == 0);
  } else {
    require(head.size() >= base::path_capacity && buffer[0] == '\0');
  }

  char small[16];
  std::memset(small, 0, sizeof small);
  std::strncpy(small, head.c_str(), sizeof small - 1);
  const std::string start = small;
  const bool appended = base::append_path(small, tail.c_str());
  require(appended == (start.size() + tail.size() < sizeof small));
  require(small == (appended ? start + tail : start));
}

void fuzz_command_line(const std::string& input) {
  const std::string text = input.c_str();
  const char* arguments = app::argument_string(text.c_str());
  // What is left is the end of the command line, and never starts with a blank.
  require(arguments >= text.c_str() && arguments <= text.c_str() + text.size());
  require(*arguments == '\0' || static_cast<unsigned char>(*arguments) > ' ');
  const app::Command command = app::command_for(arguments);
  require((command == app::Command::launch_setup) == (*arguments == '\0'));
  require((command == app::Command::uninstall) == (*arguments == '%'));
  require((command == app::Command::switches) == (*arguments == '/'));
}

void fuzz_switches(const std::string& input) {
  const std::string text = "/" + std::string(input.c_str());
  app::Switches switches;
  if (!app::parse_switches(text.c_str(), switches)) return;
  require(std::strlen(switches.log_file) < sizeof switches.log_file);
  if (switches.install_dir != nullptr) {
    // The directory is the rest of the text behind a "%", unchanged.
    require(switches.install_dir > text.c_str() &&
            switches.install_dir <= text.c_str() + text.size());
    require(switches.install_dir[-1] == '%');
  }
}

// A message from another process: read field by field, as each sort is asked for by the
// input's own bytes, it never reads past its end, and what it reads builds the same message.
void fuzz_frame(const std::string& input) {
  app::FrameReader reader(input);
  app::Frame rebuilt(reader.kind());
  for (std::size_t field = 0; field < 16; ++field) {
    std::string text;
    bool present = false;
    std::int64_t number = 0;
    const bool as_text = field < input.size() && (input[field] & 1) != 0;
    if (as_text ? !reader.text(text, present) : !reader.number(number)) return;
    if (as_text)
      rebuilt.text(present ? text.c_str() : nullptr);
    else
      rebuilt.number(number);
    if (reader.whole()) {
      require(rebuilt.bytes() == input);
      return;
    }
  }
}

}  // namespace

const base::LeadBytes& base::ansi_lead_bytes() { return *code_page; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
  code_page = (data[0] & 0x80) != 0 ? &shift_jis : &single_byte;
  switch (data[0] % 7) {
    case 0:
      fuzz_hex(input);
      break;
    case 1:
      fuzz_mapix(input, true);
      break;
    case 2:
      fuzz_mapix(input, false);
      break;
    case 3:
      fuzz_paths(input);
      break;
    case 5:
      fuzz_switches(input);
      break;
    case 6:
      fuzz_frame(input);
      break;
    default:
      fuzz_command_line(input);
      break;
  }
  return 0;
}
