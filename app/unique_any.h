#pragma once
// One owner per platform resource. Each owner is move-only and has the same verbs:
// get(), release(), reset(), put() for out-parameters.

#include <windows.h>

#include <utility>

namespace app {

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

struct HkeyTraits {
  using type = HKEY;
  static type empty() { return nullptr; }
  static void close(type key) { RegCloseKey(key); }
};
struct ModuleTraits {
  using type = HMODULE;
  static type empty() { return nullptr; }
  static void close(type module) { FreeLibrary(module); }
};
struct HandleTraits {
  using type = HANDLE;
  static type empty() { return nullptr; }
  static void close(type handle) { CloseHandle(handle); }
};
struct FileHandleTraits {
  using type = HANDLE;
  static type empty() { return INVALID_HANDLE_VALUE; }
  static void close(type handle) { CloseHandle(handle); }
};

using unique_hkey = unique_any<HkeyTraits>;
using unique_hmodule = unique_any<ModuleTraits>;
using unique_handle = unique_any<HandleTraits>;
using unique_file = unique_any<FileHandleTraits>;

// One counted interface reference, released once.
template <typename Interface>
struct ComTraits {
  using type = Interface*;
  static type empty() { return nullptr; }
  static void close(type object) { object->Release(); }
};
template <typename Interface>
using unique_com = unique_any<ComTraits<Interface>>;

// An entry point of a library loaded at run time, typed as the caller declares it.
template <typename Function>
Function module_entry(HMODULE module, const char* name) {
  // Through a plain function pointer, so that the compiler accepts the change of signature.
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// Loads a library of the system's from the system directory only. The program runs elevated:
// a library of the same name planted beside it, or in the current directory, must never be
// the one that runs.
HMODULE load_system_library(const char* name);

// Makes the system directory the only place that later loads of libraries by bare name
// search, where the platform offers it.
void restrict_library_search();

}  // namespace app
