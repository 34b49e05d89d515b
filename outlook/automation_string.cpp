#include "outlook/automation_string.h"

#include <memory>
#include <new>
#include <utility>

#include "base/unique_any.h"
#include "outlook/com_error.h"

namespace outlook {

struct AutomationString::Record {
  base::unique_bstr wide;
  std::unique_ptr<char[]> narrow;
  LONG count = 1;
};

AutomationString::Record* AutomationString::new_record(BSTR wide) {
  base::unique_bstr owned(wide);
  auto* record = new (std::nothrow) Record{};
  if (record == nullptr) raise_com_error(E_OUTOFMEMORY);
  record->wide = std::move(owned);
  return record;
}

namespace {

BSTR widen(const char* text) {
  if (text == nullptr) return nullptr;
  const int length = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
  if (length == 0) raise_last_error();
  // length counts the terminating zero, which the string's own length leaves out.
  base::unique_bstr wide(SysAllocStringLen(nullptr, static_cast<UINT>(length - 1)));
  if (!wide) raise_com_error(E_OUTOFMEMORY);
  if (MultiByteToWideChar(CP_ACP, 0, text, -1, wide.get(), length) == 0) raise_last_error();
  return wide.release();
}

// The ANSI code page may need more than two bytes a character (UTF-8 needs three for most of
// the BMP), so the conversion is asked for the size it needs.
std::unique_ptr<char[]> narrow_copy(BSTR wide) {
  const int length = static_cast<int>(SysStringLen(wide));
  int size = 0;
  if (length != 0) {
    size = WideCharToMultiByte(CP_ACP, 0, wide, length, nullptr, 0, nullptr, nullptr);
    if (size == 0) raise_last_error();
  }
  std::unique_ptr<char[]> narrow(new (std::nothrow) char[static_cast<std::size_t>(size) + 1]);
  if (!narrow) raise_com_error(E_OUTOFMEMORY);
  if (length != 0 &&
      WideCharToMultiByte(CP_ACP, 0, wide, length, narrow.get(), size, nullptr, nullptr) != size)
    raise_last_error();
  narrow[static_cast<std::size_t>(size)] = '\0';
  return narrow;
}

}  // namespace

AutomationString::AutomationString(const char* text) : record_(new_record(widen(text))) {}

AutomationString AutomationString::adopt(BSTR text) { return AutomationString(new_record(text)); }

AutomationString::AutomationString(const AutomationString& other) noexcept
    : record_(other.record_) {
  if (record_ != nullptr) InterlockedIncrement(&record_->count);
}

AutomationString& AutomationString::operator=(const AutomationString& other) noexcept {
  AutomationString copy(other);
  std::swap(record_, copy.record_);
  return *this;
}

AutomationString::AutomationString(AutomationString&& other) noexcept
    : record_(std::exchange(other.record_, nullptr)) {}

AutomationString& AutomationString::operator=(AutomationString&& other) noexcept {
  if (this != &other) {
    release();
    record_ = std::exchange(other.record_, nullptr);
  }
  return *this;
}

AutomationString::~AutomationString() { release(); }

void AutomationString::release() noexcept {
  Record* record = std::exchange(record_, nullptr);
  if (record != nullptr && InterlockedDecrement(&record->count) == 0) delete record;
}

BSTR AutomationString::bstr() const noexcept {
  return record_ != nullptr ? record_->wide.get() : nullptr;
}

const char* AutomationString::narrow() const {
  if (record_ == nullptr || !record_->wide) return nullptr;
  if (!record_->narrow) record_->narrow = narrow_copy(record_->wide.get());
  return record_->narrow.get();
}

}  // namespace outlook
