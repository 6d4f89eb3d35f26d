// End-to-end tests of permanent jobs: the real KVSJOBSTR binary in
// multiservices mode in a scratch program directory, kvsjobsvc serving its
// pipe, the private MariaDB that scripts/test starts.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "e2e/e2e_fixture.h"
#include "gtest/gtest.h"
#include "platform/platform.h"
#include "platform/tool_support.h"

namespace kvs {
namespace {

constexpr char kStatusState[] =
    "SELECT JOBSTS AS v FROM KVSYSTEM.KVS500JOB WHERE JOBDA1 = '99999999999999' AND JOBKE2 = "
    "'JOBSTARTER STATUSJOB'";

class PermanentJobsEndToEnd : public ControllerProcessTest {
 protected:
  void SetUp() override {
    ControllerProcessTest::SetUp();
    if (HasFatalFailure()) return;
    // The status row, marked so that the start of a pass shows.
    Sql("INSERT INTO KVSYSTEM.KVS500JOB (JOBDA1, JOBKE2, JOBURV, JOBCMD, JOBMRT, JOBRTY, "
        "JOBSTS) VALUES ('99999999999999', 'JOBSTARTER STATUSJOB', 'STATUSJOB', '', 0, '99', "
        "'XX')");
  }

  // A run type 04 row created today, in the order of insertion.
  void InsertPermanentJob(const std::string& key, const std::string& command,
                          const std::string& state = "NULL", const std::string& jobnam = "NULL",
                          const std::string& jobnum = "NULL") {
    InsertJobRow("T-" + key, "u-" + key, command, 0, "04", state, ", JOBNAM, JOBNUM",
                 ", " + jobnam + ", " + jobnum);
  }

  uint32_t Pid(const std::string& key) {
    return static_cast<uint32_t>(std::atol(Column(key, "JOBNUM").c_str()));
  }
  bool Alive(uint32_t pid) { return platform_real_->InspectProcess(pid).opened; }

  // A copy of sleep in the program directory under name, started here.
  uint32_t StartOwnProgram(const std::string& name) {
    fs::copy_file(dir_ / "kvssleep", dir_ / name);
    uint32_t pid = 0;
    EXPECT_EQ(0, platform_real_->StartProcess(Quoted(dir_ / name) + " 300", &pid));
    EXPECT_TRUE(Eventually([&] { return platform_real_->InspectProcess(pid).base_name == name; },
                           5));
    return pid;
  }

  // Waits until a pass begins that started after this call.
  void WaitForPass() {
    Sql("UPDATE KVSYSTEM.KVS500JOB SET JOBSTS = 'XX' WHERE JOBDA1 = '99999999999999'");
    if (HasFatalFailure()) return;
    ASSERT_TRUE(Eventually([&] { return Value(kStatusState) == ""; }, 15));
  }
};

// Catches a permanent job not started, not started again after its
// process was ended from outside (or started again only much later), and
// the row not showing the new process.
TEST_F(PermanentJobsEndToEnd, KilledPermanentJobRunsAgain) {
  InsertPermanentJob("PERM", "kvssleep 300");
  Start(120);
  ASSERT_TRUE(Eventually([&] { return Column("PERM", "JOBSTS") == "01"; }, 10));
  const uint32_t first = Pid("PERM");
  ASSERT_TRUE(Alive(first));
  EXPECT_EQ("kvssleep", Column("PERM", "JOBNAM"));

  ASSERT_EQ(0, TerminateProcessById(first));
  // One pass sees the end and marks the row, the next one starts the job
  // again; a pass begins every second.
  ASSERT_TRUE(Eventually(
      [&] { return Column("PERM", "JOBSTS") == "01" && Pid("PERM") != first; }, 6));
  const uint32_t second = Pid("PERM");
  EXPECT_TRUE(Alive(second));
  EXPECT_EQ("1", Column("PERM", "JOBSTV"));
}

// Catches a permanent job started through a wrapper that execs its
// program taken as ended at the exec: a new copy every pass, the old one
// running on unsupervised. After ten passes one process runs, the first.
TEST_F(PermanentJobsEndToEnd, WrappedPermanentJobRunsOnce) {
  WriteWrapper("wrap.sh");
  InsertPermanentJob("WRAP", "wrap.sh 300");
  Start(120);
  ASSERT_TRUE(Eventually([&] { return Column("WRAP", "JOBSTS") == "01"; }, 10));
  const uint32_t first = Pid("WRAP");
  for (int pass = 0; pass < 10; ++pass) WaitForPass();
  EXPECT_EQ(1, ProgramRunning("kvssleep"));
  EXPECT_EQ(first, Pid("WRAP"));
  EXPECT_EQ("01|kvssleep", Column("WRAP", "CONCAT(JOBSTS, '|', JOBNAM)"));
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
  Start(120);
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
