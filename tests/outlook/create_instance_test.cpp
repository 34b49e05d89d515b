// DispatchPtr against the Outlook stand-in, reached through COM by Outlook's CLSID: the order
// of creation and the references the stand-in counts.

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "outlook/dispatch_ptr.h"
#include "outlook/members.h"
#include "testbed/machine/installation.h"
#include "testbed/outlook/client.h"
#include "tests/support/log_lines.h"

namespace {

const std::string directory = "C:\\merivane-tests\\create-instance";
const std::string log_path = directory + "\\standin.log";

// What the stand-in was asked, without its own word on itself: its summary, and which
// process made the Application with which token.
std::vector<std::string> outlook_lines() {
  std::vector<std::string> lines;
  for (const std::string& line : test_support::read_lines(log_path)) {
    if (line.rfind("outlook ", 0) == 0 && line.find("summary") == std::string::npos &&
        line.rfind("outlook made ", 0) != 0)
      lines.push_back(line.substr(8));
  }
  return lines;
}

LONG standin_references() {
  const auto counters = testbed::outlook_standin_counters();
  return counters ? counters->references : -1;
}

class CreateInstance : public ::testing::Test {
 protected:
  void SetUp() override {
    testbed::remove_tree(directory);
    testbed::make_directories(directory);
    testbed::write_file(directory + "\\profile.txt", "folder path=S store=01 entry=02\n");
    SetEnvironmentVariableA("MERIVANE_PROFILE", (directory + "\\profile.txt").c_str());
    SetEnvironmentVariableA("MERIVANE_STANDIN_LOG", log_path.c_str());
    testbed::register_outlook_standin(testbed::outlook_standin_path());
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
  }
  void TearDown() override {
    CoUninitialize();  // the stand-in is unloaded here and writes its summary
    SetEnvironmentVariableA("MERIVANE_PROFILE", nullptr);
    SetEnvironmentVariableA("MERIVANE_STANDIN_LOG", nullptr);
  }
};

TEST_F(CreateInstance, ALocalServerContextCreatesRunsAndThenAsksForDispatch) {
  {
    outlook::DispatchPtr application;
    ASSERT_EQ(application.create_instance(outlook::outlook_application_class, nullptr, 7), S_OK);
    EXPECT_TRUE(application);
    EXPECT_EQ(standin_references(), 1) << "only the owner's reference is left";
  }
  EXPECT_EQ(standin_references(), 0);
  EXPECT_EQ(outlook_lines(), (std::vector<std::string>{
                                 "create IUnknown Application -> 0x00000000",
                                 "query Application IRunnableObject -> 0x00000000",
                                 "run Application",
                                 "query Application IDispatch -> 0x00000000",
                             }));
}

TEST_F(CreateInstance, AnInProcessContextAsksForDispatchStraightAway) {
  outlook::DispatchPtr application;
  ASSERT_EQ(application.create_instance(outlook::outlook_application_class, nullptr,
                                        CLSCTX_INPROC_SERVER),
            S_OK);
  EXPECT_EQ(outlook_lines(),
            (std::vector<std::string>{"create IDispatch Application -> 0x00000000"}));
}

TEST_F(CreateInstance, CopiesAndAssignmentsKeepTheServersCountRight) {
  outlook::DispatchPtr application;
  ASSERT_EQ(application.create_instance(outlook::outlook_application_class, nullptr, 7), S_OK);
  const outlook::DispatchPtr name_space =
      outlook::get_namespace(application, outlook::AutomationString("MAPI"));
  EXPECT_EQ(standin_references(), 2);
  {
    outlook::DispatchPtr copy(name_space);
    EXPECT_EQ(standin_references(), 3);
    copy = copy;
    copy = application;
    EXPECT_EQ(standin_references(), 3);
    copy = copy.get();
    EXPECT_EQ(standin_references(), 3);
    outlook::DispatchPtr queried;
    EXPECT_EQ(queried.assign_query(copy.get()), S_OK);
    EXPECT_EQ(standin_references(), 4);
    EXPECT_EQ(queried.assign_query(nullptr), E_NOINTERFACE);
    EXPECT_FALSE(queried);
    EXPECT_EQ(standin_references(), 3);
  }
  EXPECT_EQ(standin_references(), 2);
  application.reset();
  EXPECT_EQ(standin_references(), 1);
}

TEST_F(CreateInstance, AFailingQueryForDispatchIsReturnedAndLeavesNothingHeld) {
  testbed::write_file(directory + "\\profile.txt",
                      "folder path=S store=01 entry=02\n"
                      "fail object=Application member=QueryInterface hresult=0x80004002\n");
  outlook::DispatchPtr application;
  EXPECT_EQ(application.create_instance(outlook::outlook_application_class, nullptr, 7),
            E_NOINTERFACE);
  EXPECT_FALSE(application);
  EXPECT_EQ(standin_references(), 0) << "the IUnknown reference was not given back";
}

}  // namespace
