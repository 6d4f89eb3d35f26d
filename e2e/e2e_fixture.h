// The fixture of the end-to-end tests: the real KVSJOBSTR binary in a
// scratch program directory (with the suite's log folder beside it),
// kvsjobsvc serving its pipe, the private MariaDB that scripts/test
// starts, a connection file written with kvscrypt, and kvssleep, a copy of
// sleep, as the program jobs run. The controller runs in multiservices
// mode (an instance number keeps the pipe name private), so it ends only
// processes started from its own directory.
#pragma once

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "db/test_database.h"
#include "diag/pass_state.h"
#include "gtest/gtest.h"
#include "platform/platform.h"
#include "platform/test_util.h"
#include "platform/tool_support.h"

namespace kvs {

namespace fs = std::filesystem;

inline int Count(const std::vector<std::string>& lines, const std::string& text) {
  int n = 0;
  for (const std::string& line : lines) n += line == text;
  return n;
}

class ControllerProcessTest : public DatabaseTest {
 protected:
  void SetUp() override {
    DatabaseTest::SetUp();
    if (HasFatalFailure()) return;
    platform_real_ = CreatePlatform();
    build_dir_ = fs::path(platform_real_->OwnExecutablePath()).parent_path();
    instance_ = static_cast<int>(CurrentProcessId() % 100000) + 100000;
    // The program directory, with the suite's log folder beside it where
    // the fallback message file goes.
    root_ = scratch_.path();
    fs::create_directories(root_ / "bin");
    fs::create_directories(root_ / "korvaline_php" / "log");
    // Canonical: the process table shows the programs started from it
    // under their real paths.
    dir_ = fs::canonical(root_ / "bin");
    ASSERT_EQ(0, session_.Execute(TestStatement("DELETE FROM KVSYSTEM.KVS200MSG")));
    for (const char* tool : {"KVSJOBSTR", "kvsjobsvc", "kill", "kvscrypt"}) {
      fs::copy_file(build_dir_ / tool, dir_ / tool);
    }
    // Jobs run a program of this installation: in multiservices mode the
    // controller ends only processes started from its own directory.
    for (const char* candidate : {"/usr/bin/sleep", "/bin/sleep"}) {
      if (fs::exists(candidate)) {
        fs::copy_file(candidate, dir_ / "kvssleep");
        break;
      }
    }
    ASSERT_TRUE(fs::exists(dir_ / "kvssleep"));
    WriteConnectionFile(TestCredentials().password);
    WriteIni("");
  }

  void WriteIni(const std::string& extra) {
    std::ofstream(dir_ / "KVSJOBCTL.INI") << "[JOBATR]\nDBGLOG=1\n" << extra;
  }

  // A test job: its key gets the prefix "T-", its state is NULL.
  void InsertJob(const std::string& key, const std::string& joburv, const std::string& command,
                 int jobmrt, const std::string& run_type, const std::string& extra_columns = "",
                 const std::string& extra_values = "") {
    InsertJobRow("T-" + key, joburv, command, jobmrt, run_type, "NULL", extra_columns,
                 extra_values);
  }

  // A job row under its full key, state an SQL value. Created today (older
  // rows fall to the 30-day clean-up), in the order of insertion.
  void InsertJobRow(const std::string& ke2, const std::string& joburv,
                    const std::string& command, int jobmrt, const std::string& run_type,
                    const std::string& state, const std::string& extra_columns = "",
                    const std::string& extra_values = "") {
    static int serial = 0;
    const CivilTime today = platform_real_->ToLocal(platform_real_->Now());
    char da1[32];
    std::snprintf(da1, sizeof da1, "%04d%02d%02d%06d", today.year, today.month, today.day,
                  ++serial);
    Put("JOBDA1, JOBKE2, JOBURV, JOBCMD, JOBMRT, JOBRTY, JOBSTS" + extra_columns,
        std::string("'") + da1 + "', '" + ke2 + "', '" + joburv + "', '" + command + "', " +
            std::to_string(jobmrt) + ", '" + run_type + "', " + state + extra_values);
  }

  // A column of the test job key (prefix "T-"), or of the row with the
  // full key ke2.
  std::string Column(const std::string& key, const std::string& column) {
    return JobColumn("T-" + key, column);
  }
  std::string JobColumn(const std::string& ke2, const std::string& column) {
    return Value("SELECT " + column + " AS v FROM KVSYSTEM.KVS500JOB WHERE JOBKE2 = '" + ke2 +
                 "'");
  }

  bool PoolHas(const std::string& text) {
    return Value("SELECT COUNT(*) AS v FROM KVSYSTEM.KVS200MSG WHERE MSGTXT LIKE '% " + text +
                 "'") != "0";
  }

  // Ends the controller, the service and every process started from the
  // program directory; the scratch tree goes with the fixture.
  void TearDown() override {
    StopAll();
    std::vector<ProcessEntry> processes;
    if (platform_real_ && !dir_.empty() && ListProcesses(&processes) == 0) {
      const std::string prefix = dir_.string() + "/";
      for (const ProcessEntry& p : processes) {
        if (platform_real_->InspectProcess(p.pid).full_path.rfind(prefix, 0) == 0) {
          (void)TerminateProcessById(p.pid);
        }
      }
    }
  }

  void WriteConnectionFile(const std::string& password) {
    fs::remove(dir_ / "KORVALINE.INI");
    const Credentials c = TestCredentials();
    const std::pair<const char*, std::string> values[] = {
        {"DATABASE", c.data_source}, {"SCHEMA", "KVSYSTEM."}, {"LOGIN", c.user},
        {"PASS", password},          {"DB_SYSTEM", "MYSQL"}};
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

  void StartService(int seconds) {
    ASSERT_EQ(0, platform_real_->StartProcess(
                     Quoted(dir_ / "kvsjobsvc") + " --instance " + std::to_string(instance_) +
                         " --stop-after-seconds " + std::to_string(seconds) + " --log " +
                         Quoted(dir_ / "svc.log"),
                     &service_pid_));
    ASSERT_TRUE(Eventually([&] { return ReadFile(dir_ / "svc.log").find("serving") != std::string::npos; }, 10));
  }

  // The controller, its console going to console.txt.
  void StartController() {
    ASSERT_EQ(0, platform_real_->StartProcess(
                     "bash -c \"cd '" + dir_.string() + "' && exec ./KVSJOBSTR " +
                         std::to_string(instance_) + " > console.txt 2>&1\"",
                     &controller_pid_));
  }

  // The service for service_seconds, then the controller.
  void Start(int service_seconds) {
    StartService(service_seconds);
    if (HasFatalFailure()) return;
    StartController();
  }

  bool ControllerRunning() { return platform_real_->InspectProcess(controller_pid_).opened; }

  // What the controller's pass state file says now; kComplete when unread.
  PassOutcome PassOutcomeNow() {
    PassState state;
    int64_t written = 0;
    if (!ReadPassState((dir_ / kPassStateFileName).string(), &state, &written)) {
      ADD_FAILURE() << "no pass state file";
    }
    return state.outcome;
  }

  template <typename Pred>
  bool Eventually(Pred pred, int seconds) {
    for (int i = 0; i < seconds * 10; ++i) {
      if (pred()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return pred();
  }

  // How many processes run the program dir_/program.
  int ProgramRunning(const std::string& program) {
    std::vector<ProcessEntry> processes;
    EXPECT_EQ(0, ListProcesses(&processes));
    int n = 0;
    for (const ProcessEntry& p : processes) {
      n += platform_real_->InspectProcess(p.pid).full_path == (dir_ / program).string();
    }
    return n;
  }

  // A shell script in the program directory that execs kvssleep with its
  // arguments after a moment, so the controller first names it after the
  // shell.
  void WriteWrapper(const std::string& name) {
    std::ofstream(dir_ / name) << "#!/bin/sh\n/bin/sleep 0.3\nexec ./kvssleep \"$@\"\n";
    fs::permissions(dir_ / name, fs::perms::owner_all, fs::perm_options::add);
  }

  // The main log's texts, a line each, without time stamps (see LogTexts).
  std::vector<std::string> MainLog() { return Lines(LogTexts(dir_ / "KVSJOBCTL.LOG")); }
  // Main-log lines equal to text (time stamps cut off).
  int LogCount(const std::string& text) { return Count(MainLog(), text); }
  bool MainLogHas(const std::string& text) { return LogCount(text) > 0; }

  void StopAll() {
    for (uint32_t pid : {controller_pid_, service_pid_}) {
      if (pid != 0 && platform_real_ && platform_real_->InspectProcess(pid).opened) {
        (void)TerminateProcessById(pid);
      }
    }
  }

  void MariaDb(const char* verb) {
    int exit_code = -1;
    ASSERT_EQ(0, RunAndWait("bash " + TestEnv("KVS_TEST_MARIADB_SCRIPT") + " " + verb + " " +
                                TestEnv("KVS_TEST_MARIADB_DIR"),
                            &exit_code));
    ASSERT_EQ(0, exit_code) << verb;
  }

  std::unique_ptr<Platform> platform_real_;
  fs::path build_dir_;
  fs::path root_;
  fs::path dir_;
  int instance_ = 0;
  uint32_t service_pid_ = 0;
  uint32_t controller_pid_ = 0;
};

}  // namespace kvs
