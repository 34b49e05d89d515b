#pragma once
// A report of the Outlook step that hears everything and keeps nothing: a test's own report
// derives from it and overrides only what it reads.

#include "outlook/conversion.h"

namespace test_support {

template <typename Report = outlook::ConversionReport>
class SilentConversionReport : public Report {
 public:
  void item_not_converted(const char*, long) override {}
  void form_reset(const char*, const char*) override {}
  void form_left(const char*) override {}
  void folder_read(const char*, const char*) override {}
  void converted(const outlook::ConversionTally&) override {}
  void outlook_failed(const char*, long) override {}
  void walk_stopped(const char*, long) override {}
  void mapi_unavailable(const char*, long) override {}
  void form_not_writable(const char*) override {}
  void form_removal(const char*, const char*, const char*, const char*, long) override {}
  void form_in_organization() override {}
  void folder_unverified(const char*, long) override {}
  void outlook_open_elsewhere(bool) override {}
  void call_unanswered(const char*, unsigned long) override {}
  void outlook_busy(const char*, unsigned long) override {}
  void calls_turned_away(long, unsigned long) override {}
};

}  // namespace test_support
