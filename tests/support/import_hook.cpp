#include "tests/support/import_hook.h"

#include "testbed/imports/import_table.h"

namespace test_support {

ImportHook::ImportHook(const char* dll, const char* function, AnyFunction replacement)
    : slot_(testbed::import_slot(dll, function)) {
  if (slot_ == nullptr) return;
  original_ = *slot_;
  if (!testbed::write_import_slot(slot_, replacement)) slot_ = nullptr;
}

ImportHook::~ImportHook() {
  if (slot_ != nullptr) testbed::write_import_slot(slot_, original_);
}

}  // namespace test_support
