// The Outlook step's report as its thread sees it.

#include "outlook/guarded_report.h"

#include <gtest/gtest.h>

#include "tests/support/silent_report.h"

namespace {

// A step given up forwards nothing more to the run's report, even in the moment before the
// watcher has closed it; the thread left behind may go on reporting what it meets.
TEST(GuardedReport, ForwardsNothingOnceTheStepIsGivenUp) {
  struct Counted final : test_support::SilentConversionReport<> {
    int told = 0;
    void form_left(const char*) override { ++told; }
    void converted(const outlook::ConversionTally&) override { ++told; }
  };
  for (const bool given_up : {false, true}) {
    Counted run;
    outlook::CallWatch watch;
    outlook::GuardedReport report(&run, watch);
    if (given_up) {
      ASSERT_TRUE(watch.give_up(outlook::GiveUp::busy, {}, 120000));
    }
    report.form_left("\\\\Mailbox\\Tasks");
    report.converted({});
    EXPECT_EQ(run.told, given_up ? 0 : 2) << given_up;
    report.close();
    report.form_left("\\\\Mailbox\\Tasks");
    EXPECT_EQ(run.told, given_up ? 0 : 2) << given_up;
  }
}

}  // namespace
