// End-to-end tests of what real sites do to the controller: killed hard
// and started again, job processes killed from outside, hostile rows in
// the job table, broken configuration files.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <sstream>
#include <thread>
#include <string>
#include <vector>

#include "e2e/e2e_fixture.h"

namespace kvs {
namespace {

class AcceptanceEndToEnd : public ControllerProcessTest {
 protected:
  uint32_t Pid(const std::string& key) {
    return static_cast<uint32_t>(std::atol(Column(key, "JOBNUM").c_str()));
  }
  bool Alive(uint32_t pid) { return pid != 0 && platform_real_->InspectProcess(pid).opened; }
  int LogCount(const std::string& text) { return Count(MainLog(), text); }
  // kvsjobstat beside the controller: its exit code and its first line.
  int Stat(std::string* first_line) {
    if (!fs::exists(dir_ / "kvsjobstat")) fs::copy_file(build_dir_ / "kvsjobstat", dir_ / "kvsjobstat");
    int exit_code = -1;
    EXPECT_EQ(0, RunAndWait("bash -c \"cd '" + dir_.string() + "' && ./kvsjobstat > stat.txt\"",
                            &exit_code));
    const std::string out = ReadFile(dir_ / "stat.txt");
    *first_line = out.substr(0, out.find('\n'));
    return exit_code;
  }
  bool LogHasPrefix(const std::string& prefix) {
    for (const std::string& line : MainLog()) {
      if (line.rfind(prefix, 0) == 0) return true;
    }
    return false;
  }
};

// Killed without a chance to clean up, then started again under another
// time zone: the flag file stayed, the queue job whose process is gone
// becomes "98", the leftover process of a known permanent program is ended
// at start-up and its row deleted; the queue and permanent jobs that still
// run are followed on, neither ended nor started a second time.
TEST_F(AcceptanceEndToEnd, HardKillThenRestart) {
  WriteIni("MAXJOBS=10\n");
  fs::copy_file(dir_ / "kvssleep", dir_ / "PortWatch.exe");
  InsertJob("QUEUE", "u-queue", "kvssleep 300", 0, "01");
  InsertJob("QUEUE2", "u-queue2", "kvssleep 300", 0, "01");
  InsertJob("PERM", "u-perm", "kvssleep 300", 0, "04");
  InsertJob("PORT", "u-port", "PortWatch.exe 300", 0, "04");
  StartService(120);
  StartController("TZ=Europe/Berlin");
  ASSERT_TRUE(Eventually([&] {
    return Column("QUEUE", "JOBSTS") == "01" && Column("PORT", "JOBSTS") == "01" &&
           Column("QUEUE2", "JOBSTS") == "01" && Column("PERM", "JOBSTS") == "01";
  }, 15));
  const uint32_t queue_pid = Pid("QUEUE");
  const uint32_t port_pid = Pid("PORT");
  const std::string queue2 = Column("QUEUE2", "JOBNUM"), perm = Column("PERM", "JOBNUM");
  EXPECT_EQ("portwatch.exe", Column("PORT", "JOBNAM"));

  std::string line;
  EXPECT_EQ(0, Stat(&line)) << line;
  ASSERT_EQ(0, TerminateProcessById(node_.controller_pid));
  ASSERT_TRUE(Eventually([&] { return !ControllerRunning(); }, 5));
  EXPECT_TRUE(fs::exists(dir_ / "DYE"));
  // Its jobs still show as running, but the status tool tells the truth.
  EXPECT_EQ(1, Stat(&line));
  EXPECT_EQ("Jobcontroller laeuft nicht: kein Prozess " + (dir_ / "KVSJOBSTR").string() +
                ", DYE ist vom letzten Lauf uebrig",
            line);
  EXPECT_TRUE(Alive(port_pid));
  // The queue job's process dies while nobody watches.
  ASSERT_EQ(0, TerminateProcessById(queue_pid));
  ASSERT_TRUE(Eventually([&] { return !Alive(queue_pid); }, 5));

  StartController("TZ=UTC");
  EXPECT_TRUE(Eventually([&] { return Column("QUEUE", "JOBSTS") == "98"; }, 15));
  EXPECT_TRUE(Eventually([&] { return !Alive(port_pid); }, 10));
  // A few passes on.
  std::this_thread::sleep_for(std::chrono::seconds(3));
  EXPECT_EQ("01|" + queue2, Column("QUEUE2", "JOBSTS") + "|" + Column("QUEUE2", "JOBNUM"));
  EXPECT_EQ("01|" + perm, Column("PERM", "JOBSTS") + "|" + Column("PERM", "JOBNUM"));
  for (const std::string& logged : MainLog()) {
    EXPECT_EQ(logged.find("erkannt an Prozessnummer"), std::string::npos) << logged;
  }
  // Deleted at start-up, the row is gone (the permanent job is a row of
  // the suite's, not a built-in one, so nothing brings it back).
  EXPECT_EQ("<none>", Column("PORT", "JOBSTS"));
}

// A job's process killed from outside is written back as ended in the
// next pass.
TEST_F(AcceptanceEndToEnd, JobKilledFromOutsideEnds) {
  InsertJob("VICTIM", "u-victim", "kvssleep 300", 0, "01");
  StartService(60);
  StartController();
  ASSERT_TRUE(Eventually([&] { return Column("VICTIM", "JOBSTS") == "01"; }, 15));
  ASSERT_EQ(0, TerminateProcessById(Pid("VICTIM")));
  EXPECT_TRUE(Eventually([&] { return Column("VICTIM", "JOBSTS") == "98"; }, 5));
  EXPECT_EQ(14u, Column("VICTIM", "JOBEDA").size());
}

// A thousand hostile rows: quotes and backslashes in every text, NULLs,
// texts at their column width, odd run times and states, unknown run
// types, missing programs, one key shared by 200 rows. Nothing breaks a
// statement, every bad row ends in an explained state, and the good rows
// among them still run.
TEST_F(AcceptanceEndToEnd, HostileRowsAreHandled) {
  const CivilTime today = platform_real_->ToLocal(platform_real_->Now());
  char day[32];
  std::snprintf(day, sizeof day, "%04d%02d%02d", today.year, today.month, today.day);
  const std::string width32 = "K'\\" + std::string(29, 'k');
  const std::string width256 = "U'\\" + std::string(253, 'u');
  auto q = [](const std::string& v) { return "'" + SqlQuote(v) + "'"; };
  std::vector<std::string> values;
  for (int i = 0; i < 1000; ++i) {
    char serial[8];
    std::snprintf(serial, sizeof serial, "%06d", i);
    const std::string da1 = std::string(day) + serial;
    const std::string n = std::to_string(i);
    const std::string key = q("H" + n + "'\\");
    // JOBDA1, JOBKE2, JOBURV, JOBCMD, JOBMRT, JOBRTY, JOBSTS, JOBNUM, JOBSTV
    std::string row = q(da1) + ", ";
    switch (i % 10) {
      case 0:  // missing program, quotes and backslashes everywhere
        row += key + ", " + q("u'\\" + n) + ", " + q("kvs-missing 'a' \\b") +
               ", 5, '01', NULL, NULL, 0";
        break;
      case 1:  // one key shared by 200 rows, missing program
      case 2:
        row += key + ", " + q("shared'key") + ", 'kvs-missing-shared', -5, '01', '  ', NULL, 0";
        break;
      case 3:  // start attempts used up, a huge run time
        row += key + ", NULL, 'kvs-never', 2147483647, '01', NULL, NULL, 11";
        break;
      case 4:  // an unknown run type
        row += key + ", NULL, 'kvs-never', 0, 'ZZ', NULL, NULL, 0";
        break;
      case 5:  // NULL wherever NULL is allowed
        row += key + ", NULL, NULL, NULL, NULL, NULL, NULL, NULL";
        break;
      case 6:  // running, but without a process id
        row += key + ", " + q("r'" + n) + ", 'x', 0, '01', '01', " + q("x'y") + ", 0";
        break;
      case 7:  // texts at their column width
        row += q(width32.substr(0, 28) + n) + ", " + q(width256) + ", " +
               q("kvs-missing " + std::string(244, 'c')) + ", -1, '01', NULL, NULL, 0";
        break;
      case 8:  // an exclusive job for a day far ahead, never due
        row += key + ", NULL, 'kvssleep 1', 0, '05', NULL, NULL, 0";
        break;
      default:  // state garbage: neither waiting nor running
        row += key + ", NULL, 'kvssleep 1', 0, '01', 'ab', NULL, 0";
        break;
    }
    values.push_back("(" + row + ")");
  }
  for (size_t at = 0; at < values.size(); at += 100) {
    std::string sql =
        "INSERT INTO KVSYSTEM.KVS500JOB (JOBDA1, JOBKE2, JOBURV, JOBCMD, JOBMRT, JOBRTY, JOBSTS, "
        "JOBNUM, JOBSTV) VALUES ";
    for (size_t i = at; i < at + 100 && i < values.size(); ++i) {
      sql += (i == at ? "" : ", ") + values[i];
    }
    Sql(sql);
  }
  Sql("UPDATE KVSYSTEM.KVS500JOB SET JOBDLT = '99991231235959' WHERE JOBRTY = '05'");
  // Good rows among them, with keys of their own.
  for (int i = 0; i < 5; ++i) InsertJob("GOOD" + std::to_string(i), "g" + std::to_string(i), "kvssleep 1", 0, "01");

  StartService(90);
  StartController();
  ASSERT_TRUE(Eventually([&] {
    return Value("SELECT COUNT(*) AS v FROM KVSYSTEM.KVS500JOB WHERE JOBKE2 LIKE 'T-GOOD%' AND "
                 "JOBSTS = '98'") == "5";
  }, 60)) << Value("SELECT GROUP_CONCAT(JOBSTS) AS v FROM KVSYSTEM.KVS500JOB WHERE JOBKE2 "
                   "LIKE 'T-GOOD%'");
  EXPECT_TRUE(ControllerRunning());

  // Every bad queue row left the waiting state, and says why.
  EXPECT_EQ("0", Value("SELECT COUNT(*) AS v FROM KVSYSTEM.KVS500JOB WHERE JOBRTY = '01' AND "
                       "(JOBSTS IS NULL OR JOBSTS = '  ' OR JOBSTS = '01')"));
  EXPECT_GE(LogCount("Start PGM: kvs-missing-shared Cmd:  fehlgeschlagen!"), 200);
  EXPECT_TRUE(LogHasPrefix("RTY01Jobs einlesen: Job "));
  // Rows nobody should touch are untouched.
  EXPECT_EQ("100", Value("SELECT COUNT(*) AS v FROM KVSYSTEM.KVS500JOB WHERE JOBRTY = 'ZZ' AND "
                         "JOBSTS IS NULL"));
  EXPECT_EQ("100", Value("SELECT COUNT(*) AS v FROM KVSYSTEM.KVS500JOB WHERE JOBSTS = 'ab'"));
  // No statement text broke and no pass ended early.
  for (const std::string& line : MainLog()) {
    EXPECT_EQ(std::string::npos, line.find("SQLSelectKvs500Job")) << line;
    EXPECT_EQ(std::string::npos, line.find("Fehler bei der")) << line;
    EXPECT_EQ(std::string::npos, line.find("RC: 1064")) << line;
  }
  // The values came back as they went in.
  EXPECT_EQ("kvs-missing 'a' \\b",
            Value("SELECT JOBCMD AS v FROM KVSYSTEM.KVS500JOB WHERE JOBKE2 = 'H0''\\'"));
}

// Broken configuration: an INI of garbage still gives a running
// controller with the defaults; a damaged connection file gives the
// connect failure, never a crash.
TEST_F(AcceptanceEndToEnd, BrokenConfigurationFiles) {
  {
    std::ofstream ini(dir_ / "KVSJOBCTL.INI", std::ios::binary);
    ini << "no section here\nMAXJOBS=abc\n\x01\x02\xff\xfe garbage \0 in the middle\n"
        << "[JOBATR\nUNKNOWN=1\n[JOBATR]\nDBGLOG=1\nFOO\n" << std::string(5000, 'x') << "\n";
  }
  StartService(20);
  StartController();
  EXPECT_TRUE(Eventually([&] { return fs::exists(dir_ / "DYE"); }, 15));
  ASSERT_EQ(0, TerminateProcessById(node_.controller_pid));
  ASSERT_TRUE(Eventually([&] { return !ControllerRunning(); }, 5));

  // Odd number of lines, lower-case hex, an over-long line.
  const std::string hex = ReadFile(dir_ / "KORVALINE.INI");
  {
    std::ofstream file(dir_ / "KORVALINE.INI", std::ios::binary);
    std::string lower = hex;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    file << std::string(3000, 'h') << "\n" << lower << "KVS;KVSJOB;\n";
  }
  std::error_code ignored;
  fs::remove(dir_ / "DYE", ignored);
  StartController();
  ASSERT_TRUE(Eventually([&] { return !ControllerRunning(); }, 15));
  EXPECT_TRUE(MainLogHas("- Verbindung zur Datenbank fehlgeschlagen, Fehler : -1"));
  EXPECT_FALSE(fs::exists(dir_ / "DYE"));
}

// The stop a service manager sends (systemd with KillMode=mixed: SIGTERM
// to kvsjobsvc alone): kvsjobsvc stops answering and waits, the controller
// runs its own shutdown (rows "99", DYE gone, the pool told) and exits 0,
// then kvsjobsvc exits 0, well within the unit's TimeoutStopSec. On the
// way, kvsjobstat sees a leftover DYE refreshed by the first pass and a
// DYE left to age as a controller that hangs.
TEST_F(AcceptanceEndToEnd, StopSignalEndsJobsThroughTheController) {
  InsertJob("A", "u-a", "kvssleep 300", 0, "01");
  InsertJob("B", "u-b", "kvssleep 300", 0, "01");
  // Left by a hard stop an hour ago.
  std::ofstream(dir_ / "DYE").close();
  const auto an_hour_ago = fs::file_time_type::clock::now() - std::chrono::hours(1);
  fs::last_write_time(dir_ / "DYE", an_hour_ago);
  int service_exit = -1;
  std::thread service([&] {
    EXPECT_EQ(0, RunAndWait("bash -c \"cd '" + dir_.string() + "' && exec ./kvsjobsvc --instance " +
                                std::to_string(node_.instance) + " --quiet --log svc.log --run ./KVSJOBSTR " +
                                std::to_string(node_.instance) + "\"",
                            &service_exit));
  });
  uint32_t service_pid = 0;
  auto find_service = [&] {
    std::vector<ProcessEntry> processes;
    if (ListProcesses(&processes) != 0) return false;
    for (const ProcessEntry& p : processes) {
      if (platform_real_->InspectProcess(p.pid).full_path == (dir_ / "kvsjobsvc").string()) {
        service_pid = p.pid;
      }
    }
    return service_pid != 0;
  };
  const bool started = Eventually(find_service, 10) && Eventually([&] {
    return Column("A", "JOBSTS") == "01" && Column("B", "JOBSTS") == "01";
  }, 15);
  std::string line;
  if (started) {
    EXPECT_EQ(0, Stat(&line)) << line;
    EXPECT_EQ(0u, line.find("Jobcontroller laeuft (PID ")) << line;
    fs::last_write_time(dir_ / "DYE", fs::file_time_type::clock::now() - std::chrono::minutes(3));
    EXPECT_EQ(1, Stat(&line));
    EXPECT_EQ(0u, line.find("Jobcontroller haengt (PID ")) << line;
    EXPECT_NE(std::string::npos, line.find("): DYE seit 0:03:0")) << line;
  }
  const uint32_t pid_a = Pid("A");
  const auto signalled = std::chrono::steady_clock::now();
  int kill_exit = -1;
  if (service_pid != 0) {
    EXPECT_EQ(0, RunAndWait("bash -c \"kill -TERM " + std::to_string(service_pid) + "\"", &kill_exit));
  }
  service.join();
  const auto stop_seconds = std::chrono::duration_cast<std::chrono::seconds>(
                                std::chrono::steady_clock::now() - signalled)
                                .count();
  ASSERT_TRUE(started);
  EXPECT_EQ(0, service_exit);
  EXPECT_LT(stop_seconds, 20);
  EXPECT_EQ("99", Column("A", "JOBSTS"));
  EXPECT_EQ("99", Column("B", "JOBSTS"));
  EXPECT_FALSE(Alive(pid_a));
  EXPECT_FALSE(fs::exists(dir_ / "DYE"));
  EXPECT_TRUE(PoolHas("Der Jobcontroller wurde beendet!"));
  const std::string svc_log = ReadFile(dir_ / "svc.log");
  EXPECT_NE(std::string::npos, svc_log.find("stop signal 15, stopping\n")) << svc_log;
  EXPECT_NE(std::string::npos, svc_log.find("controller exited with 0\n")) << svc_log;
  EXPECT_EQ(std::string::npos, svc_log.find("starting ./KVSJOBSTR", svc_log.find("stop signal")))
      << svc_log;
  EXPECT_EQ(1, Stat(&line));
  EXPECT_EQ("Jobcontroller laeuft nicht: kein Prozess " + (dir_ / "KVSJOBSTR").string(), line);
}

// A controller that ends right after each start (here: its login is
// refused) is started again after growing pauses, and kvsjobsvc gives up
// with exit status 4, so that a service manager shows the unit failed
// instead of restarting it every two seconds for ever.
TEST_F(AcceptanceEndToEnd, ServiceGivesUpOnAControllerThatCannotStart) {
  WriteConnectionFile("not-the-password");
  const auto started = std::chrono::steady_clock::now();
  int service_exit = -1;
  ASSERT_EQ(0, RunAndWait("bash -c \"cd '" + dir_.string() + "' && exec ./kvsjobsvc --instance " +
                              std::to_string(node_.instance) +
                              " --quiet --log svc.log --stop-after-seconds 45 --give-up-after 3 --run ./KVSJOBSTR " +
                              std::to_string(node_.instance) + " 2> /dev/null\"",
                          &service_exit));
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
                           std::chrono::steady_clock::now() - started)
                           .count();
  EXPECT_EQ(4, service_exit);
  EXPECT_GE(seconds, 6);  // the pauses: 2 s, then 4 s
  EXPECT_LT(seconds, 60);
  // kvsjobsvc's lines carry no time stamp.
  const std::vector<std::string> log = Lines(ReadFile(dir_ / "svc.log"));
  EXPECT_EQ(3, Count(log, "starting ./KVSJOBSTR " + std::to_string(node_.instance)));
  EXPECT_EQ(3, Count(log, "controller exited with 0"));
  EXPECT_EQ(1, Count(log, "controller did not run for 30 s, starting it again in 2 s"));
  EXPECT_EQ(1, Count(log, "controller did not run for 30 s, starting it again in 4 s"));
  EXPECT_EQ(1, Count(log, "controller did not run for 30 s 3 times in a row, giving up"));
  EXPECT_FALSE(fs::exists(dir_ / "DYE"));
}

}  // namespace
}  // namespace kvs
