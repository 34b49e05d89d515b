#include "outlook/automation_string.h"

#include <new>
#include <utility>

#include "outlook/com_error.h"

namespace outlook {

struct AutomationString::Record {
  BSTR wide;
  char* narrow;
  LONG count;
};

AutomationString::Record* AutomationString::new_record(BSTR wide) {
  auto* record = new (std::nothrow) Record{wide, nullptr, 1};
  if (record == nullptr) {
    SysFreeString(wide);
    raise_com_error(E_OUTOFMEMORY);
  }
  return record;
}

namespace {

BSTR widen(const char* text) {
  if (text == nullptr) return nullptr;
  const int length = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
  if (length == 0) raise_last_error();
  // length counts the terminating zero, which the string's own length leaves out.
  BSTR wide = SysAllocStringLen(nullptr, static_cast<UINT>(length - 1));
  if (wide == nullptr) raise_com_error(E_OUTOFMEMORY);
  if (MultiByteToWideChar(CP_ACP, 0, text, -1, wide, length) == 0) {
    SysFreeString(wide);
    raise_last_error();
  }
  return wide;
}

// The ANSI code page may need more than two bytes a character (UTF-8 needs three for most of
// the BMP), so the conversion is asked for the size it needs.
char* narrow_copy(BSTR wide) {
  const int length = static_cast<int>(SysStringLen(wide));
  int size = 0;
  if (length != 0) {
    size = WideCharToMultiByte(CP_ACP, 0, wide, length, nullptr, 0, nullptr, nullptr);
    if (size == 0) raise_last_error();
  }
  char* narrow = new (std::nothrow) char[static_cast<std::size_t>(size) + 1];
  if (narrow == nullptr) raise_com_error(E_OUTOFMEMORY);
  if (length != 0 &&
      WideCharToMultiByte(CP_ACP, 0, wide, length, narrow, size, nullptr, nullptr) != size) {
    delete[] narrow;
    raise_last_error();
  }
  narrow[size] = '\0';
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
  if (record == nullptr || InterlockedDecrement(&record->count) != 0) return;
  SysFreeString(record->wide);
  delete[] record->narrow;
  delete record;
}

BSTR AutomationString::bstr() const noexcept {
  return record_ != nullptr ? record_->wide : nullptr;
}

const char* AutomationString::narrow() const {
  if (record_ == nullptr || record_->wide == nullptr) return nullptr;
  if (record_->narrow == nullptr) record_->narrow = narrow_copy(record_->wide);
  return record_->narrow;
}

}  // namespace outlook
