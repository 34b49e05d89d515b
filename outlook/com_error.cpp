#include "outlook/com_error.h"

namespace outlook {

_com_error::_com_error(HRESULT code, IErrorInfo* error_info) noexcept
    : code_(code), error_info_(error_info) {}

_com_error::_com_error(const _com_error& other) noexcept
    : code_(other.code_), error_info_(other.error_info_) {
  if (error_info_ != nullptr) error_info_->AddRef();
}

_com_error& _com_error::operator=(const _com_error& other) noexcept {
  if (this != &other) {
    if (other.error_info_ != nullptr) other.error_info_->AddRef();
    if (error_info_ != nullptr) error_info_->Release();
    code_ = other.code_;
    error_info_ = other.error_info_;
  }
  return *this;
}

_com_error::~_com_error() {
  if (error_info_ != nullptr) error_info_->Release();
}

void raise_com_error(HRESULT code) { throw _com_error(code); }

void raise_last_error() {
  throw _com_error(static_cast<HRESULT>(0x80070000u | (GetLastError() & 0xFFFFu)));
}

}  // namespace outlook
