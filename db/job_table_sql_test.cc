#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "db/job_table.h"
#include "db/test_database.h"
#include "gtest/gtest.h"

namespace kvs {
namespace {

class JobTableSqlTest : public DatabaseTest {
 protected:
  void Clear() { ASSERT_EQ(0, session_.Execute(TestStatement("DELETE FROM KVSYSTEM.KVS500JOB"))); }
  std::string Column(const std::string& column, const std::string& da1,
                     const std::string& ke2) {
    return Value("SELECT " + column + " AS v FROM KVSYSTEM.KVS500JOB WHERE JOBDA1 = '" +
                 SqlQuote(da1) + "' AND JOBKE2 = '" + SqlQuote(ke2) + "'");
  }
  std::string Count(const std::string& da1, const std::string& ke2) {
    return Column("COUNT(*)", da1, ke2);
  }
};

JobRecord Keyed(const char* da1, const char* ke2, const char* urv = "") {
  JobRecord job;
  SetField(job.jobda1, da1);
  SetField(job.jobke2, ke2);
  SetField(job.joburv, urv);
  return job;
}

// Catches the no-row report on the wrong statements: the liveness check
// needs 100 for a missing status row, but a delete of a missing row or the
// job-row update must not look like a failure; and an update to the same
// value must not read as "no row" (the DSN counts matched rows).
TEST_F(JobTableSqlTest, NoRowIsReportedOnlyWhereMarked) {
  JobRecord status = Keyed(kStatusJobDa1, kStatusJobKe2);
  SetField(status.jobsts, "98");
  SetField(status.jobnrt, "20260105080000");
  struct Step {
    const char* what;
    std::function<int()> run;
    int expected;
  };
  const std::string da1 = kStatusJobDa1, ke2 = kStatusJobKe2;
  auto status_update = [&] { return jobs_.UpdateStatusJob("01", da1, ke2); };
  auto reschedule = [&] { return jobs_.RescheduleJob(status); };
  const Step steps[] = {
      {"status update, no row", status_update, 100},
      {"reschedule, no row", reschedule, 100},
      {"delete, no row", [&] { return jobs_.DeleteJob(da1, ke2); }, 0},
      {"job row update, no row",
       [&] { return jobs_.UpdateJobRow(RowValues(da1, ke2, "01", "x", "", "1", "", "", 1)); }, 0},
      {"portal re-arm, no row", [&] { return jobs_.RearmPortalJob(status); }, 0},
      {"short insert",
       [&] { return jobs_.InsertShortJob(da1, ke2, kStatusJobUrv, "", 0, kRunTypeStatus); }, 0},
      {"status update", status_update, 0},
      {"status update, same value", status_update, 0},
      {"reschedule", reschedule, 0},
      {"reschedule, same values", reschedule, 0},
  };
  for (const Step& s : steps) EXPECT_EQ(s.run(), s.expected) << s.what;
  EXPECT_EQ(Column("JOBSTS", da1, ke2), "98");
  EXPECT_EQ(Column("JOBNRT", da1, ke2), "20260105080000");
}

// Catches a column bound to the wrong buffer or a buffer one byte short
// (a 256-character command line cut), and an empty selection (a dialect
// without one) sent to the database or touching the outputs.
TEST_F(JobTableSqlTest, NextJobDeliversEveryColumn) {
  const std::string cmd(256, 'c');
  ASSERT_EQ(0, session_.Execute(
                   TestStatement("INSERT INTO KVSYSTEM.KVS500JOB (JOBDA1, JOBKE2, JOBURV, JOBCMD, JOBMRT, "
                   "JOBRTY, JOBSTS, JOBSDA, JOBEDA, JOBSTV) VALUES ('20260101000000', 'K', "
                   "'URV', '" + cmd + "', 3600, '01', '  ', '20251231230000', "
                   "'20251231235959', 7)")));
  JobRecord job;
  EXPECT_EQ(-1, jobs_.NextJob(SqlStatement(), &job));
  EXPECT_STREQ(job.jobda1, "");
  ASSERT_EQ(0, jobs_.NextJob(TestStatement("SELECT JOBDA1, JOBKE2, JOBURV, JOBCMD, JOBMRT, JOBRTY, JOBSTS, "
                             "JOBSDA, JOBEDA, JOBSTV FROM KVSYSTEM.KVS500JOB"),
                             &job));
  EXPECT_STREQ(job.jobda1, "20260101000000");
  EXPECT_STREQ(job.jobke2, "K");
  EXPECT_STREQ(job.joburv, "URV");
  EXPECT_EQ(job.jobcmd, cmd);
  EXPECT_EQ(job.jobmrt, 3600);
  EXPECT_STREQ(job.jobrty, "01");
  EXPECT_STREQ(job.jobsts, "  ");
  EXPECT_STREQ(job.jobsda, "20251231230000");
  EXPECT_STREQ(job.jobeda, "20251231235959");
  EXPECT_EQ(job.jobstv, 7);
}

// Catches a run type 06 row or a non-running row loaded as running, a
// column bound out of order, integers read as text, the end not reported,
// and a fetch on a closed cursor touching a freed handle.
TEST_F(JobTableSqlTest, CursorsDeliverTheirRowsThenEnd) {
  ASSERT_EQ(0, session_.Execute(
                   TestStatement("INSERT INTO KVSYSTEM.KVS500JOB (JOBDA1, JOBKE2, JOBURV, JOBRTY, JOBSTS, "
                   "JOBNAM, JOBUSR, JOBNUM, JOBSDA, JOBEDA, JOBMRT, JOBSTV) VALUES "
                   "('20260101000000', 'FULL', 'URV', '04', '01', 'kvsdemo', 'USR', '4711', "
                   "'20260101000001', '20260101000002', -5, 2147483647)")));
  Put("20260101000001", "QUEUE RUNNING", "01", "'01'");
  Put("20260101000002", "NEVER STARTED", "06", "'01'");
  Put("20260101000003", "ENDED", "01", "'98'");
  Put("20260101000004", "WAITING", "01", "NULL");
  Put("20260101000005", "PERM ENDED", "04", "'98'");
  Put("20260101000006", "TYPE 06", "06", "NULL");

  struct Case {
    const char* what;
    std::function<int()> open;
    std::function<int(JobRecord*)> fetch;
    std::function<int()> close;
    std::set<std::string> keys;
  };
  const Case cases[] = {
      {"running jobs", [&] { return jobs_.OpenRunningJobs(kStateRunning); },
       [&](JobRecord* j) { return jobs_.FetchRunningJob(j); },
       [&] { return jobs_.CloseRunningJobs(); }, {"FULL", "QUEUE RUNNING"}},
      {"run type", [&] { return jobs_.OpenRunType(kRunTypePermanent); },
       [&](JobRecord* j) { return jobs_.FetchRunType(j); }, [&] { return jobs_.CloseRunType(); },
       {"FULL", "PERM ENDED"}},
  };
  for (const Case& c : cases) {
    JobRecord job;
    EXPECT_EQ(c.fetch(&job), -1) << c.what << ": fetch before open";
    ASSERT_EQ(c.open(), 0) << c.what << ": " << session_.error().message;
    std::set<std::string> keys;
    int rc;
    while ((rc = c.fetch(&job)) == 0) {
      keys.insert(job.jobke2);
      if (std::string(job.jobke2) != "FULL") continue;
      EXPECT_STREQ(job.jobda1, "20260101000000");
      EXPECT_STREQ(job.joburv, "URV");
      EXPECT_STREQ(job.jobrty, "04");
      EXPECT_STREQ(job.jobsts, "01");
      EXPECT_STREQ(job.jobnam, "kvsdemo");
      EXPECT_STREQ(job.jobusr, "USR");
      EXPECT_STREQ(job.jobnum, "4711");
      EXPECT_STREQ(job.jobsda, "20260101000001");
      EXPECT_STREQ(job.jobeda, "20260101000002");
      EXPECT_EQ(job.jobmrt, -5);
      EXPECT_EQ(job.jobstv, 2147483647);
    }
    EXPECT_EQ(rc, 100) << c.what;
    EXPECT_EQ(keys, c.keys) << c.what;
    EXPECT_EQ(c.close(), 0);
    EXPECT_EQ(c.fetch(&job), -1) << c.what << ": fetch after close";
  }
}

// Catches the permanent-job cursor broken by the deletes the check runs
// on the same connection while it is open.
TEST_F(JobTableSqlTest, CursorSurvivesDeleteOnSameSession) {
  Put("20260101000001", "P1", "04", "'98'");
  Put("20260101000002", "P2", "04", "'98'");
  Put("20260101000003", "P3", "04", "'98'");
  ASSERT_EQ(0, jobs_.OpenRunType(kRunTypePermanent));
  JobRecord job;
  ASSERT_EQ(0, jobs_.FetchRunType(&job));
  std::set<std::string> seen = {job.jobke2};
  const bool first_is_p2 = std::string(job.jobke2) == "P2";
  const std::string deleted = first_is_p2 ? "P3" : "P2";
  ASSERT_EQ(0, jobs_.DeleteJob(first_is_p2 ? "20260101000003" : "20260101000002", deleted));
  int rc;
  while ((rc = jobs_.FetchRunType(&job)) == 0) seen.insert(job.jobke2);
  EXPECT_EQ(rc, 100) << session_.error().message;
  seen.erase(deleted);  // may or may not still come from the cursor
  EXPECT_EQ(seen.size(), 2u);
  EXPECT_EQ(0, jobs_.CloseRunType());
}

// Catches the reset clearing the first attempt (1) or touching other
// run types.
TEST_F(JobTableSqlTest, ResetOfStartAttemptsOnlyAboveOneForRunType04) {
  struct Case {
    const char* ke2;
    const char* rty;
    int stv;
    const char* after;
  };
  const Case cases[] = {
      {"A", "04", 0, "0"}, {"B", "04", 1, "1"},  {"C", "04", 2, "0"},
      {"D", "04", 11, "0"}, {"E", "01", 5, "5"}, {"F", "03", 2, "2"},
  };
  for (const Case& c : cases) Put("20260101000000", c.ke2, c.rty, "'98'", c.stv);
  ASSERT_EQ(0, jobs_.ResetPermanentStartAttempts());
  for (const Case& c : cases) {
    EXPECT_EQ(Column("JOBSTV", "20260101000000", c.ke2), c.after) << c.ke2;
  }
}

// Catches the MySQL clean-up off by one day, comparing the full stamp
// instead of the date (deleting the rows of the boundary day itself),
// deleting the portal request job or other run types, or not running at all.
TEST_F(JobTableSqlTest, OldQueueJobCleanUpKeeps30Days) {
  using namespace std::chrono;
  const std::string today = Value("SELECT DATE_FORMAT(CURRENT_DATE, '%Y%m%d') AS v");
  ASSERT_EQ(today.size(), 8u) << today;
  const year_month_day now{year{std::stoi(today.substr(0, 4))},
                           month{static_cast<unsigned>(std::stoi(today.substr(4, 2)))},
                           day{static_cast<unsigned>(std::stoi(today.substr(6, 2)))}};
  auto date = [&](int days_back) {
    const year_month_day d{sys_days{now} - days{days_back}};
    char text[32];
    std::snprintf(text, sizeof text, "%04d%02u%02u", static_cast<int>(d.year()),
                  static_cast<unsigned>(d.month()), static_cast<unsigned>(d.day()));
    return std::string(text);
  };
  struct Case {
    std::string da1;
    const char* ke2;
    const char* rty;
    const char* count_after;
  };
  const Case cases[] = {
      {date(30) + "000000", "DAY 30 START", "01", "1"},
      {date(30) + "235959", "DAY 30 END", "01", "1"},
      {date(31) + "235959", "DAY 31 END", "01", "0"},
      {date(400) + "120000", "YEAR OLD", "01", "0"},
      {"20010101120000", "ESP VERARBEITUNG", "01", "1"},
      {date(400) + "120000", "OLD PERMANENT", "04", "1"},
      {date(400) + "120000", "OLD DEFERRED", "05", "1"},
      {date(0) + "000000", "TODAY", "01", "1"},
  };
  for (const Case& c : cases) Put(c.da1, c.ke2, c.rty, "'98'");
  ASSERT_EQ(0, jobs_.CleanupOldQueueJobs()) << session_.error().message;
  for (const Case& c : cases) EXPECT_EQ(Count(c.da1, c.ke2), c.count_after) << c.ke2;
}

// Catches a column of the full or the system job insert written into the
// wrong place or lost, and integers at their limits written wrongly.
TEST_F(JobTableSqlTest, InsertsRoundTripEveryColumn) {
  JobRecord full;
  SetField(full.jobda1, "20010101120000");
  SetField(full.jobke2, "ESP VERARBEITUNG");
  SetField(full.joburv, "ESP");
  SetField(full.jobcmd, "php ..\\korvaline_php\\KV_Jobs\\espTask.php");
  SetField(full.jobcdi, "C:\\jobs\\");
  SetField(full.jobprm, "0");
  SetField(full.jobrus, "RUS");
  full.jobmrt = 2147483647;
  SetField(full.jobrty, "01");
  full.jobpri = -2147483647 - 1;
  full.jobdls = 3;
  SetField(full.jobdlt, "20260101000000");
  SetField(full.jobbem, "Bemerkung");
  SetField(full.jobscd, "PLAN12345X");
  SetField(full.jobsts, "98");
  SetField(full.jobnam, "php");
  SetField(full.jobusr, "USR");
  SetField(full.jobnum, "12345678");
  SetField(full.jobsda, "20260101000001");
  SetField(full.jobeda, "20260101000002");
  SetField(full.jobnrt, "20260101000003");
  full.jobstv = -1;
  JobRecord system = Keyed("20000101070000", "DAILY SYSTEMJOB");
  SetField(system.joburv, "DAILY");
  SetField(system.jobcmd, "KVSDAILY.EXE");
  SetField(system.jobrty, "03");
  system.jobstv = 0;
  SetField(system.jobnrt, "20260106070000");
  system.jobdls = 2;
  system.jobmrt = 99;  // not written by the system job insert
  ASSERT_EQ(0, jobs_.InsertFullJob(full)) << session_.error().message;
  ASSERT_EQ(0, jobs_.InsertSystemJob(system)) << session_.error().message;

  struct Case {
    const JobRecord* job;
    const char* column;
    std::string expected;
  };
  const Case cases[] = {
      {&full, "JOBURV", full.joburv},    {&full, "JOBCMD", full.jobcmd},
      {&full, "JOBCDI", full.jobcdi},    {&full, "JOBPRM", "0"},
      {&full, "JOBRUS", "RUS"},          {&full, "JOBMRT", "2147483647"},
      {&full, "JOBRTY", "01"},           {&full, "JOBPRI", "-2147483648"},
      {&full, "JOBDLS", "3"},            {&full, "JOBDLT", "20260101000000"},
      {&full, "JOBBEM", "Bemerkung"},    {&full, "JOBSCD", "PLAN12345X"},
      {&full, "JOBSTS", "98"},           {&full, "JOBNAM", "php"},
      {&full, "JOBUSR", "USR"},          {&full, "JOBNUM", "12345678"},
      {&full, "JOBSDA", "20260101000001"}, {&full, "JOBEDA", "20260101000002"},
      {&full, "JOBNRT", "20260101000003"}, {&full, "JOBSTV", "-1"},
      {&system, "JOBURV", "DAILY"},      {&system, "JOBCMD", "KVSDAILY.EXE"},
      {&system, "JOBRTY", "03"},         {&system, "JOBSTV", "0"},
      {&system, "JOBNRT", "20260106070000"}, {&system, "JOBDLS", "2"},
      {&system, "JOBMRT", "0"},          {&system, "JOBSTS", "<NULL>"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Column(c.column, c.job->jobda1, c.job->jobke2), c.expected)
        << c.job->jobke2 << " " << c.column;
  }
}

// Catches the portal job re-armed while it runs or never registered
// (JOBPRM "0"), the monthly re-arm not setting JOBPRM "2", and a re-arm
// that leaves the old times or attempts behind.
TEST_F(JobTableSqlTest, PortalRearmConditions) {
  struct Case {
    bool monthly;
    const char* prm;
    const char* sts;
    const char* row_after;  // JOBPRM|JOBSTS|JOBSDA|JOBEDA|JOBSTV, "-" for NULL
  };
  const Case cases[] = {
      {false, "'1'", "'98'", "1|  |||0"},
      {false, "'2'", "'99'", "2|  |||0"},
      {false, "'0'", "'98'", "0|98|20260101000001|20260101000002|3"},
      {false, "NULL", "'98'", "-|98|20260101000001|20260101000002|3"},
      {false, "'1'", "'90'", "1|90|20260101000001|20260101000002|3"},
      {false, "'1'", "'01'", "1|01|20260101000001|20260101000002|3"},
      {true, "'0'", "'98'", "2|  |||0"},
      {true, "'1'", "'99'", "2|  |||0"},
      {true, "'0'", "'90'", "0|90|20260101000001|20260101000002|3"},
      {true, "'0'", "NULL", "0|-|20260101000001|20260101000002|3"},
  };
  const JobRecord portal = Keyed("20010101120000", "ESP VERARBEITUNG");
  for (const Case& c : cases) {
    Clear();
    ASSERT_EQ(0, session_.Execute(
                     TestStatement("INSERT INTO KVSYSTEM.KVS500JOB (JOBDA1, JOBKE2, JOBRTY, JOBPRM, JOBSTS, "
                     "JOBSDA, JOBEDA, JOBSTV) VALUES ('20010101120000', 'ESP VERARBEITUNG', "
                     "'01', " + std::string(c.prm) + ", " + c.sts +
                     ", '20260101000001', '20260101000002', 3)")));
    EXPECT_EQ(c.monthly ? jobs_.RearmPortalJobMonthly(portal) : jobs_.RearmPortalJob(portal), 0);
    EXPECT_EQ(Value("SELECT CONCAT_WS('|', COALESCE(JOBPRM, '-'), COALESCE(JOBSTS, '-'), "
                    "JOBSDA, JOBEDA, JOBSTV) AS v FROM KVSYSTEM.KVS500JOB"),
              c.row_after)
        << (c.monthly ? "monthly " : "") << c.prm << " " << c.sts;
  }
}

// Catches a failed statement reported as 0 or -1 instead of its native
// code, and the diagnostic record not filled.
TEST_F(JobTableSqlTest, FailuresReturnNativeCodes) {
  ASSERT_EQ(0, jobs_.InsertShortJob("20260101000000", "DUP", "U", "c", 0, kRunTypeQueue));
  EXPECT_EQ(jobs_.InsertShortJob("20260101000000", "DUP", "U", "c", 0, kRunTypeQueue), 1062);
  EXPECT_STREQ(session_.error().sqlstate, "23000");
  EXPECT_NE(session_.error().message[0], '\0');
  EXPECT_EQ(session_.GetLastSQLError(), 1062);

  EXPECT_EQ(session_.Execute(TestStatement("UPDATE KVSYSTEM.KVS500JOB SET WHERE")), 1064);
  EXPECT_EQ(session_.GetLastSQLError(), 1064);
  JobRecord job;
  EXPECT_EQ(jobs_.NextJob(TestStatement("SELECT FROM"), &job), 1064);
  // A later success leaves the record for the caller's log line.
  ASSERT_EQ(0, jobs_.DeleteJob("20260101000000", "DUP"));
  EXPECT_EQ(session_.GetLastSQLError(), 1064);
}

// Catches the job-row update writing a value into the wrong column.
TEST_F(JobTableSqlTest, JobRowUpdateWritesEveryValue) {
  Put("20260101000000", "ROW", "01", "NULL", 4);
  ASSERT_EQ(0, jobs_.UpdateJobRow(RowValues("20260101000000", "ROW", "01", "kvsdemo", "", "4711",
                                  "20260105080000", "", 5)));
  EXPECT_EQ(Value("SELECT CONCAT_WS('|', JOBSTS, JOBNAM, JOBUSR, JOBNUM, JOBSDA, JOBEDA, "
                  "JOBSTV) AS v FROM KVSYSTEM.KVS500JOB"),
            "01|kvsdemo||4711|20260105080000||5");
}

// Catches a value that breaks its statement or comes back changed: a quote
// not doubled, a backslash taken as an escape (a trailing one would swallow
// the closing quote), a percent sign taken as a format, a Windows-1252 byte
// converted.
TEST_F(JobTableSqlTest, ValuesRoundTripByteExact) {
  const char* const values[] = {
      "it's", "php ..\\korvaline_php\\KV_Jobs\\dayTask.php", "C:\\jobs\\", "100%",
      "%s%d", "M\xFCller", "'", "\\", "a\\'b", "''",
  };
  const char kDa1[] = "20260101000000";
  for (const std::string value : values) {
    Clear();
    const std::string key = value.substr(0, 32);
    ASSERT_EQ(0, jobs_.InsertShortJob(kDa1, key, value, value, 0, kRunTypeQueue))
        << value << ": " << session_.error().message;
    EXPECT_EQ(Column("JOBURV", kDa1, key), value);
    EXPECT_EQ(Column("JOBCMD", kDa1, key), value);
    ASSERT_EQ(0, jobs_.UpdateJobRow(RowValues(kDa1, key, "01", value, value, "1", "", "", 1)));
    EXPECT_EQ(Column("JOBNAM", kDa1, key), value);
    EXPECT_EQ(Column("JOBUSR", kDa1, key), value);
    ASSERT_EQ(0, jobs_.UpdateStatusJob("  ", kDa1, key));
    ASSERT_EQ(0, jobs_.DeleteJob(kDa1, key));
    EXPECT_EQ(Count(kDa1, key), "0") << value;
  }
}

// Catches two nodes both taking one row, a node reading another's running
// rows as its own, silence judged on anything but the server's clock, and
// a take-over that touches a live node's rows or a status row.
TEST_F(JobTableSqlTest, NodesClaimOnceAndTakeOverOnlyTheDead) {
  const std::string columns = "JOBDA1, JOBKE2, JOBRTY, JOBSTS, JOBUSR";
  Put(columns, "'20260101000000', 'Q', '01', NULL, 'old'");
  Put(columns, "'20260101000000', 'P', '04', '90', NULL");
  Put(columns, "'20260101000000', 'R1', '01', '01', 'a'");
  Put(columns, "'20260101000000', 'R2', '04', '01', 'b'");
  JobTable a(session_), b(session_);
  const Dialect dialect = session_.dialect();
  JobRecord q = Keyed("20260101000000", "Q");
  JobRecord p = Keyed("20260101000000", "P");
  SetField(p.jobsts, kStateStartFailed);
  EXPECT_EQ(0, a.ClaimJob(q, "a", nullptr));
  EXPECT_EQ(100, b.ClaimJob(q, "b", nullptr));
  EXPECT_EQ(0, b.ClaimJob(p, "b", nullptr));
  EXPECT_EQ(100, a.ClaimJob(p, "a", nullptr));
  EXPECT_EQ("P 01 b / Q 01 a / R1 01 a / R2 01 b", Rows("CONCAT_WS(' ', JOBKE2, JOBSTS, JOBUSR)"));
  // A JOBURV running on any node keeps a second row of it from being
  // claimed, however old the claiming node's running list.
  Put("JOBDA1, JOBKE2, JOBURV, JOBRTY, JOBSTS", "'20260101000000', 'U1', 'u', '01', NULL");
  Put("JOBDA1, JOBKE2, JOBURV, JOBRTY, JOBSTS", "'20260101000000', 'U2', 'u', '01', NULL");
  EXPECT_EQ(0, b.ClaimJob(Keyed("20260101000000", "U1", "u"), "b", nullptr));
  EXPECT_EQ(100, a.ClaimJob(Keyed("20260101000000", "U2", "u"), "a", nullptr));
  ASSERT_EQ(0, session_.Execute(
                   TestStatement("DELETE FROM KVSYSTEM.KVS500JOB WHERE JOBKE2 IN ('U1', 'U2')")));

  std::string own;
  ASSERT_EQ(0, session_.OpenCursor(CursorSlot::kRunningJobs,
                                   TextOpenRunningJobsOfNode(kStateRunning, "a")));
  for (JobRecord row; a.FetchRunningJob(&row) == 0;) own += std::string(row.jobke2) + " ";
  (void)a.CloseRunningJobs();
  EXPECT_EQ("Q R1 ", own);

  ASSERT_EQ(0, session_.Execute(TextInsertNodeStatus(dialect, "a", "ia")));
  ASSERT_EQ(0, session_.Execute(TextRenewNode(dialect, "a", "ia")));
  Put("JOBDA1, JOBKE2, JOBRTY, JOBSDA", "'99999999999999', 'JOBSTARTER b', '99', '20260101000000'");
  Put("JOBDA1, JOBKE2, JOBRTY, JOBSDA", "'99999999999999', 'JOBSTARTER STATUSJOB', '99', ''");
  std::vector<NodeStatus> nodes;
  ASSERT_EQ(0, a.ReadNodes(60, &nodes));
  ASSERT_EQ(2u, nodes.size());
  EXPECT_EQ("a", nodes[0].name);
  EXPECT_FALSE(nodes[0].silent);
  EXPECT_EQ(Value("SELECT DATE_FORMAT(UTC_TIMESTAMP(), '%Y%m%d%H%i') AS v"),
            nodes[0].jobsda.substr(0, 12));
  EXPECT_LE(nodes[0].jobsda, nodes[0].now);
  EXPECT_EQ("b", nodes[1].name);
  EXPECT_TRUE(nodes[1].silent);

  // The live node is not taken over; of two nodes finding b silent one
  // takes it over; b's rows only, its mark gone once it writes again.
  int64_t rows = -1;
  EXPECT_EQ(100, b.TakeOver(nodes[0], 60, &rows));
  ASSERT_EQ(0, a.TakeOver(nodes[1], 60, &rows));
  EXPECT_EQ(2, rows);
  EXPECT_EQ(100, b.TakeOver(nodes[1], 60, &rows));
  // b, going on late, cannot write the rows taken from it; a its own.
  JobRecord late = Keyed("20260101000000", "R2");
  SetField(late.jobsts, kStateEnded);
  SetField(late.jobusr, "b");
  ASSERT_EQ(0, session_.Execute(TextUpdateOwnJobRow(late, "b")));
  JobRecord mine = Keyed("20260101000000", "R1");
  SetField(mine.jobsts, kStateEnded);
  SetField(mine.jobusr, "a");
  ASSERT_EQ(0, session_.Execute(TextUpdateOwnJobRow(mine, "a")));
  EXPECT_EQ("P 99 b / Q 01 a / R1 98 a / R2 99 b",
            Rows("CONCAT_WS(' ', JOBKE2, JOBSTS, JOBUSR)", "JOBDA1 <> '99999999999999'"));
  nodes.clear();
  ASSERT_EQ(0, a.ReadNodes(60, &nodes));
  EXPECT_TRUE(nodes[1].taken_over && !nodes[0].taken_over);
  ASSERT_EQ(0, session_.Execute(TextJoinNode(dialect, "b", "ib", "")));
  EXPECT_EQ(
      "JOBSTARTER a 99 - / JOBSTARTER b 99 - / JOBSTARTER STATUSJOB 99 -",
      Rows("CONCAT_WS(' ', JOBKE2, JOBRTY, COALESCE(JOBSTS, '-'))", "JOBDA1 = '99999999999999'"));
}

}  // namespace
}  // namespace kvs
