#include "tests/support/log_lines.h"

#include <gtest/gtest.h>

#include "base/unique_any.h"

namespace test_support {

void set_mapix(DWORD type, const std::string& bytes) {
  base::unique_hkey key;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows Messaging Subsystem",
                            0, nullptr, 0, KEY_WRITE, nullptr, key.put(), nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key.get(), "MAPIX", 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                           static_cast<DWORD>(bytes.size())),
            ERROR_SUCCESS);
}

void set_mapix(const char* text) { set_mapix(REG_SZ, std::string(text) + '\0'); }

}  // namespace test_support
