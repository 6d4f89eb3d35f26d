// End-to-end tests of the scheduled run types: calendar (07), day-end
// (08) and restart (09) jobs run by the real KVSJOBSTR binary in a scratch
// program directory, kvsjobsvc serving its pipe, the private MariaDB that
// scripts/test starts.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <string>
#include <thread>

#include "e2e/e2e_fixture.h"
#include "gtest/gtest.h"
#include "jobs/periodic_jobs.h"
#include "platform/platform.h"

namespace kvs {
namespace {

class ScheduledJobsEndToEnd : public ControllerProcessTest {
 protected:
  void SetUp() override {
    ControllerProcessTest::SetUp();
    if (HasFatalFailure()) return;
    ClearTables();
    // The day-end program is started without arguments and runs a while.
    std::ofstream(dir_ / "DayEnd.exe") << "#!/bin/sh\nsleep 2\n";
    fs::permissions(dir_ / "DayEnd.exe", fs::perms(0755));
  }

  // Leaves no schedule or client row to later tests.
  void TearDown() override {
    ControllerProcessTest::TearDown();
    ClearTables();
  }

  void ClearTables() {
    for (const char* table : {"KVS200MSG", "KVS800SCD", "KVS112MND"}) {
      EXPECT_EQ(0, session_.Execute(std::string("DELETE FROM KVSYSTEM.") + table));
    }
  }

  CivilTime LocalIn(int seconds) {
    return platform_real_->ToLocal(platform_real_->Now() + seconds);
  }
  static std::string DateText(const CivilTime& t) {
    char text[16];
    std::snprintf(text, sizeof text, "%04d%02d%02d", t.year, t.month, t.day);
    return text;
  }
  // Plans made now stay on today's date: waits out the last minutes
  // before midnight.
  void AwayFromMidnight() {
    while (LocalIn(0).hour == 23 && LocalIn(0).minute >= 57) {
      std::this_thread::sleep_for(std::chrono::seconds(1));
    }
  }

  // A job row under its full key, created today, in the order of insertion.
  void InsertScheduledJob(const std::string& ke2, const std::string& joburv,
                          const std::string& command, const std::string& run_type,
                          const std::string& state, const std::string& jobnrt = "NULL") {
    InsertJobRow(ke2, joburv, command, 0, run_type, state, ", JOBNRT, JOBSTV",
                 ", " + jobnrt + ", 0");
  }
};

// Catches a calendar job started before its time, not started, or not
// planned again for tomorrow at its schedule time after its run; a restart
// job not started again after each run; and a restart job whose program
// is missing tried fewer or more than eleven times.
TEST_F(ScheduledJobsEndToEnd, CalendarJobRunsAndRestartJobsComeBack) {
  AwayFromMidnight();
  const CivilTime at = LocalIn(6);
  char hhmmss[16];
  std::snprintf(hhmmss, sizeof hhmmss, "%02d%02d%02d", at.hour, at.minute, at.second);
  char clock[16];
  std::snprintf(clock, sizeof clock, "%02d:%02d:%02d", at.hour, at.minute, at.second);
  const std::string key = "Daily#Team#00001#00002";
  const std::string planned = DateText(at) + hhmmss;
  Sql("INSERT INTO KVSYSTEM.KVS800SCD (SCDLIZ, SCDMND, SCDNAM, SCDSBE, SCDART, SCDTYP, SCDTAG, "
      "SCDDTM, SCDUHR, SCDDWH, SCDBIS) VALUES ('00001', '00002', 'Daily', 'Team', 1, 2, NULL, "
      "CURDATE(), '" + std::string(clock) + "', 'Taeglich', NULL)");
  InsertScheduledJob(key, "u-cal", "kvssleep 2", "07", "'00'", "'" + planned + "'");
  InsertScheduledJob("T-AGAIN", "u-again", "kvssleep 1", "09", "NULL");
  InsertScheduledJob("T-MISSING", "u-missing", "kvs-no-such-program", "09", "NULL");
  Start(170);

  std::set<std::string> runs;
  auto note_run = [&] { runs.insert(JobColumn("T-AGAIN", "COALESCE(JOBSDA, '')")); };
  ASSERT_TRUE(Eventually([&] { note_run(); return JobColumn(key, "JOBSTS") == "01"; }, 20));
  EXPECT_GE(JobColumn(key, "JOBSDA"), planned);
  const std::string started = JobColumn(key, "JOBSDA");
  ASSERT_TRUE(Eventually([&] { note_run(); return JobColumn(key, "JOBSTS") == "00"; }, 15));
  CivilTime start_day{};
  start_day.year = std::atoi(started.substr(0, 4).c_str());
  start_day.month = std::atoi(started.substr(4, 2).c_str());
  start_day.day = std::atoi(started.substr(6, 2).c_str());
  EXPECT_EQ(DatePlusDays(start_day, 1) + hhmmss + "|0|14",
            JobColumn(key, "CONCAT_WS('|', JOBNRT, JOBSTV, LENGTH(JOBEDA))"));

  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(4);
  while (std::chrono::steady_clock::now() < until) {
    note_run();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  runs.erase("");
  EXPECT_GE(runs.size(), 4u);
  EXPECT_EQ("1", JobColumn("T-AGAIN", "JOBSTV"));

  EXPECT_EQ("90|11", JobColumn("T-MISSING", "CONCAT_WS('|', JOBSTS, JOBSTV)"));
  EXPECT_EQ(11, LogCount("Start PGM: kvs-no-such-program Cmd:  fehlgeschlagen!"));
}

// Catches a day-end row not created from the client's time, started
// before its time or not at all, and not replaced by one for tomorrow
// after its run.
TEST_F(ScheduledJobsEndToEnd, DayEndRunsAtItsTimeAndIsPlannedForTomorrow) {
  AwayFromMidnight();
  const CivilTime now = LocalIn(0);
  // The next minute, unless the first pass might only come after it began.
  const int minute = now.hour * 60 + now.minute + (now.second <= 50 ? 1 : 2);
  char hhmm00[16];
  std::snprintf(hhmm00, sizeof hhmm00, "%02d%02d00", minute / 60, minute % 60);
  Sql("INSERT INTO KVSYSTEM.KVS112MND (MNDNUM, MNDSCH, MNDKON, MNDT01) VALUES (1, 'KORVALINE', "
      "0, " + std::to_string(minute) + ")");
  Start(170);

  const std::string row = "CONCAT_WS('|', JOBCMD, COALESCE(JOBSTS, 'NULL'), JOBNRT)";
  ASSERT_TRUE(Eventually([&] { return JobColumn("DYE+D00", "COUNT(*)") == "1"; }, 15));
  EXPECT_EQ("DayEnd.exe|NULL|" + DateText(now) + hhmm00, JobColumn("DYE+D00", row));
  const std::string first = JobColumn("DYE+D00", "JOBDA1");

  ASSERT_TRUE(Eventually([&] { return JobColumn("DYE+D00", "JOBSTS") == "01"; }, 140));
  EXPECT_GE(JobColumn("DYE+D00", "JOBSDA"), DateText(now) + hhmm00);
  ASSERT_TRUE(Eventually([&] {
    const std::string da1 = JobColumn("DYE+D00", "JOBDA1");
    return da1 != first && da1 != "<none>";
  }, 15));
  EXPECT_EQ("DayEnd.exe|NULL|" + DatePlusDays(now, 1) + hhmm00, JobColumn("DYE+D00", row));
  EXPECT_EQ("1", Value("SELECT COUNT(*) AS v FROM KVSYSTEM.KVS500JOB WHERE JOBRTY = '08'"));
}

}  // namespace
}  // namespace kvs
