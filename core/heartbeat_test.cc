#include "core/heartbeat.h"

#include <filesystem>
#include <string>
#include <vector>

#include "diag/test_logs.h"
#include "gtest/gtest.h"
#include "platform/fake_platform.h"

namespace kvs {
namespace {

namespace fs = std::filesystem;

constexpr char kStamp[] = "2026-01-05 08:00:00  ";
constexpr char kPipe[] = "\\\\.\\pipe\\kvsjobctl";

// One heartbeat with its two logs in a scratch directory, the fake clock at
// 2026-01-05 08:00:00.
struct Rig {
  explicit Rig(bool debug_on = true) : logs(fake, dir.path(), debug_on) {}
  std::string MainLog() const { return logs.MainText(); }
  std::string DebugLog() const { return logs.DebugText(); }

  ScratchDir dir;
  FakePlatform fake;
  TestLogs logs;
  Heartbeat heartbeat{fake, logs, kPipe};
};

// Catches the 3-second throttle off by one second, or a skipped beat that
// still logs, sleeps or notices that the service is gone.
TEST(HeartbeatTest, UnforcedBeatsWithinThreeSecondsAreSkipped) {
  // Seconds after the first contact began (its answer slept one of them);
  // a step of the wall clock in between must not count.
  struct Case {
    int seconds_after_first;
    int64_t wall_step;
    bool contacts;
  };
  const Case cases[] = {{1, 0, false},    {2, 0, false},     {3, 0, true}, {60, 0, true},
                        {2, 3600, false}, {3, -3600, true}};
  for (const Case& c : cases) {
    Rig rig;
    rig.fake.QueuePipeAnswer({0, "OK"});
    ASSERT_EQ(rig.heartbeat.Beat(false, "eins"), 1);
    rig.fake.AdvanceSeconds(c.seconds_after_first - 1);
    rig.fake.StepWallClock(c.wall_step);
    rig.fake.default_pipe_answer = {kErrFileNotFound, ""};
    const std::string debug_before = rig.DebugLog();

    const int result = rig.heartbeat.Beat(false, "zwei");
    EXPECT_EQ(result, c.contacts ? 0 : 1) << c.seconds_after_first;
    EXPECT_EQ(rig.fake.pipe_calls.size(), c.contacts ? 2u : 1u) << c.seconds_after_first;
    if (!c.contacts) {
      EXPECT_EQ(rig.fake.sleeps_ms, std::vector<int>{1000});
      EXPECT_EQ(rig.DebugLog(), debug_before);
      EXPECT_FALSE(fs::exists(rig.dir.File("KVSJOBCTL.LOG")));
    }
  }
}

// Catches a forced beat being throttled, and a forced contact that does
// not start the 3 seconds anew: an unforced beat inside the next pass then
// contacts the service and sleeps a second more, every other pass.
TEST(HeartbeatTest, ForcedBeatAlwaysContactsAndRestartsTheThrottle) {
  struct Case {
    int unforced_before;  // seconds before the forced beat; -1: none
    int unforced_after;   // seconds after the forced beat's answer
    size_t contacts;  // all beats together
  };
  const Case cases[] = {{-1, 0, 1}, {-1, 1, 1}, {-1, 2, 2}, {1, 0, 2}, {3, 1, 2}, {3, 2, 3}};
  for (const Case& c : cases) {
    Rig rig;
    rig.fake.default_pipe_answer = {0, "OK"};
    if (c.unforced_before >= 0) {
      ASSERT_EQ(rig.heartbeat.Beat(false, "eins"), 1);
      rig.fake.AdvanceSeconds(c.unforced_before - 1);
    }
    EXPECT_EQ(rig.heartbeat.Beat(true, "Hauptschleife!"), 1);
    rig.fake.AdvanceSeconds(c.unforced_after);
    EXPECT_EQ(rig.heartbeat.Beat(false, "zwei"), 1);
    EXPECT_EQ(rig.fake.pipe_calls.size(), c.contacts)
        << c.unforced_before << " " << c.unforced_after;
  }
}

// Catches the failure path: exit code, exact log lines in both logs, the
// short sleep, and a failed contact not moving the throttle.
TEST(HeartbeatTest, ServiceGone) {
  Rig rig;
  rig.fake.default_pipe_answer = {kErrFileNotFound, ""};
  EXPECT_EQ(rig.heartbeat.Beat(false, "dbConnect"), 0);
  EXPECT_EQ(rig.MainLog(), std::string(kStamp) +
                               "Service antwortet nicht! ErrCode: 2! KVSJOBSTR wird beendet!\n");
  EXPECT_EQ(rig.DebugLog(), std::string(kStamp) + "Service kontaktiert! dbConnect\n" + kStamp +
                                "Service antwortet nicht 2!");
  EXPECT_EQ(rig.fake.sleeps_ms, std::vector<int>{100});
  EXPECT_EQ(rig.fake.console, "");

  EXPECT_EQ(rig.heartbeat.Beat(false, "dbConnect"), 1);
  EXPECT_EQ(rig.fake.pipe_calls.size(), 1u);
}

// Catches a wrong request (name, size, timeout, pipe) and the success path's
// console line, debug line and sleep.
TEST(HeartbeatTest, ServiceAnswers) {
  Rig rig;
  rig.fake.QueuePipeAnswer({0, "OK"});
  EXPECT_EQ(rig.heartbeat.Beat(false, "Hauptschleife!"), 1);
  ASSERT_EQ(rig.fake.pipe_calls.size(), 1u);
  const FakePlatform::PipeCall& call = rig.fake.pipe_calls[0];
  EXPECT_EQ(call.pipe_name, kPipe);
  EXPECT_EQ(call.request, "KVSJOBSTR.EXE");
  EXPECT_EQ(call.request_len, 80u);
  EXPECT_EQ(call.timeout_ms, 1000);
  EXPECT_EQ(rig.fake.console, "KVSJOBSTR: received: OK\n");
  EXPECT_EQ(rig.DebugLog(), std::string(kStamp) + "Service kontaktiert! Hauptschleife!\n" +
                                kStamp + "Service antwortet!\n");
  EXPECT_EQ(rig.fake.sleeps_ms, std::vector<int>{1000});
  EXPECT_FALSE(fs::exists(rig.dir.File("KVSJOBCTL.LOG")));
}

// Catches reply overruns: exactly 80 bytes is a reply, 81 is error 234;
// an embedded NUL ends the printed text; an empty reply prints nothing.
TEST(HeartbeatTest, ReplySizes) {
  struct Case {
    std::string reply;
    int result;
    std::string console;
    std::string main_log;
  };
  const std::string full(80, 'R');
  const Case cases[] = {
      {full, 1, "KVSJOBSTR: received: " + full + "\n", ""},
      {full + "R", 0, "",
       std::string(kStamp) + "Service antwortet nicht! ErrCode: 234! KVSJOBSTR wird beendet!\n"},
      {std::string("OK\0junk", 7), 1, "KVSJOBSTR: received: OK\n", ""},
      {"", 1, "KVSJOBSTR: received: \n", ""},
  };
  for (const Case& c : cases) {
    Rig rig;
    rig.fake.QueuePipeAnswer({0, c.reply});
    EXPECT_EQ(rig.heartbeat.Beat(true, "x"), c.result) << c.reply.size();
    EXPECT_EQ(rig.fake.console, c.console) << c.reply.size();
    EXPECT_EQ(rig.MainLog(), c.main_log) << c.reply.size();
  }
}

// Catches the debug file appearing with DBGLOG 0, or the main-log line
// depending on it.
TEST(HeartbeatTest, DebugLogOffKeepsMainLogLine) {
  Rig rig(false);
  rig.fake.default_pipe_answer = {kErrFileNotFound, ""};
  EXPECT_EQ(rig.heartbeat.Beat(false, "dbConnect"), 0);
  EXPECT_FALSE(fs::exists(rig.dir.File("KVSJOBDBG.LOG")));
  EXPECT_EQ(rig.MainLog(), std::string(kStamp) +
                               "Service antwortet nicht! ErrCode: 2! KVSJOBSTR wird beendet!\n");
}

}  // namespace
}  // namespace kvs
