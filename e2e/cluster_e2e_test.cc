// End-to-end tests of three controllers on one job table: nodes N1, N2
// and N3, each the real KVSJOBSTR in a program directory of its own with
// its own kvsjobsvc, all on the private MariaDB. Jobs run kvsdemojob with
// a lock file: a job that ran twice at once leaves a line in the lock
// file's .busy file.
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "diag/text.h"
#include "e2e/e2e_fixture.h"
#include "gtest/gtest.h"
#include "platform/platform.h"
#include "platform/tool_support.h"

namespace kvs {
namespace {

constexpr int kNodes = 3;
constexpr char kStartPrefix[] = "Start PGM: ";
constexpr char kStartSuffix[] = " Cmd: kvsdemojob";
constexpr char kJobsStopped[] = "CheckDB: *** Jobs beendet ***!";

class ClusterEndToEnd : public ControllerNodesTest {
 protected:
  void SetUp() override {
    ControllerNodesTest::SetUp();
    if (HasFatalFailure()) return;
    const int first_instance = 200000 + static_cast<int>(CurrentProcessId() % 100000) * kNodes;
    for (int i = 0; i < kNodes; ++i) {
      SetUpNode(&cluster_[i], scratch_.path() / Name(i), first_instance + i,
                "KNOTEN=" + Name(i) + "\nKNOTENTIMEOUT=10\nMAXJOBS=20\n");
      if (HasFatalFailure()) return;
    }
    fs::create_directories(scratch_.path() / "locks");
  }

  static std::string Name(int i) { return "N" + std::to_string(i + 1); }

  // kvsdemojob for seconds under the lock file of key: a command of its own
  // for each key.
  std::string Command(int seconds, const std::string& key) {
    return "kvsdemojob " + std::to_string(seconds) + " " + LockFile(key).string();
  }
  fs::path LockFile(const std::string& key) { return scratch_.path() / "locks" / key; }

  // The lock files that found their lock taken.
  std::vector<std::string> BusyFiles() {
    std::vector<std::string> busy;
    for (const auto& entry : fs::directory_iterator(scratch_.path() / "locks")) {
      if (entry.path().extension() == ".busy") busy.push_back(entry.path().filename().string());
    }
    return busy;
  }

  // The commands every node's main log says it started, each with the
  // names of the nodes that started it, one per start.
  std::map<std::string, std::vector<std::string>> Starts() {
    std::map<std::string, std::vector<std::string>> starts;
    const size_t prefix = std::string(kStartPrefix).size();
    const size_t suffix = std::string(kStartSuffix).size();
    for (int i = 0; i < kNodes; ++i) {
      for (const std::string& line : MainLogOf(cluster_[i])) {
        if (line.rfind(kStartPrefix, 0) != 0 || line.size() < prefix + suffix ||
            line.compare(line.size() - suffix, suffix, kStartSuffix) != 0) {
          continue;
        }
        starts[line.substr(prefix, line.size() - prefix - suffix)].push_back(Name(i));
      }
    }
    return starts;
  }

  int NodeIndex(const std::string& name) {
    for (int i = 0; i < kNodes; ++i) {
      if (Name(i) == name) return i;
    }
    return -1;
  }

  // Each node's main log has line at least once.
  bool EveryLogHas(const std::vector<int>& nodes, const std::string& line) {
    for (int i : nodes) {
      if (Count(MainLogOf(cluster_[i]), line) == 0) return false;
    }
    return true;
  }

  int RunningJobs(const std::vector<int>& nodes) {
    size_t n = 0;
    for (int i : nodes) n += ProcessesOf(cluster_[i], "kvsdemojob").size();
    return static_cast<int>(n);
  }

  std::array<ControllerNode, kNodes> cluster_;
};

// 300 queue jobs inserted at once while all three nodes run: each is
// started exactly once, every node takes a share, and each row names the
// node that started it. Catches a job claimed by two nodes, a node
// starting another's row, and a node left out.
TEST_F(ClusterEndToEnd, BurstOfQueueJobsStartsEachOnce) {
  constexpr int kJobs = 300;
  for (ControllerNode& node : cluster_) {
    Start(&node, 300);
    ASSERT_FALSE(HasFatalFailure());
  }
  ASSERT_TRUE(Eventually([&] {
    return Value("SELECT COUNT(*) AS v FROM KVSYSTEM.KVS500JOB WHERE JOBDA1 = "
                 "'99999999999999' AND JOBURV = 'KNOTEN'") == "3";
  }, 20));

  std::vector<std::string> keys;
  std::string values;
  for (int i = 0; i < kJobs; ++i) {
    keys.push_back(StrFormat("Q%03d", i));
    values += std::string(i == 0 ? "" : ", ") + "('" + NextJobDa1() + "', 'T-" + keys.back() +
              "', '" + keys.back() + "', '" + Command(1, keys.back()) + "', 0, '01', NULL)";
  }
  Sql("INSERT INTO KVSYSTEM.KVS500JOB (JOBDA1, JOBKE2, JOBURV, JOBCMD, JOBMRT, JOBRTY, JOBSTS) "
      "VALUES " + values);
  ASSERT_TRUE(Eventually([&] {
    return Value("SELECT COUNT(*) AS v FROM KVSYSTEM.KVS500JOB WHERE JOBKE2 LIKE 'T-Q%' AND "
                 "JOBSTS = '98'") == std::to_string(kJobs);
  }, 60)) << Rows("CONCAT(JOBKE2, '=', COALESCE(JOBSTS, 'NULL'))",
                  "JOBKE2 LIKE 'T-Q%' AND COALESCE(JOBSTS, '') <> '98'");
  std::map<std::string, std::vector<std::string>> starts = Starts();
  std::map<std::string, std::vector<std::string>> keys_of_node;
  for (const std::string& key : keys) {
    const std::vector<std::string>& nodes = starts[Command(1, key)];
    ASSERT_EQ(1u, nodes.size()) << key;
    keys_of_node[nodes[0]].push_back("'T-" + key + "'");
  }
  EXPECT_EQ(static_cast<size_t>(kJobs), starts.size());
  for (int i = 0; i < kNodes; ++i) {
    const std::vector<std::string>& own = keys_of_node[Name(i)];
    EXPECT_GT(own.size(), 0u) << Name(i);
    std::string list = "''";
    for (const std::string& key : own) list += ", " + key;
    const std::string where = "FROM KVSYSTEM.KVS500JOB WHERE JOBKE2 LIKE 'T-Q%' AND JOBUSR = '" +
                              Name(i) + "'";
    EXPECT_EQ(std::to_string(own.size()), Value("SELECT COUNT(*) AS v " + where));
    EXPECT_EQ(std::to_string(own.size()),
              Value("SELECT COUNT(*) AS v " + where + " AND JOBKE2 IN (" + list + ")"));
  }
  EXPECT_EQ(std::vector<std::string>{}, BusyFiles());
}

// One permanent job under a lock file shared by all nodes, through a
// stretch of normal running, the death of the node that runs it, and a
// database outage. Catches the job running twice at once (a .busy line),
// a take-over before the dead node's status row is KNOTENTIMEOUT old or
// by two survivors, a node that keeps its jobs through an outage, the jobs
// a node starts right after it taken over as a silent node's, and a queue
// job started again after it.
TEST_F(ClusterEndToEnd, PermanentJobThroughNodeLossAndOutage) {
  const std::string perm = Command(2, "perm");
  InsertJob("PERM", "perm", perm, 0, "04");
  for (ControllerNode& node : cluster_) {
    Start(&node, 300);
    ASSERT_FALSE(HasFatalFailure());
  }

  // Normal running: the job ends every 2 s and some node starts it again.
  std::this_thread::sleep_for(std::chrono::seconds(6));
  EXPECT_GE(Starts()[perm].size(), 2u);
  ASSERT_EQ(std::vector<std::string>{}, BusyFiles());

  // The node that has just started the job dies with it. A claim names
  // the node before the start writes the new process id: a run is fresh
  // once its process id is new.
  const auto run = [&] { return Column("PERM", "CONCAT(JOBSTS, '|', JOBNUM, '|', JOBUSR)"); };
  const auto pid_of = [](const std::string& r) {
    return r.substr(r.find('|') + 1, r.rfind('|') - r.find('|') - 1);
  };
  const std::string before = run();
  std::string fresh;
  ASSERT_TRUE(Eventually([&] {
    fresh = run();
    return fresh.rfind("01|", 0) == 0 && pid_of(fresh) != pid_of(before);
  }, 10));
  const std::string dead = fresh.substr(fresh.rfind('|') + 1);
  const int dead_index = NodeIndex(dead);
  ASSERT_NE(-1, dead_index) << fresh;
  EndNode(cluster_[dead_index]);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  ASSERT_EQ(fresh, run());
  const std::string last_write = JobColumn("JOBSTARTER " + dead, "JOBSDA");
  ASSERT_EQ(14u, last_write.size());
  std::vector<int> survivors;
  for (int i = 0; i < kNodes; ++i) {
    if (i != dead_index) survivors.push_back(i);
  }

  // A survivor starts it again only once the dead node's status row is
  // older than KNOTENTIMEOUT (seconds on the database clock).
  std::string restarted;
  ASSERT_TRUE(Eventually([&] {
    restarted = Column("PERM", "CONCAT(JOBSTS, '|', JOBUSR, '|', TIMESTAMPDIFF(SECOND, "
                               "STR_TO_DATE('" + last_write +
                                   "', '%Y%m%d%H%i%s'), UTC_TIMESTAMP()))");
    return restarted.rfind("01|", 0) == 0 && restarted.find("|" + dead + "|") == std::string::npos;
  }, 30)) << restarted;
  const int elapsed = std::atoi(restarted.substr(restarted.rfind('|') + 1).c_str());
  EXPECT_GE(elapsed, 11) << restarted;
  EXPECT_LE(elapsed, 20) << restarted;
  const std::string taken_over = "Knoten " + dead + " ist seit " + last_write +
                                 " (UTC) still: 1 laufende Jobs auf 99 gesetzt, ihre Laufarten "
                                 "starten sie neu!";
  int take_overs = 0;
  for (int i : survivors) take_overs += Count(MainLogOf(cluster_[i]), taken_over);
  EXPECT_EQ(1, take_overs);
  EXPECT_EQ(std::vector<std::string>{}, BusyFiles());

  // Queue jobs through a database outage: O1 and O2 run when the server
  // stops, W1 and W2 wait for them (same program identifier).
  const std::array<std::string, 4> queue = {"O1", "O2", "W1", "W2"};
  InsertJob("O1", "O1", Command(30, "O1"), 0, "01");
  InsertJob("O2", "O2", Command(30, "O2"), 0, "01");
  ASSERT_TRUE(Eventually([&] {
    return Rows("JOBSTS", "JOBKE2 IN ('T-O1', 'T-O2')") == "01 / 01";
  }, 10));
  InsertJob("W1", "O1", Command(1, "W1"), 0, "01");
  InsertJob("W2", "O2", Command(1, "W2"), 0, "01");
  std::this_thread::sleep_for(std::chrono::seconds(2));
  EXPECT_EQ("<NULL> / <NULL>", Rows("COALESCE(JOBSTS, '<NULL>')", "JOBKE2 IN ('T-W1', 'T-W2')"));
  MariaDb("stop");
  const auto stopped = std::chrono::steady_clock::now();
  // Every node ends its jobs in its first pass without the database.
  EXPECT_TRUE(Eventually([&] { return EveryLogHas(survivors, kJobsStopped); }, 20));
  EXPECT_TRUE(Eventually([&] { return RunningJobs(survivors) == 0; }, 5));
  std::this_thread::sleep_until(stopped + std::chrono::seconds(10));
  EXPECT_EQ(0, RunningJobs(survivors));
  MariaDb("start");
  session_.Disconnect();
  const Credentials c = TestCredentials();
  ASSERT_EQ(0, session_.Connect(c.user, c.password, c.data_source));

  // Back: the rows of the ended jobs are closed, the waiting ones run once,
  // the permanent job runs again.
  EXPECT_TRUE(Eventually([&] {
    return Rows("JOBSTS", "JOBKE2 IN ('T-W1', 'T-W2')") == "98 / 98" &&
           Value("SELECT COUNT(*) AS v FROM KVSYSTEM.KVS500JOB WHERE JOBKE2 IN ('T-O1', "
                 "'T-O2') AND JOBSTS IN ('98', '99')") == "2";
  }, 30)) << Rows("CONCAT(JOBKE2, '=', COALESCE(JOBSTS, 'NULL'))", "JOBKE2 LIKE 'T-%'");
  EXPECT_TRUE(Eventually([&] { return run().rfind("01|", 0) == 0; }, 15)) << run();
  std::map<std::string, std::vector<std::string>> starts = Starts();
  for (const std::string& key : queue) {
    EXPECT_EQ(1u, starts[Command(key[0] == 'O' ? 30 : 1, key)].size()) << key;
  }
  EXPECT_EQ(std::vector<std::string>{}, BusyFiles());
}

// The faults of a node that does not die with its server. A copy of a
// running node's settings elsewhere is refused (exit code 2, nothing
// started); a node whose service stalls past the time-out keeps its job
// and is not taken over; a controller killed alone takes its job with it,
// so the job's restart on the other node never runs beside it. Catches a
// name check that lets the copy start (it would end the owner's jobs), a
// status row written only by the pass, and an orphan left running.
TEST_F(ClusterEndToEnd, NodeFaultsRunNoJobTwice) {
  const std::string perm = Command(60, "perm");
  InsertJob("PERM", "perm", perm, 0, "04");
  for (int i = 0; i < 2; ++i) {
    Start(&cluster_[i], 300);
    ASSERT_FALSE(HasFatalFailure());
  }
  const auto run = [&] { return Column("PERM", "CONCAT(JOBSTS, '|', JOBUSR, '|', JOBNUM)"); };
  std::string first;
  ASSERT_TRUE(Eventually([&] { return (first = run()).rfind("01|", 0) == 0; }, 15)) << first;
  const int owner = NodeIndex(first.substr(3, first.rfind('|') - 3));
  ASSERT_NE(-1, owner) << first;
  ControllerNode& node = cluster_[owner];

  // The third program directory under the owner's name.
  ControllerNode& copy = cluster_[2];
  WriteIni(&copy, "KNOTEN=" + Name(owner) + "\nKNOTENTIMEOUT=10\n");
  StartService(&copy, 60);
  ASSERT_FALSE(HasFatalFailure());
  int exit_code = -1;
  ASSERT_EQ(0, RunAndWait("bash -c \"cd '" + copy.dir.string() + "' && exec ./KVSJOBSTR " +
                              std::to_string(copy.instance) + " > console.txt 2>&1\"",
                          &exit_code));
  EXPECT_EQ(2, exit_code);
  const auto lines_starting = [](const std::vector<std::string>& lines, const std::string& start) {
    int n = 0;
    for (const std::string& line : lines) n += line.rfind(start, 0) == 0;
    return n;
  };
  EXPECT_EQ(0, lines_starting(MainLogOf(copy), kStartPrefix));
  EXPECT_TRUE(PoolHas("Knoten " + Name(owner) +
                      " laeuft bereits auf einem anderen Jobcontroller => dieser startet nicht!"));
  EXPECT_EQ(first, run());

  // The owner's service stands still for twice the time-out.
  int stopped = -1;
  ASSERT_EQ(0, RunAndWait("kill -STOP " + std::to_string(node.service_pid), &stopped));
  std::this_thread::sleep_for(std::chrono::seconds(20));
  ASSERT_EQ(0, RunAndWait("kill -CONT " + std::to_string(node.service_pid), &stopped));
  EXPECT_EQ(first, run());
  EXPECT_EQ(0, lines_starting(MainLogOf(cluster_[1 - owner]), "Knoten " + Name(owner) + " ist"));

  // The owner's controller alone is killed: its job goes with it, and the
  // other node starts the job again once the owner's row is old.
  const std::vector<uint32_t> jobs = ProcessesOf(node, "kvsdemojob");
  ASSERT_EQ(1u, jobs.size());
  ASSERT_EQ(0, TerminateProcessById(node.controller_pid));
  EXPECT_TRUE(Eventually([&] { return ProcessesOf(node, "kvsdemojob").empty(); }, 2));
  std::string restarted;
  EXPECT_TRUE(Eventually(
      [&] {
        restarted = run();
        return restarted.rfind("01|" + Name(1 - owner) + "|", 0) == 0;
      },
      25))
      << restarted;
  EXPECT_EQ(std::vector<std::string>{}, BusyFiles());
}

}  // namespace
}  // namespace kvs
