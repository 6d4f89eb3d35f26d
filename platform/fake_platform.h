// A Platform for tests: a clock that only moves when told (sleeps advance
// it), processes that exist only in a table, scripted pipe answers, a
// recorded console. Files are real files (tests use scratch directories).
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace kvs {

class FakePlatform : public Platform {
 public:
  FakePlatform();

  // Clock. Local time is UTC unless the zone is central European time:
  // UTC+1, and UTC+2 from the last Sunday of March 01:00 UTC (02:00 becomes
  // 03:00) to the last Sunday of October 01:00 UTC (03:00 becomes 02:00).
  enum class Zone { kUtc, kCentralEurope };
  void SetZone(Zone zone) { zone_ = zone; }
  // A local time that occurs twice is taken at its first occurrence; one
  // that the change skips is read as standard time (02:30 gives 03:30).
  void SetLocalTime(int year, int month, int day, int hour, int minute, int second);
  // Time passing: the wall clock and the steady clock move together.
  // SetLocalTime steps the wall clock alone, as setting the time does.
  void AdvanceSeconds(int64_t seconds) {
    now_ms_ += seconds * 1000;
    steady_ms_ += seconds * 1000;
    RunDueKills();
  }
  // Setting the clock: the wall clock jumps, the steady clock does not.
  void StepWallClock(int64_t seconds) { now_ms_ += seconds * 1000; }
  static int64_t ToEpoch(int year, int month, int day, int hour, int minute, int second);

  // Processes. A launch gets the next pid and a process named after the
  // command line's first word (its base name) unless fail_next_launch is set.
  // "kill PID" and "kill NAME" end their processes, but not those that
  // survive_kill, and then end themselves (after kill_takes_ms). A process
  // whose modules are not readable is still dated.
  struct FakeProcess {
    std::string base_name;
    std::string full_path;
    int64_t creation_time = 0;
    bool alive = true;
    bool modules_readable = true;
    bool survives_kill = false;
  };
  // A process's identity is the boot's id, its creation time and its pid:
  // the same process when added again as it was.
  void AddProcess(uint32_t pid, const FakeProcess& process) { processes_[pid] = process; }
  std::string IdentityOf(int64_t creation_time, uint32_t pid) const {
    return boot_id + "/" + std::to_string(creation_time) + "." + std::to_string(pid);
  }
  void EndProcess(uint32_t pid) { processes_[pid].alive = false; }
  // The live process whose base name starts with name; 0 when none.
  uint32_t PidOf(const std::string& name) const {
    for (const auto& [pid, process] : processes_) {
      if (process.alive && process.base_name.rfind(name, 0) == 0) return pid;
    }
    return 0;
  }

  // Pipe: each call takes the next scripted answer; with none left the
  // default answer is used.
  struct PipeAnswer {
    int error = 0;         // 0 = answered
    std::string reply;     // sent when error is 0
  };
  void QueuePipeAnswer(const PipeAnswer& answer) { pipe_answers_.push_back(answer); }

  // Platform.
  int64_t Now() override { return now_ms_ / 1000; }
  CivilTime ToLocal(int64_t t) override;
  CivilTime ToUtc(int64_t t) override;
  void SleepMs(int ms) override;
  int64_t SteadyMs() override { return steady_ms_; }
  int StartProcess(const std::string& command_line, uint32_t* pid) override;
  ProcessInfo InspectProcess(uint32_t pid) override;
  int EndChildrenWithThisProcess() override {
    children_end_with_us = true;
    return 0;
  }
  // Ends the process at once (a process that survives kills as well).
  int EndProcessIfSame(uint32_t pid, const std::string& identity) override;
  bool IdentityOfThisBoot(const std::string& identity) override {
    return identity.rfind(boot_id + "/", 0) == 0;
  }
  std::string OwnExecutablePath() override { return own_path; }
  uint32_t OwnProcessId() override { return own_pid; }
  uint32_t ParentProcessId() override { return parent_pid; }
  int CallPipe(const std::string& pipe_name, const void* request, size_t request_len,
               char* reply, size_t reply_capacity, size_t* reply_len,
               int timeout_ms) override;
  std::string ReadIniString(const std::string& path, const std::string& section,
                            const std::string& key, const std::string& default_value,
                            size_t buffer_size) override;
  bool SetCurrentDir(const std::string& dir) override;
  std::string GetCurrentDir() override { return current_dir; }
  int DiskFreeBytes(const std::string& drive_text, uint64_t* free_bytes) override;
  void Print(std::string_view text) override { console += text; }

  // Settings and records, open to tests.
  std::string own_path = "C:\\KVS\\bin\\KVSJOBSTR.EXE";
  uint32_t own_pid = 500;
  uint32_t parent_pid = 400;
  std::string current_dir;
  bool set_current_dir_fails = false;
  std::map<std::string, uint64_t> disk_free_bytes;  // by drive letter, e.g. "C"
  int fail_next_launch = 0;   // error code for the next launch, then cleared
  // Programs (a command line's first word) whose every launch fails as
  // that of a missing program does.
  std::set<std::string> missing_programs;
  PipeAnswer default_pipe_answer;
  uint32_t next_pid = 1000;
  // A creation that takes this long: the clocks move on while the process
  // is created, and it is dated when it is done.
  int creation_takes_ms = 0;
  // A kill command that takes this long to act; its process runs till then.
  int kill_takes_ms = 0;
  bool launches_survive_kill = false;  // the processes launched from now on
  // The machine's boot, in the identity of each process created from now.
  std::string boot_id = "boot-1";
  bool children_end_with_us = false;
  std::vector<uint32_t> ended_if_same;  // the processes EndProcessIfSame ended

  std::string console;
  std::vector<std::string> launches;      // command lines, in order
  std::vector<int> sleeps_ms;
  struct PipeCall {
    std::string pipe_name;
    std::string request;  // up to its first NUL byte
    size_t request_len = 0;
    int timeout_ms = 0;
  };
  std::vector<PipeCall> pipe_calls;

 private:
  int64_t UtcOffsetSeconds(int64_t t) const;

  Zone zone_ = Zone::kUtc;
  int64_t now_ms_ = 0;
  int64_t steady_ms_ = 1000000;
  void Kill(const std::string& target);
  // Kill commands whose time has come act and end.
  void RunDueKills();
  struct PendingKill {
    int64_t due_steady_ms;
    uint32_t kill_pid;
    std::string target;
  };
  std::vector<PendingKill> pending_kills_;
  std::map<uint32_t, FakeProcess> processes_;
  std::deque<PipeAnswer> pipe_answers_;
};

}  // namespace kvs
