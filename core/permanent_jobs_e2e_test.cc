// End-to-end tests of permanent jobs: the real KVSJOBSTR binary in
// multiservices mode in a scratch program directory, kvsjobsvc serving its
// pipe, the private MariaDB that scripts/test starts.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "db/test_database.h"
#include "gtest/gtest.h"
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

constexpr char kStatusState[] =
    "SELECT JOBSTS AS v FROM KVSYSTEM.KVS500JOB WHERE JOBDA1 = '99999999999999' AND JOBKE2 = "
    "'JOBSTARTER STATUSJOB'";

class PermanentJobsEndToEnd : public DatabaseTest {
 protected:
  void SetUp() override {
    DatabaseTest::SetUp();
    if (HasFatalFailure()) return;
    platform_real_ = CreatePlatform();
    const fs::path build_dir = fs::path(platform_real_->OwnExecutablePath()).parent_path();
    instance_ = static_cast<int>(CurrentProcessId() % 100000) + 100000;
    root_ = fs::temp_directory_path() / ("kvs_e2e_perm_" + std::to_string(instance_));
    fs::remove_all(root_);
    fs::create_directories(root_ / "bin");
    fs::create_directories(root_ / "korvaline_php" / "log");
    dir_ = fs::canonical(root_ / "bin");
    ASSERT_EQ(0, session_.Execute("DELETE FROM KVSYSTEM.KVS200MSG"));
    // The status row, marked so that the start of a pass shows.
    ASSERT_EQ(0, session_.Execute("INSERT INTO KVSYSTEM.KVS500JOB (JOBDA1, JOBKE2, JOBURV, "
                                  "JOBCMD, JOBMRT, JOBRTY, JOBSTS) VALUES ('99999999999999', "
                                  "'JOBSTARTER STATUSJOB', 'STATUSJOB', '', 0, '99', 'XX')"));
    for (const char* tool : {"KVSJOBSTR", "kvsjobsvc", "kill", "kvscrypt"}) {
      fs::copy_file(build_dir / tool, dir_ / tool);
    }
    // Jobs run programs of this installation: in multiservices mode the
    // controller ends only processes started from its own directory.
    for (const char* candidate : {"/usr/bin/sleep", "/bin/sleep"}) {
      if (fs::exists(candidate)) {
        sleep_ = candidate;
        break;
      }
    }
    ASSERT_FALSE(sleep_.empty());
    fs::copy_file(sleep_, dir_ / "kvssleep");
    WriteConnectionFile();
    std::ofstream(dir_ / "KVSJOBCTL.INI") << "[JOBATR]\nDBGLOG=1\n";
  }

  // Ends every process started from the program directory: the
  // controller, the service, the jobs and the test's own programs.
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
    std::error_code ignored;
    fs::remove_all(root_, ignored);
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

  // A run type 04 row created today, in the order of insertion.
  void InsertPermanentJob(const std::string& key, const std::string& command,
                          const std::string& state = "NULL", const std::string& jobnam = "NULL",
                          const std::string& jobnum = "NULL") {
    static int serial = 0;
    const CivilTime today = platform_real_->ToLocal(platform_real_->Now());
    char da1[32];
    std::snprintf(da1, sizeof da1, "%04d%02d%02d%06d", today.year, today.month, today.day,
                  ++serial);
    ASSERT_EQ(0, session_.Execute("INSERT INTO KVSYSTEM.KVS500JOB (JOBDA1, JOBKE2, JOBURV, "
                                  "JOBCMD, JOBMRT, JOBRTY, JOBSTS, JOBNAM, JOBNUM) VALUES ('" +
                                  std::string(da1) + "', 'T-" + key + "', 'u-" + key + "', '" +
                                  command + "', 0, '04', " + state + ", " + jobnam + ", " +
                                  jobnum + ")"))
        << session_.error().message;
  }

  std::string Column(const std::string& key, const std::string& column) {
    return Value("SELECT " + column + " AS v FROM KVSYSTEM.KVS500JOB WHERE JOBKE2 = 'T-" + key +
                 "'");
  }
  uint32_t Pid(const std::string& key) {
    return static_cast<uint32_t>(std::atol(Column(key, "JOBNUM").c_str()));
  }
  bool Alive(uint32_t pid) { return platform_real_->InspectProcess(pid).opened; }

  // A copy of sleep in the program directory under name, started here.
  uint32_t StartOwnProgram(const std::string& name) {
    fs::copy_file(sleep_, dir_ / name);
    uint32_t pid = 0;
    EXPECT_EQ(0, platform_real_->StartProcess(Quoted(dir_ / name) + " 300", &pid));
    EXPECT_TRUE(Eventually([&] { return platform_real_->InspectProcess(pid).base_name == name; },
                           5));
    return pid;
  }

  void Start() {
    ASSERT_EQ(0, platform_real_->StartProcess(
                     Quoted(dir_ / "kvsjobsvc") + " --instance " + std::to_string(instance_) +
                         " --stop-after-seconds 120 --log " + Quoted(dir_ / "svc.log"),
                     &service_pid_));
    ASSERT_TRUE(Eventually(
        [&] { return ReadFile(dir_ / "svc.log").find("serving") != std::string::npos; }, 10));
    ASSERT_EQ(0, platform_real_->StartProcess(
                     "bash -c \"cd '" + dir_.string() + "' && exec ./KVSJOBSTR " +
                         std::to_string(instance_) + " > console.txt 2>&1\"",
                     &controller_pid_));
  }

  // Waits until a pass begins that started after this call.
  void WaitForPass() {
    ASSERT_EQ(0, session_.Execute("UPDATE KVSYSTEM.KVS500JOB SET JOBSTS = 'XX' WHERE JOBDA1 = "
                                  "'99999999999999'"));
    ASSERT_TRUE(Eventually([&] { return Value(kStatusState) == ""; }, 15));
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
  fs::path sleep_;
  int instance_ = 0;
  uint32_t service_pid_ = 0;
  uint32_t controller_pid_ = 0;
};

// Catches a permanent job not started, not started again after its
// process was ended from outside (or started again only much later), and
// the row not showing the new process.
TEST_F(PermanentJobsEndToEnd, KilledPermanentJobRunsAgain) {
  InsertPermanentJob("PERM", "kvssleep 300");
  Start();
  ASSERT_TRUE(Eventually([&] { return Column("PERM", "JOBSTS") == "01"; }, 10));
  const uint32_t first = Pid("PERM");
  ASSERT_TRUE(Alive(first));
  EXPECT_EQ("kvssleep", Column("PERM", "JOBNAM"));

  ASSERT_EQ(0, TerminateProcessById(first));
  WaitForPass();
  WaitForPass();
  EXPECT_EQ("01", Column("PERM", "JOBSTS"));
  const uint32_t second = Pid("PERM");
  EXPECT_NE(first, second);
  EXPECT_TRUE(Alive(second));
  EXPECT_EQ("1", Column("PERM", "JOBSTV"));
}

// Catches a permanent job with a missing program retried pass after pass
// without bound, or given up before its eleventh attempt, or spread over
// several passes.
TEST_F(PermanentJobsEndToEnd, MissingProgramGivesUpAfterElevenAttempts) {
  InsertPermanentJob("MISSING", "kvs-no-such-program x");
  Start();
  const std::string failed = "Start PGM: kvs-no-such-program x Cmd:  fehlgeschlagen!";
  // The first pass begins, then the second: the first one made all attempts.
  ASSERT_TRUE(Eventually([&] { return Value(kStatusState) == ""; }, 15));
  WaitForPass();
  EXPECT_EQ("90|11", Column("MISSING", "CONCAT(JOBSTS, '|', JOBSTV)"));
  EXPECT_EQ(11, LogCount(failed));

  WaitForPass();
  WaitForPass();
  EXPECT_EQ("90|11", Column("MISSING", "CONCAT(JOBSTS, '|', JOBSTV)"));
  EXPECT_EQ(11, LogCount(failed));
}

// At start-up: catches a leftover process of a known permanent program not
// ended or its row kept (the built-in registration would then see a
// duplicate), and a foreign program's process or row touched.
TEST_F(PermanentJobsEndToEnd, StartUpEndsLeftoverOfKnownProgram) {
  const uint32_t portwatch = StartOwnProgram("PortWatch.exe");
  const uint32_t dayend = StartOwnProgram("dayend.exe");
  InsertPermanentJob("PW", "PortWatch.exe 300", "'01'", "'portwatch.exe'",
                     "'" + std::to_string(portwatch) + "'");
  InsertPermanentJob("DAYEND", "dayend.exe 300", "'01'", "'dayend.exe'",
                     "'" + std::to_string(dayend) + "'");
  Start();
  EXPECT_TRUE(Eventually([&] { return !Alive(portwatch); }, 10));
  WaitForPass();
  WaitForPass();
  EXPECT_EQ("<none>", Column("PW", "JOBSTS"));
  EXPECT_FALSE(Alive(portwatch));
  EXPECT_EQ("01|dayend.exe|" + std::to_string(dayend),
            Column("DAYEND", "CONCAT_WS('|', JOBSTS, JOBNAM, JOBNUM)"));
  EXPECT_TRUE(Alive(dayend));
}

}  // namespace
}  // namespace kvs
