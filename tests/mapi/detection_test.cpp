// Detection of Extended MAPI from the real registry of the test prefix. A MAPI32.DLL that is
// never loaded proves that nothing past the detection ran.

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "base/registry.h"
#include "base/unique_any.h"
#include "mapi/session.h"
#include "testbed/machine/installation.h"
#include "tests/support/log_lines.h"

namespace {

using test_support::set_mapix;

constexpr char subsystem_key[] = "SOFTWARE\\Microsoft\\Windows Messaging Subsystem";

class Detection : public ::testing::Test {
 protected:
  void SetUp() override {
    RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, subsystem_key, "MAPIX");
    testbed::place_system_library(testbed::program_directory() + "mapi32.dll", "mapi32.dll");
  }
  void TearDown() override { RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, subsystem_key, "MAPIX"); }
};

TEST_F(Detection, AnythingButTheStringOneLeavesMapiUnloaded) {
  struct Case {
    const char* what;
    DWORD type;
    std::string bytes;
  };
  const Case cases[] = {
      {"0", REG_SZ, std::string("0\0", 2)},
      {"empty", REG_SZ, std::string("\0", 1)},
      {"01", REG_SZ, std::string("01\0", 3)},
      {"1 and a blank", REG_SZ, std::string("1 \0", 3)},
      {"a word", REG_SZ, std::string("yes\0", 4)},
      {"REG_DWORD 1", REG_DWORD, std::string("\1\0\0\0", 4)},
      {"REG_BINARY '1'", REG_BINARY, "1"},
      {"99 characters", REG_SZ, std::string(99, '1') + '\0'},
      {"100 characters", REG_SZ, std::string(100, '1') + '\0'},
      {"1 and 99 more bytes without a zero", REG_SZ, "1" + std::string(99, 'x')},
  };
  for (const Case& c : cases) {
    set_mapix(c.type, c.bytes);
    const mapi::MapiSession session;
    EXPECT_EQ(session.state(), mapi::MapiSession::not_initialised) << c.what;
    EXPECT_EQ(GetModuleHandleA("MAPI32.DLL"), nullptr) << c.what << ": MAPI32.DLL was loaded";
  }
  RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, subsystem_key, "MAPIX");
  const mapi::MapiSession without_value;
  EXPECT_EQ(GetModuleHandleA("MAPI32.DLL"), nullptr);
}

TEST_F(Detection, ReadRegistryStringFallsBackToTheDefault) {
  char buffer[100];
  std::memset(buffer, 'x', sizeof buffer);
  DWORD type = 0xdeadbeef, size = 0xdeadbeef;
  base::read_registry_string(subsystem_key, "MAPIX", "0", HKEY_LOCAL_MACHINE, buffer, sizeof buffer,
                             &type, &size);
  EXPECT_STREQ(buffer, "0");
  EXPECT_EQ(type, static_cast<DWORD>(REG_NONE));
  EXPECT_EQ(size, 0u);

  set_mapix(REG_SZ, std::string(100, 'a') + '\0');  // one byte too many
  std::memset(buffer, 'x', sizeof buffer);
  base::read_registry_string(subsystem_key, "MAPIX", "0", HKEY_LOCAL_MACHINE, buffer, sizeof buffer,
                             &type, &size);
  EXPECT_STREQ(buffer, "0");

  set_mapix(REG_SZ, std::string(99, 'a') + '\0');
  base::read_registry_string(subsystem_key, "MAPIX", "0", HKEY_LOCAL_MACHINE, buffer, sizeof buffer,
                             &type, &size);
  EXPECT_EQ(std::string(buffer), std::string(99, 'a'));
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(size, 100u);

  base::read_registry_string("SOFTWARE\\No such key here", "MAPIX", "dflt", HKEY_LOCAL_MACHINE,
                             buffer, sizeof buffer);
  EXPECT_STREQ(buffer, "dflt");
}

TEST_F(Detection, ASessionThatNeverInitialisedRefusesLogon) {
  mapi::MapiSession session;
  ASSERT_FALSE(session.is_ready());
  try {
    session.logon(0, MAPI_NO_MAIL, nullptr, nullptr);
    ADD_FAILURE() << "nothing raised";
  } catch (mapi::ERROR_CODE code) {
    EXPECT_EQ(code, mapi::SESSION_NOT_READY);
  }
}

TEST_F(Detection, WithoutMapiTheSingletonLatchesItsFailure) {
  // This process's singleton: the first answer holds for the rest of it.
  EXPECT_FALSE(mapi::mapi_session_exists());
  EXPECT_EQ(mapi::get_mapi_session(), nullptr);
  EXPECT_FALSE(mapi::mapi_session_exists());
  set_mapix(REG_SZ, std::string("1\0", 2));
  EXPECT_EQ(mapi::get_mapi_session(), nullptr) << "no second attempt";
  EXPECT_EQ(GetModuleHandleA("MAPI32.DLL"), nullptr);
  mapi::release_mapi_session();
  mapi::release_mapi_session();
  EXPECT_FALSE(mapi::mapi_session_exists());
}

}  // namespace
