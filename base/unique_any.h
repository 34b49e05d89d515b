#pragma once
// One owner per platform resource. Each owner is move-only and has the same verbs:
// get(), release(), reset(), put() for out-parameters.

#include <windows.h>
#include <oleauto.h>

#include <utility>

namespace base {

// Traits name the handle type, its empty value and how to give it back.
template <typename Traits>
class unique_any {
 public:
  using value_type = typename Traits::type;

  unique_any() = default;
  explicit unique_any(value_type value) : value_(value) {}
  unique_any(const unique_any&) = delete;
  unique_any& operator=(const unique_any&) = delete;
  unique_any(unique_any&& other) noexcept : value_(other.release()) {}
  unique_any& operator=(unique_any&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~unique_any() { reset(); }

  value_type get() const { return value_; }
  explicit operator bool() const { return value_ != Traits::empty(); }

  value_type release() { return std::exchange(value_, Traits::empty()); }

  void reset(value_type value = Traits::empty()) {
    const value_type old = std::exchange(value_, value);
    if (old != Traits::empty()) Traits::close(old);
  }

  // Gives back what is held and hands out the slot for a call that fills it.
  value_type* put() {
    reset();
    return &value_;
  }

 private:
  value_type value_ = Traits::empty();
};

// A value that is empty when null, given back by one function.
template <typename Value, auto give_back>
struct NullEmptyTraits {
  using type = Value;
  static type empty() { return nullptr; }
  static void close(type value) { give_back(value); }
};

// A file's handle is empty when INVALID_HANDLE_VALUE, not when null.
struct FileHandleTraits {
  using type = HANDLE;
  static type empty() { return INVALID_HANDLE_VALUE; }
  static void close(type handle) { CloseHandle(handle); }
};

// A directory search's handle, too, is empty when INVALID_HANDLE_VALUE.
struct FindHandleTraits {
  using type = HANDLE;
  static type empty() { return INVALID_HANDLE_VALUE; }
  static void close(type handle) { FindClose(handle); }
};

// One counted interface reference, released once.
template <typename Interface>
struct ComTraits {
  using type = Interface*;
  static type empty() { return nullptr; }
  static void close(type object) { object->Release(); }
};

using unique_hkey = unique_any<NullEmptyTraits<HKEY, RegCloseKey>>;
using unique_hmodule = unique_any<NullEmptyTraits<HMODULE, FreeLibrary>>;
using unique_handle = unique_any<NullEmptyTraits<HANDLE, CloseHandle>>;
using unique_file = unique_any<FileHandleTraits>;
using unique_find = unique_any<FindHandleTraits>;
using unique_bstr = unique_any<NullEmptyTraits<BSTR, SysFreeString>>;
// What the platform allocated for the caller to give back with LocalFree.
using unique_local = unique_any<NullEmptyTraits<HLOCAL, LocalFree>>;
template <typename Interface>
using unique_com = unique_any<ComTraits<Interface>>;

}  // namespace base
