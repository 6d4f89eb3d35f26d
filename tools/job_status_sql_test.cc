#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/connection_file.h"
#include "core/controller.h"
#include "db/test_database.h"
#include "diag/text.h"
#include "gtest/gtest.h"
#include "jobs/run_types.h"
#include "proc/process_manager.h"
#include "tools/job_status.h"
#include "tools/job_status_queries.h"
#include "tools/job_status_render.h"

namespace kvs {
namespace {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

constexpr const char* kTables[] = {"KVS500JOB", "KVS200MSG", "KVS800SCD"};

// The status statements on the private MariaDB, and kvsjobstat's run with
// a program directory of its own. The clock stands on 2026-01-05 10:00.
class JobStatusSqlTest : public DatabaseTest {
 protected:
  void SetUp() override {
    RestoreTables();
    DatabaseTest::SetUp();
    if (HasFatalFailure()) return;
    Sql("DELETE FROM KVSYSTEM.KVS800SCD");
    Sql("DELETE FROM KVSYSTEM.KVS200MSG");
    platform_.SetLocalTime(2026, 1, 5, 10, 0, 0);
    std::ofstream(dir_ / "KVSJOBCTL.INI") << "[JOBATR]\nKVSINI=.\\conn.ini\n";
    platform_.own_path = (dir_ / "kvsjobstat").string();
  }
  // A table renamed by a test comes back even when the test failed.
  void TearDown() override {
    RestoreTables();
    (void)session_.Execute(TestStatement("DELETE FROM KVSYSTEM.KVS800SCD"));
    (void)session_.Execute(TestStatement("DELETE FROM KVSYSTEM.KVS200MSG"));
  }
  void RestoreTables() {
    for (const char* t : kTables) {
      // Fails, as it should, when nothing was renamed.
      (void)session_.Execute(TestStatement(std::string("RENAME TABLE KVSYSTEM.") + t + "_AWAY TO KVSYSTEM." + t));
    }
  }
  void Hide(const std::string& table) {
    Sql("RENAME TABLE KVSYSTEM." + table + " TO KVSYSTEM." + table + "_AWAY");
  }

  // sts and the stamps are SQL literals (NULL allowed).
  void Job(const std::string& da1, const std::string& ke2, const std::string& rty,
           const std::string& sts, int stv, const std::string& nrt = "NULL",
           const std::string& sda = "NULL") {
    Put("JOBDA1, JOBKE2, JOBRTY, JOBSTS, JOBSTV, JOBNRT, JOBDLT, JOBSDA, JOBNAM, JOBNUM, JOBMRT",
        "'" + da1 + "', '" + ke2 + "', '" + rty + "', " + sts + ", " + std::to_string(stv) + ", " +
            nrt + ", " + nrt + ", " + sda + ", 'p.exe', '42', 600");
  }
  void Schedule(const std::string& nam, const std::string& until) {
    Sql("INSERT INTO KVSYSTEM.KVS800SCD (SCDLIZ, SCDMND, SCDNAM, SCDSBE, SCDTYP, SCDBIS) VALUES "
        "('00001', '00002', '" +
        nam + "', 'Team', 2, " + until + ")");
  }
  void Message(const std::string& uid, const std::string& src, const std::string& tin,
               const std::string& text = "") {
    Sql("INSERT INTO KVSYSTEM.KVS200MSG (MSGUID, MSGTXT, MSGSRC, MSGTIN) VALUES ('" + uid +
        "', '" + (text.empty() ? "text " + uid : text) + "', '" + src + "', '" + tin + "')");
  }
  // The connection file kvsjobstat reads, with the test account.
  void ConnectionFile(const std::string& password, const std::string& dsn) {
    const Credentials c = TestCredentials();
    const std::string file = (dir_ / "conn.ini").string();
    const Strings keys[] = {
        {"DATABASE", dsn}, {"LOGIN", c.user}, {"PASS", password}, {"DB_SYSTEM", "MYSQL"}};
    int32_t number = 0;
    for (const Strings& kv : keys) {
      ASSERT_EQ(0, WriteConnectionRecord(file, "KVS", ++number, kv[0], kv[1]));
    }
  }
  int Run(
      const Strings& args, const std::function<bool()>& stop = [] { return false; }) {
    error_.clear();
    platform_.console.clear();
    return RunJobStatus(platform_, args, &error_, stop);
  }

  static size_t Occurrences(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
  }
  // A job as "RT JOBKE2", what holds it or why it is stuck, and for an
  // ended one when and how it ended.
  static Strings Keys(const std::vector<StatusJob>& jobs) {
    Strings keys;
    for (const StatusJob& j : jobs) {
      const char* const kReasons[] = {"",        " failed", " used up", " never",
                                      " window", " gone",   " not due", " maxjobs ",
                                      " key ",   " after ", " waits "};
      std::string key = j.jobrty + " " + j.jobke2 + kReasons[static_cast<int>(j.reason)] + j.holder;
      const char* const kEnds[] = {" ended ", " killed ", " runtime ", " dblost ", " gone ",
                                   " nostart "};
      if (!j.ended_at.empty()) key += kEnds[static_cast<int>(j.end)] + j.ended_at;
      keys.push_back(key);
    }
    return keys;
  }

  std::string error_;
};

// Catches a run type in the wrong list or missing from it, run type 06
// shown as running, waiting jobs out of the controller's order (by JOBDLT,
// or by JOBNRT for 03/07/08), a 03 in 97 listed as stuck instead of
// waiting for its window, a startable 04 (state 90, 10 attempts) taken
// for stuck, rows that never start again shown nowhere (07 in 90, 04/09
// with 11 attempts in any state but 01, 01/05/09 in 00), a 07 in 90 listed
// twice, a 07 whose schedule ended or ends today taken for a fault, a
// running 07 without schedule listed as stuck, and the type filter
// letting other run types through. And what holds a waiting job, as the
// pass's own starts leave it: not yet due, MAXJOBS taken by the running
// jobs and by the 04 and 01 jobs the pass starts before it, a running job
// of the same JOBURV (not for 07/08/09, whose pass forgets the running
// keys) or an earlier row of it that the pass starts, the exclusive job
// waiting for the running jobs but not for 04 and 09, and then holding
// back every other run type ahead of any JOBURV; a waiting 01 or 05 with
// 12 attempts, which the pass sets to 90, listed as stuck and holding
// nothing; a filter that hides the holder still shows the hold. And the
// ended list: the last day only, newest first, 98 as plainly ended, 99
// after its maximum run time or right after the pool's "database lost" or
// "service not answering" message, not for another run of its program
// that hit its limit, else only as terminated, each failed start at its
// own pool message's time (two rows of one command line apart) and left
// out without one.
TEST_F(JobStatusSqlTest, RowsByList) {
  Job("20260105010000", "RUN-A", "01", "'01'", 1, "NULL", "'20260105070000'");
  Job("20260105010001", "RUN-06", "06", "'01'", 1, "NULL", "'20260105050000'");
  Job("20260105010002", "RUN-B", "04", "'01'", 1, "NULL", "'20260105060000'");
  Job("20260105010003", "Gone2#Team#00001#00002", "07", "'01'", 1, "NULL", "'20260105080000'");
  Job("20260101000000", "EXKL", "05", "NULL", 0, "'20260105200000'");
  Job("20260101000001", "EXKL-90", "05", "'90'", 1);
  Job("20260102000000", "PERM-A", "04", "'98'", 3);
  Job("20260102000001", "PERM-90", "04", "'90'", 10);
  Job("20260102000002", "PERM-MAX", "04", "'90'", 11);
  Job("20260102000003", "PERM-STOP", "04", "'99'", 1, "NULL", "'20260105060000'");
  Job("20260103000002", "Q2", "01", "NULL", 0);
  Job("20260103000001", "Q1", "01", "'  '", 0);
  Job("20260103000003", "Q-00", "01", "'00'", 0);
  Job("20260103000004", "Q-90", "01", "'90'", 11);
  Job("20260104000001", "P-LATE", "03", "'00'", 0, "'20260105090000'");
  Job("20260104000002", "P-EARLY", "03", "NULL", 0, "'20260105080000'");
  Job("20260104000003", "P-97", "03", "'97'", 0);
  Job("20260104000004", "P-98", "03", "'98'", 0);
  Job("20260104000005", "Daily#Team#00001#00002", "07", "'00'", 0, "'20260106070000'");
  Job("20260104000006", "Gone#Team#00001#00002", "07", "'98'", 0);
  Job("20260104000007", "Ended#Team#00001#00002", "07", "'98'", 0);
  Job("20260104000008", "Today#Team#00001#00002", "07", "'98'", 0);
  Job("20260104000009", "DAYEND", "08", "'  '", 0, "'20260105180000'");
  Job("20260104000010", "RESTART", "09", "NULL", 0);
  Job("20260104000011", "RESTART-X", "09", "'01'", 0, "NULL", "'20260105065000'");
  Job("20260104000012", "Cal90#Team#00001#00002", "07", "'90'", 1);
  Job("20260104000013", "PERM-98-MAX", "04", "'98'", 11);
  Job("20260104000014", "RESTART-NULL-MAX", "09", "NULL", 12);
  Job("20260104000015", "RESTART-00", "09", "'00'", 0);
  Job("20260104000016", "RUN-MAX", "09", "'01'", 11, "NULL", "'20260105065500'");
  Job("20260103000005", "Q3", "01", "NULL", 0);
  Job("20260103000006", "Q-00-MAX", "01", "'00'", 11);
  Job("20260103000007", "Q4", "01", "NULL", 0);
  Job("20260103000008", "Q5", "01", "NULL", 0);
  Job("20260103000009", "Q-12", "01", "NULL", 12);
  Job("20260103000010", "Q-90B", "01", "'90'", 1);
  Job("20260103000011", "Q6", "01", "NULL", 0);
  Job("20260101000002", "EXKL-00", "05", "'00'", 0);
  Job("20260101000003", "EXKL-12", "05", "'  '", 12);
  Job("20260105000001", "KILLED", "01", "'99'", 1, "NULL", "'20260105080000'");
  Job("20260105000002", "DBLOST", "01", "'99'", 1, "NULL", "'20260105090000'");
  Job("20260105000003", "STOPPED", "01", "'99'", 1, "NULL", "'20260105094500'");
  Schedule("Daily", "NULL");
  Schedule("Ended", "'2026-01-04'");
  Schedule("Today", "'2026-01-05'");
  // RUN-A holds K1 and K2; a 09 of K2 does not wait for it.
  Sql("UPDATE KVSYSTEM.KVS500JOB SET JOBURV = 'K1' WHERE JOBKE2 IN ('RUN-A', 'Q2')");
  Sql("UPDATE KVSYSTEM.KVS500JOB SET JOBURV = 'K2' WHERE JOBKE2 = 'RESTART'");
  Sql("UPDATE KVSYSTEM.KVS500JOB SET JOBURV = 'K2' WHERE JOBKE2 = 'RUN-B'");
  // Q4 starts in the pass and holds Q5.
  Sql("UPDATE KVSYSTEM.KVS500JOB SET JOBURV = 'K3' WHERE JOBKE2 IN ('Q4', 'Q5')");
  // A permanent job without a run-time limit, ended as the service stopped.
  Sql("UPDATE KVSYSTEM.KVS500JOB SET JOBMRT = 0 WHERE JOBKE2 = 'PERM-STOP'");
  const struct {
    const char* ke2;
    const char* eda;
  } ends[] = {{"P-98", "20260105093000"},       {"PERM-A", "20260104120000"},
              {"Gone#Team#00001#00002", "20260104095959"}, {"KILLED", "20260105081100"},
              {"DBLOST", "20260105090005"},     {"STOPPED", "20260105095000"},
              {"PERM-STOP", "20260105063001"}};
  for (const auto& e : ends) {
    Sql(std::string("UPDATE KVSYSTEM.KVS500JOB SET JOBEDA = '") + e.eda + "' WHERE JOBKE2 = '" +
        e.ke2 + "'");
  }
  Sql("UPDATE KVSYSTEM.KVS500JOB SET JOBCMD = CONCAT(JOBKE2, '.exe')");
  Sql("UPDATE KVSYSTEM.KVS500JOB SET JOBCMD = 'Q-90.exe' WHERE JOBKE2 = 'Q-90B'");
  Message("lost", "KVSJOBSTR", "20260105100000",
          "05.01.2026 09:00:01 Datenbankverbindung unterbrochen => Jobs werden beendet!");
  Message("q90", "KVSJOBSTR", "20260105070000",
          "05.01.2026 07:00:00 Der Job Q-90.exe konnte nicht gestartet werden!");
  Message("other", "KVSPORTAL", "20260105070000",
          "05.01.2026 07:00:00 Der Job EXKL-90.exe konnte nicht gestartet werden!");
  Message("q90b", "KVSJOBSTR", "20260105080000",
          "05.01.2026 08:00:00 Der Job Q-90.exe konnte nicht gestartet werden!");
  // Another p.exe job over its limit, a minute before the service stopped.
  Message("limit", "KVSJOBSTR", "20260105062900",
          "05.01.2026 06:29:00 " + StrFormat(kMsgRuntimeExceeded, "p.exe"));
  Message("gone", "KVSJOBSTR", "20260105063000",
          std::string("05.01.2026 06:30:00 ") + kMsgServiceGone);

  const Strings ended = {"01 STOPPED killed 20260105095000", "03 P-98 ended 20260105093000",
                         "01 DBLOST dblost 20260105090005", "01 KILLED runtime 20260105081100",
                         "01 Q-90B nostart 20260105080000", "01 Q-90 nostart 20260105070000",
                         "04 PERM-STOP gone 20260105063001", "04 PERM-A ended 20260104120000"};
  const Strings stuck = {"01 Q-90 failed", "01 Q-90B failed", "05 EXKL-90 failed",
                         "07 Cal90#Team#00001#00002 failed", "01 Q-12 used up",
                         "04 PERM-MAX used up", "04 PERM-98-MAX used up", "05 EXKL-12 used up",
                         "09 RESTART-NULL-MAX used up", "01 Q-00 never", "01 Q-00-MAX never",
                         "05 EXKL-00 never", "09 RESTART-00 never",
                         "07 Gone#Team#00001#00002 gone"};
  const struct {
    const char* run_type;
    const char* before;  // a statement run first
    Strings running, waiting, stuck, ended;
  } cases[] = {
      {"", "",
       {"04 RUN-B", "09 RESTART-X", "09 RUN-MAX", "01 RUN-A", "07 Gone2#Team#00001#00002"},
       {"05 EXKL not due", "04 PERM-A", "04 PERM-90", "04 PERM-STOP", "01 Q1",
        "01 Q2 key p.exe", "01 Q3", "01 Q4", "01 Q5 key q4.exe", "01 Q6 maxjobs 11 von 11",
        "03 P-EARLY", "03 P-LATE", "03 P-97 window", "07 Daily#Team#00001#00002 not due",
        "08 DAYEND not due", "09 RESTART"},
       stuck,
       ended},
      {"07", "",
       {"07 Gone2#Team#00001#00002"},
       {"07 Daily#Team#00001#00002 not due"},
       {"07 Cal90#Team#00001#00002 failed", "07 Gone#Team#00001#00002 gone"},
       {}},
      {"04", "",
       {"04 RUN-B"},
       {"04 PERM-A", "04 PERM-90", "04 PERM-STOP"},
       {"04 PERM-MAX used up", "04 PERM-98-MAX used up"},
       {"04 PERM-STOP gone 20260105063001", "04 PERM-A ended 20260104120000"}},
      // The exclusive job is due: 01 RUN-A and the 07 keep it waiting, and
      // it every other run type.
      {"", "UPDATE KVSYSTEM.KVS500JOB SET JOBDLT = '20260105095959' WHERE JOBKE2 = 'EXKL'",
       {"04 RUN-B", "09 RESTART-X", "09 RUN-MAX", "01 RUN-A", "07 Gone2#Team#00001#00002"},
       {"05 EXKL waits 2", "04 PERM-A after EXKL", "04 PERM-90 after EXKL",
        "04 PERM-STOP after EXKL", "01 Q1 after EXKL", "01 Q2 after EXKL", "01 Q3 after EXKL",
        "01 Q4 after EXKL", "01 Q5 after EXKL", "01 Q6 after EXKL", "03 P-EARLY after EXKL",
        "03 P-LATE after EXKL", "03 P-97 window", "07 Daily#Team#00001#00002 not due",
        "08 DAYEND not due", "09 RESTART after EXKL"},
       stuck,
       ended},
      {"04", "",
       {"04 RUN-B"},
       {"04 PERM-A after EXKL", "04 PERM-90 after EXKL", "04 PERM-STOP after EXKL"},
       {"04 PERM-MAX used up", "04 PERM-98-MAX used up"},
       {"04 PERM-STOP gone 20260105063001", "04 PERM-A ended 20260104120000"}},
  };
  for (const auto& c : cases) {
    if (*c.before) Sql(c.before);
    JobStatus status;
    status.max_jobs = 11;
    ASSERT_EQ(0, ReadJobStatus(session_, c.run_type, "20260105100000", &status))
        << (status.failures.empty() ? "" : status.failures[0].text);
    EXPECT_EQ(5, status.running_count) << "type " << c.run_type;
    EXPECT_EQ(c.running, Keys(status.running)) << "type " << c.run_type;
    EXPECT_EQ(c.waiting, Keys(status.waiting)) << "type " << c.run_type;
    EXPECT_EQ(c.stuck, Keys(status.stuck)) << "type " << c.run_type;
    EXPECT_EQ(c.ended, Keys(status.ended)) << "type " << c.run_type;
  }
  // The row's own values reach the running list, and the reasons read as
  // the operator sees them.
  Sql("UPDATE KVSYSTEM.KVS500JOB SET JOBDLT = '20260105200000' WHERE JOBKE2 = 'EXKL'");
  JobStatus status;
  status.max_jobs = 11;
  ASSERT_EQ(0, ReadJobStatus(session_, "01", "20260105100000", &status));
  Strings texts;
  for (const StatusJob& j : status.waiting) texts.push_back(StartText(j));
  for (const StatusJob& j : status.stuck) texts.push_back(ReasonText(j));
  for (const StatusJob& j : status.ended) texts.push_back(EndText(j) + " " + EndedRunTime(j));
  EXPECT_EQ((Strings{"sofort", "JOBURV K1: l\xE4uft noch als p.exe", "sofort", "sofort",
                     "JOBURV K3: l\xE4uft noch als q4.exe", "MAXJOBS 11 von 11 belegt",
                     "Start fehlgeschlagen, 11 Startversuche",
                     "Start fehlgeschlagen, 1 Startversuche",
                     "12 Startversuche: ab 11 startet er nicht mehr",
                     "Status 00: Laufart 01 startet nur leer",
                     "Status 00: Laufart 01 startet nur leer", "vom Jobcontroller beendet 0:05:00",
                     "Datenbankverbindung unterbrochen 0:00:05",
                     "Laufzeit\xFC" "berschreitung (Max. 0:10:00) 0:11:00",
                     "Start fehlgeschlagen (90) -", "Start fehlgeschlagen (90) -"}),
            texts);
  ASSERT_EQ(1u, status.running.size());
  const StatusJob& run = status.running[0];
  EXPECT_EQ("p.exe|42|20260105070000|600",
            run.jobnam + "|" + run.jobnum + "|" + run.jobsda + "|" + std::to_string(run.jobmrt));
}

// Catches kvsjobstat and the controller disagreeing on which rows wait,
// in which order, and from when: for each run type of the pass, rows in
// every state that matters, with 10 and 11 start attempts, planned an hour
// ago, in an hour or not at all. The pass's own selection runs again and
// again, each row it takes marked running as the launch does (or "90" as
// the start loop does with used-up attempts), at 10:00 and at 12:00 (the
// database's clock set alike): it must start exactly the rows kvsjobstat
// lists as waiting, in kvsjobstat's order, those whose shown time has
// come at 10:00 (and not "not due"), the others at 12:00, and set to "90"
// exactly those it lists as stuck for their attempts. A periodic row
// without JOBNRT is listed but waits for the update to plan it.
TEST_F(JobStatusSqlTest, WaitingIsWhatThePassSelects) {
  struct Value {
    const char* sql;
    const char* label;
  };
  const Value states[] = {{"NULL", "null"}, {"'  '", "blank"}, {"'00'", "00"}, {"'01'", "01"},
                          {"'90'", "90"},   {"'97'", "97"},    {"'98'", "98"}};
  const Value plans[] = {{"'20260105090000'", "past"}, {"'20260105110000'", "later"},
                         {"NULL", "none"}};
  int n = 0;
  for (const RunTypeRule& rule : kRunTypeRules) {
    for (const Value& sts : states) {
      for (int stv : {10, 11}) {
        for (const Value& plan : plans) {
          const char* rty = rule.run_type.text();
          Job(StrFormat("20260101%06d", ++n),
              StrFormat("%s %s %d %s", rty, sts.label, stv, plan.label), rty, sts.sql, stv,
              plan.sql);
        }
      }
    }
  }
  // JOBDLT the other way round, so that a list showing the column a run
  // type does not wait for shows.
  Sql("UPDATE KVSYSTEM.KVS500JOB SET JOBDLT = CASE JOBNRT WHEN '20260105090000' THEN "
      "'20260105110000' WHEN '20260105110000' THEN '20260105090000' END");
  JobStatus status;
  ASSERT_EQ(0, ReadJobStatus(session_, "", "20260105100000", &status));
  const struct {
    const char* now;
    const char* clock;
  } times[] = {{"20260105100000", "2026-01-05 10:00:00"},
               {"20260105120000", "2026-01-05 12:00:00"}};
  for (const RunTypeRule& rule : kRunTypeRules) {
    Strings expected[2], taken[2], used_up, retired;
    for (const StatusJob& job : status.stuck) {
      if (rule.retires_used_up && job.jobrty == rule.run_type.text() &&
          job.reason == StuckReason::kAttemptsUsedUp) {
        used_up.push_back(job.jobke2);
      }
    }
    for (const StatusJob& job : status.waiting) {
      if (job.jobrty != rule.run_type.text() || job.reason == StuckReason::kOutsideWindow) continue;
      if (job.next.empty() && rule.selection.due == Due::kNextRun &&
          !rule.selection.unplanned_due) {
        continue;
      }
      const int at = job.next.empty() || job.next <= times[0].now ? 0 : 1;
      expected[at].push_back(job.jobke2);
      // The reason read at 10:00 agrees with the pass on what is not due.
      EXPECT_EQ(at == 1, job.reason == StuckReason::kNotDue) << job.jobke2;
    }
    for (int t = 0; t < 2; ++t) {
      Sql(std::string("SET timestamp = UNIX_TIMESTAMP('") + times[t].clock + "')");
      int rc = 0;
      for (int i = 0; i < 100; ++i) {
        JobRecord job;
        rc = jobs_.NextJob(TextNextJob(rule, session_.dialect(), times[t].now, SqlList()), &job);
        if (rc != 0) break;
        const bool retire = rule.retires_used_up && job.jobstv > kMaxStartAttempts;
        (retire ? retired : taken[t]).push_back(job.jobke2);
        ASSERT_EQ(0, jobs_.UpdateStatusJob(retire ? "90" : "01", job.jobda1, job.jobke2));
      }
      EXPECT_EQ(100, rc) << session_.error().message;
      EXPECT_EQ(expected[t], taken[t]) << rule.run_type.text() << " at " << times[t].clock;
    }
    std::sort(used_up.begin(), used_up.end());
    std::sort(retired.begin(), retired.end());
    EXPECT_EQ(used_up, retired) << rule.run_type.text();
    // NULL and blank, 11 attempts, each plan.
    EXPECT_EQ(rule.retires_used_up ? 6u : 0u, retired.size()) << rule.run_type.text();
  }
}

// Catches messages of other senders shown, more than ten, the oldest
// instead of the newest, or newest last.
TEST_F(JobStatusSqlTest, NewestTenControllerMessages) {
  for (int i = 0; i < 12; ++i) {
    Message("m" + std::to_string(i), "KVSJOBSTR", "202601050800" + std::to_string(10 + i));
  }
  Message("other", "KVSPORTAL", "20260105090000");
  JobStatus status;
  ASSERT_EQ(0, ReadJobStatus(session_, "", "20260105100000", &status));
  Strings texts;
  for (const PoolMessage& m : status.messages) texts.push_back(m.msgtxt);
  EXPECT_EQ((Strings{"text m11", "text m10", "text m9", "text m8", "text m7", "text m6", "text m5",
                     "text m4", "text m3", "text m2"}),
            texts);
  EXPECT_EQ("20260105080021", status.messages[0].msgtin);
}

// Catches a failed connect reported as something else or without the data
// source and the user, the controller's line missing or not first, --dir
// not reading the settings there, a missing table not named with its
// SQLSTATE or hiding the other lists, a filter on 01 still needing the
// schedule table, and --watch ending at a failing query or not showing
// anew (cleared screen each time) or not stopping when asked.
TEST_F(JobStatusSqlTest, ExitCodes) {
  const Credentials c = TestCredentials();
  ConnectionFile("wrong-password", c.data_source);
  EXPECT_EQ(4, Run({}));
  EXPECT_EQ("kvsjobstat: Datenquelle '" + c.data_source +
                "' nicht erreichbar oder Anmeldung als '" + c.user + "' abgelehnt\n",
            error_);
  ConnectionFile(c.password, "KVSNODSN");
  EXPECT_EQ(4, Run({}));
  EXPECT_NE(std::string::npos, error_.find("'KVSNODSN'")) << error_;

  ConnectionFile(c.password, c.data_source);
  Job("20260105010000", "RUN-A", "01", "'01'", 1, "NULL", "'20260105093000'");
  // The database answers, but no controller runs from the directory.
  const std::string not_running =
      "Jobcontroller laeuft nicht: kein Prozess " + (dir_ / "KVSJOBSTR").string();
  ASSERT_EQ(1, Run({})) << error_;
  EXPECT_EQ(0u, platform_.console.find(not_running + "\nkvsjobstat  2026-01-05 10:00:00  Datenquelle " +
                                       c.data_source + "  MAXJOBS 3, laufend 1\n\nLaufende Jobs (1)\n"))
      << platform_.console;
  platform_.own_path = "/nowhere/kvsjobstat";
  ASSERT_EQ(1, Run({"--json", "--type", "01", "--dir", dir_.string()})) << error_;
  EXPECT_EQ(0u, platform_.console.find("{\"time\":\"2026-01-05 10:00:00\",\"controller\":{"
                                       "\"state\":\"not_running\""))
      << platform_.console;
  EXPECT_NE(std::string::npos, platform_.console.find("\"running\":[{")) << platform_.console;
  platform_.own_path = (dir_ / "kvsjobstat").string();

  const struct {
    const char* table;
    Strings args;
    int rc;
    const char* still_shown;
  } missing[] = {
      {"KVS800SCD", {}, 5, "Laufende Jobs (1)\n"},
      {"KVS800SCD", {"--type", "01"}, 1, "Laufende Jobs (1)\n"},
      {"KVS200MSG", {}, 5, "Laufende Jobs (1)\n"},
      {"KVS500JOB", {"--type", "07"}, 5, "Letzte Meldungen des Jobcontrollers (0)\n  (keine)\n"},
  };
  for (const auto& m : missing) {
    Hide(m.table);
    EXPECT_EQ(m.rc, Run(m.args)) << m.table;
    EXPECT_NE(std::string::npos, platform_.console.find(m.still_shown)) << platform_.console;
    const std::string failed = std::string("Abfrage auf KVSYSTEM.") + m.table +
                               " fehlgeschlagen (Tabelle fehlt), SQLSTATE 42S02: ";
    if (m.rc == 5) {
      EXPECT_EQ(0u, error_.find(kErrPrefix + failed)) << error_;
      EXPECT_NE(std::string::npos, platform_.console.find("  Fehler: " + failed))
          << platform_.console;
    }
    RestoreTables();
  }

  Hide("KVS500JOB");
  int checks = 0;
  EXPECT_EQ(5, Run({"--watch", "1"}, [&] { return ++checks > 6; })) << error_;
  RestoreTables();
  // Two frames, each with the failure: five waits of 200 ms between them,
  // stopped in the second wait.
  const std::string& shown = platform_.console;
  size_t frames = 0;
  for (size_t at = shown.find(kClearScreen); at != std::string::npos;
       at = shown.find(kClearScreen, at + 1)) {
    ++frames;
    EXPECT_EQ(at + strlen(kClearScreen), shown.find(not_running, at)) << shown;
  }
  EXPECT_EQ(0u, shown.find(kClearScreen));
  EXPECT_EQ(2u, frames);
  // Running, waiting, stuck and ended fail; MAXJOBS without a count.
  EXPECT_EQ(2u * 4, Occurrences(shown, "  Fehler: Abfrage auf KVSYSTEM.KVS500JOB")) << shown;
  EXPECT_EQ(0u, Occurrences(shown, "laufend")) << shown;
}

// Catches node rows not read, the KNOTENTIMEOUT of the INI not applied
// (beta, 30 s silent, is live at the default 60), the age taken by the
// local clock instead of the server's, running jobs counted across nodes,
// with run type 06 or by the case of the name, a taken-over node shown as
// merely silent, the local node's MAXJOBS count taken from every node's
// jobs, and with --node the local controller's exit code and line instead
// of the node's, also when the status rows cannot be read.
TEST_F(JobStatusSqlTest, Nodes) {
  std::ofstream(dir_ / "KVSJOBCTL.INI")
      << "[JOBATR]\nKVSINI=.\\conn.ini\nKNOTENTIMEOUT=20\nKNOTEN=Alpha\n";
  const Credentials c = TestCredentials();
  ConnectionFile(c.password, c.data_source);
  const struct {
    const char* name;
    int ago;
    const char* sts;
  } nodes[] = {{"alpha", 2, "NULL"}, {"beta", 30, "NULL"}, {"gamma", 100, "'99'"}};
  for (const auto& n : nodes) {
    Put("JOBDA1, JOBKE2, JOBURV, JOBRTY, JOBSTS, JOBSDA",
        std::string("'99999999999999', 'JOBSTARTER ") + n.name + "', 'KNOTEN', '99', " + n.sts +
            ", DATE_FORMAT(DATE_SUB(UTC_TIMESTAMP(), INTERVAL " + std::to_string(n.ago) +
            " SECOND), '%Y%m%d%H%i%s')");
  }
  Put("JOBDA1, JOBKE2, JOBRTY, JOBSDA", "'99999999999999', 'JOBSTARTER STATUSJOB', '99', ''");
  const char* const running[][3] = {{"A1", "01", "'alpha'"}, {"A2", "04", "'ALPHA'"},
                                    {"A3", "06", "'alpha'"}, {"B1", "01", "'beta'"},
                                    {"G1", "09", "'gamma'"}, {"X1", "01", "NULL"}};
  for (const auto& r : running) {
    Put("JOBDA1, JOBKE2, JOBRTY, JOBSTS, JOBUSR, JOBSDA", std::string("'20260105010000', '") +
                                                              r[0] + "', '" + r[1] + "', '01', " +
                                                              r[2] + ", '20260105093000'");
  }
  ASSERT_EQ(1, Run({"--json", "--type", "04"})) << error_;
  const std::string& json = platform_.console;
  const struct {
    const char* name;
    int64_t age;
    const char* rest;
  } shown[] = {{"alpha", 2, ",\"running\":2,\"state\":\"live\"}"},
               {"beta", 30, ",\"running\":1,\"state\":\"dead\"}"},
               {"gamma", 100, ",\"running\":1,\"state\":\"taken_over\"}"}};
  size_t at = json.find("\"nodes\":[{\"name\":\"alpha\"");
  for (const auto& s : shown) {
    at = json.find(std::string("{\"name\":\"") + s.name + "\",\"status_row\":\"", at);
    ASSERT_NE(std::string::npos, at) << json;
    at = json.find("\"age_seconds\":", at) + strlen("\"age_seconds\":");
    const int64_t age = LeadingInt(json.substr(at, 4));
    EXPECT_TRUE(age >= s.age && age <= s.age + 3) << s.name << " " << age;
    EXPECT_EQ(json.find(",", at), json.find(s.rest, at)) << json;
  }
  EXPECT_EQ(std::string::npos, json.find("STATUSJOB")) << json;
  EXPECT_NE(std::string::npos, json.find("\"running_count\":2,")) << json;

  const struct {
    const char* node;
    int rc;
    const char* first;
  } watched[] = {
      {"ALPHA", 0, "Knoten alpha laeuft, Statuszeile vor 0:00:0"},
      {"beta", 1, "Knoten beta laeuft nicht: Statuszeile seit 0:00:3"},
      {"gamma", 1, "Knoten gamma laeuft nicht: Statuszeile seit 0:01:4"},
      {"delta", 1,
       "Knoten delta unbekannt: keine Statuszeile in der Jobtabelle\nJobcontroller "
       "laeuft nicht"},
  };
  for (const auto& w : watched) {
    EXPECT_EQ(w.rc, Run({"--node", w.node})) << w.node << error_;
    EXPECT_EQ(0u, platform_.console.find(w.first)) << platform_.console;
  }
  EXPECT_NE(std::string::npos, platform_.console.find("\n\nKnoten (3)\n")) << platform_.console;
  Hide("KVS500JOB");
  EXPECT_EQ(5, Run({"--node", "alpha"}));
  EXPECT_EQ(0u, platform_.console.find("Knoten alpha unbekannt: Statuszeilen nicht lesbar\n"))
      << platform_.console;
}

}  // namespace
}  // namespace kvs
