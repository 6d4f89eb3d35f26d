#include "jobs/periodic_jobs.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "db/test_database.h"
#include "gtest/gtest.h"
#include "jobs/run_types.h"

namespace kvs {
namespace {

// The clock starts on Monday 2026-12-07 at 09:05:00 (minute 545).
class PeriodicJobsSqlTest : public DatabaseTest {
 protected:
  void SetUp() override {
    DatabaseTest::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_EQ(0, session_.Execute(TestStatement("DELETE FROM KVSYSTEM.KVS139TPL")));
    ASSERT_EQ(0, session_.Execute(TestStatement("DELETE FROM KVSYSTEM.KVS141DZT")));
    platform_.SetLocalTime(2026, 12, 7, 9, 5, 0);
  }

  // One job row; dls, sts, nrt and urv are SQL literals.
  void Put(const std::string& ke2, const std::string& dls, const std::string& scd,
           const std::string& sts, const std::string& nrt, const std::string& urv = "NULL",
           const std::string& da1 = "20261207000001", const std::string& rty = "03") {
    DatabaseTest::Put("JOBDA1, JOBKE2, JOBURV, JOBCMD, JOBRTY, JOBDLS, JOBSCD, JOBSTS, JOBNRT",
                      "'" + da1 + "', '" + ke2 + "', " + urv + ", 'run " + ke2 + "', '" + rty +
                          "', " + dls + ", '" + scd + "', " + sts + ", " + nrt);
  }

  // One plan row in KVS139TPL ("TPL") or KVS141DZT ("DZT").
  void Plan(const std::string& prefix, const std::string& key, int weekday, int from, int to,
            int every, int active = 1) {
    const std::string table = prefix == "TPL" ? "KVS139TPL" : "KVS141DZT";
    Sql("INSERT INTO KVSYSTEM." + table + " VALUES ('" + key + "', " + std::to_string(weekday) +
        ", " + std::to_string(from) + ", " + std::to_string(to) + ", " + std::to_string(every) +
        ", " + std::to_string(active) + ")");
  }

  // The selection of run_type on the clock's time (Monday 09:05).
  int Due(RunType run_type, const SqlList& running_list, JobRecord* job) {
    return jobs_.NextJob(
        TextNextJob(*RuleOf(run_type), session_.dialect(), kNow, running_list), job);
  }
  static constexpr char kNow[] = "20261207090500";

  // "JOBSTS|JOBNRT" of a job.
  std::string Row(const std::string& ke2) {
    return Value(
        "SELECT CONCAT(COALESCE(JOBSTS, '<NULL>'), '|', COALESCE(JOBNRT, '<NULL>')) AS v "
        "FROM KVSYSTEM.KVS500JOB WHERE JOBKE2 = '" + ke2 + "'");
  }

  // UPDATE statements this connection has run so far.
  long Writes() {
    return std::atol(Value("SELECT VARIABLE_VALUE AS v FROM information_schema.SESSION_STATUS "
                           "WHERE VARIABLE_NAME = 'COM_UPDATE'")
                         .c_str());
  }

  std::string MainLog() { return logs_.MainText(); }

  PeriodicJobs periodic_{platform_, logs_, jobs_, "070000", 60};
};

// Catches the wrong plan table for a schedule kind (NULL must read as 0,
// every kind but 0, 2 and 3 uses KVS141DZT), the wrong weekday (Sunday is
// 7, not 0), inactive plan rows used, running jobs (1 to 10) written, and
// a "97" job without a window written again.
TEST_F(PeriodicJobsSqlTest, Update03TakesThePlanRowOfKindAndWeekday) {
  Plan("TPL", "P0", 1, 480, 1020, 60);
  Plan("DZT", "P0", 1, 540, 600, 10);  // found only by a wrong table
  Plan("DZT", "P1", 1, 540, 600, 10);
  Plan("TPL", "P1", 1, 500, 700, 10);
  Plan("DZT", "P5", 1, 500, 700, 10);
  Plan("TPL", "P5", 1, 540, 600, 10);
  Plan("TPL", "PX", 2, 480, 1020, 60);
  Plan("TPL", "PX", 7, 480, 1020, 60);
  Plan("TPL", "PI", 1, 480, 1020, 60, 0);
  Plan("TPL", "PS", 7, 600, 700, 30);
  Plan("TPL", "PS", 0, 480, 1020, 60);  // found only if Sunday were 0
  struct Case {
    const char* ke2;
    const char* dls;
    const char* scd;
    const char* sts;
    const char* nrt;
    const char* monday;  // after the pass on Monday 09:05
    const char* sunday;  // after the pass on Sunday 2026-12-13 10:05
  };
  const Case cases[] = {
      {"NULL-KIND", "NULL", "P0", "NULL", "''", "00|20261207080000", "97|20261207080000"},
      {"KIND-1", "1", "P1", "NULL", "''", "00|20261207090000", "97|20261207090000"},
      {"KIND-5", "5", "P5", "NULL", "''", "00|20261207082000", "97|20261207082000"},
      {"OTHER-DAYS", "0", "PX", "'98'", "'20261206150000'", "97|20261206150000",
       "00|20261213080000"},
      {"INACTIVE", "0", "PI", "'98'", "'20261206150000'", "97|20261206150000",
       "97|20261206150000"},
      {"SUNDAY", "0", "PS", "NULL", "''", "97|", "00|20261213100000"},
      {"RUNNING-01", "0", "P0", "'01'", "''", "01|", "01|"},
      {"RUNNING-10", "0", "P0", "'10'", "''", "10|", "10|"},
      {"ERROR-11", "0", "P0", "'11'", "''", "00|20261207080000", "97|20261207080000"},
      {"RESTING-97", "0", "PI", "'97'", "'20261206170000'", "97|20261206170000",
       "97|20261206170000"},
  };
  for (const Case& c : cases) Put(c.ke2, c.dls, c.scd, c.sts, c.nrt);

  const std::string log_before = MainLog();
  long before = Writes();
  EXPECT_EQ(1, periodic_.Update03());
  for (const Case& c : cases) EXPECT_EQ(c.monday, Row(c.ke2)) << "Monday " << c.ke2;
  EXPECT_EQ(7, Writes() - before) << "a job without a change was written";

  platform_.AdvanceSeconds(6 * 86400 + 3600);
  before = Writes();
  EXPECT_EQ(1, periodic_.Update03());
  for (const Case& c : cases) EXPECT_EQ(c.sunday, Row(c.ke2)) << "Sunday " << c.ke2;
  EXPECT_EQ(6, Writes() - before) << "a job without a change was written";
  EXPECT_EQ(log_before, MainLog());
}

// Catches a pass that runs on every call, one that waits longer than 60
// seconds, or one that waits an hour after the clock is set back an hour;
// and a new row (no JOBNRT) left unplanned between the full passes, where
// the due-job query would never start it.
TEST_F(PeriodicJobsSqlTest, Update03RunsAtMostOnceAMinute) {
  Plan("TPL", "P0", 1, 480, 1020, 60);
  Put("PLAN", "NULL", "P0", "NULL", "''");
  Put("NEW", "NULL", "P0", "NULL", "''");
  // The minute is measured on the steady clock: the clock set back an hour
  // neither stops planning nor starts a full pass early.
  const struct {
    int advance;
    int wall_step;
    const char* plan;  // "" not run
  } steps[] = {{0, 0, "00|20261207100000"}, {59, 0, ""},  {1, 0, "00|20261207100000"},
               {30, 0, ""},                 {29, 0, ""},  {1, 0, "00|20261207100000"},
               {30, -3600, ""},             {30, 0, "00|20261207090000"}};
  for (const auto& step : steps) {
    platform_.AdvanceSeconds(step.advance);
    platform_.StepWallClock(step.wall_step);
    ASSERT_EQ(0, session_.Execute(TestStatement("UPDATE KVSYSTEM.KVS500JOB SET JOBSTS = '98', JOBNRT = "
                                  "'20261207080000' WHERE JOBKE2 = 'PLAN'")));
    ASSERT_EQ(0, session_.Execute(
                     TestStatement("UPDATE KVSYSTEM.KVS500JOB SET JOBSTS = NULL, JOBNRT = NULL WHERE JOBKE2 = "
                     "'NEW'")));
    const long before = Writes();
    EXPECT_EQ(1, periodic_.Update03());
    const bool runs = *step.plan != '\0';
    EXPECT_EQ(runs ? step.plan : "98|20261207080000", Row("PLAN")) << step.advance;
    EXPECT_EQ("00|20261207080000", Row("NEW")) << step.advance;
    EXPECT_EQ(runs ? 2 : 1, Writes() - before) << step.advance;
  }
}

// Catches the daily and interval rules not applied from the table: an
// ended daily job must move to tomorrow at the daily time, an ended
// interval job to now plus the cycle; a waiting one or one planned in the
// future stays.
TEST_F(PeriodicJobsSqlTest, Update03PlansDailyAndIntervalJobs) {
  const struct {
    const char* ke2;
    const char* dls;
    const char* sts;
    const char* nrt;
    const char* expected;
  } cases[] = {
      {"DAILY-ENDED", "2", "'98'", "'20261207070000'", "00|20261208070000"},
      {"DAILY-FAILED", "2", "'90'", "'20261207070000'", "00|20261208070000"},
      {"DAILY-WAITING", "2", "'00'", "'20261207070000'", "00|20261207070000"},
      {"DAILY-NEW", "2", "''", "NULL", "00|20261207070000"},
      {"INTERVAL-ENDED", "3", "'90'", "'20261207080000'", "00|20261207100500"},
      {"INTERVAL-AHEAD", "3", "'98'", "'20261207091000'", "98|20261207091000"},
      {"INTERVAL-NEW", "3", "NULL", "''", "00|20261207090500"},
  };
  for (const auto& c : cases) Put(c.ke2, c.dls, "", c.sts, c.nrt);
  EXPECT_EQ(1, periodic_.Update03());
  for (const auto& c : cases) EXPECT_EQ(c.expected, Row(c.ke2)) << c.ke2;
}

// A job deleted after the pass read it: the write matches no row, which is
// logged with 100, and the pass goes on with the next job. The pass reads
// a snapshot taken before another connection deleted the rows. A resting
// "97" job without a window is not written, so its deletion stays silent.
TEST_F(PeriodicJobsSqlTest, Update03LogsAWriteThatMatchesNoRow) {
  Plan("TPL", "P0", 1, 480, 1020, 60);
  Put("GONE-ENDED", "0", "NONE", "'98'", "'20261207070000'", "NULL", "20261207000001");
  Put("GONE-RESTING", "0", "NONE", "'97'", "'20261207070000'", "NULL", "20261207000002");
  Put("KEPT", "0", "P0", "'98'", "''", "NULL", "20261207000003");
  Session other{logs_};
  other.SetDbSystem("MYSQL");
  const Credentials c = TestCredentials();
  ASSERT_EQ(0, other.Connect(c.user, c.password, c.data_source));

  ASSERT_EQ(0, session_.Execute(TestStatement("START TRANSACTION WITH CONSISTENT SNAPSHOT")));
  ASSERT_EQ(0, other.Execute(TestStatement("DELETE FROM KVSYSTEM.KVS500JOB WHERE JOBKE2 LIKE 'GONE-%'")));
  const std::string before = MainLog();
  EXPECT_EQ(1, periodic_.Update03());
  ASSERT_EQ(0, session_.Execute(TestStatement("COMMIT")));

  const std::string after = MainLog();
  ASSERT_GE(after.size(), before.size());
  EXPECT_EQ("2026-12-07 09:05:00  - Fehler Job03 updaten RC: 100\n",
            after.substr(before.size()));
  EXPECT_EQ("00|20261207080000", Row("KEPT"));
  EXPECT_EQ("0", Value("SELECT COUNT(*) AS v FROM KVSYSTEM.KVS500JOB WHERE JOBKE2 LIKE "
                       "'GONE-%'"));
}

// Catches a column bound to the wrong field, NULL JOBDLS not read as 0,
// rows of other run types read, the list cleared instead of appended to,
// and a list that stops at its first allocation of 10 rows.
TEST_F(PeriodicJobsSqlTest, ReadJobListAppendsEveryRowOfTheRunType) {
  ASSERT_EQ(0, session_.Execute(
                   TestStatement("INSERT INTO KVSYSTEM.KVS500JOB (JOBDA1, JOBKE2, JOBURV, JOBCMD, JOBMRT, "
                   "JOBRTY, JOBPRI, JOBSCD, JOBSTS, JOBSDA, JOBEDA, JOBNRT, JOBSTV, JOBDLS) "
                   "VALUES ('20261207000000', 'FULL', 'urv-full', 'cmd full', 11, '03', 22, "
                   "'SCD1', '98', '20261207010101', '20261207020202', '20261207030303', 33, "
                   "5)")));
  for (int i = 1; i <= 11; ++i) {
    Put("EXTRA-" + std::to_string(i), i == 1 ? "NULL" : "2", "", "NULL", "NULL");
  }
  Put("OTHER-TYPE", "3", "", "NULL", "NULL", "NULL", "20261207000001", "01");

  std::vector<JobRecord> list(1);
  SetField(list[0].jobke2, "EARLIER");
  periodic_.ReadJobList(kRunTypePeriodic, &list);
  ASSERT_EQ(13u, list.size());
  EXPECT_STREQ("EARLIER", list[0].jobke2);
  const JobRecord* full = nullptr;
  for (const JobRecord& job : list) {
    EXPECT_STRNE("OTHER-TYPE", job.jobke2);
    if (std::string(job.jobke2) == "FULL") full = &job;
    if (std::string(job.jobke2) == "EXTRA-1") {
      EXPECT_EQ(0, job.jobdls);
      EXPECT_STREQ("", job.jobsts);
      EXPECT_STREQ("", job.jobnrt);
    }
  }
  ASSERT_NE(nullptr, full);
  EXPECT_STREQ("20261207000000", full->jobda1);
  EXPECT_STREQ("urv-full", full->joburv);
  EXPECT_STREQ("cmd full", full->jobcmd);
  EXPECT_EQ(11, full->jobmrt);
  EXPECT_STREQ("03", full->jobrty);
  EXPECT_EQ(22, full->jobpri);
  EXPECT_STREQ("SCD1", full->jobscd);
  EXPECT_STREQ("98", full->jobsts);
  EXPECT_STREQ("20261207010101", full->jobsda);
  EXPECT_STREQ("20261207020202", full->jobeda);
  EXPECT_STREQ("20261207030303", full->jobnrt);
  EXPECT_EQ(33, full->jobstv);
  EXPECT_EQ(5, full->jobdls);
}

// Catches the due rule wrong in any part: only NULL, blank, empty and "00"
// states, JOBNRT not after now (a periodic row without one is not due: the
// update plans it first; a calendar row without one is), JOBURV of a
// running job excluded but NULL never, the run type, and the order by
// JOBNRT, JOBDA1, JOBKE2. Each delivered job is marked running, as the
// launch does. SelectionTakes, the same condition on a row in memory, must
// take exactly the rows the query takes (the running-job list apart).
TEST_F(PeriodicJobsSqlTest, DueSelectionDeliversWaitingJobsInOrder) {
  const struct {
    const char* da1;
    const char* ke2;
    const char* sts;
    const char* nrt;
    const char* urv;
    const char* rty;
  } rows[] = {
      {"20261207000002", "A-0900", "NULL", "'20261207090000'", "'a'", "03"},
      {"20261207000002", "C-0900", "'00'", "'20261207090000'", "'c'", "03"},
      {"20261207000001", "Z-0900", "'00'", "'20261207090000'", "'z'", "03"},
      {"20261207000001", "D-NOW", "'00'", "'20261207090500'", "'d'", "03"},
      {"20261207000001", "E-EMPTY", "''", "'20261207090400'", "NULL", "03"},
      {"20261207000009", "B-NO-TIME", "'  '", "NULL", "NULL", "03"},
      {"20261207000009", "B-EMPTY-TIME", "NULL", "''", "NULL", "03"},
      {"20261207000009", "L-07-NO-TIME", "NULL", "NULL", "NULL", "07"},
      {"20261207000001", "F-LATER", "'00'", "'20261207090501'", "'f'", "03"},
      {"20261207000001", "G-97", "'97'", "'20261207080000'", "'g'", "03"},
      {"20261207000001", "H-98", "'98'", "'20261207080000'", "'h'", "03"},
      {"20261207000001", "I-01", "'01'", "'20261207080000'", "'i'", "03"},
      {"20261207000001", "J-BUSY", "'00'", "'20261207080000'", "'busy'", "03"},
      {"20261207000001", "K-07", "'00'", "'20261207080000'", "'k'", "07"},
  };
  for (const auto& r : rows) Put(r.ke2, "0", "", r.sts, r.nrt, r.urv, r.da1, r.rty);
  std::vector<JobRecord> periodic_rows, calendar_rows;
  periodic_.ReadJobList(kRunTypePeriodic, &periodic_rows);
  periodic_.ReadJobList(kRunTypeCalendar, &calendar_rows);

  std::vector<std::string> delivered;
  JobRecord job;
  int rc = Due(kRunTypePeriodic, ListOf({"busy", "other"}), &job);
  ASSERT_EQ(0, rc);
  EXPECT_STREQ("run Z-0900", job.jobcmd);
  for (int i = 0; rc == 0 && i < 20; ++i) {
    delivered.push_back(job.jobke2);
    ASSERT_EQ(0, jobs_.UpdateStatusJob("01", job.jobda1, job.jobke2));
    rc = Due(kRunTypePeriodic, ListOf({"busy", "other"}), &job);
  }
  EXPECT_EQ(100, rc);
  const std::vector<std::string> expected = {"Z-0900", "A-0900", "C-0900", "E-EMPTY", "D-NOW"};
  EXPECT_EQ(expected, delivered);
  // On 100 the out row is left as it was.
  EXPECT_STREQ("D-NOW", job.jobke2);
  EXPECT_STREQ("run D-NOW", job.jobcmd);
  ASSERT_EQ(0, Due(kRunTypeCalendar, SqlList(), &job));
  EXPECT_STREQ("L-07-NO-TIME", job.jobke2);

  ASSERT_EQ(12u, periodic_rows.size());
  for (const JobRecord& row : periodic_rows) {
    const std::string ke2 = row.jobke2;
    const bool taken = ke2 == "J-BUSY" || std::count(delivered.begin(), delivered.end(), ke2);
    EXPECT_EQ(taken, SelectionTakes(*RuleOf(kRunTypePeriodic), row, kNow)) << ke2;
  }
  ASSERT_EQ(2u, calendar_rows.size());
  for (const JobRecord& row : calendar_rows) {
    EXPECT_TRUE(SelectionTakes(*RuleOf(kRunTypeCalendar), row, kNow)) << row.jobke2;
  }
}

// Catches failures reported as "no job" or that clobber the out row, and a
// pass that logs or throws when the database is gone.
TEST_F(PeriodicJobsSqlTest, FailuresLeaveTheOutputsAlone) {
  Put("DUE", "0", "", "'00'", "NULL");
  JobRecord job;
  SetField(job.jobke2, "KEEP");
  session_.Disconnect();
  EXPECT_EQ(-1, Due(kRunTypePeriodic, SqlList(), &job));
  EXPECT_STREQ("KEEP", job.jobke2);
  std::vector<JobRecord> list(2);
  periodic_.ReadJobList(kRunTypePeriodic, &list);
  EXPECT_EQ(2u, list.size());
  const std::string before = MainLog();
  EXPECT_EQ(1, periodic_.Update03());
  EXPECT_EQ(before, MainLog());
}

}  // namespace
}  // namespace kvs
