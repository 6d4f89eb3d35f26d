#include "core/controller.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "platform/test_util.h"
#include "platform/fake_platform.h"

namespace kvs {
namespace {

namespace fs = std::filesystem;

constexpr char kStamp[] = "2026-01-05 08:00:00  ";

class ControllerTest : public ::testing::Test {
 protected:
  ControllerTest() { fake_.own_path = dir_.File("KVSJOBSTR.EXE"); }
  int Run(std::vector<const char*> args) {
    args.insert(args.begin(), "KVSJOBSTR.EXE");
    return RunController(fake_, static_cast<int>(args.size()), args.data());
  }
  std::string MainLog() const { return ReadText(dir_.File("KVSJOBCTL.LOG")); }

  ScratchWorkDir dir_;
  FakePlatform fake_;
};

// Catches a wrong banner or pipe for single and multiservices mode (instance
// 0 included), a retry after the service is gone, and the flag file or the
// shutdown sequence running when start-up ends at the first heartbeat.
TEST_F(ControllerTest, NoServiceEndsAtFirstHeartbeat) {
  struct Case {
    std::vector<const char*> args;
    const char* banner;
    const char* pipe_name;
  };
  const Case cases[] = {
      {{}, "** Jobcontroller KVSJOBSTR wurde gestartet **\n", "\\\\.\\pipe\\kvsjobctl"},
      {{"3"}, "** Multiservices: JOBCONTROLLER 3. gestartet **\n", "\\\\.\\pipe\\kvsjobctl3"},
      {{"0"}, "** Multiservices: JOBCONTROLLER 0. gestartet **\n", "\\\\.\\pipe\\kvsjobctl0"},
  };
  for (const Case& c : cases) {
    std::error_code ignored;
    fs::remove(dir_.File("KVSJOBCTL.LOG"), ignored);
    fake_.pipe_calls.clear();
    fake_.default_pipe_answer = {kErrFileNotFound, ""};
    const std::string context = c.args.empty() ? "single" : c.args[0];

    EXPECT_EQ(Run(c.args), 0) << context;
    EXPECT_EQ(MainLog(), std::string(kStamp) + "*********************************************\n" +
                             kStamp + c.banner + kStamp +
                             "Service antwortet nicht! ErrCode: 2! KVSJOBSTR wird beendet!\n")
        << context;
    ASSERT_EQ(fake_.pipe_calls.size(), 1u) << context;
    EXPECT_EQ(fake_.pipe_calls[0].pipe_name, c.pipe_name) << context;
    EXPECT_FALSE(fs::exists(dir_.File("DYE"))) << context;
    EXPECT_FALSE(fs::exists(dir_.File("KVSJOBDBG.LOG"))) << context;
  }
}

// Catches the database failure not reaching both console and log, or the
// flag file being created before the database is connected.
TEST_F(ControllerTest, ServiceAnswersDatabaseMissing) {
  fake_.default_pipe_answer = {0, "OK"};
  EXPECT_EQ(Run({}), 0);
  EXPECT_EQ(fake_.console,
            "KVSJOBSTR: received: OK\n"
            "- Verbindung zur Datenbank fehlgeschlagen, Fehler : -1\n");
  EXPECT_EQ(MainLog(), std::string(kStamp) + "*********************************************\n" +
                           kStamp + "** Jobcontroller KVSJOBSTR wurde gestartet **\n" +
                           "2026-01-05 08:00:01  "
                           "- Verbindung zur Datenbank fehlgeschlagen, Fehler : -1\n");
  EXPECT_EQ(fake_.pipe_calls.size(), 1u);
  EXPECT_FALSE(fs::exists(dir_.File("DYE")));
}

// Catches the INI not being taken from the program directory: DBGLOG=1
// there turns on the debug log with the heartbeat's label; and a value the
// configuration did not take not reaching the main log, which is opened
// only after the configuration has been read.
TEST_F(ControllerTest, DebugLogFromProgramDirIni) {
  { std::ofstream(dir_.File("KVSJOBCTL.INI")) << "[JOBATR]\nDBGLOG=1\nDAILYJOBUHRZT=25:00\n"; }
  fake_.default_pipe_answer = {kErrFileNotFound, ""};
  EXPECT_EQ(Run({}), 0);
  EXPECT_EQ(ReadText(dir_.File("KVSJOBDBG.LOG")),
            std::string(kStamp) + "Service kontaktiert! dbConnect\n" + kStamp +
                "Service antwortet nicht 2!");
  EXPECT_EQ(MainLog(), std::string(kStamp) + "*********************************************\n" +
                           kStamp + "** Jobcontroller KVSJOBSTR wurde gestartet **\n" + kStamp +
                           "Konfiguration: DAILYJOBUHRZT=25:00 ist keine gueltige Uhrzeit "
                           "HH:MM, es gilt 07:00!\n" +
                           kStamp +
                           "Service antwortet nicht! ErrCode: 2! KVSJOBSTR wird beendet!\n");
}

// Catches a node that runs with a name no other node could tell from its
// own rows, or that talks to the service or the database first.
TEST_F(ControllerTest, InvalidNodeNameEndsBeforeAnything) {
  { std::ofstream(dir_.File("KVSJOBCTL.INI")) << "[JOBATR]\nKNOTEN=server 2\n"; }
  EXPECT_EQ(Run({}), kExitConfigInvalid);
  EXPECT_EQ(MainLog(), std::string(kStamp) + "*********************************************\n" +
                           kStamp + "** Jobcontroller KVSJOBSTR wurde gestartet **\n" + kStamp +
                           "Konfiguration: KNOTEN=server 2 ist kein gueltiger Knotenname (1 bis "
                           "16 Zeichen: Buchstaben, Ziffern, - und _), der Jobcontroller wird "
                           "beendet!\n");
  EXPECT_FALSE(fs::exists(dir_.File("DYE")));
}

// Catches a take-over on the database server's clock alone (a step of that
// clock would make every node take over every other) and one that waits
// on a node whose row keeps changing.
TEST(SilenceWatchTest, TakesOverOnlyWhatStoodStillForTheTimeOut) {
  const struct {
    int64_t now_ms;
    const char* jobsda;
    bool silent;  // by the server's clock
    bool dead;
  } steps[] = {
      {0, "20261209100000", false, false},  // first seen, writing
      {30000, "20261209100000", false, false},
      {60000, "20261209100000", true, true},    // unchanged for 60 s
      {62000, "20261209100500", true, false},   // server clock stepped, row new
      {90000, "20261209100501", true, false},   // still writing
      {120000, "20261209100501", true, false},
      {150000, "20261209100501", true, true},   // unchanged for 60 s
      {190000, "20261209100501", true, false},  // 40 s unread (own outage)
      {220000, "20261209100501", true, false},
      {250000, "20261209100501", true, true},   // watched again for 60 s
  };
  SilenceWatch watch;
  for (const auto& step : steps) {
    watch.BeginReading(step.now_ms, 60000);
    EXPECT_EQ(step.dead, watch.MayTakeOver({"b", step.jobsda, step.silent, false}, step.now_ms,
                                           60000))
        << step.now_ms;
  }
  // Just started: a row already old waits for one time-out of watching.
  SilenceWatch fresh;
  for (int64_t now_ms = 500000; now_ms < 560000; now_ms += 1000) {
    fresh.BeginReading(now_ms, 60000);
    EXPECT_FALSE(fresh.MayTakeOver({"c", "20261209090000", true, false}, now_ms, 60000));
  }
  fresh.BeginReading(560000, 60000);
  EXPECT_TRUE(fresh.MayTakeOver({"c", "20261209090000", true, false}, 560000, 60000));
  // Taken over: no further statements for it until its row changes.
  fresh.Settle("c");
  fresh.BeginReading(561000, 60000);
  EXPECT_FALSE(fresh.MayTakeOver({"c", "20261209090000", true, true}, 561000, 60000));
}

}  // namespace
}  // namespace kvs
