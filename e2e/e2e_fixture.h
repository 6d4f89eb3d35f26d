// The fixtures of the end-to-end tests: the real KVSJOBSTR binary in a
// scratch program directory (with the suite's log folder beside it),
// kvsjobsvc serving its pipe, the private MariaDB that scripts/test
// starts, a connection file written with kvscrypt, and kvssleep, a copy of
// sleep, and kvsdemojob as the programs jobs run. The controller runs in
// multiservices mode (an instance number keeps the pipe name private), so
// it ends only processes started from its own directory. Several such
// nodes may share the job table.
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

// One controller of the test: its program directory (with the suite's log
// folder beside it in root), its instance number, the lines of its
// KVSJOBCTL.INI after DBGLOG=1, and the processes started for it.
struct ControllerNode {
  fs::path root;
  fs::path dir;
  int instance = 0;
  std::string ini;
  uint32_t service_pid = 0;
  uint32_t controller_pid = 0;
};

// The scaffolding for any number of nodes on the private job table; every
// node set up here is ended, with each process started from its
// directory, when the test ends.
class ControllerNodesTest : public DatabaseTest {
 protected:
  void SetUp() override {
    DatabaseTest::SetUp();
    if (HasFatalFailure()) return;
    platform_real_ = CreatePlatform();
    build_dir_ = fs::path(platform_real_->OwnExecutablePath()).parent_path();
    ASSERT_EQ(0, session_.Execute(TestStatement("DELETE FROM KVSYSTEM.KVS200MSG")));
  }

  // The program directory root/bin with the tools and the programs jobs
  // run, the suite's log folder, a connection file and KVSJOBCTL.INI.
  void SetUpNode(ControllerNode* node, const fs::path& root, int instance,
                 const std::string& ini) {
    nodes_.push_back(node);
    node->root = root;
    node->instance = instance;
    fs::create_directories(root / "bin");
    fs::create_directories(root / "korvaline_php" / "log");
    // Canonical: the process table shows the programs started from it
    // under their real paths.
    node->dir = fs::canonical(root / "bin");
    // Jobs run a program of this installation: in multiservices mode the
    // controller ends only processes started from its own directory.
    for (const char* tool : {"KVSJOBSTR", "kvsjobsvc", "kill", "kvscrypt", "kvsdemojob"}) {
      fs::copy_file(build_dir_ / tool, node->dir / tool);
    }
    for (const char* candidate : {"/usr/bin/sleep", "/bin/sleep"}) {
      if (fs::exists(candidate)) {
        fs::copy_file(candidate, node->dir / "kvssleep");
        break;
      }
    }
    ASSERT_TRUE(fs::exists(node->dir / "kvssleep"));
    WriteConnectionFile(*node, TestCredentials().password);
    WriteIni(node, ini);
  }

  void WriteIni(ControllerNode* node, const std::string& ini) {
    node->ini = ini;
    std::ofstream(node->dir / "KVSJOBCTL.INI") << "[JOBATR]\nDBGLOG=1\n" << ini;
  }

  void WriteConnectionFile(const ControllerNode& node, const std::string& password) {
    fs::remove(node.dir / "KORVALINE.INI");
    const Credentials c = TestCredentials();
    const std::pair<const char*, std::string> values[] = {
        {"DATABASE", c.data_source}, {"SCHEMA", "KVSYSTEM."}, {"LOGIN", c.user},
        {"PASS", password},          {"DB_SYSTEM", "MYSQL"}};
    int number = 1;
    for (const auto& [key, value] : values) {
      int exit_code = -1;
      ASSERT_EQ(0, RunAndWait(Quoted(node.dir / "kvscrypt") + " set " +
                                  Quoted(node.dir / "KORVALINE.INI") + " KVSJOB " +
                                  std::to_string(number++) + " " + key + " " + value,
                              &exit_code));
      ASSERT_EQ(0, exit_code);
    }
  }

  void StartService(ControllerNode* node, int seconds) {
    ASSERT_EQ(0, platform_real_->StartProcess(
                     Quoted(node->dir / "kvsjobsvc") + " --instance " +
                         std::to_string(node->instance) + " --stop-after-seconds " +
                         std::to_string(seconds) + " --log " + Quoted(node->dir / "svc.log"),
                     &node->service_pid));
    ASSERT_TRUE(Eventually(
        [&] { return ReadFile(node->dir / "svc.log").find("serving") != std::string::npos; },
        10));
  }

  // The controller, its console going to console.txt; env ("TZ=UTC")
  // is set for it alone.
  void StartController(ControllerNode* node, const std::string& env = "") {
    ASSERT_EQ(0, platform_real_->StartProcess(
                     "bash -c \"cd '" + node->dir.string() + "' && exec env " + env +
                         " ./KVSJOBSTR " + std::to_string(node->instance) +
                         " > console.txt 2>&1\"",
                     &node->controller_pid));
  }

  // The service for service_seconds, then the controller.
  void Start(ControllerNode* node, int service_seconds) {
    StartService(node, service_seconds);
    if (HasFatalFailure()) return;
    StartController(node);
  }

  // Ends the node at once, as a dying server would: the controller first,
  // so that it ends nothing itself, then the service and every process
  // started from the program directory.
  void EndNode(const ControllerNode& node) {
    for (uint32_t pid : {node.controller_pid, node.service_pid}) {
      if (pid != 0 && platform_real_->InspectProcess(pid).opened) {
        (void)TerminateProcessById(pid);
      }
    }
    for (uint32_t pid : ProcessesOf(node, "")) (void)TerminateProcessById(pid);
  }

  // The processes that run a program of the node's directory, or only
  // its program when given.
  std::vector<uint32_t> ProcessesOf(const ControllerNode& node, const std::string& program) {
    std::vector<uint32_t> pids;
    std::vector<ProcessEntry> processes;
    if (node.dir.empty() || ListProcesses(&processes) != 0) return pids;
    const std::string prefix = node.dir.string() + "/";
    for (const ProcessEntry& p : processes) {
      const std::string path = platform_real_->InspectProcess(p.pid).full_path;
      if (program.empty() ? path.rfind(prefix, 0) == 0 : path == prefix + program) {
        pids.push_back(p.pid);
      }
    }
    return pids;
  }

  // The node's main log's texts, a line each, without time stamps (see
  // LogTexts).
  std::vector<std::string> MainLogOf(const ControllerNode& node) {
    return Lines(LogTexts(node.dir / "KVSJOBCTL.LOG"));
  }

  void TearDown() override {
    if (!platform_real_) return;
    for (const ControllerNode* node : nodes_) EndNode(*node);
  }

  // A test job: its key gets the prefix "T-", its state is NULL.
  void InsertJob(const std::string& key, const std::string& joburv, const std::string& command,
                 int jobmrt, const std::string& run_type, const std::string& extra_columns = "",
                 const std::string& extra_values = "") {
    InsertJobRow("T-" + key, joburv, command, jobmrt, run_type, "NULL", extra_columns,
                 extra_values);
  }

  // A job row's JOBDA1: created today (older rows fall to the 30-day
  // clean-up), in the order of insertion.
  std::string NextJobDa1() {
    static int serial = 0;
    const CivilTime today = platform_real_->ToLocal(platform_real_->Now());
    char da1[32];
    std::snprintf(da1, sizeof da1, "%04d%02d%02d%06d", today.year, today.month, today.day,
                  ++serial);
    return da1;
  }

  // A job row under its full key, state an SQL value.
  void InsertJobRow(const std::string& ke2, const std::string& joburv,
                    const std::string& command, int jobmrt, const std::string& run_type,
                    const std::string& state, const std::string& extra_columns = "",
                    const std::string& extra_values = "") {
    Put("JOBDA1, JOBKE2, JOBURV, JOBCMD, JOBMRT, JOBRTY, JOBSTS" + extra_columns,
        "'" + NextJobDa1() + "', '" + ke2 + "', '" + joburv + "', '" + command + "', " +
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

  static std::string Quoted(const fs::path& p) { return "\"" + p.string() + "\""; }

  template <typename Pred>
  bool Eventually(Pred pred, int seconds) {
    for (int i = 0; i < seconds * 10; ++i) {
      if (pred()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return pred();
  }

  // Stops or starts the private MariaDB server.
  void MariaDb(const char* verb) {
    ASSERT_EQ(0, MariaDbServer(verb)) << verb;
  }

  std::unique_ptr<Platform> platform_real_;
  fs::path build_dir_;
  // Every node set up, for the tear-down.
  std::vector<const ControllerNode*> nodes_;
};

// One controller in the scratch directory, its program directory dir_.
class ControllerProcessTest : public ControllerNodesTest {
 protected:
  void SetUp() override {
    ControllerNodesTest::SetUp();
    if (HasFatalFailure()) return;
    SetUpNode(&node_, scratch_.path(), static_cast<int>(CurrentProcessId() % 100000) + 100000,
              "");
    dir_ = node_.dir;
  }

  void WriteIni(const std::string& extra) { ControllerNodesTest::WriteIni(&node_, extra); }
  void WriteConnectionFile(const std::string& password) {
    ControllerNodesTest::WriteConnectionFile(node_, password);
  }
  void StartService(int seconds) { ControllerNodesTest::StartService(&node_, seconds); }
  void StartController(const std::string& env = "") {
    ControllerNodesTest::StartController(&node_, env);
  }
  void Start(int service_seconds) { ControllerNodesTest::Start(&node_, service_seconds); }

  bool ControllerRunning() { return platform_real_->InspectProcess(node_.controller_pid).opened; }

  // What the controller's pass state file says now; kComplete when unread.
  PassOutcome PassOutcomeNow() {
    PassState state;
    int64_t written = 0;
    if (!ReadPassState((dir_ / kPassStateFileName).string(), &state, &written)) {
      ADD_FAILURE() << "no pass state file";
    }
    return state.outcome;
  }

  // How many processes run the program dir_/program.
  int ProgramRunning(const std::string& program) {
    return static_cast<int>(ProcessesOf(node_, program).size());
  }

  // A shell script in the program directory that execs kvssleep with its
  // arguments after a moment, so the controller first names it after the
  // shell.
  void WriteWrapper(const std::string& name) {
    std::ofstream(dir_ / name) << "#!/bin/sh\n/bin/sleep 0.3\nexec ./kvssleep \"$@\"\n";
    fs::permissions(dir_ / name, fs::perms::owner_all, fs::perm_options::add);
  }

  // The main log's texts, a line each, without time stamps (see LogTexts).
  std::vector<std::string> MainLog() { return MainLogOf(node_); }
  // Main-log lines equal to text (time stamps cut off).
  int LogCount(const std::string& text) { return Count(MainLog(), text); }
  bool MainLogHas(const std::string& text) { return LogCount(text) > 0; }

  ControllerNode node_;
};

}  // namespace kvs
