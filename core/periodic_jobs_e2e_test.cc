// End-to-end test of periodic jobs: the real KVSJOBSTR runs a time-plan
// job through its window and reschedules the daily and interval system
// jobs, all on the real clock.
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "db/test_database.h"
#include "diag/text.h"
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

std::string Quoted(const fs::path& p) { return "\"" + p.string() + "\""; }

class PeriodicEndToEnd : public DatabaseTest {
 protected:
  void SetUp() override {
    DatabaseTest::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_EQ(0, session_.Execute("DELETE FROM KVSYSTEM.KVS139TPL"));
    clock_ = CreatePlatform();
    const fs::path build_dir = fs::path(clock_->OwnExecutablePath()).parent_path();
    instance_ = static_cast<int>(CurrentProcessId() % 100000) + 100000;
    root_ = fs::temp_directory_path() / ("kvs_e2e_periodic_" + std::to_string(instance_));
    dir_ = root_ / "bin";
    fs::remove_all(root_);
    fs::create_directories(dir_);
    fs::create_directories(root_ / "korvaline_php" / "log");
    for (const char* tool : {"KVSJOBSTR", "kvsjobsvc", "kill", "kvscrypt"}) {
      fs::copy_file(build_dir / tool, dir_ / tool);
    }
    // Jobs run a program of this installation.
    for (const char* candidate : {"/usr/bin/sleep", "/bin/sleep"}) {
      if (fs::exists(candidate)) {
        fs::copy_file(candidate, dir_ / "kvssleep");
        break;
      }
    }
    ASSERT_TRUE(fs::exists(dir_ / "kvssleep"));
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

  void TearDown() override {
    for (uint32_t pid : {controller_pid_, service_pid_}) {
      if (pid != 0 && clock_ && clock_->InspectProcess(pid).opened) {
        (void)TerminateProcessById(pid);
      }
    }
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }

  void Start(const std::string& ini_extra, int service_seconds) {
    std::ofstream(dir_ / "KVSJOBCTL.INI") << "[JOBATR]\nDBGLOG=1\n" << ini_extra;
    ASSERT_EQ(0, clock_->StartProcess(Quoted(dir_ / "kvsjobsvc") + " --instance " +
                                          std::to_string(instance_) +
                                          " --stop-after-seconds " +
                                          std::to_string(service_seconds) + " --log " +
                                          Quoted(dir_ / "svc.log"),
                                      &service_pid_));
    for (int i = 0; i < 100 && ReadFile(dir_ / "svc.log").find("serving") == std::string::npos;
         ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_EQ(0, clock_->StartProcess("bash -c \"cd '" + dir_.string() +
                                          "' && exec ./KVSJOBSTR " + std::to_string(instance_) +
                                          " > console.txt 2>&1\"",
                                      &controller_pid_));
  }

  // "JOBSTS|JOBNRT" of a job by its key.
  std::string Row(const std::string& ke2) {
    return Value(
        "SELECT CONCAT(COALESCE(JOBSTS, '<NULL>'), '|', COALESCE(JOBNRT, '<NULL>')) AS v "
        "FROM KVSYSTEM.KVS500JOB WHERE JOBKE2 = '" + ke2 + "'");
  }

  CivilTime LocalNow() { return clock_->ToLocal(clock_->Now()); }

  std::unique_ptr<Platform> clock_;
  fs::path root_;
  fs::path dir_;
  int instance_ = 0;
  uint32_t service_pid_ = 0;
  uint32_t controller_pid_ = 0;
};

// One distinct value of a polled row and when it was first seen.
struct Seen {
  int64_t at;       // first poll that saw it
  int64_t before;   // the poll before that
  std::string row;  // JOBSTS|JOBNRT
  std::string sda;
};

// A time-plan window [m, m+3) every minute, m the minute of the start: the
// job runs at m in the controller's first pass, ends, is planned for m+2
// by the update in minute m+1 (m+1 has passed by then), runs again and
// rests in "97" once no slot is left. Meanwhile the system jobs, whose
// programs cannot start here, fail ("90") and are planned anew by the
// second update: the interval job after INTERVALLJOBZYKLUS minutes, the
// daily job tomorrow at DAILYJOBUHRZT. Catches a plan read on the wrong
// weekday or minute, a pass that reschedules too early or never, a
// "97" job started, and the settings not reaching the rules.
TEST_F(PeriodicEndToEnd, TimePlanJobRunsThroughItsWindowAndSystemJobsAreReplanned) {
  // The update at m+2 must come after the second run (3 seconds) ended, so
  // the controller starts between seconds 8 and 45 of a minute.
  CivilTime now = LocalNow();
  if (now.second < 8 || now.second > 45) {
    std::this_thread::sleep_for(std::chrono::seconds((68 - now.second) % 60));
    now = LocalNow();
  }
  const int m = now.hour * 60 + now.minute;
  if (m < 2 || m > 1436) {
    GTEST_SKIP() << "the window and the daily time must lie inside one day; started at minute "
                 << m;
  }
  auto at_minute = [&](int minute) {
    return StrFormat("%04d%02d%02d%02d%02d00", now.year, now.month, now.day, minute / 60,
                     minute % 60);
  };
  const std::string daily_hhmm = StrFormat("%02d:%02d", (m - 2) / 60, (m - 2) % 60);
  const std::string tomorrow_daily =
      DatePlusDays(now, 1) + StrFormat("%02d%02d00", (m - 2) / 60, (m - 2) % 60);

  ASSERT_EQ(0, session_.Execute("INSERT INTO KVSYSTEM.KVS139TPL VALUES ('E2EPLAN', " +
                                std::to_string(PlanWeekday(now)) + ", " + std::to_string(m) +
                                ", " + std::to_string(m + 3) + ", 1, 1)"));
  ASSERT_EQ(0, session_.Execute(
                   "INSERT INTO KVSYSTEM.KVS500JOB (JOBDA1, JOBKE2, JOBURV, JOBCMD, JOBMRT, "
                   "JOBRTY, JOBSTS, JOBDLS, JOBSCD, JOBNRT) VALUES ('" +
                   at_minute(m).substr(0, 8) + "000001', 'T-PLAN', 'u-plan', 'kvssleep 3', 0, "
                   "'03', NULL, 0, 'E2EPLAN', '')"));
  const int64_t started = clock_->Now();
  Start("DAILYJOBUHRZT=" + daily_hhmm + "\nINTERVALLJOBZYKLUS=7\n", 170);

  std::vector<Seen> plan, daily, interval;
  auto track = [](std::vector<Seen>& seen, int64_t at, int64_t before, const std::string& row,
                  const std::string& sda) {
    if (seen.empty() || seen.back().row != row) seen.push_back({at, before, row, sda});
  };
  auto done = [&] {
    return !plan.empty() && plan.back().row.rfind("97|", 0) == 0 && !daily.empty() &&
           daily.back().row.rfind("00|", 0) == 0 && !interval.empty() &&
           interval.back().row.rfind("00|", 0) == 0 && interval.size() > 1;
  };
  int64_t previous = started;
  while (!done() && clock_->Now() < started + 150) {
    const int64_t t = clock_->Now();
    track(plan, t, previous, Row("T-PLAN"),
          Value("SELECT JOBSDA AS v FROM KVSYSTEM.KVS500JOB WHERE JOBKE2 = 'T-PLAN'"));
    track(daily, t, previous, Row("DAILY SYSTEMJOB"), "");
    track(interval, t, previous, Row("INTERVALL SYSTEMJOB"), "");
    previous = t;
    std::this_thread::sleep_for(std::chrono::seconds(1));
  }

  // The plan job, without the waiting state that the first pass sets and
  // starts at once.
  std::vector<std::string> rows;
  std::vector<const Seen*> runs;
  for (const Seen& s : plan) {
    if (s.row == "<NULL>|" || s.row == "00|" + at_minute(m)) continue;
    rows.push_back(s.row);
    if (s.row.rfind("01|", 0) == 0) runs.push_back(&s);
  }
  const std::vector<std::string> expected = {
      "01|" + at_minute(m),     "98|" + at_minute(m),     "00|" + at_minute(m + 2),
      "01|" + at_minute(m + 2), "98|" + at_minute(m + 2),
  };
  ASSERT_EQ(expected.size() + 1, rows.size()) << testing::PrintToString(rows);
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(expected[i], rows[i]) << i;
  // Ended before the update in m+2: the next slot m+3 is the window's end.
  // Still running then: the update in m+3 finds no window and keeps m+2.
  EXPECT_TRUE(rows.back() == "97|" + at_minute(m + 3) || rows.back() == "97|" + at_minute(m + 2))
      << rows.back();
  ASSERT_EQ(2u, runs.size());
  EXPECT_LE(runs[0]->at, started + 8) << "first run not in the first pass";
  EXPECT_EQ(at_minute(m).substr(0, 12), runs[0]->sda.substr(0, 12));
  EXPECT_EQ(at_minute(m + 2).substr(0, 12), runs[1]->sda.substr(0, 12));
  EXPECT_LE(runs[1]->sda.substr(12), "02") << "second run late in its minute";

  // The system jobs: registered, failed to start, then planned anew by the
  // update a minute after the first.
  ASSERT_GE(interval.size(), 2u);
  EXPECT_EQ("90|", interval[interval.size() - 2].row.substr(0, 3));
  const Seen& replanned = interval.back();
  EXPECT_LE(replanned.at, started + 70);
  EXPECT_GE(replanned.row, "00|" + Timestamp14(*clock_, replanned.before + 7 * 60));
  EXPECT_LE(replanned.row, "00|" + Timestamp14(*clock_, replanned.at + 1 + 7 * 60));
  ASSERT_GE(daily.size(), 2u);
  EXPECT_EQ("90|", daily[daily.size() - 2].row.substr(0, 3));
  EXPECT_EQ("00|" + tomorrow_daily, daily.back().row);
  EXPECT_LE(daily.back().at, started + 70);
}

}  // namespace
}  // namespace kvs
