// End-to-end tests of the scheduled run types: calendar (07), day-end
// (08) and restart (09) jobs run by the real KVSJOBSTR binary in a scratch
// program directory, kvsjobsvc serving its pipe, the private MariaDB that
// scripts/test starts.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "db/test_database.h"
#include "gtest/gtest.h"
#include "jobs/periodic_jobs.h"
#include "platform/platform.h"
#include "platform/tool_support.h"

namespace kvs {
namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class ScheduledJobsEndToEnd : public DatabaseTest {
 protected:
  void SetUp() override {
    DatabaseTest::SetUp();
    if (HasFatalFailure()) return;
    ClearTables();
    platform_real_ = CreatePlatform();
    const fs::path build_dir = fs::path(platform_real_->OwnExecutablePath()).parent_path();
    instance_ = static_cast<int>(CurrentProcessId() % 100000) + 100000;
    root_ = fs::temp_directory_path() / ("kvs_e2e_sched_" + std::to_string(instance_));
    fs::remove_all(root_);
    fs::create_directories(root_ / "bin");
    fs::create_directories(root_ / "korvaline_php" / "log");
    dir_ = fs::canonical(root_ / "bin");
    for (const char* tool : {"KVSJOBSTR", "kvsjobsvc", "kill", "kvscrypt"}) {
      fs::copy_file(build_dir / tool, dir_ / tool);
    }
    for (const char* candidate : {"/usr/bin/sleep", "/bin/sleep"}) {
      if (fs::exists(candidate)) {
        fs::copy_file(candidate, dir_ / "kvssleep");
        break;
      }
    }
    ASSERT_TRUE(fs::exists(dir_ / "kvssleep"));
    // The day-end program is started without arguments and runs a while.
    std::ofstream(dir_ / "DayEnd.exe") << "#!/bin/sh\nsleep 2\n";
    fs::permissions(dir_ / "DayEnd.exe", fs::perms(0755));
    WriteConnectionFile();
    std::ofstream(dir_ / "KVSJOBCTL.INI") << "[JOBATR]\nDBGLOG=1\n";
  }

  // Ends the controller, the service and the jobs started from the program
  // directory; leaves no schedule or client row to later tests.
  void TearDown() override {
    std::vector<ProcessEntry> processes;
    if (platform_real_ && !dir_.empty() && ListProcesses(&processes) == 0) {
      const std::string prefix = dir_.string() + "/";
      for (const ProcessEntry& p : processes) {
        if (platform_real_->InspectProcess(p.pid).full_path.rfind(prefix, 0) == 0) {
          (void)TerminateProcessById(p.pid);
        }
      }
    }
    ClearTables();
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }

  void ClearTables() {
    for (const char* table : {"KVS200MSG", "KVS800SCD", "KVS112MND"}) {
      EXPECT_EQ(0, session_.Execute(std::string("DELETE FROM KVSYSTEM.") + table));
    }
  }

  void WriteConnectionFile() {
    const Credentials c = TestCredentials();
    const std::pair<const char*, std::string> values[] = {
        {"DATABASE", c.data_source}, {"SCHEMA", "KVSYSTEM."}, {"LOGIN", c.user},
        {"PASS", c.password},        {"DB_SYSTEM", "MYSQL"}};
    int number = 1;
    for (const auto& [key, value] : values) {
      int exit_code = -1;
      ASSERT_EQ(0, RunAndWait(Quoted(dir_ / "kvscrypt") + " set " +
                                  Quoted(dir_ / "KORVALINE.INI") + " KVSJOB " +
                                  std::to_string(number++) + " " + key + " " + value,
                              &exit_code));
      ASSERT_EQ(0, exit_code);
    }
  }

  static std::string Quoted(const fs::path& p) { return "\"" + p.string() + "\""; }

  void Sql(const std::string& sql) {
    ASSERT_EQ(0, session_.Execute(sql)) << sql << ": " << session_.error().message;
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

  // A job row created today, in the order of insertion.
  void InsertJob(const std::string& key, const std::string& joburv, const std::string& command,
                 const std::string& run_type, const std::string& state,
                 const std::string& jobnrt = "NULL") {
    static int serial = 0;
    char da1[32];
    std::snprintf(da1, sizeof da1, "%s%06d", DateText(LocalIn(0)).c_str(), ++serial);
    Sql("INSERT INTO KVSYSTEM.KVS500JOB (JOBDA1, JOBKE2, JOBURV, JOBCMD, JOBMRT, JOBRTY, "
        "JOBSTS, JOBNRT, JOBSTV) VALUES ('" + std::string(da1) + "', '" + key + "', '" +
        joburv + "', '" + command + "', 0, '" + run_type + "', " + state + ", " + jobnrt +
        ", 0)");
  }

  std::string Column(const std::string& key, const std::string& column) {
    return Value("SELECT " + column + " AS v FROM KVSYSTEM.KVS500JOB WHERE JOBKE2 = '" + key +
                 "'");
  }

  void Start() {
    ASSERT_EQ(0, platform_real_->StartProcess(
                     Quoted(dir_ / "kvsjobsvc") + " --instance " + std::to_string(instance_) +
                         " --stop-after-seconds 170 --log " + Quoted(dir_ / "svc.log"),
                     &service_pid_));
    ASSERT_TRUE(Eventually(
        [&] { return ReadFile(dir_ / "svc.log").find("serving") != std::string::npos; }, 10));
    ASSERT_EQ(0, platform_real_->StartProcess(
                     "bash -c \"cd '" + dir_.string() + "' && exec ./KVSJOBSTR " +
                         std::to_string(instance_) + " > console.txt 2>&1\"",
                     &controller_pid_));
  }

  template <typename Pred>
  bool Eventually(Pred pred, int seconds) {
    for (int i = 0; i < seconds * 10; ++i) {
      if (pred()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return pred();
  }

  // Main-log lines equal to text (time stamps cut off).
  int LogCount(const std::string& text) {
    std::istringstream in(ReadFile(dir_ / "KVSJOBCTL.LOG"));
    int n = 0;
    for (std::string line; std::getline(in, line);) {
      n += line.size() >= 21 && line.substr(21) == text;
    }
    return n;
  }

  std::unique_ptr<Platform> platform_real_;
  fs::path root_;
  fs::path dir_;
  int instance_ = 0;
  uint32_t service_pid_ = 0;
  uint32_t controller_pid_ = 0;
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
  InsertJob(key, "u-cal", "kvssleep 2", "07", "'00'", "'" + planned + "'");
  InsertJob("T-AGAIN", "u-again", "kvssleep 1", "09", "NULL");
  InsertJob("T-MISSING", "u-missing", "kvs-no-such-program", "09", "NULL");
  Start();

  std::set<std::string> runs;
  auto note_run = [&] { runs.insert(Column("T-AGAIN", "COALESCE(JOBSDA, '')")); };
  ASSERT_TRUE(Eventually([&] { note_run(); return Column(key, "JOBSTS") == "01"; }, 20));
  EXPECT_GE(Column(key, "JOBSDA"), planned);
  const std::string started = Column(key, "JOBSDA");
  ASSERT_TRUE(Eventually([&] { note_run(); return Column(key, "JOBSTS") == "00"; }, 15));
  CivilTime start_day{};
  start_day.year = std::atoi(started.substr(0, 4).c_str());
  start_day.month = std::atoi(started.substr(4, 2).c_str());
  start_day.day = std::atoi(started.substr(6, 2).c_str());
  EXPECT_EQ(DatePlusDays(start_day, 1) + hhmmss + "|0|14",
            Column(key, "CONCAT_WS('|', JOBNRT, JOBSTV, LENGTH(JOBEDA))"));

  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(4);
  while (std::chrono::steady_clock::now() < until) {
    note_run();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  runs.erase("");
  EXPECT_GE(runs.size(), 4u);
  EXPECT_EQ("1", Column("T-AGAIN", "JOBSTV"));

  EXPECT_EQ("90|11", Column("T-MISSING", "CONCAT_WS('|', JOBSTS, JOBSTV)"));
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
  Start();

  const std::string row = "CONCAT_WS('|', JOBCMD, COALESCE(JOBSTS, 'NULL'), JOBNRT)";
  ASSERT_TRUE(Eventually([&] { return Column("DYE+D00", "COUNT(*)") == "1"; }, 15));
  EXPECT_EQ("DayEnd.exe|NULL|" + DateText(now) + hhmm00, Column("DYE+D00", row));
  const std::string first = Column("DYE+D00", "JOBDA1");

  ASSERT_TRUE(Eventually([&] { return Column("DYE+D00", "JOBSTS") == "01"; }, 140));
  EXPECT_GE(Column("DYE+D00", "JOBSDA"), DateText(now) + hhmm00);
  ASSERT_TRUE(Eventually([&] {
    const std::string da1 = Column("DYE+D00", "JOBDA1");
    return da1 != first && da1 != "<none>";
  }, 15));
  EXPECT_EQ("DayEnd.exe|NULL|" + DatePlusDays(now, 1) + hhmm00, Column("DYE+D00", row));
  EXPECT_EQ("1", Value("SELECT COUNT(*) AS v FROM KVSYSTEM.KVS500JOB WHERE JOBRTY = '08'"));
}

}  // namespace
}  // namespace kvs
