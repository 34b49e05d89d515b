#pragma once
// Puts another function in the place of one that the running program imports from a DLL,
// in the program's own import table, for the life of the object: every call the program's
// code makes through that import then reaches the replacement. Calls made from inside other
// DLLs are not affected.

#include <windows.h>

namespace test_support {

// Any function, as the import table holds it.
using AnyFunction = void (*)();

class ImportHook {
 public:
  // dll as the import table names it, case aside ("kernel32.dll"); function by its name.
  ImportHook(const char* dll, const char* function, AnyFunction replacement);
  template <typename Function>
  ImportHook(const char* dll, const char* function, Function* replacement)
      : ImportHook(dll, function, reinterpret_cast<AnyFunction>(replacement)) {}
  ImportHook(const ImportHook&) = delete;
  ImportHook& operator=(const ImportHook&) = delete;
  ~ImportHook();

  // False when the program does not import the function by name from that DLL.
  bool hooked() const { return slot_ != nullptr; }
  // What the import table held before: the function itself.
  template <typename Function>
  Function* original() const {
    return reinterpret_cast<Function*>(original_);
  }

 private:
  AnyFunction* slot_ = nullptr;
  AnyFunction original_ = nullptr;
};

}  // namespace test_support
