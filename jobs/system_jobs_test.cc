#include "jobs/system_jobs.h"

#include <string>
#include <vector>

#include "core/config.h"
#include "gtest/gtest.h"
#include "platform/fake_platform.h"

namespace kvs {
namespace {

// Catches the date taken from the wrong day at the year's last second, the
// daily time not replacing the six time digits, and a daily time of the
// wrong length written into the stamp.
TEST(DailyNextRun, TodayWithTheDailyTime) {
  struct Case {
    int year, month, day, hour, minute, second;
    const char* daily_time;
    const char* expected;
  };
  const Case cases[] = {
      {2025, 12, 31, 23, 59, 59, "183000", "20251231183000"},
      {2026, 1, 1, 0, 0, 0, "070000", "20260101070000"},
      {2024, 2, 29, 12, 0, 0, "235959", "20240229235959"},
      {2025, 12, 31, 18, 30, 0, "1830", "20251231000000"},
      {2025, 12, 31, 18, 30, 0, "", "20251231000000"},
  };
  FakePlatform platform;
  for (const Case& c : cases) {
    const int64_t t = FakePlatform::ToEpoch(c.year, c.month, c.day, c.hour, c.minute, c.second);
    EXPECT_EQ(c.expected, DailyNextRun(platform, t, c.daily_time)) << c.daily_time;
  }
}

// Catches a comparison of whole stamps (every pass a new "month"), of days
// instead of months, an empty stamp not before every month, a year change
// missed, and a clock set back taken for a new month.
TEST(NewRearmMonth, OnlyALaterMonth) {
  struct Case {
    const char* loop;
    const char* last;
    bool expected;
  };
  const Case cases[] = {
      {"20260105080000", "", true},
      {"20260131235959", "20260101000000", false},
      {"20260105080001", "20260105080000", false},
      {"20260201000000", "20260131235959", true},
      {"20270101000000", "20261231235959", true},
      {"20260115000000", "20260201000000", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.expected, NewRearmMonth(c.loop, c.last)) << c.loop << " after " << c.last;
  }
}

// Catches blanks kept around names, empty items kept (the clean-up would
// remove the folder's own path), and names that reach outside the
// transfer folder kept.
TEST(SplitFileList, OnlyPlainNamesInTheFolder) {
  using Names = std::vector<std::string>;
  struct Case {
    const char* list;
    Names expected;
  };
  const Case cases[] = {
      {"", {}},
      {";; ;\t;", {}},
      {" xfer.running ;\timport.txt\t", {"xfer.running", "import.txt"}},
      {"a.imp;;b.imp;", {"a.imp", "b.imp"}},
      {"..\\x.imp;sub/y.imp;C:z.imp;ok.imp", {"ok.imp"}},
      {".;..", {}},
      {"two words.imp", {"two words.imp"}},
  };
  for (const Case& c : cases) EXPECT_EQ(c.expected, SplitFileList(c.list)) << c.list;
  EXPECT_EQ(10u, SplitFileList(kDefaultTransferFiles).size());
}

}  // namespace
}  // namespace kvs
