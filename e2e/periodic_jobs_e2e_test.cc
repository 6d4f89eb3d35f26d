// End-to-end test of periodic jobs: the real KVSJOBSTR runs a time-plan
// job through its window and reschedules the daily and interval system
// jobs, all on the real clock.
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "e2e/e2e_fixture.h"
#include "diag/text.h"
#include "gtest/gtest.h"
#include "jobs/periodic_jobs.h"
#include "platform/platform.h"

namespace kvs {
namespace {

class PeriodicEndToEnd : public ControllerProcessTest {
 protected:
  void SetUp() override {
    ControllerProcessTest::SetUp();
    if (HasFatalFailure()) return;
    Sql("DELETE FROM KVSYSTEM.KVS139TPL");
  }

  // "JOBSTS|JOBNRT" of a job by its key.
  std::string Row(const std::string& ke2) {
    return JobColumn(ke2, "CONCAT(COALESCE(JOBSTS, '<NULL>'), '|', COALESCE(JOBNRT, '<NULL>'))");
  }

  CivilTime LocalNow() { return platform_real_->ToLocal(platform_real_->Now()); }
};

// One distinct value of a polled row and when it was first seen.
struct Seen {
  int64_t at;       // first poll that saw it
  int64_t before;   // the poll before that
  std::string row;  // JOBSTS|JOBNRT
  std::string sda;
};

// A time-plan window [m, m+3) every minute, m the minute of the start: the
// job runs at m in the controller's first pass, ends, is planned for m+2
// by the update in minute m+1 (m+1 has passed by then), runs again and
// rests in "97" once no slot is left. Meanwhile the system jobs, whose
// programs cannot start here, fail ("90") and are planned anew by the
// second update: the interval job after INTERVALLJOBZYKLUS minutes, the
// daily job tomorrow at DAILYJOBUHRZT. Catches a plan read on the wrong
// weekday or minute, a pass that reschedules too early or never, a
// "97" job started, and the settings not reaching the rules.
TEST_F(PeriodicEndToEnd, TimePlanJobRunsThroughItsWindowAndSystemJobsAreReplanned) {
  // The update at m+2 must come after the second run (3 seconds) ended, so
  // the controller starts between seconds 8 and 45 of a minute.
  CivilTime now = LocalNow();
  if (now.second < 8 || now.second > 45) {
    std::this_thread::sleep_for(std::chrono::seconds((68 - now.second) % 60));
    now = LocalNow();
  }
  const int m = now.hour * 60 + now.minute;
  if (m < 2 || m > 1436) {
    GTEST_SKIP() << "the window and the daily time must lie inside one day; started at minute "
                 << m;
  }
  auto at_minute = [&](int minute) {
    return StrFormat("%04d%02d%02d%02d%02d00", now.year, now.month, now.day, minute / 60,
                     minute % 60);
  };
  const std::string daily_hhmm = StrFormat("%02d:%02d", (m - 2) / 60, (m - 2) % 60);
  const std::string tomorrow_daily =
      DatePlusDays(now, 1) + StrFormat("%02d%02d00", (m - 2) / 60, (m - 2) % 60);

  ASSERT_EQ(0, session_.Execute("INSERT INTO KVSYSTEM.KVS139TPL VALUES ('E2EPLAN', " +
                                std::to_string(PlanWeekday(now)) + ", " + std::to_string(m) +
                                ", " + std::to_string(m + 3) + ", 1, 1)"));
  InsertJob("PLAN", "u-plan", "kvssleep 3", 0, "03", ", JOBDLS, JOBSCD, JOBNRT",
            ", 0, 'E2EPLAN', ''");
  const int64_t started = platform_real_->Now();
  WriteIni("DAILYJOBUHRZT=" + daily_hhmm + "\nINTERVALLJOBZYKLUS=7\n");
  Start(170);

  std::vector<Seen> plan, daily, interval;
  auto track = [](std::vector<Seen>& seen, int64_t at, int64_t before, const std::string& row,
                  const std::string& sda) {
    if (seen.empty() || seen.back().row != row) seen.push_back({at, before, row, sda});
  };
  auto done = [&] {
    return !plan.empty() && plan.back().row.rfind("97|", 0) == 0 && !daily.empty() &&
           daily.back().row.rfind("00|", 0) == 0 && !interval.empty() &&
           interval.back().row.rfind("00|", 0) == 0 && interval.size() > 1;
  };
  int64_t previous = started;
  while (!done() && platform_real_->Now() < started + 150) {
    const int64_t t = platform_real_->Now();
    track(plan, t, previous, Row("T-PLAN"), Column("PLAN", "JOBSDA"));
    track(daily, t, previous, Row("DAILY SYSTEMJOB"), "");
    track(interval, t, previous, Row("INTERVALL SYSTEMJOB"), "");
    previous = t;
    std::this_thread::sleep_for(std::chrono::seconds(1));
  }

  // The plan job, without the waiting state that the first pass sets and
  // starts at once.
  std::vector<std::string> rows;
  std::vector<const Seen*> runs;
  for (const Seen& s : plan) {
    if (s.row == "<NULL>|" || s.row == "00|" + at_minute(m)) continue;
    rows.push_back(s.row);
    if (s.row.rfind("01|", 0) == 0) runs.push_back(&s);
  }
  const std::vector<std::string> expected = {
      "01|" + at_minute(m),     "98|" + at_minute(m),     "00|" + at_minute(m + 2),
      "01|" + at_minute(m + 2), "98|" + at_minute(m + 2),
  };
  ASSERT_EQ(expected.size() + 1, rows.size()) << testing::PrintToString(rows);
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(expected[i], rows[i]) << i;
  // Ended before the update in m+2: the next slot m+3 is the window's end.
  // Still running then: the update in m+3 finds no window and keeps m+2.
  EXPECT_TRUE(rows.back() == "97|" + at_minute(m + 3) || rows.back() == "97|" + at_minute(m + 2))
      << rows.back();
  ASSERT_EQ(2u, runs.size());
  EXPECT_LE(runs[0]->at, started + 8) << "first run not in the first pass";
  EXPECT_EQ(at_minute(m).substr(0, 12), runs[0]->sda.substr(0, 12));
  EXPECT_EQ(at_minute(m + 2).substr(0, 12), runs[1]->sda.substr(0, 12));
  EXPECT_LE(runs[1]->sda.substr(12), "02") << "second run late in its minute";

  // The system jobs: registered, failed to start, then planned anew by the
  // update a minute after the first.
  ASSERT_GE(interval.size(), 2u);
  EXPECT_EQ("90|", interval[interval.size() - 2].row.substr(0, 3));
  const Seen& replanned = interval.back();
  EXPECT_LE(replanned.at, started + 70);
  EXPECT_GE(replanned.row, "00|" + Timestamp14(*platform_real_, replanned.before + 7 * 60));
  EXPECT_LE(replanned.row, "00|" + Timestamp14(*platform_real_, replanned.at + 1 + 7 * 60));
  ASSERT_GE(daily.size(), 2u);
  EXPECT_EQ("90|", daily[daily.size() - 2].row.substr(0, 3));
  EXPECT_EQ("00|" + tomorrow_daily, daily.back().row);
  EXPECT_LE(daily.back().at, started + 70);
}

}  // namespace
}  // namespace kvs
