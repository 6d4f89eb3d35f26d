// End-to-end tests of the controller's life: start-up, passes, outage,
// queue jobs, shutdown; the outage also pass by pass, with the controller
// on the fake platform. The rules of a pass are tested pass by pass in
// jobs/job_starts_sql_test.cc.
#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "core/controller.h"
#include "core/test_pass_platform.h"
#include "e2e/e2e_fixture.h"
#include "platform/fake_platform.h"

namespace kvs {
namespace {

class ControllerEndToEnd : public ControllerProcessTest {};

// A normal life: connected, the status row inserted and then written every
// pass, passes paced by the heartbeat, an orderly shutdown when the
// service goes.
TEST_F(ControllerEndToEnd, StartsWritesStatusRowAndShutsDownWithService) {
  StartService(8);
  StartController();
  ASSERT_TRUE(Eventually([&] { return fs::exists(dir_ / "DYE"); }, 10));
  const std::string status_row =
      "SELECT JOBSTS AS v FROM KVSYSTEM.KVS500JOB WHERE JOBDA1 = '99999999999999' AND JOBKE2 = "
      "'JOBSTARTER STATUSJOB'";
  ASSERT_TRUE(Eventually([&] { return Value(status_row) == ""; }, 10));
  EXPECT_TRUE(PoolHas("Der Jobcontroller wurde gestartet!"));
  EXPECT_EQ("99", Value("SELECT JOBRTY AS v FROM KVSYSTEM.KVS500JOB WHERE JOBKE2 = "
                        "'JOBSTARTER STATUSJOB'"));
  // The system jobs of a first start on an empty table.
  // The portal request row, re-armed for the month in the first pass.
  EXPECT_EQ("2", Value("SELECT JOBPRM AS v FROM KVSYSTEM.KVS500JOB WHERE JOBKE2 = "
                       "'ESP VERARBEITUNG'"));
  EXPECT_EQ("1", Value("SELECT COUNT(*) AS v FROM KVSYSTEM.KVS500JOB WHERE JOBKE2 = "
                       "'Export KVSJOBSTR'"));
  EXPECT_EQ("2", Value("SELECT JOBDLS AS v FROM KVSYSTEM.KVS500JOB WHERE JOBKE2 = "
                       "'DAILY SYSTEMJOB'"));
  EXPECT_EQ("3", Value("SELECT JOBDLS AS v FROM KVSYSTEM.KVS500JOB WHERE JOBKE2 = "
                       "'INTERVALL SYSTEMJOB'"));
  // Every later pass writes the row again.
  ASSERT_EQ(0, session_.Execute(TestStatement("UPDATE KVSYSTEM.KVS500JOB SET JOBSTS = 'XX' WHERE JOBKE2 = "
                                "'JOBSTARTER STATUSJOB'")));
  EXPECT_TRUE(Eventually([&] { return Value(status_row) == ""; }, 5));

  ASSERT_TRUE(Eventually([&] { return !ControllerRunning(); }, 20));
  EXPECT_FALSE(fs::exists(dir_ / "DYE"));
  const std::vector<std::string> log = MainLog();
  const std::vector<std::string> expected_start = {
      "*********************************************",
      "** Multiservices: JOBCONTROLLER " + std::to_string(node_.instance) + ". gestartet **",
      "Flag-Datei DYE wurde erstellt.",
      "Ende 04 Jobs anlegen!",
      "Ende 01 Jobs anlegen!",
      "- Daily Systemjob eintragen!",
      "- Der daily Systemjob wurde eingetragen!",
      "- Intervall Systemjob eintragen!",
      "- Der Intervall Systemjob wurde eingetragen!",
      "Ende Initialisierung + Beginn Verarbeitung!",
  };
  ASSERT_GE(log.size(), expected_start.size() + 3);
  for (size_t i = 0; i < expected_start.size(); ++i) EXPECT_EQ(expected_start[i], log[i]);
  const std::vector<std::string> expected_end = {
      "Service antwortet nicht! ErrCode: 2! KVSJOBSTR wird beendet!",
      "Alle verwalteten Jobs beenden!",
      "Flag-Datei DYE wurde geloescht.",
  };
  for (size_t i = 0; i < expected_end.size(); ++i) {
    EXPECT_EQ(expected_end[i], log[log.size() - expected_end.size() + i]);
  }
  // One contact a second at most: about eight seconds of service.
  const std::string svc = ReadFile(dir_ / "svc.log");
  int requests = 0;
  for (size_t at = 0; (at = svc.find("received:", at)) != std::string::npos; ++at) ++requests;
  EXPECT_GE(requests, 4);
  EXPECT_LE(requests, 10);
}

TEST_F(ControllerEndToEnd, WrongPasswordEndsWithoutFlagFile) {
  WriteConnectionFile("wrong-password");
  StartService(20);
  StartController();
  ASSERT_TRUE(Eventually([&] { return !ControllerRunning(); }, 15));
  const std::string line = "- Verbindung zur Datenbank fehlgeschlagen, Fehler : -1";
  EXPECT_TRUE(MainLogHas(line));
  EXPECT_NE(std::string::npos, ReadFile(dir_ / "console.txt").find(line + "\n"));
  EXPECT_FALSE(fs::exists(dir_ / "DYE"));
}

// The database server stops while the controller runs: every pass counts
// the failure and retries; when the server is back the controller
// reconnects and the counter starts again.
TEST_F(ControllerEndToEnd, DatabaseOutageIsCountedAndRecovered) {
  InsertJob("RUN", "u-run", "kvssleep 120", 0, "01");
  // A permanent job that runs: ended with the others, running again after.
  InsertJob("DAEMON", "u-daemon", "kvssleep 300", 0, "04");
  StartService(120);
  StartController();
  ASSERT_TRUE(Eventually([&] { return Column("RUN", "JOBSTS") == "01"; }, 10));
  const uint32_t pid = static_cast<uint32_t>(std::atol(Column("RUN", "JOBNUM").c_str()));
  ASSERT_TRUE(Eventually([&] { return Column("DAEMON", "JOBSTS") == "01"; }, 10));
  const uint32_t daemon_before =
      static_cast<uint32_t>(std::atol(Column("DAEMON", "JOBNUM").c_str()));

  MariaDb("stop");
  ASSERT_TRUE(Eventually([&] { return MainLogHas("CheckDB: keine DB-Verbindung! Versuche: 3"); }, 30));
  // kvsjobstat reads the outage from the pass state, not from DYE.
  EXPECT_EQ(PassOutcome::kDatabaseDown, PassOutcomeNow());
  // The job was ended once; the message waits in the fallback file.
  EXPECT_FALSE(platform_real_->InspectProcess(pid).opened);
  const fs::path fallback = node_.root / "korvaline_php" / "log" / "JOBCTLMSG.log";
  EXPECT_NE(std::string::npos,
            ReadFile(fallback).find("Datenbankverbindung unterbrochen => Jobs werden beendet!"));
  MariaDb("start");
  session_.Disconnect();
  const Credentials c = TestCredentials();
  ASSERT_EQ(0, session_.Connect(c.user, c.password, c.data_source));
  ASSERT_TRUE(Eventually([&] { return MainLogHas("- Neue Datenbankverbindung erstellt"); }, 20));
  // The row is written again after the outage.
  ASSERT_EQ(0, session_.Execute(TestStatement("UPDATE KVSYSTEM.KVS500JOB SET JOBSTS = 'XX' WHERE JOBKE2 = "
                                "'JOBSTARTER STATUSJOB'")));
  EXPECT_TRUE(Eventually([&] {
    return Value("SELECT JOBSTS AS v FROM KVSYSTEM.KVS500JOB WHERE JOBKE2 = 'JOBSTARTER "
                 "STATUSJOB'") == "";
  }, 10));
  EXPECT_TRUE(ControllerRunning());
  EXPECT_TRUE(Eventually([&] { return PassOutcomeNow() == PassOutcome::kComplete; }, 10));
  // The fallback file went into the pool; the job's row, which could not be
  // written while the server was away, is found ended.
  EXPECT_TRUE(Eventually([&] { return !fs::exists(fallback); }, 10));
  EXPECT_TRUE(PoolHas("Datenbankverbindung unterbrochen => Jobs werden beendet!"));
  EXPECT_TRUE(PoolHas("Datenbankverbindung wiederhergestellt => Neustart der Jobs!"));
  EXPECT_TRUE(Eventually([&] { return Column("RUN", "JOBSTS") == "98"; }, 10));

  const std::vector<std::string> log = MainLog();
  EXPECT_EQ(1, Count(log, "Prozess beendet: kvssleep ProcessID " + std::to_string(pid)));
  EXPECT_TRUE(Eventually([&] {
    return Column("DAEMON", "JOBSTS") == "01" &&
           Column("DAEMON", "JOBNUM") != std::to_string(daemon_before);
  }, 10));
  const uint32_t daemon_after =
      static_cast<uint32_t>(std::atol(Column("DAEMON", "JOBNUM").c_str()));
  EXPECT_TRUE(platform_real_->InspectProcess(daemon_after).opened);
  EXPECT_EQ(1, Count(log, "Anzahl Nachrichten gelesen: 1. Davon eingepflegt: 1!"));
  EXPECT_EQ(1, Count(log, "CheckDB: keine DB-Verbindung! Versuche: 1"));
  EXPECT_EQ(1, Count(log, "CheckDB: keine DB-Verbindung! Versuche: 2"));
  EXPECT_EQ(1, Count(log, "CheckDB: *** Beende Jobs ***!"));
  EXPECT_EQ(1, Count(log, "CheckDB: *** Jobs beendet ***!"));
  EXPECT_GE(Count(log, "- Verbindung zur Datenbank fehlgeschlagen, Fehler : -1"), 3);
  // The first unreachable pass fails on the lost connection; later ones
  // find no connection at all.
  int update_failures = 0;
  for (const std::string& line : log) {
    update_failures += line.rfind("- Fehler beim Update des Statusjobs! RC: ", 0) == 0;
  }
  EXPECT_GE(update_failures, 3);
  // Counter lines are in order 1, 2, 3, ... and never after the recovery.
  int expected = 1;
  bool recovered = false;
  for (const std::string& line : log) {
    if (line == "- Neue Datenbankverbindung erstellt") recovered = true;
    if (line.rfind("CheckDB: keine DB-Verbindung! Versuche: ", 0) == 0) {
      EXPECT_FALSE(recovered);
      EXPECT_EQ("CheckDB: keine DB-Verbindung! Versuche: " + std::to_string(expected++), line);
    }
  }
}

// The road of queue jobs: started in the next pass, ended and written
// back; one over its run time killed; one whose program is missing failed.
TEST_F(ControllerEndToEnd, QueueJobsRunEndAndFail) {
  InsertJob("SHORT", "u-short", "kvssleep 2", 0, "01");
  InsertJob("LONG", "u-long", "kvssleep 60", 2, "01");
  InsertJob("MISSING", "u-missing", "kvs-no-such-program x", 0, "01");
  StartService(30);
  StartController();

  ASSERT_TRUE(Eventually([&] { return Column("SHORT", "JOBSTS") == "01"; }, 10));
  EXPECT_EQ("kvssleep", Column("SHORT", "JOBNAM"));
  EXPECT_EQ("1", Column("SHORT", "JOBSTV"));
  EXPECT_EQ(14u, Column("SHORT", "JOBSDA").size());
  EXPECT_EQ("", Column("SHORT", "JOBEDA"));
  const uint32_t pid = static_cast<uint32_t>(std::atol(Column("SHORT", "JOBNUM").c_str()));
  EXPECT_TRUE(platform_real_->InspectProcess(pid).opened);

  ASSERT_TRUE(Eventually([&] { return Column("SHORT", "JOBSTS") == "98"; }, 10));
  EXPECT_EQ(14u, Column("SHORT", "JOBEDA").size());

  ASSERT_TRUE(Eventually([&] { return Column("LONG", "JOBSTS") == "99"; }, 10));
  const uint32_t long_pid = static_cast<uint32_t>(std::atol(Column("LONG", "JOBNUM").c_str()));
  EXPECT_TRUE(Eventually([&] { return !platform_real_->InspectProcess(long_pid).opened; }, 5));
  EXPECT_TRUE(PoolHas("Programm kvssleep wird wegen Laufzeit\xFC" "berschreitung abgebrochen!"));
  EXPECT_TRUE(MainLogHas("END PGM: PGM kvssleep wird wegen Laufzeitueberschreitung beendet!"));

  EXPECT_EQ("90", Column("MISSING", "JOBSTS"));
  EXPECT_EQ("1", Column("MISSING", "JOBSTV"));
  EXPECT_TRUE(PoolHas("Der Job kvs-no-such-program x konnte nicht gestartet werden!"));
  EXPECT_TRUE(MainLogHas("Start PGM: kvs-no-such-program x Cmd:  fehlgeschlagen!"));
}

// The message trail through the fallback file: the suite's log folder is
// missing at start-up and made for the first message that waits. A forged
// line (another sender, recipients ALL) and half a line are put into the
// file; the service goes away while the database is still down, so the
// shutdown's messages wait too. At the next start each of the controller's
// messages arrives, the forged line does not, and both strange lines sit
// in JOBCTLMSG.rej.
TEST_F(ControllerEndToEnd, FallbackFileDeliversOnlyOwnMessages) {
  const fs::path folder = node_.root / "korvaline_php" / "log";
  const fs::path fallback = folder / "JOBCTLMSG.log";
  fs::remove_all(node_.root / "korvaline_php");
  StartService(120);
  StartController();
  ASSERT_TRUE(Eventually([&] { return PoolHas("Der Jobcontroller wurde gestartet!"); }, 10));
  EXPECT_FALSE(fs::exists(folder));

  MariaDb("stop");
  ASSERT_TRUE(Eventually([&] {
    return ReadFile(fallback).find("Datenbankverbindung unterbrochen") != std::string::npos;
  }, 30));
  std::string forged = ReadFile(fallback);
  forged = forged.substr(0, forged.find('\n'));
  for (const auto& [from, to] : {std::pair<std::string, std::string>{"'KVSJOBSTR'", "'KVSPORTAL'"},
                                 {"'GEN',  'QUELBAR'", "'USR',  'ALL'"},
                                 {"Datenbankverbindung unterbrochen", "Gefaelscht"}}) {
    forged.replace(forged.find(from), from.size(), to);
  }
  const std::string half = "INSERT INTO KVSYSTEM.KVS200MSG (MSGUID, MSG";
  std::ofstream(fallback, std::ios::app | std::ios::binary) << forged << "\n" << half;
  (void)TerminateProcessById(node_.service_pid);
  ASSERT_TRUE(Eventually([&] { return !ControllerRunning(); }, 20));
  MariaDb("start");
  session_.Disconnect();
  const Credentials c = TestCredentials();
  ASSERT_EQ(0, session_.Connect(c.user, c.password, c.data_source));
  EXPECT_EQ("0", Value("SELECT COUNT(*) AS v FROM KVSYSTEM.KVS200MSG WHERE MSGTXT LIKE '% "
                       "Datenbankverbindung unterbrochen%'"));

  StartService(120);
  StartController();
  ASSERT_TRUE(Eventually([&] { return PoolHas("Der Jobcontroller wurde beendet!"); }, 20));
  EXPECT_TRUE(PoolHas("Datenbankverbindung unterbrochen => Jobs werden beendet!"));
  EXPECT_TRUE(PoolHas("Jobcontroller-Dienst antwortet nicht => Jobs werden beendet!"));
  EXPECT_EQ("2", Value("SELECT COUNT(*) AS v FROM KVSYSTEM.KVS200MSG WHERE MSGTXT LIKE '% Der "
                       "Jobcontroller wurde gestartet!'"));
  EXPECT_EQ("0", Value("SELECT COUNT(*) AS v FROM KVSYSTEM.KVS200MSG WHERE MSGSRC <> "
                       "'KVSJOBSTR' OR MSGBER <> 'QUELBAR' OR MSGTXT LIKE '%Gefaelscht%'"));
  EXPECT_FALSE(fs::exists(fallback));
  EXPECT_EQ(forged + "\n" + half + "\n", ReadFile(folder / "JOBCTLMSG.rej"));
  // The import's own copy, named after the program folder, is gone too.
  EXPECT_FALSE(fs::exists(folder / "JOBCTLMSG.bin.imp"));
}

// The service stops: every running job is ended and marked "99", the flag
// file goes, the pool hears of it, the controller exits.
TEST_F(ControllerEndToEnd, ServiceGoneEndsRunningJobs) {
  InsertJob("RUN", "u-run", "kvssleep 60", 0, "01");
  StartService(6);
  StartController();
  ASSERT_TRUE(Eventually([&] { return Column("RUN", "JOBSTS") == "01"; }, 10));
  const uint32_t pid = static_cast<uint32_t>(std::atol(Column("RUN", "JOBNUM").c_str()));
  ASSERT_TRUE(Eventually([&] { return !ControllerRunning(); }, 20));
  std::string log;
  for (const std::string& line : MainLog()) log += line + "\n";
  EXPECT_EQ("99", Column("RUN", "JOBSTS")) << log;
  EXPECT_TRUE(Eventually([&] { return !platform_real_->InspectProcess(pid).opened; }, 5));
  EXPECT_FALSE(fs::exists(dir_ / "DYE"));
  EXPECT_TRUE(PoolHas("Der Jobcontroller wurde beendet!"));
  EXPECT_TRUE(PoolHas("Jobcontroller-Dienst antwortet nicht => Jobs werden beendet!"));
  EXPECT_TRUE(MainLogHas("Prozess beendet: kvssleep ProcessID " + std::to_string(pid)));
}

// Catches jobs ended as "98" while they run, then left unsupervised: a
// wrapper script that execs its program (first named after the shell) and
// a program name longer than JOBNAM's 64 characters. Each stays "01" with
// JOBNAM following its program, is ended for its run time or at shutdown.
// Also catches the name probe waiting on jobs that exit at once (5 s each).
TEST_F(ControllerEndToEnd, WrappedAndLongNamedJobsStaySupervised) {
  WriteWrapper("wrap.sh");
  const std::string long_name = "kvs_" + std::string(62, 'l') + "_end";
  ASSERT_EQ(70u, long_name.size());
  fs::copy_file(dir_ / "kvssleep", dir_ / long_name);
  WriteIni("MAXJOBS=10\n");
  InsertJob("LIMIT", "u-limit", "wrap.sh 300", 5, "01");
  InsertJob("WRAP", "u-wrap", "wrap.sh 300", 0, "01");
  InsertJob("LONG", "u-long", long_name + " 300", 0, "01");
  for (const char* key : {"QUICK1", "QUICK2", "QUICK3"}) {
    InsertJob(key, std::string("u-") + key, "kvssleep 0", 0, "01");
  }
  Start(14);
  ASSERT_TRUE(Eventually([&] { return Column("LONG", "JOBSTS") == "01"; }, 10));
  const std::string pid = Column("WRAP", "JOBNUM");
  EXPECT_TRUE(Eventually([&] {
    return Value("SELECT COUNT(*) AS v FROM KVSYSTEM.KVS500JOB WHERE JOBKE2 LIKE 'T-QUICK%' "
                 "AND JOBSTS = '98'") == "3";
  }, 3));
  EXPECT_TRUE(Eventually([&] { return Column("WRAP", "JOBNAM") == "kvssleep"; }, 4));
  std::this_thread::sleep_for(std::chrono::seconds(3));
  EXPECT_EQ("01|kvssleep|" + pid, Column("WRAP", "CONCAT(JOBSTS, '|', JOBNAM, '|', JOBNUM)"));
  EXPECT_EQ("01|" + long_name.substr(0, 64), Column("LONG", "CONCAT(JOBSTS, '|', JOBNAM)"));
  EXPECT_TRUE(Eventually([&] { return Column("LIMIT", "JOBSTS") == "99"; }, 5));
  EXPECT_EQ(2, ProgramRunning("kvssleep") + ProgramRunning(long_name));
  ASSERT_TRUE(Eventually([&] { return !ControllerRunning(); }, 20));
  EXPECT_EQ("99", Column("WRAP", "JOBSTS"));
  EXPECT_EQ("99", Column("LONG", "JOBSTS"));
  EXPECT_TRUE(Eventually(
      [&] { return ProgramRunning("kvssleep") + ProgramRunning(long_name) == 0; }, 5));
}

// Catches the jobs forgotten when reloads fail: after two passes whose
// reload of the running jobs failed (a column renamed), the service stops
// and the running job is still ended and marked.
TEST_F(ControllerEndToEnd, FailedReloadsStillEndEveryJobAtShutdown) {
  InsertJob("RUN", "u-run", "kvssleep 300", 0, "01");
  Start(12);
  ASSERT_TRUE(Eventually([&] { return Column("RUN", "JOBSTS") == "01"; }, 10));
  const uint32_t pid = static_cast<uint32_t>(std::atol(Column("RUN", "JOBNUM").c_str()));
  struct Restore {
    Session& session;
    ~Restore() {
      (void)session.Execute(TestStatement("ALTER TABLE KVSYSTEM.KVS500JOB CHANGE JOBMRT_OFF JOBMRT INT NULL "
                            "DEFAULT 0"));
    }
  } restore{session_};
  Sql("ALTER TABLE KVSYSTEM.KVS500JOB CHANGE JOBMRT JOBMRT_OFF INT NULL DEFAULT 0");
  ASSERT_TRUE(Eventually(
      [&] { return LogCount("Fehler bei der Jobermittlung! Fkt. GetKvProcs()") >= 2; }, 10));
  EXPECT_EQ(PassOutcome::kReloadFailed, PassOutcomeNow());
  ASSERT_TRUE(Eventually([&] { return !ControllerRunning(); }, 20));
  EXPECT_TRUE(Eventually([&] { return !platform_real_->InspectProcess(pid).opened; }, 5));
  EXPECT_EQ("99", Column("RUN", "JOBSTS"));
}

// The controller in this process on the fake platform (clock, processes,
// service pipe) against the private MariaDB: the passes that the real
// binary shows only roughly, counted exactly.
class ControllerOnFakePlatform : public ControllerProcessTest {
 protected:
  // Runs the controller (single mode) with the program directory as the
  // working directory.
  void Run() {
    fake_.own_path = (dir_ / "KVSJOBSTR").string();
    fake_.debug_log = dir_ / "KVSJOBDBG.LOG";
    fake_.default_pipe_answer = {0, "OK"};
    const fs::path previous = fs::current_path();
    fs::current_path(dir_);
    const char* argv[] = {"KVSJOBSTR"};
    EXPECT_EQ(0, RunController(fake_, 1, argv));
    fs::current_path(previous);
  }
  int Launches(const std::string& command_line) const {
    return static_cast<int>(
        std::count(fake_.launches.begin(), fake_.launches.end(), command_line));
  }
  int PoolCount(const std::string& text) {
    return std::stoi(Value("SELECT COUNT(*) AS v FROM KVSYSTEM.KVS200MSG WHERE MSGTXT LIKE "
                           "'% " + text + "'"));
  }

  PassPlatform fake_;
};

// Jobs run, the server stops for three passes and comes back. Catches a
// pass that goes on without the database, a counter not counted or not
// reset, the jobs ended in every unreachable pass instead of once (or not
// at all), a queue job started again after the recovery, a permanent job
// whose used-up start attempts are not given back, and the INI's daily
// time and interval cycle not reaching the rules that plan the system
// jobs.
TEST_F(ControllerOnFakePlatform, DatabaseOutageEndsJobsOnceAndRecovers) {
  WriteIni("DAILYJOBUHRZT=05:30\nINTERVALLJOBZYKLUS=15\n");
  InsertJob("RUN", "u-run", "runjob 600", 0, "01");
  InsertJob("DAEMON", "u-daemon", "daemonjob", 0, "04");
  InsertJob("PERM", "u-perm", "missing-daemon", 0, "04");
  fake_.missing_programs = {"missing-daemon"};
  fake_.SetLocalTime(2026, 1, 5, 5, 29, 50);
  const std::string perm_failed = "Start PGM: missing-daemon Cmd:  fehlgeschlagen!";
  int stopped_at = 0, started_at = 0;
  std::string planned, perm_before;
  int perm_failures_before = 0;
  fake_.at_main_beat = [&](int beat) {
    // The system jobs end at once.
    for (const auto& [pid, command] : fake_.started) {
      if (command.rfind("php ", 0) == 0) fake_.EndProcess(pid);
    }
    if (stopped_at == 0 && beat > 200) {
      ADD_FAILURE() << "the system jobs have not run by beat " << beat;
      fake_.QueuePipeAnswer({kErrFileNotFound, ""});
    } else if (stopped_at == 0) {
      // The stop comes once the daily job has run at 05:30 and both system
      // jobs are planned anew.
      planned = Rows("CONCAT_WS('|', JOBKE2, JOBSTS, JOBNRT)", "JOBRTY = '03'");
      if (Launches("php ..\\korvaline_php\\KV_Jobs\\dayTask.php") == 0 ||
          planned.find("|01|") != std::string::npos ||
          planned.find("|98|") != std::string::npos) {
        return;
      }
      perm_before = Column("PERM", "CONCAT(JOBSTS, '|', JOBSTV)");
      perm_failures_before = LogCount(perm_failed);
      MariaDb("stop");
      stopped_at = beat;
    } else if (started_at == 0 && beat == stopped_at + 3) {
      MariaDb("start");
      session_.Disconnect();
      const Credentials c = TestCredentials();
      ASSERT_EQ(0, session_.Connect(c.user, c.password, c.data_source));
      started_at = beat;
    } else if (started_at != 0 && beat == started_at + 2) {
      fake_.QueuePipeAnswer({kErrFileNotFound, ""});
    }
  };
  Run();
  // The server runs again whatever became of the scenario.
  if (stopped_at != 0 && started_at == 0) MariaDb("start");
  ASSERT_NE(0, started_at);

  // Tomorrow at the daily time; the cycle after the update at 05:30:52.
  EXPECT_EQ("DAILY SYSTEMJOB|00|20260106053000 / INTERVALL SYSTEMJOB|00|20260105054552",
            planned);
  // The main log from the first failed check to the recovery, the pool's
  // statements cut off.
  std::vector<std::string> outage;
  for (std::string line : MainLog()) {
    if (outage.empty() && line.rfind("- Fehler beim Update des Statusjobs! RC: ", 0) != 0) {
      continue;
    }
    if (outage.empty()) {
      // The lost connection's code, as the driver tells it.
      EXPECT_TRUE(line == "- Fehler beim Update des Statusjobs! RC: 2013" ||
                  line == "- Fehler beim Update des Statusjobs! RC: 2006")
          << line;
      line = "- Fehler beim Update des Statusjobs! RC: <lost>";
    }
    const size_t sql = line.find(" SQL: ");
    if (sql != std::string::npos) line = line.substr(0, sql) + " SQL: ...";
    outage.push_back(line);
    if (line.rfind("Info: Anzahl der unterbrochener Downloads", 0) == 0) break;
  }
  const std::string update_failed = "- Fehler beim Update des Statusjobs! RC: -1";
  const std::string connect_failed = "- Verbindung zur Datenbank fehlgeschlagen, Fehler : -1";
  EXPECT_EQ((std::vector<std::string>{
                "- Fehler beim Update des Statusjobs! RC: <lost>",
                connect_failed,
                "CheckDB: keine DB-Verbindung! Versuche: 1",
                "Fehler beim Schreiben in den Nachrichten-Pool(Msg)! SQL: ...",
                "Nachricht (Msg) in Temporaerdatei JOBCTLMSG.log gestellt! SQL: ...",
                "CheckDB: *** Beende Jobs ***!",
                "Prozess beendet: runexport.bat ProcessID 1003",
                "Prozess beendet: runjob ProcessID 1005",
                "Prozess beendet: daemonjob ProcessID 1001",
                "CheckDB: *** Jobs beendet ***!",
                update_failed,
                connect_failed,
                "CheckDB: keine DB-Verbindung! Versuche: 2",
                update_failed,
                connect_failed,
                "CheckDB: keine DB-Verbindung! Versuche: 3",
                update_failed,
                "- Neue Datenbankverbindung erstellt",
                "Nachricht fuer den Nachrichten-Pool! SQL: ...",
                "Nachricht wurde in den Nachrichtenpool uebertragen!",
                "Anzahl Nachrichten gelesen: 1. Davon eingepflegt: 1!",
                "Temporaerdatei JOBCTLMSG.log geloescht!",
                "Info: Anzahl der unterbrochener Downloads: 0.",
            }),
            outage);
  // Each unreachable pass waited its two seconds, and still beat.
  EXPECT_EQ(3, std::count(fake_.sleeps_ms.begin(), fake_.sleeps_ms.end(), kDbRetrySleepMs));
  EXPECT_EQ(1, PoolCount("Datenbankverbindung unterbrochen => Jobs werden beendet!"));
  EXPECT_EQ(1, PoolCount("Datenbankverbindung wiederhergestellt => Neustart der Jobs!"));

  // Each job ended once; the queue job, whose end could not be written
  // while the server was away, is found ended and not started again; the
  // permanent job runs again (and is ended at shutdown).
  EXPECT_EQ(1, Launches("kill 1005"));
  EXPECT_EQ(1, Launches("kill 1001"));
  EXPECT_EQ(1, Launches("runjob 600"));
  EXPECT_EQ("98", Column("RUN", "JOBSTS"));
  EXPECT_EQ(2, Launches("daemonjob"));
  EXPECT_EQ("99", Column("DAEMON", "JOBSTS"));
  // The permanent job that cannot start used its eleven attempts in its
  // first pass, and gets them back with the database.
  EXPECT_EQ("90|11", perm_before);
  EXPECT_EQ(11, perm_failures_before);
  EXPECT_EQ(22, LogCount(perm_failed));
  EXPECT_EQ("90|11", Column("PERM", "CONCAT(JOBSTS, '|', JOBSTV)"));
}

}  // namespace
}  // namespace kvs
