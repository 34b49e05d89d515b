#include "parts/frame.h"

#include <cstring>

namespace app {

namespace {

constexpr char text_tag = 'T';
constexpr char absent_tag = 'A';
constexpr char number_tag = 'N';

void put_bytes(std::string& out, std::uint64_t value, int count) {
  for (int byte = 0; byte < count; ++byte) out += static_cast<char>((value >> (8 * byte)) & 0xFF);
}

std::uint64_t get_bytes(const char* start, int count) {
  std::uint64_t value = 0;
  for (int byte = 0; byte < count; ++byte)
    value |= std::uint64_t(static_cast<unsigned char>(start[byte])) << (8 * byte);
  return value;
}

}  // namespace

Frame& Frame::text(const char* value) {
  if (value == nullptr) {
    bytes_ += absent_tag;
    return *this;
  }
  const std::size_t length = std::strlen(value);
  bytes_ += text_tag;
  put_bytes(bytes_, length, 4);
  bytes_.append(value, length);
  return *this;
}

Frame& Frame::number(std::int64_t value) {
  bytes_ += number_tag;
  put_bytes(bytes_, static_cast<std::uint64_t>(value), 8);
  return *this;
}

bool FrameReader::take(std::size_t count, const char*& start) {
  if (!good_ || bytes_.size() - at_ < count) return good_ = false;
  start = bytes_.data() + at_;
  at_ += count;
  return true;
}

bool FrameReader::text(std::string& value, bool& present) {
  const char* tag = nullptr;
  if (!take(1, tag)) return false;
  present = *tag == text_tag;
  value.clear();
  if (*tag == absent_tag) return true;
  const char* length_bytes = nullptr;
  if (*tag != text_tag || !take(4, length_bytes)) return good_ = false;
  const std::uint64_t length = get_bytes(length_bytes, 4);
  const char* start = nullptr;
  if (!take(length, start)) return false;
  value.assign(start, length);
  // A text with a zero in it would be cut short where it is used.
  if (value.find('\0') != std::string::npos) return good_ = false;
  return true;
}

bool FrameReader::text(std::string& value) {
  bool present = false;
  return text(value, present);
}

bool FrameReader::number(std::int64_t& value) {
  const char* tag = nullptr;
  const char* start = nullptr;
  if (!take(1, tag) || *tag != number_tag || !take(8, start)) return good_ = false;
  value = static_cast<std::int64_t>(get_bytes(start, 8));
  return true;
}

}  // namespace app
