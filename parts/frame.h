#pragma once
// The messages two processes of one removal exchange: a kind, then texts and numbers in an
// order both sides know. Bounded in size, and read back without trusting the other side: a
// message that does not parse is refused, never half used.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace app {

// More than any message of a removal takes: a few paths and counts.
inline constexpr std::size_t frame_limit = 16384;

class Frame {
 public:
  explicit Frame(unsigned char kind) : bytes_(1, static_cast<char>(kind)) {}
  // An absent text (null) is told apart from an empty one.
  Frame& text(const char* value);
  Frame& number(std::int64_t value);
  // False once the message is larger than a frame may be: it must not be sent.
  bool fits() const { return bytes_.size() <= frame_limit; }
  const std::string& bytes() const { return bytes_; }

 private:
  std::string bytes_;
};

class FrameReader {
 public:
  explicit FrameReader(std::string_view bytes) : bytes_(bytes) {}
  // 0 for an empty message, which no sender makes.
  unsigned char kind() const { return bytes_.empty() ? 0 : static_cast<unsigned char>(bytes_[0]); }
  // Each false, and the reader spent, when the field is not there or not of that sort.
  bool text(std::string& value, bool& present);
  bool text(std::string& value);  // an absent text reads as empty
  bool number(std::int64_t& value);
  // True when every field was read and nothing is left.
  bool whole() const { return good_ && at_ == bytes_.size(); }

 private:
  bool take(std::size_t count, const char*& start);

  std::string_view bytes_;
  std::size_t at_ = 1;
  bool good_ = true;
};

}  // namespace app
