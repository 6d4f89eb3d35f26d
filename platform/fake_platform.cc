#include "platform/fake_platform.h"

#include <cctype>
#include <cstring>

#include "platform/civil_time.h"
#include "platform/command_line.h"
#include "platform/ini_file.h"

namespace kvs {

namespace {

CivilTime CivilFromEpoch(int64_t t) {
  int64_t days = t >= 0 ? t / 86400 : (t - 86399) / 86400;
  int64_t secs = t - days * 86400;
  CivilTime c;
  DateOfDayNumber(days, &c.year, &c.month, &c.day);
  c.weekday = WeekdayOfDayNumber(days);
  c.hour = static_cast<int>(secs / 3600);
  c.minute = static_cast<int>(secs / 60 % 60);
  c.second = static_cast<int>(secs % 60);
  return c;
}

std::string BaseNameOf(const std::string& path) {
  size_t cut = path.find_last_of("\\/");
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

bool SameNameNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

}  // namespace

FakePlatform::FakePlatform() { SetLocalTime(2026, 1, 5, 8, 0, 0); }

int64_t FakePlatform::ToEpoch(int year, int month, int day, int hour, int minute, int second) {
  return DayNumber(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
}

void FakePlatform::SetLocalTime(int year, int month, int day, int hour, int minute,
                                int second) {
  const int64_t wall = ToEpoch(year, month, day, hour, minute, second);
  int64_t t = wall;
  if (zone_ == Zone::kCentralEurope) {
    // Summer time first, so a repeated hour is taken at its first pass.
    t = wall - 7200;
    if (UtcOffsetSeconds(t) != 7200) t = wall - 3600;
  }
  now_ms_ = t * 1000;
}

int64_t FakePlatform::UtcOffsetSeconds(int64_t t) const {
  if (zone_ == Zone::kUtc) return 0;
  const int year = CivilFromEpoch(t).year;
  auto last_sunday_1am = [year](int month) {
    const int64_t last = DayNumber(year, month + 1, 0);
    return (last - WeekdayOfDayNumber(last)) * 86400 + 3600;
  };
  return t >= last_sunday_1am(3) && t < last_sunday_1am(10) ? 7200 : 3600;
}

CivilTime FakePlatform::ToLocal(int64_t t) {
  const int64_t offset = UtcOffsetSeconds(t);
  CivilTime local = CivilFromEpoch(t + offset);
  local.is_dst = offset == 7200;
  return local;
}
CivilTime FakePlatform::ToUtc(int64_t t) { return CivilFromEpoch(t); }

void FakePlatform::SleepMs(int ms) {
  sleeps_ms.push_back(ms);
  if (ms > 0) {
    now_ms_ += ms;
    steady_ms_ += ms;
  }
  RunDueKills();
}

int FakePlatform::StartProcess(const std::string& command_line, uint32_t* pid) {
  launches.push_back(command_line);
  if (fail_next_launch != 0) {
    int rc = fail_next_launch;
    fail_next_launch = 0;
    return rc;
  }
  std::vector<std::string> args = SplitCommandLine(command_line);
  if (args.empty() || args[0].empty() || missing_programs.count(args[0]) != 0) {
    return kErrFileNotFound;
  }
  if (creation_takes_ms > 0) {
    now_ms_ += creation_takes_ms;
    steady_ms_ += creation_takes_ms;
    RunDueKills();
  }
  *pid = next_pid++;
  FakeProcess process;
  process.base_name = BaseNameOf(args[0]);
  process.full_path = args[0];
  process.creation_time = Now();
  process.survives_kill = launches_survive_kill;
  if (args.size() == 2 && args[0] == "kill") {
    process.survives_kill = false;
    if (kill_takes_ms > 0) {
      pending_kills_.push_back({steady_ms_ + kill_takes_ms, *pid, args[1]});
    } else {
      Kill(args[1]);
      process.alive = false;
    }
  }
  AddProcess(*pid, process);
  return 0;
}

int FakePlatform::EndProcessIfSame(uint32_t pid, const std::string& identity) {
  auto it = processes_.find(pid);
  if (it == processes_.end() || !it->second.alive) return 0;
  if (IdentityOf(it->second.creation_time, pid) != identity) return 0;
  it->second.alive = false;
  ended_if_same.push_back(pid);
  return 1;
}

ProcessInfo FakePlatform::InspectProcess(uint32_t pid) {
  RunDueKills();
  ProcessInfo info;
  auto it = processes_.find(pid);
  if (it == processes_.end() || !it->second.alive) {
    info.error = kErrInvalidParameter;
    return info;
  }
  info.opened = info.has_creation_time = true;
  info.creation_time = it->second.creation_time;
  info.age_seconds = Now() - it->second.creation_time;
  info.identity = IdentityOf(it->second.creation_time, pid);
  if (!it->second.modules_readable) {
    info.error = kErrAccessDenied;
    return info;
  }
  info.has_module = info.has_name = info.has_path = true;
  info.base_name = it->second.base_name;
  info.full_path = it->second.full_path;
  return info;
}

void FakePlatform::RunDueKills() {
  for (auto at = pending_kills_.begin(); at != pending_kills_.end();) {
    if (at->due_steady_ms > steady_ms_) {
      ++at;
      continue;
    }
    Kill(at->target);
    processes_[at->kill_pid].alive = false;
    at = pending_kills_.erase(at);
  }
}

void FakePlatform::Kill(const std::string& target) {
  const bool by_id = target.find_first_not_of("0123456789") == std::string::npos;
  for (auto& [pid, process] : processes_) {
    if (process.survives_kill) continue;
    if (by_id ? std::to_string(pid) == target : SameNameNoCase(process.base_name, target)) {
      process.alive = false;
    }
  }
}

int FakePlatform::CallPipe(const std::string& pipe_name, const void* request,
                           size_t request_len, char* reply, size_t reply_capacity,
                           size_t* reply_len, int timeout_ms) {
  PipeCall call;
  call.pipe_name = pipe_name;
  const char* bytes = static_cast<const char*>(request);
  call.request.assign(bytes, strnlen(bytes, request_len));
  call.request_len = request_len;
  call.timeout_ms = timeout_ms;
  pipe_calls.push_back(call);

  PipeAnswer answer = default_pipe_answer;
  if (!pipe_answers_.empty()) {
    answer = pipe_answers_.front();
    pipe_answers_.pop_front();
  }
  *reply_len = 0;
  if (answer.error != 0) return answer.error;
  if (answer.reply.size() > reply_capacity) return kErrMoreData;
  std::memcpy(reply, answer.reply.data(), answer.reply.size());
  *reply_len = answer.reply.size();
  return 0;
}

std::string FakePlatform::ReadIniString(const std::string& path, const std::string& section,
                                        const std::string& key,
                                        const std::string& default_value,
                                        size_t buffer_size) {
  return IniFileLookup(NativePath(path), section, key, default_value, buffer_size);
}

bool FakePlatform::SetCurrentDir(const std::string& dir) {
  if (set_current_dir_fails) return false;
  current_dir = dir;
  return true;
}

int FakePlatform::DiskFreeBytes(const std::string& drive_text, uint64_t* free_bytes) {
  std::string letter = drive_text.substr(0, 1);
  auto it = disk_free_bytes.find(letter);
  if (it == disk_free_bytes.end()) return kErrFileNotFound;
  *free_bytes = it->second;
  return 0;
}

}  // namespace kvs
