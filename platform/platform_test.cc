// Tests of the real platform of this build: real child processes (this test
// binary relaunched with --child-sleep), the kill tool and the service pipe
// served by kvsjobsvc.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <thread>

#include "gtest/gtest.h"
#include "platform/clock_sources.h"
#include "platform/platform.h"
#include "platform/test_util.h"
#include "platform/tool_support.h"

#ifndef _WIN32
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <vector>
#endif

namespace kvs {
namespace {

namespace fs = std::filesystem;

#ifdef _WIN32
constexpr char kExe[] = ".exe";
#else
constexpr char kExe[] = "";
#endif

class RealPlatformTest : public testing::Test {
 protected:
  void SetUp() override {
    platform_ = CreatePlatform();
    self_ = platform_->OwnExecutablePath();
    ASSERT_FALSE(self_.empty());
    dir_ = fs::path(self_).parent_path();
  }

  std::string Quoted(const fs::path& p) { return "\"" + p.string() + "\""; }

  // Polls until pred holds or about five seconds have passed.
  template <typename Pred>
  bool Eventually(Pred pred) {
    for (int i = 0; i < 100; ++i) {
      if (pred()) return true;
      platform_->SleepMs(50);
    }
    return false;
  }

  uint32_t StartSleeper(const fs::path& program) {
    uint32_t pid = 0;
    EXPECT_EQ(0, platform_->StartProcess(Quoted(program) + " --child-sleep 30", &pid));
    EXPECT_NE(0u, pid);
    return pid;
  }

  std::unique_ptr<Platform> platform_;
  std::string self_;
  fs::path dir_;
};

// A started child can be opened, named, located and dated, and is gone
// once terminated.
TEST_F(RealPlatformTest, ChildIsInspectedAndTerminated) {
  const int64_t before = platform_->Now();
  uint32_t pid = StartSleeper(self_);
  ProcessInfo info;
  ASSERT_TRUE(Eventually([&] {
    info = platform_->InspectProcess(pid);
    return info.has_name;
  }));
  EXPECT_TRUE(info.opened);
  EXPECT_TRUE(info.has_module);
  EXPECT_EQ(fs::path(self_).filename().string(), info.base_name);
  EXPECT_TRUE(fs::equivalent(fs::path(self_), fs::path(info.full_path)));
  ASSERT_TRUE(info.has_creation_time);
  EXPECT_GE(info.creation_time, before - 2);
  EXPECT_LE(info.creation_time, platform_->Now() + 2);

  ASSERT_EQ(0, TerminateProcessById(pid));
  EXPECT_TRUE(Eventually([&] { return !platform_->InspectProcess(pid).opened; }));
}

// Catches a child that has ended looking alive (on Windows the handle of
// its creation is still held): the controller's name probe would wait
// 5 s for it, or name the id's next owner.
TEST_F(RealPlatformTest, ChildThatEndsAtOnceIsGone) {
  uint32_t pid = 0;
  ASSERT_EQ(0, platform_->StartProcess(Quoted(self_) + " --child-sleep 0", &pid));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(Eventually([&] { return !platform_->InspectProcess(pid).opened; }));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
}

// A program that does not exist is a failed start with "file not found",
// never a child that exits at once.
TEST_F(RealPlatformTest, MissingProgramFailsToStart) {
  uint32_t pid = 0;
  EXPECT_EQ(kErrFileNotFound,
            platform_->StartProcess("kvs-no-such-program-4711 --x", &pid));
  EXPECT_EQ(0u, pid);
}

// The kill tool, found in the program directory, ends processes by id and
// by executable name (without regard to case).
TEST_F(RealPlatformTest, KillToolEndsByIdAndByName) {
  const fs::path kill_tool = dir_ / (std::string("kill") + kExe);
  ASSERT_TRUE(fs::exists(kill_tool));

  uint32_t by_id = StartSleeper(self_);
  int exit_code = -1;
  ASSERT_EQ(0, RunAndWait(Quoted(kill_tool) + " " + std::to_string(by_id), &exit_code));
  EXPECT_EQ(0, exit_code);
  EXPECT_TRUE(Eventually([&] { return !platform_->InspectProcess(by_id).opened; }));

  // A private copy, so ending it by name cannot hit the test runner itself.
  const std::string name =
      "kvs_sleeper_" + std::to_string(CurrentProcessId()) + kExe;
  ScratchDir scratch("kvs_kill_");
  const fs::path copy = scratch.path() / name;
  fs::copy_file(self_, copy);
  uint32_t by_name = StartSleeper(copy);
  ASSERT_TRUE(Eventually([&] { return platform_->InspectProcess(by_name).has_name; }));
  std::string upper = name;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  ASSERT_EQ(0, RunAndWait(Quoted(kill_tool) + " " + upper, &exit_code));
  EXPECT_EQ(0, exit_code);
  EXPECT_TRUE(Eventually([&] { return !platform_->InspectProcess(by_name).opened; }));
  ASSERT_EQ(0, RunAndWait(Quoted(kill_tool) + " " + upper, &exit_code));
  EXPECT_EQ(1, exit_code);  // nothing left to end
}

// The heartbeat's call: answered by kvsjobsvc, error 2 without a listener,
// error 234 when the reply does not fit into 80 bytes.
TEST_F(RealPlatformTest, PipeCallAgainstServiceStandIn) {
  const fs::path svc = dir_ / (std::string("kvsjobsvc") + kExe);
  ASSERT_TRUE(fs::exists(svc));
  const std::string name = "kvstest" + std::to_string(CurrentProcessId());
  const std::string pipe = "\\\\.\\pipe\\" + name;

  char request[80] = "KVSJOBSTR.EXE";
  char reply[80];
  size_t reply_len = 0;
  EXPECT_EQ(kErrFileNotFound, platform_->CallPipe(pipe, request, sizeof request, reply,
                                                  sizeof reply, &reply_len, 1000));

  struct Case {
    std::string reply;
    int expected;
  };
  const Case cases[] = {
      {"Hallo", 0},
      {"", 0},  // an empty reply is an answer too
      {std::string(80, 'x'), 0},
      {std::string(100, 'y'), kErrMoreData},
  };
  for (const Case& c : cases) {
    uint32_t pid = 0;
    ASSERT_EQ(0, platform_->StartProcess(Quoted(svc) + " --pipe " + name + " --reply \"" +
                                             c.reply + "\" --stop-after-requests 1",
                                         &pid));
    int rc = -1;
    ASSERT_TRUE(Eventually([&] {
      rc = platform_->CallPipe(pipe, request, sizeof request, reply, sizeof reply,
                               &reply_len, 1000);
      return rc != kErrFileNotFound;
    })) << c.reply.size();
    EXPECT_EQ(c.expected, rc) << c.reply.size();
    if (c.expected == 0) {
      EXPECT_EQ(c.reply, std::string(reply, reply_len));
    }
    // Having answered once, the stand-in stops and takes its name away.
    EXPECT_TRUE(Eventually([&] { return !platform_->InspectProcess(pid).opened; }));
  }
}

// Catches the call's time-out taken as a bound on the service's answer:
// it bounds only getting through, so a slow answer still arrives.
TEST_F(RealPlatformTest, PipeCallWaitsForASlowAnswer) {
  const std::string pipe = "\\\\.\\pipe\\kvsslow" + std::to_string(CurrentProcessId());
  PipeServer server;
  ASSERT_EQ(0, server.Open(pipe));
  int served = -1;
  std::thread service([&] {
    served = server.ServeOne(80, [](const char*, size_t) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1500));
      return std::string("spaet");
    }, 5000);
  });
  char request[80] = "KVSJOBSTR.EXE";
  char reply[80];
  size_t reply_len = 0;
  EXPECT_EQ(0, platform_->CallPipe(pipe, request, sizeof request, reply, sizeof reply,
                                   &reply_len, 1000));
  EXPECT_EQ("spaet", std::string(reply, reply_len));
  service.join();
  EXPECT_EQ(0, served);
}

#ifndef _WIN32
// Catches a busy service failing at once with a Linux error: with every
// place of the listener taken, the call waits its time-out for a free one
// and then fails with 121, as CallNamedPipe does.
TEST_F(RealPlatformTest, PipeCallWaitsForAFreeInstance) {
  const std::string name = "kvsbusy" + std::to_string(CurrentProcessId());
  PipeServer server;
  ASSERT_EQ(0, server.Open("\\\\.\\pipe\\" + name));
  const char* dir = std::getenv("KVS_PIPE_DIR");
  const std::string path = std::string(dir && *dir ? dir : "/tmp") + "/" + name;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  std::vector<int> waiting;
  for (int i = 0; i < 100; ++i) {
    int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      ::close(fd);
      break;
    }
    waiting.push_back(fd);
  }
  ASSERT_LT(waiting.size(), 100u);
  char request[80] = "KVSJOBSTR.EXE";
  char reply[80];
  size_t reply_len = 0;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(kErrSemTimeout, platform_->CallPipe("\\\\.\\pipe\\" + name, request,
                                                sizeof request, reply, sizeof reply,
                                                &reply_len, 1000));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(950));
  for (int fd : waiting) ::close(fd);
}

// Catches another user's process taken for gone or left undated: the
// controller runs as a user of its own and may not read the executable of
// a setuid job, yet the process's start, and with it its identity and run
// time, is open to every user. Looks as the user nobody, so it needs root.
TEST_F(RealPlatformTest, OtherUsersProcessIsDated) {
  ASSERT_EQ(0u, ::geteuid()) << "this test looks as another user and must run as root";
  uint32_t pid = StartSleeper(self_);
  const ProcessInfo own = platform_->InspectProcess(pid);
  ASSERT_TRUE(own.has_name);
  ASSERT_EQ(0, ::seteuid(65534));
  const ProcessInfo other = platform_->InspectProcess(pid);
  ASSERT_EQ(0, ::seteuid(0));
  EXPECT_TRUE(other.opened);
  EXPECT_FALSE(other.has_module);
  EXPECT_EQ(kErrAccessDenied, other.error);
  ASSERT_TRUE(other.has_creation_time);
  EXPECT_EQ(own.creation_time, other.creation_time);
  EXPECT_LE(other.age_seconds - own.age_seconds, 1);
  EXPECT_EQ(0, TerminateProcessById(pid));
}

// Catches a job inheriting the controller's descriptors (the database
// socket among them): the child holds standard input, output and error
// only, though the parent has a descriptor open without close-on-exec.
TEST_F(RealPlatformTest, ChildInheritsNoDescriptors) {
  std::FILE* held = std::fopen("/dev/null", "r");
  ASSERT_NE(held, nullptr);
  uint32_t pid = StartSleeper(self_);
  const std::set<std::string> standard = {"0", "1", "2"};
  std::set<std::string> fds;
  // The loader holds each library open for a moment while the child
  // starts; an inherited descriptor stays.
  Eventually([&] {
    fds.clear();
    for (const auto& entry : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
      fds.insert(entry.path().filename().string());
    }
    return fds == standard;
  });
  std::fclose(held);
  EXPECT_EQ(fds, standard);
  ASSERT_EQ(0, TerminateProcessById(pid));
}
#endif

// Catches run times taken from the wall clock: a step of the wall-clock
// source (NTP, setting the time) moves neither a process's measured age
// nor the identity its job is matched by; the steady clock keeps counting.
TEST_F(RealPlatformTest, AgeIgnoresWallClockSteps) {
  static std::atomic<int64_t> step_ms{0};
  ClockSources clocks = SystemClocks();
  const auto system_wall = clocks.wall_ms;
  clocks.wall_ms = [system_wall] { return system_wall() + step_ms.load(); };
  std::unique_ptr<Platform> platform = CreatePlatformWithClocks(clocks);
  uint32_t pid = StartSleeper(self_);
  platform->SleepMs(1100);
  const ProcessInfo before = platform->InspectProcess(pid);
  ASSERT_TRUE(before.has_creation_time);
  EXPECT_GE(before.age_seconds, 1);
  for (int64_t step : {3600 * 1000, -7200 * 1000}) {
    step_ms += step;
    const ProcessInfo after = platform->InspectProcess(pid);
    ASSERT_TRUE(after.has_creation_time) << step;
    EXPECT_LE(after.age_seconds - before.age_seconds, 1) << step;
    EXPECT_GE(after.age_seconds, before.age_seconds) << step;
    EXPECT_EQ(after.identity, before.identity) << step;
  }
  step_ms = 0;
  ASSERT_EQ(0, TerminateProcessById(pid));
}

// Catches a job's process told from others by its time of day: a
// controller started later, after the clock was set, reads the very
// identity its launch recorded; a process started after it (as one that
// reuses the job's id would be) has another; an ended one has none.
TEST_F(RealPlatformTest, IdentityMatchesOnlyItsOwnProcess) {
  static std::atomic<int64_t> step_ms{0};
  ClockSources clocks = SystemClocks();
  const auto system_wall = clocks.wall_ms;
  clocks.wall_ms = [system_wall] { return system_wall() + step_ms.load(); };
  std::unique_ptr<Platform> first = CreatePlatformWithClocks(clocks);
  uint32_t job = 0;
  ASSERT_EQ(0, first->StartProcess(Quoted(self_) + " --child-sleep 30", &job));
  const std::string recorded = first->InspectProcess(job).identity;
  ASSERT_FALSE(recorded.empty());
  EXPECT_TRUE(first->IdentityOfThisBoot(recorded));
  EXPECT_FALSE(first->IdentityOfThisBoot("x" + recorded));
  first.reset();
  // Past the tick that dates a start on Linux (10 ms).
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  step_ms = -3600 * 1000;
  std::unique_ptr<Platform> next = CreatePlatformWithClocks(clocks);
  EXPECT_EQ(next->InspectProcess(job).identity, recorded);
  uint32_t later = 0;
  ASSERT_EQ(0, next->StartProcess(Quoted(self_) + " --child-sleep 30", &later));
  const std::string other = next->InspectProcess(later).identity;
  EXPECT_NE(other, recorded);
  EXPECT_TRUE(next->IdentityOfThisBoot(other));
  step_ms = 0;
  EXPECT_EQ(0, TerminateProcessById(later));
  EXPECT_EQ(0, TerminateProcessById(job));
  EXPECT_TRUE(Eventually([&] { return next->InspectProcess(job).identity.empty(); }));
}

// Free space of the program's drive and of drive C can be read.
TEST_F(RealPlatformTest, DiskFreeSpaceOfBothDrives) {
  std::string cwd = platform_->GetCurrentDir();
  ASSERT_FALSE(cwd.empty());
  uint64_t free_bytes = 0;
  EXPECT_EQ(0, platform_->DiskFreeBytes(cwd.substr(0, 3), &free_bytes));
  EXPECT_GT(free_bytes, 0u);
  EXPECT_EQ(0, platform_->DiskFreeBytes("C:\\", &free_bytes));
  EXPECT_GT(free_bytes, 0u);
}

}  // namespace
}  // namespace kvs
