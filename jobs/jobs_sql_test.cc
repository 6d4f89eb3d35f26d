#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/config.h"
#include "db/test_database.h"
#include "gtest/gtest.h"
#include "proc/cluster_node.h"
#include "platform/test_util.h"
#include "proc/test_service_link.h"
#include "jobs/permanent_jobs.h"
#include "jobs/system_jobs.h"

namespace kvs {
namespace {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

// Permanent and system jobs on the private MariaDB, processes on the fake
// platform (single controller unless a test builds its own manager), the
// main log in a scratch directory that also serves as the working
// directory where a test needs files.
class JobsSqlTest : public DatabaseTest {
 protected:
  void SetUp() override {
    DatabaseTest::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_EQ(0, session_.Execute(TestStatement("DELETE FROM KVSYSTEM.KVSAUTODNL")));
  }

  // Makes dir (created if needed) the working directory until the test
  // ends.
  void WorkIn(const fs::path& dir) {
    fs::create_directories(dir);
    cwd_.emplace(dir);
  }
  static void Touch(const fs::path& file) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << "x";
  }

  std::optional<WorkingDir> cwd_;
  MessagePool pool_{platform_, logs_, session_};
  RecordingLink link_;
  ProcessManager manager_{platform_, logs_, jobs_, pool_, link_, "\\KVS\\bin\\", false};
  PermanentJobs permanent_{logs_, jobs_, manager_, link_};
};

// ---- Permanent jobs ---------------------------------------------------------

constexpr char kPermanentColumns[] = "JOBDA1, JOBKE2, JOBRTY, JOBSTS, JOBNAM, JOBNUM, JOBSTV";

// Catches a leftover of a known program not ended (or ended under the
// database product name missing), a known row kept (or deleted by a node
// that is not first), an "unknown" row kept or given a kill, a foreign
// program's row touched, rows of another run type read, the start
// attempts not reset (or reset from 1), a heartbeat missed after a fetch,
// and a log line where nothing failed.
TEST_F(JobsSqlTest, PermanentCheckEndsKnownLeftoversAndResetsAttempts) {
  Put(kPermanentColumns, "'20000101000001', 'DYF', '04', '01', 'dyf_x.exe', '4711', 1");
  Put(kPermanentColumns, "'20000101000002', 'UNK', '04', '98', 'unknown', '4712', 0");
  Put(kPermanentColumns, "'20000101000003', 'DAYEND', '04', '01', 'dayend.exe', '4713', 5");
  Put(kPermanentColumns, "'20000101000004', 'FRESH', '04', NULL, NULL, NULL, 1");
  Put(kPermanentColumns, "'20000101000005', 'QUEUE', '01', '98', 'unknown', '4714', 5");

  permanent_.Check("SQLSERVER");

  EXPECT_EQ(Strings{"kill DYF_SQLSERVER.EXE"}, platform_.launches);
  EXPECT_EQ("DAYEND|04|01|dayend.exe|4713|0 / FRESH|04|1 / QUEUE|01|98|unknown|4714|5",
            Rows("CONCAT_WS('|', JOBKE2, JOBRTY, JOBSTS, JOBNAM, JOBNUM, JOBSTV)"));
  // One after each fetch, the one that finds no more rows included.
  EXPECT_EQ(Strings(5, "CheckRT04Jobs"), link_.beats);
  EXPECT_EQ("", LogText());

  // A node that is not first leaves a known row be: only the first one
  // registers them, and would not register it again.
  Put(kPermanentColumns, "'20000101000006', 'DYF2', '04', '98', 'dyf_x.exe', '4715', 0");
  JobTable node_jobs(session_);
  ClusterNode node(platform_, logs_, pool_, node_jobs, "n2", 60, "");
  node_jobs.set_rules(&node);
  ProcessManager node_manager(platform_, logs_, node_jobs, pool_, link_, "\\KVS\\bin\\", false);
  PermanentJobs node_permanent(logs_, node_jobs, node_manager, link_);
  platform_.launches.clear();
  node_permanent.Check("SQLSERVER");
  EXPECT_EQ(Strings{}, platform_.launches);
  EXPECT_EQ("DYF2|98", Rows("CONCAT_WS('|', JOBKE2, JOBSTS)", "JOBKE2 = 'DYF2'"));
}

// Catches the loop going on after the service stopped answering, and the
// reset of start attempts skipped when the loop ends early.
TEST_F(JobsSqlTest, PermanentCheckStopsWhenTheServiceIsGone) {
  for (const char* key : {"U1", "U2", "U3", "U4"}) {
    Put(kPermanentColumns, std::string("'20000101000001', '") + key +
                               "', '04', '90', 'unknown', '', 11");
  }
  link_.answer = false;

  permanent_.Check("MYSQL");

  EXPECT_EQ(Strings{"CheckRT04Jobs"}, link_.beats);
  EXPECT_EQ("0 / 0 / 0", Rows("JOBSTV"));
  EXPECT_TRUE(platform_.launches.empty());
}

// Catches a built-in row inserted without its program, a program looked up
// elsewhere than the working directory, wrong key or column values, and
// the duplicate insert of a later start not logged exactly or changing
// the existing row.
TEST_F(JobsSqlTest, BuiltInsOnlyWhenInstalled) {
  WorkIn(dir_ / "bin");
  permanent_.RegisterBuiltIns();
  EXPECT_EQ("0", Value("SELECT COUNT(*) AS v FROM KVSYSTEM.KVS500JOB"));
  EXPECT_EQ("", LogText());

  Touch(dir_ / "bin" / "WareFeed.exe");
  Touch(dir_ / "bin" / "DevLink" / "DevState.exe");
  permanent_.RegisterBuiltIns();
  EXPECT_EQ(
      "20000101120002|SystemJob|DevState|./DevLink/DevState.exe ../files/korvaline.ini|04|0|0|"
      "<NULL> / "
      "20000101120003|SystemJob|WareFeed|WareFeed.exe|04|0|0|<NULL>",
      Rows("CONCAT_WS('|', JOBDA1, JOBKE2, JOBURV, JOBCMD, JOBRTY, JOBMRT, JOBSTV, "
           "COALESCE(JOBSTS, '<NULL>'))"));
  EXPECT_EQ("", LogText());

  Sql("UPDATE KVSYSTEM.KVS500JOB SET JOBSTS = '01' WHERE JOBURV = 'WareFeed'");
  permanent_.RegisterBuiltIns();
  EXPECT_EQ(
      "Insert RT04Job(3): DevState! RC: 1062\n"
      "Insert-Fehler: WareFeed Jobeintrag RC: 1062!\n",
      LogText());
  EXPECT_EQ("01", Value("SELECT JOBSTS AS v FROM KVSYSTEM.KVS500JOB WHERE JOBURV = 'WareFeed'"));
  EXPECT_EQ("2", Value("SELECT COUNT(*) AS v FROM KVSYSTEM.KVS500JOB"));
}

// ---- System jobs ------------------------------------------------------------

constexpr char kExportRow[] =
    "CONCAT_WS('|', JOBDA1, JOBURV, JOBCMD, JOBRTY, JOBMRT, COALESCE(JOBSTS, '<NULL>'))";
constexpr char kPortalRow[] =
    "CONCAT_WS('|', JOBDA1, JOBURV, JOBCMD, JOBRTY, JOBMRT, JOBSTS, JOBPRM, JOBBEM, JOBDLS, "
    "JOBNRT)";
constexpr char kScheduledRow[] =
    "CONCAT_WS('|', JOBDA1, JOBKE2, JOBURV, JOBCMD, JOBRTY, JOBDLS, JOBSTS, JOBNRT)";

// Six starts of the controller: catches the export job not queued at each
// start, the portal request row wrong or overwritten (or its duplicate
// logged) at the second start, the daily job not due at today's daily
// time, the interval job not due now, the rows inserted anew instead of
// rescheduled, the former reminder-mail job left behind, a daily job that
// still runs planned again, one whose process is gone left in "01" (or its
// cut-short run not planned again), a daily job that ran today (started
// at the very second of its time) made due again by a restart, the row of
// a daily job running on another node planned anew, and the log lines of
// each start.
TEST_F(JobsSqlTest, SystemJobsFirstAndSecondStart) {
  Put("JOBDA1, JOBKE2, JOBRTY, JOBSTS", "'20000101070000', 'ERINNERUNGSMAILS SYSTEMJOB', '03', ''");
  platform_.SetLocalTime(2026, 1, 5, 8, 0, 0);
  {
    SystemJobs first(platform_, logs_, jobs_, manager_, {}, false);
    first.RegisterPortalJob();
    first.RegisterDailyAndIntervalJobs("183000");
  }
  EXPECT_EQ("20260105080000|KOR EXPORT|runExport.bat xfer.bat|01|3600|<NULL>",
            Rows(kExportRow, "JOBKE2 = 'Export KVSJOBSTR'"));
  EXPECT_EQ(
      "20010101120000|ESPVERARBEITUNG|php ..\\korvaline_php\\esp\\leaveboard\\requestrun.php|01|"
      "3600|98|0|KORVALINE ESP REQUESTRUN|0|",
      Rows(kPortalRow, "JOBKE2 = 'ESP VERARBEITUNG'"));
  EXPECT_EQ(
      "20000101070000|DAILY SYSTEMJOB|DAILYJOB|php ..\\korvaline_php\\KV_Jobs\\dayTask.php|03|2||"
      "20260105183000 / "
      "20000101080000|INTERVALL SYSTEMJOB|INTERVALLJOB|php "
      "..\\korvaline_php\\KV_Jobs\\cycleTask.php|03|3||20260105080000",
      Rows(kScheduledRow, "JOBDA1 LIKE '20000101%'"));
  EXPECT_EQ(
      "- Daily Systemjob eintragen!\n"
      "- Der daily Systemjob wurde eingetragen!\n"
      "- Intervall Systemjob eintragen!\n"
      "- Der Intervall Systemjob wurde eingetragen!\n",
      LogText());

  // Between the starts the jobs ran and the portal script asked for work.
  Sql("UPDATE KVSYSTEM.KVS500JOB SET JOBSTS = '98' WHERE JOBDA1 LIKE '20000101%'");
  Sql("UPDATE KVSYSTEM.KVS500JOB SET JOBPRM = '1' WHERE JOBKE2 = 'ESP VERARBEITUNG'");
  logs_.Clear();
  platform_.SetLocalTime(2026, 1, 6, 9, 15, 0);
  {
    SystemJobs second(platform_, logs_, jobs_, manager_, {}, false);
    second.RegisterPortalJob();
    second.RegisterDailyAndIntervalJobs("183000");
  }
  EXPECT_EQ(
      "20260105080000|KOR EXPORT|runExport.bat xfer.bat|01|3600|<NULL> / "
      "20260106091500|KOR EXPORT|runExport.bat xfer.bat|01|3600|<NULL>",
      Rows(kExportRow, "JOBKE2 = 'Export KVSJOBSTR'"));
  EXPECT_EQ("98|1", Rows("CONCAT_WS('|', JOBSTS, JOBPRM)", "JOBKE2 = 'ESP VERARBEITUNG'"));
  EXPECT_EQ("DAILY SYSTEMJOB||20260106183000 / INTERVALL SYSTEMJOB||20260106091500",
            Rows("CONCAT_WS('|', JOBKE2, JOBSTS, JOBNRT)", "JOBDA1 LIKE '20000101%'"));
  EXPECT_EQ("- Daily Systemjob eintragen!\n- Intervall Systemjob eintragen!\n", LogText());

  // A third start while the daily job of the earlier one still runs: its
  // row stays as it is, followed by the first pass.
  Sql("UPDATE KVSYSTEM.KVS500JOB SET JOBSTS = '01', JOBNAM = 'php', JOBNUM = '4321' WHERE "
      "JOBKE2 = 'DAILY SYSTEMJOB'");
  platform_.AddProcess(4321, {"php", "C:\\php\\php", platform_.Now(), true, true});
  manager_.identities().Record("20000101070000", "DAILY SYSTEMJOB",
                               {4321, platform_.IdentityOf(platform_.Now(), 4321), 0});
  const std::string jobs = "CONCAT_WS('|', JOBKE2, JOBSTS, JOBNRT, JOBNUM)";
  logs_.Clear();
  platform_.SetLocalTime(2026, 1, 7, 9, 30, 0);
  {
    SystemJobs third(platform_, logs_, jobs_, manager_, {}, false);
    third.RegisterDailyAndIntervalJobs("183000");
  }
  EXPECT_EQ("DAILY SYSTEMJOB|01|20260106183000|4321 / INTERVALL SYSTEMJOB||20260107093000",
            Rows(jobs, "JOBDA1 LIKE '20000101%'"));
  EXPECT_EQ(
      "- Daily Systemjob eintragen!\n"
      "- DAILY SYSTEMJOB laeuft noch und wird nicht neu eingeplant!\n"
      "- Intervall Systemjob eintragen!\n",
      LogText());

  // Starts after the controller died while the day's run went on, its row
  // left in "01" with no process: it ran today when it started in this
  // boot (by its record, or else by its start), and was cut short when the
  // machine went down under it; then it is due again.
  platform_.EndProcess(4321);
  platform_.AdvanceSeconds(3600);  // this boot began over an hour ago
  const struct {
    const char* what;
    const char* recorded;  // "" = no record
    const char* rows;
    const char* log;
  } crashes[] = {
      {"started in this boot", "boot-1/x",
       "DAILY SYSTEMJOB|98|20260108183000|4321 / INTERVALL SYSTEMJOB||20260108190000",
       "- Daily Systemjob eintragen!\n"
       "- DAILY SYSTEMJOB lief heute bereits (Start 20260108183000) und wird nicht neu "
       "eingeplant!\n"
       "- Intervall Systemjob eintragen!\n"},
      {"started in this boot by JOBSDA", "",
       "DAILY SYSTEMJOB|98|20260108183000|4321 / INTERVALL SYSTEMJOB||20260108190000",
       "- Daily Systemjob eintragen!\n"
       "- DAILY SYSTEMJOB lief heute bereits (Start 20260108183000) und wird nicht neu "
       "eingeplant!\n"
       "- Intervall Systemjob eintragen!\n"},
      {"started before the boot", "boot-0/x",
       "DAILY SYSTEMJOB||20260108183000|4321 / INTERVALL SYSTEMJOB||20260108190000",
       "- Daily Systemjob eintragen!\n- Intervall Systemjob eintragen!\n"},
  };
  for (const auto& c : crashes) {
    Sql("UPDATE KVSYSTEM.KVS500JOB SET JOBSTS = '01', JOBSDA = '20260108183000', JOBNRT = "
        "'20260108183000' WHERE JOBKE2 = 'DAILY SYSTEMJOB'");
    ProcessManager manager(platform_, logs_, jobs_, pool_, link_, "", false);
    if (*c.recorded) {
      manager.identities().Record("20000101070000", "DAILY SYSTEMJOB", {4321, c.recorded, 0});
    }
    logs_.Clear();
    platform_.SetLocalTime(2026, 1, 8, 19, 0, 0);
    SystemJobs fourth(platform_, logs_, jobs_, manager, {}, false);
    fourth.RegisterDailyAndIntervalJobs("183000");
    EXPECT_EQ(c.rows, Rows(jobs, "JOBDA1 LIKE '20000101%'")) << c.what;
    EXPECT_EQ(c.log, LogText()) << c.what;
  }
  Sql("UPDATE KVSYSTEM.KVS500JOB SET JOBNRT = '20260108183000' WHERE JOBKE2 = 'DAILY "
      "SYSTEMJOB'");

  // A restart after the day's run: the row keeps what it has (the first
  // update plans tomorrow). The next morning's start plans today again.
  Sql("UPDATE KVSYSTEM.KVS500JOB SET JOBSTS = '98' WHERE JOBKE2 = 'DAILY SYSTEMJOB'");
  const struct {
    int day, hour;
    const char* rows;
    const char* log;
  } restarts[] = {
      {8, 20, "DAILY SYSTEMJOB|98|20260108183000|4321 / INTERVALL SYSTEMJOB||20260108200000",
       "- Daily Systemjob eintragen!\n"
       "- DAILY SYSTEMJOB lief heute bereits (Start 20260108183000) und wird nicht neu "
       "eingeplant!\n"
       "- Intervall Systemjob eintragen!\n"},
      {9, 6, "DAILY SYSTEMJOB||20260109183000|4321 / INTERVALL SYSTEMJOB||20260109060000",
       "- Daily Systemjob eintragen!\n- Intervall Systemjob eintragen!\n"},
  };
  for (const auto& r : restarts) {
    logs_.Clear();
    platform_.SetLocalTime(2026, 1, r.day, r.hour, 0, 0);
    SystemJobs restart(platform_, logs_, jobs_, manager_, {}, false);
    restart.RegisterDailyAndIntervalJobs("183000");
    EXPECT_EQ(r.rows, Rows(jobs, "JOBDA1 LIKE '20000101%'")) << r.day;
    EXPECT_EQ(r.log, LogText()) << r.day;
  }

  // A node that registers them (it has just become first) while the daily
  // job runs on another node leaves that row running.
  Sql("UPDATE KVSYSTEM.KVS500JOB SET JOBSTS = '01', JOBUSR = 'n1', JOBSDA = '20260109070000' "
      "WHERE JOBKE2 = 'DAILY SYSTEMJOB'");
  JobTable node_jobs(session_);
  ClusterNode node(platform_, logs_, pool_, node_jobs, "n2", 60, "");
  node_jobs.set_rules(&node);
  ProcessManager node_manager(platform_, logs_, node_jobs, pool_, link_, "", false);
  logs_.Clear();
  platform_.SetLocalTime(2026, 1, 9, 7, 30, 0);
  SystemJobs leader(platform_, logs_, node_jobs, node_manager, {}, false);
  leader.RegisterDailyAndIntervalJobs("183000");
  EXPECT_EQ("01 n1", Rows("CONCAT_WS(' ', JOBSTS, JOBUSR)", "JOBKE2 = 'DAILY SYSTEMJOB'"));
  EXPECT_EQ(
      "- Daily Systemjob eintragen!\n- DAILY SYSTEMJOB laeuft noch und wird nicht neu "
      "eingeplant!\n- Intervall Systemjob eintragen!\n",
      LogText());
}

// Catches the first pass not making the portal request job waiting (or
// not setting JOBPRM "2" and clearing the times and attempts), the
// ordinary re-arm ignoring the state or JOBPRM bounds, a running job
// touched, the monthly re-arm repeated within a month or missed in the
// next one, and the stamp not stored when the month's re-arm found the
// job running.
TEST_F(JobsSqlTest, PortalRequestJobReArm) {
  SystemJobs jobs(platform_, logs_, jobs_, manager_, {}, false);
  jobs.RegisterPortalJob();
  const std::string where = "JOBKE2 = 'ESP VERARBEITUNG'";
  const std::string state = "CONCAT_WS('|', JOBSTS, JOBPRM, JOBSDA, JOBEDA, JOBSTV)";
  auto set = [&](const std::string& sts, const std::string& prm) {
    Sql("UPDATE KVSYSTEM.KVS500JOB SET JOBSTS = '" + sts + "', JOBPRM = '" + prm +
        "', JOBSDA = '20260105070000', JOBEDA = '20260105070500', JOBSTV = 3 WHERE " + where);
  };

  set("98", "0");
  jobs.CheckPortalProcessing("20260105080000");
  EXPECT_EQ("  |2|||0", Rows(state, where));

  struct Case {
    const char* sts;
    const char* prm;
    const char* expected;
  };
  const Case same_month[] = {
      {"98", "0", "98|0|20260105070000|20260105070500|3"},
      {"98", "1", "  |1|||0"},
      {"99", "2", "  |2|||0"},
      {"90", "1", "90|1|20260105070000|20260105070500|3"},
      {"01", "1", "01|1|20260105070000|20260105070500|3"},
  };
  for (const Case& c : same_month) {
    set(c.sts, c.prm);
    jobs.CheckPortalProcessing("20260131235959");
    EXPECT_EQ(c.expected, Rows(state, where)) << c.sts << " " << c.prm;
  }

  // February begins while the job runs: its re-arm is spent all the same.
  set("01", "0");
  jobs.CheckPortalProcessing("20260201000000");
  EXPECT_EQ("01|0|20260105070000|20260105070500|3", Rows(state, where));
  set("98", "0");
  jobs.CheckPortalProcessing("20260201000100");
  EXPECT_EQ("98|0|20260105070000|20260105070500|3", Rows(state, where));

  jobs.CheckPortalProcessing("20260301000000");
  EXPECT_EQ("  |2|||0", Rows(state, where));
  EXPECT_EQ("", LogText());
}

// Catches a listed transfer file left behind, an unlisted one removed, a
// missing one stopping the clean-up, the kill of VERIFYRUN.EXE started
// beside other installations (or not at all on a single controller), and
// the old-queue-job rule: 31 days back deleted, 30 days kept, the portal
// request row and other run types kept; the transfer flag file is deleted
// also when the configured list leaves it out.
TEST_F(JobsSqlTest, CleanupServer) {
  WorkIn(dir_ / "bin");
  const fs::path folder = dir_ / "transfer" / "ClockBridge";
  struct Case {
    bool multiservices;
    const char* files;
    Strings launches;
    Strings left;
  };
  const Strings listed_left = {"import9.imp", "other.txt"};
  const Case cases[] = {
      {false, kDefaultTransferFiles, {"kill VERIFYRUN.EXE"}, listed_left},
      {true, kDefaultTransferFiles, {}, listed_left},
      {true, "import.txt", {}, {"import1.imp", "import8.imp", "import9.imp", "other.txt"}},
  };
  for (const Case& c : cases) {
    Sql("DELETE FROM KVSYSTEM.KVS500JOB");
    for (const char* days : {"31", "30", "40"}) {
      Sql(std::string("INSERT INTO KVSYSTEM.KVS500JOB (JOBDA1, JOBKE2, JOBRTY) VALUES "
                      "(DATE_FORMAT(DATE_SUB(CURRENT_TIMESTAMP, INTERVAL ") + days +
          " DAY), '%Y%m%d000000'), 'OLD" + days + "', IF(" + days + " = 40, '04', '01'))");
    }
    Put("JOBDA1, JOBKE2, JOBRTY", "'20010101120000', 'ESP VERARBEITUNG', '01'");
    Put("JOBDA1, JOBKE2, JOBRTY", "'20010101120000', 'OTHER', '01'");
    Put("JOBDA1, JOBKE2, JOBRTY", "'20010101120001', 'ESP VERARBEITUNG', '01'");
    Put("JOBDA1, JOBKE2, JOBRTY", "'20010101120001', 'GONE', '01'");
    for (const char* name : {"xfer.running", "import.txt", "import1.imp", "import8.imp",
                             "import9.imp", "other.txt"}) {
      Touch(folder / name);
    }
    platform_.launches.clear();
    ProcessManager manager(platform_, logs_, jobs_, pool_, link_, "\\KVS\\bin\\",
                           c.multiservices);
    SystemJobs jobs(platform_, logs_, jobs_, manager, SplitFileList(c.files),
                    c.multiservices);
    jobs.CleanupServer();

    Strings left;
    for (const fs::directory_entry& e : fs::directory_iterator(folder)) {
      left.push_back(e.path().filename().string());
    }
    std::sort(left.begin(), left.end());
    EXPECT_EQ(c.left, left) << c.files;
    EXPECT_EQ(c.launches, platform_.launches);
    EXPECT_EQ("ESP VERARBEITUNG / OTHER / ESP VERARBEITUNG / OLD40 / OLD30",
              Rows("JOBKE2"));
  }
}

// Catches an older batch or the plan requests counted, finished rows
// (status 7 with up to 10 errors, status above 7) counted, the count
// line missing or inexact, the export not queued or the loaders not
// ended (or the product name used instead of the DB system), and a
// count of 0 or a failed count doing more than log.
TEST_F(JobsSqlTest, InterruptedDownloads) {
  // A download batch has several rows under one DNLKEY; a database made
  // from an older table definition may still have a key on it alone.
  if (Value("SELECT COUNT(*) AS v FROM information_schema.STATISTICS WHERE TABLE_SCHEMA = "
            "'kvsystem' AND TABLE_NAME = 'kvsautodnl' AND INDEX_NAME = 'PRIMARY'") != "0") {
    Sql("ALTER TABLE KVSYSTEM.KVSAUTODNL DROP PRIMARY KEY");
  }
  struct Case {
    const char* rows;  // (DNLKEY, DNLUSR, DNLSTA, DNLERR), ...
    std::string log;
    Strings launches;
  };
  const Case cases[] = {
      {"(5, 'u', 0, 0), (7, 'u', 3, 0), (7, 'u', 7, 11), (7, 'u', 7, 10), (7, 'u', 9, 0), "
       "(9, 'DNL-Plan Antrag', 0, 0)",
       "Info: Anzahl der unterbrochener Downloads: 2.\n"
       "Info: Es wird ein neuer Datenexport initiiert.\n",
       {"kill LOADIN_MYSQL.EXE", "kill FETCHPRE.EXE"}},
      {"(6, 'u', 0, 0), (8, 'u', 7, 10), (8, 'u', 8, 50), (9, 'DNL-Plan Antrag', 1, 0)",
       "Info: Anzahl der unterbrochener Downloads: 0.\n",
       {}},
  };
  for (const Case& c : cases) {
    Sql("DELETE FROM KVSYSTEM.KVSAUTODNL");
    Sql("DELETE FROM KVSYSTEM.KVS500JOB");
    Sql(std::string("INSERT INTO KVSYSTEM.KVSAUTODNL (DNLKEY, DNLUSR, DNLSTA, DNLERR) VALUES ") +
        c.rows);
    logs_.Clear();
    platform_.launches.clear();
    SystemJobs jobs(platform_, logs_, jobs_, manager_, {}, false);
    jobs.CheckInterruptedDownloads("MYSQL");
    EXPECT_EQ(c.log, LogText()) << c.rows;
    EXPECT_EQ(c.launches, platform_.launches) << c.rows;
    EXPECT_EQ(c.launches.empty() ? "" : "20260105080000|KOR EXPORT",
              Rows("CONCAT_WS('|', JOBDA1, JOBURV)"))
        << c.rows;
  }

  logs_.Clear();
  platform_.launches.clear();
  ASSERT_EQ(0, session_.Disconnect());
  SystemJobs jobs(platform_, logs_, jobs_, manager_, {}, false);
  jobs.CheckInterruptedDownloads("MYSQL");
  EXPECT_EQ("Fehler in SQLCountUnfinishedDnlJobs! RC: -10001\n", LogText());
  EXPECT_TRUE(platform_.launches.empty());
}

}  // namespace
}  // namespace kvs
