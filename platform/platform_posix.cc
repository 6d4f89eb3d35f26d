// The POSIX (Linux) backend. Windows meanings, mapped:
//   named pipe \\.\pipe\NAME  -> SOCK_SEQPACKET socket $KVS_PIPE_DIR/NAME
//                                (/tmp/NAME when the variable is unset)
//   CreateProcessA            -> posix_spawn, no shell, Windows argv rules,
//                                program dir / current dir / PATH search
//   OpenProcess               -> /proc/PID exists and is not a zombie
//   module base name, path    -> /proc/PID/exe
//   GetProcessTimes           -> /proc/PID/stat (readable for every
//                                process): the start on the boot clock
//                                gives the age; the creation time is the
//                                start plus the wall clock's offset to the
//                                boot clock in force then, from the steps
//                                of the wall clock noted for this boot
//   GetCurrentDirectoryA      -> getcwd, spelled "D:\path" (drive D stands
//                                for the current directory's file system)
//   GetDiskFreeSpaceExA       -> statvfs; drive C is "/", any other drive
//                                the file system of the current directory
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include "platform/civil_time.h"
#include "platform/clock_sources.h"
#include "platform/command_line.h"
#include "platform/ini_file.h"
#include "platform/platform.h"
#include "platform/tool_support.h"

extern char** environ;

namespace kvs {

namespace {

// A file descriptor that closes itself. Move assignment closes the old one
// first.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      Reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  void Reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

// errno in the Windows codes the log lines print.
int ErrnoToSystemError(int e) {
  switch (e) {
    case ENOENT:
    case ENOTDIR:
    case ECONNREFUSED:
      return kErrFileNotFound;
    case EACCES:
    case EPERM:
      return kErrAccessDenied;
    case ETIMEDOUT:
    case EAGAIN:
      return kErrSemTimeout;
    case EMSGSIZE:
      return kErrMoreData;
    case ESRCH:
    case EINVAL:
      return kErrInvalidParameter;
    case EPIPE:
    case ECONNRESET:
      return kErrBrokenPipe;
    case ENOMEM:
      return 8;    // ERROR_NOT_ENOUGH_MEMORY
    case ENOSPC:
      return 112;  // ERROR_DISK_FULL
    case ENOEXEC:
      return 193;  // ERROR_BAD_EXE_FORMAT
    default:
      // A Linux number would mean something else to a Windows reader.
      return kErrGenFailure;
  }
}


std::string ReadSmallFile(const std::string& path) {
  std::string text;
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return text;
  char buf[4096];
  ssize_t got;
  while ((got = ::read(fd.get(), buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(got));
  return text;
}

std::string ReadLink(const std::string& path) {
  char buf[4096];
  ssize_t n = ::readlink(path.c_str(), buf, sizeof buf - 1);
  if (n < 0) return "";
  std::string target(buf, static_cast<size_t>(n));
  // A replaced executable still names its old file.
  static const char kDeleted[] = " (deleted)";
  if (target.size() > sizeof kDeleted - 1 &&
      target.compare(target.size() - (sizeof kDeleted - 1), std::string::npos, kDeleted) == 0) {
    target.resize(target.size() - (sizeof kDeleted - 1));
  }
  return target;
}

std::string BaseName(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string DirName(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? "" : path.substr(0, slash);
}

// Fields after the command name of /proc/PID/stat: [0] is the state.
std::vector<std::string> ProcStatFields(uint32_t pid) {
  std::vector<std::string> fields;
  std::string stat = ReadSmallFile("/proc/" + std::to_string(pid) + "/stat");
  size_t close = stat.rfind(')');
  if (close == std::string::npos) return fields;
  size_t pos = close + 1;
  while (pos < stat.size()) {
    while (pos < stat.size() && stat[pos] == ' ') ++pos;
    size_t end = stat.find(' ', pos);
    if (end == std::string::npos) end = stat.size();
    if (end > pos) fields.push_back(stat.substr(pos, end - pos));
    pos = end;
  }
  return fields;
}

// Field 22 of /proc/PID/stat: the start in clock ticks after boot; -1
// when it cannot be read.
int64_t StartTicks(const std::vector<std::string>& fields) {
  if (fields.size() <= 19) return -1;
  return static_cast<int64_t>(std::strtoll(fields[19].c_str(), nullptr, 10));
}

int64_t ClockMs(clockid_t clock) {
  struct timespec ts;
  clock_gettime(clock, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Gives the child standard input, output and error only. Drivers (the
// MariaDB one among them) open sockets without close-on-exec, and a job
// must not hold the controller's database connection or log files.
void CloseInheritedDescriptors(posix_spawn_file_actions_t* actions) {
#if defined(__GLIBC__)
#if __GLIBC_PREREQ(2, 34)
#define KVS_SPAWN_CLOSEFROM 1
#endif
#endif
#ifdef KVS_SPAWN_CLOSEFROM
  posix_spawn_file_actions_addclosefrom_np(actions, 3);
#else
  (void)actions;
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return;
  while (struct dirent* entry = ::readdir(dir)) {
    int fd = std::atoi(entry->d_name);
    if (fd > 2 && fd != ::dirfd(dir)) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  ::closedir(dir);
#endif
}

bool IsExecutableFile(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

std::string CurrentDir() {
  char buf[4096];
  return ::getcwd(buf, sizeof buf) ? std::string(buf) : std::string();
}

// Resolves and spawns command_line. 0 and *pid, or a system error code.
int Spawn(const std::string& command_line, pid_t* pid, bool own_group = false) {
  std::vector<std::string> args = SplitCommandLine(command_line);
  if (args.empty() || args[0].empty()) return kErrFileNotFound;
  const char* path_env = std::getenv("PATH");
  std::string own_dir = DirName(ReadLink("/proc/self/exe"));
  std::string program = FindProgram(args[0], own_dir, CurrentDir(),
                                    path_env ? path_env : "", IsExecutableFile);
  if (program.empty()) return kErrFileNotFound;
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  // The child starts with default signal handling, whatever we ignore.
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGCHLD);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  short flags = POSIX_SPAWN_SETSIGDEF;
  if (own_group) {
    // Group 0: the child leads a group of its own.
    posix_spawnattr_setpgroup(&attr, 0);
    flags |= POSIX_SPAWN_SETPGROUP;
  }
#ifdef POSIX_SPAWN_USEVFORK
  flags |= POSIX_SPAWN_USEVFORK;
#endif
  posix_spawnattr_setflags(&attr, flags);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  CloseInheritedDescriptors(&actions);
  int rc = posix_spawn(pid, program.c_str(), &actions, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  // glibc reports an exec failure of the child here, so a program that
  // cannot run is a failed start rather than a child exiting with 127.
  return rc == 0 ? 0 : ErrnoToSystemError(rc);
}

std::string SocketPathOf(const std::string& pipe_name) {
  static const char kPrefix[] = "\\\\.\\pipe\\";
  std::string name = pipe_name;
  if (name.compare(0, sizeof kPrefix - 1, kPrefix) == 0) name = name.substr(sizeof kPrefix - 1);
  for (char& c : name) {
    if (c == '\\' || c == '/') c = '_';
  }
  const char* dir = std::getenv("KVS_PIPE_DIR");
  std::string base = (dir && *dir) ? dir : "/tmp";
  if (base.back() != '/') base += '/';
  return base + name;
}

bool FillAddress(const std::string& path, sockaddr_un* addr) {
  std::memset(addr, 0, sizeof *addr);
  addr->sun_family = AF_UNIX;
  if (path.size() >= sizeof addr->sun_path) return false;
  std::memcpy(addr->sun_path, path.c_str(), path.size() + 1);
  return true;
}

int64_t MonotonicMs() { return ClockMs(CLOCK_MONOTONIC); }

void SleepRealMs(int ms) {
  struct timespec ts = {ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

// How often a busy service is tried again within the call's time-out.
constexpr int kPipeBusyRetryMs = 10;
// A move of the wall clock against the boot clock by more than this is a
// step; less is the jitter of reading two clocks.
constexpr int64_t kClockStepMs = 1000;
// Steps noted in one boot. Beyond them a step is not noted: processes
// started after it are dated with the offset before it, off by the step
// but the same at every look.
constexpr size_t kMaxClockSteps = 1000;
// How long a history file that could not be written is left before the
// next attempt.
constexpr int64_t kHistoryRetryMs = 60000;

// The wall clock less the boot clock, in force from a moment of the boot
// clock on.
struct ClockOffset {
  int64_t from_boot_ms;
  int64_t offset_ms;
};

// Identifies this boot; "" when it cannot be read.
std::string BootId() {
  std::string id = ReadSmallFile("/proc/sys/kernel/random/boot_id");
  while (!id.empty() && (id.back() == '\n' || id.back() == ' ')) id.pop_back();
  return id;
}

// The offsets a history file holds for boot_id: its first line names the
// boot, each further line is "FROM OFFSET" in milliseconds, FROM rising
// from 0. Empty when the file is missing, names another boot or is no such
// history. *error is set for a file that exists but cannot be read.
std::vector<ClockOffset> ReadClockHistory(const std::string& path, const std::string& boot_id,
                                          int* error) {
  std::vector<ClockOffset> offsets;
  // Only a file of its own: not through a link someone laid there.
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!fd.valid()) {
    if (errno != ENOENT) *error = ErrnoToSystemError(errno);
    return offsets;
  }
  std::string text;
  char buf[4096];
  ssize_t got;
  while ((got = ::read(fd.get(), buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(got));
  if (got < 0) {
    *error = ErrnoToSystemError(errno);
    return offsets;
  }
  size_t line_end = text.find('\n');
  if (line_end == std::string::npos || text.compare(0, line_end, boot_id) != 0 ||
      line_end != boot_id.size()) {
    return offsets;
  }
  for (size_t pos = line_end + 1; pos < text.size(); pos = line_end + 1) {
    line_end = text.find('\n', pos);
    if (line_end == std::string::npos) line_end = text.size();
    const std::string line = text.substr(pos, line_end - pos);
    long long from = 0, offset = 0;
    char rest = 0;
    if (std::sscanf(line.c_str(), "%lld %lld%c", &from, &offset, &rest) != 2 ||
        (offsets.empty() ? from != 0 : from <= offsets.back().from_boot_ms) ||
        offsets.size() >= kMaxClockSteps) {
      offsets.clear();
      return offsets;
    }
    offsets.push_back({from, offset});
  }
  return offsets;
}

// Waits for events on fd until deadline_ms (monotonic). 0, or kErrSemTimeout.
int WaitFd(int fd, short events, int64_t deadline_ms) {
  while (true) {
    int64_t left = deadline_ms - MonotonicMs();
    if (left < 0) left = 0;
    struct pollfd p = {fd, events, 0};
    int rc = ::poll(&p, 1, static_cast<int>(left));
    if (rc > 0) return 0;
    if (rc == 0) return kErrSemTimeout;
    if (errno != EINTR) return ErrnoToSystemError(errno);
  }
}

class PosixPlatform : public Platform {
 public:
  explicit PosixPlatform(ClockSources clocks)
      : clocks_(std::move(clocks)),
        ticks_per_second_(::sysconf(_SC_CLK_TCK)),
        tick_ms_(ticks_per_second_ > 0 && ticks_per_second_ <= 1000 ? 1000 / ticks_per_second_
                                                                     : 1) {
    // Children are never waited for; with SIGCHLD ignored they leave no
    // zombies. A vanished service must not kill us with SIGPIPE either.
    ::signal(SIGCHLD, SIG_IGN);
    ::signal(SIGPIPE, SIG_IGN);
  }

  int64_t Now() override {
    const int64_t ms = clocks_.wall_ms();
    return ms >= 0 ? ms / 1000 : (ms - 999) / 1000;
  }

  int64_t SteadyMs() override { return clocks_.boot_ms(); }

  CivilTime ToLocal(int64_t t) override {
    time_t tt = static_cast<time_t>(t);
    struct tm tm;
    if (!localtime_r(&tt, &tm)) return CivilTime();
    return CivilTimeFromTm(tm);
  }

  CivilTime ToUtc(int64_t t) override {
    time_t tt = static_cast<time_t>(t);
    struct tm tm;
    if (!gmtime_r(&tt, &tm)) return CivilTime();
    return CivilTimeFromTm(tm);
  }

  void SleepMs(int ms) override {
    // A zero-length sleep gives up the time slice; nanosleep would wait
    // out the timer slack instead.
    if (ms <= 0) {
      sched_yield();
      return;
    }
    SleepRealMs(ms);
  }

  int StartProcess(const std::string& command_line, uint32_t* pid) override {
    // A step since the last look must be noted before the child starts,
    // and the child start no sooner than the step's entry, or it would be
    // dated with the offset before the step.
    NoteClock();
    const int64_t early_ms = offsets_.back().from_boot_ms - clocks_.boot_ms();
    if (early_ms > 0) SleepRealMs(static_cast<int>(early_ms));
    pid_t child = 0;
    int rc = Spawn(command_line, &child);
    if (rc == 0) *pid = static_cast<uint32_t>(child);
    return rc;
  }

  ProcessInfo InspectProcess(uint32_t pid) override {
    ProcessInfo info;
    if (pid == 0) {
      info.error = kErrInvalidParameter;
      return info;
    }
    std::string dir = "/proc/" + std::to_string(pid);
    std::vector<std::string> fields = ProcStatFields(pid);
    if (fields.empty() || fields[0] == "Z" || fields[0] == "X") {
      info.error = kErrInvalidParameter;  // as OpenProcess on a gone id
      return info;
    }
    info.opened = true;
    // The stat file is open to every user, the executable's link only to
    // the process's own (and root): a setuid job is still dated.
    const int64_t start = StartTicks(fields);
    if (start >= 0 && ticks_per_second_ > 0) {
      NoteClock();
      // The start counts from boot on the boot clock, which no step of
      // the wall clock moves.
      const int64_t start_ms = start * 1000 / ticks_per_second_;
      int64_t age_ms = clocks_.boot_ms() - start_ms;
      if (age_ms < 0) age_ms = 0;
      info.has_creation_time = true;
      info.age_seconds = age_ms / 1000;
      info.creation_time = CreationTime(start_ms);
    }
    std::string exe = ReadLink(dir + "/exe");
    if (exe.empty()) {
      info.error = ErrnoToSystemError(errno);
      return info;
    }
    info.has_module = true;
    info.has_name = true;
    info.base_name = BaseName(exe);
    info.has_path = true;
    info.full_path = exe;
    return info;
  }

  int KeepClockHistory(const std::string& path) override {
    history_path_.clear();
    const std::string boot_id = BootId();
    // Without the boot's identity a history of an earlier boot would date
    // this boot's processes.
    if (boot_id.empty()) return kErrFileNotFound;
    int error = 0;
    std::vector<ClockOffset> kept = ReadClockHistory(NativePath(path), boot_id, &error);
    if (error != 0) return error;
    boot_id_ = boot_id;
    history_path_ = NativePath(path);
    if (!kept.empty()) offsets_ = std::move(kept);
    history_unsaved_ = true;
    next_save_ms_ = 0;
    NoteClock();
    return history_unsaved_ ? last_save_error_ : 0;
  }

  std::string OwnExecutablePath() override { return ReadLink("/proc/self/exe"); }
  uint32_t OwnProcessId() override { return static_cast<uint32_t>(::getpid()); }
  uint32_t ParentProcessId() override { return static_cast<uint32_t>(::getppid()); }

  int CallPipe(const std::string& pipe_name, const void* request, size_t request_len,
               char* reply, size_t reply_capacity, size_t* reply_len,
               int timeout_ms) override {
    *reply_len = 0;
    const int64_t deadline = MonotonicMs() + (timeout_ms > 0 ? timeout_ms : 0);
    sockaddr_un addr;
    if (!FillAddress(SocketPathOf(pipe_name), &addr)) return kErrFileNotFound;
    UniqueFd fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.valid()) return ErrnoToSystemError(errno);
    // Every message then carries the sender's credentials, which tells an
    // empty reply from a connection closed without one.
    int on = 1;
    if (::setsockopt(fd.get(), SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0) {
      return ErrnoToSystemError(errno);
    }
    // A full backlog is a busy service: as CallNamedPipe waits for a free
    // instance, try again until the time-out.
    while (::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN) return ErrnoToSystemError(errno);
      if (MonotonicMs() >= deadline) return kErrSemTimeout;
      SleepRealMs(kPipeBusyRetryMs);
    }
    const int64_t reply_deadline = MonotonicMs() + kPipeReplyWaitMs;
    int rc = WaitFd(fd.get(), POLLOUT, reply_deadline);
    if (rc != 0) return rc;
    if (::send(fd.get(), request, request_len, MSG_NOSIGNAL) != static_cast<ssize_t>(request_len)) {
      return ErrnoToSystemError(errno);
    }
    rc = WaitFd(fd.get(), POLLIN, reply_deadline);
    if (rc != 0) return rc;
    struct iovec iov = {reply, reply_capacity};
    alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(struct ucred))];
    struct msghdr msg;
    std::memset(&msg, 0, sizeof msg);
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t got = ::recvmsg(fd.get(), &msg, 0);
    if (got < 0) return ErrnoToSystemError(errno);
    if (msg.msg_flags & MSG_TRUNC) return kErrMoreData;
    if (got == 0 && msg.msg_controllen == 0) return kErrBrokenPipe;
    *reply_len = static_cast<size_t>(got);
    return 0;
  }

  std::string ReadIniString(const std::string& path, const std::string& section,
                            const std::string& key, const std::string& default_value,
                            size_t buffer_size) override {
    return IniFileLookup(NativePath(path), section, key, default_value, buffer_size);
  }

  bool SetCurrentDir(const std::string& dir) override {
    return ::chdir(NativePath(dir).c_str()) == 0;
  }

  // Spelled as Windows would, on a drive D: that stands for the file
  // system of the current directory (drive C stands for "/").
  std::string GetCurrentDir() override {
    std::string dir = CurrentDir();
    if (dir.empty()) return dir;
    for (char& c : dir) {
      if (c == '/') c = '\\';
    }
    return "D:" + dir;
  }

  int DiskFreeBytes(const std::string& drive_text, uint64_t* free_bytes) override {
    std::string path = "/";
    if (drive_text.empty() || (drive_text[0] != 'C' && drive_text[0] != 'c')) {
      path = CurrentDir();
      if (path.empty()) return ErrnoToSystemError(errno);
    }
    struct statvfs st;
    if (::statvfs(path.c_str(), &st) != 0) return ErrnoToSystemError(errno);
    // Free blocks of the volume, not only those open to this user.
    *free_bytes = static_cast<uint64_t>(st.f_bfree) * st.f_frsize;
    return 0;
  }

  void Print(std::string_view text) override {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
  }

 private:
  // Notes the wall clock's offset to the boot clock now. The first note of
  // a boot dates every process before it; a step (a move of more than a
  // second) opens a new entry from the next tick of the clock that dates a
  // process's start, so every process started before the note keeps the
  // offset it was dated with, at every look and through the history file
  // after a restart.
  void NoteClock() {
    const int64_t boot_ms = clocks_.boot_ms();
    const int64_t offset_ms = clocks_.wall_ms() - boot_ms;
    const int64_t from_ms = boot_ms - boot_ms % tick_ms_ + tick_ms_;
    if (offsets_.empty()) {
      offsets_.push_back({0, offset_ms});
      history_unsaved_ = true;
    } else if (std::llabs(offset_ms - offsets_.back().offset_ms) > kClockStepMs &&
               from_ms > offsets_.back().from_boot_ms && offsets_.size() < kMaxClockSteps) {
      offsets_.push_back({from_ms, offset_ms});
      history_unsaved_ = true;
    }
    // A history that could not be written is tried again a minute later.
    if (history_unsaved_ && !history_path_.empty() && boot_ms >= next_save_ms_) {
      last_save_error_ = SaveClockHistory();
      history_unsaved_ = last_save_error_ != 0;
      next_save_ms_ = history_unsaved_ ? boot_ms + kHistoryRetryMs : 0;
    }
  }

  // Seconds since 1970 of the wall clock at start_ms of the boot clock,
  // with the offset in force then.
  int64_t CreationTime(int64_t start_ms) const {
    auto after = std::upper_bound(
        offsets_.begin(), offsets_.end(), start_ms,
        [](int64_t ms, const ClockOffset& o) { return ms < o.from_boot_ms; });
    const int64_t wall_ms = start_ms + (after == offsets_.begin() ? offsets_.front()
                                                                  : *(after - 1)).offset_ms;
    return wall_ms >= 0 ? wall_ms / 1000 : (wall_ms - 999) / 1000;
  }

  // Writes the history whole under a temporary name and renames it, so a
  // reader never sees half of it. 0 or a system error code.
  int SaveClockHistory() {
    std::string text = boot_id_ + "\n";
    for (const ClockOffset& o : offsets_) {
      text += std::to_string(o.from_boot_ms) + " " + std::to_string(o.offset_ms) + "\n";
    }
    const std::string temp = history_path_ + ".tmp";
    UniqueFd fd(
        ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644));
    if (!fd.valid()) return ErrnoToSystemError(errno);
    if (::write(fd.get(), text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
      const int error = ErrnoToSystemError(errno);
      ::unlink(temp.c_str());
      return error;
    }
    fd.Reset();
    if (::rename(temp.c_str(), history_path_.c_str()) != 0) {
      const int error = ErrnoToSystemError(errno);
      ::unlink(temp.c_str());
      return error;
    }
    return 0;
  }

  ClockSources clocks_;
  const long ticks_per_second_;
  const int64_t tick_ms_;  // the resolution of a process's start
  // Ascending by from_boot_ms, the first from 0; empty until the first note.
  std::vector<ClockOffset> offsets_;
  std::string boot_id_;
  std::string history_path_;  // native; "" while no file is kept
  bool history_unsaved_ = false;
  int last_save_error_ = 0;
  int64_t next_save_ms_ = 0;  // boot clock
};

}  // namespace

ClockSources SystemClocks() {
  return {[] { return ClockMs(CLOCK_REALTIME); }, [] { return ClockMs(CLOCK_BOOTTIME); }};
}

std::unique_ptr<Platform> CreatePlatformWithClocks(const ClockSources& clocks) {
  return std::make_unique<PosixPlatform>(clocks);
}

std::unique_ptr<Platform> CreatePlatform() { return CreatePlatformWithClocks(SystemClocks()); }

std::string NativePath(std::string_view path) {
  std::string native(path);
  for (char& c : native) {
    if (c == '\\') c = '/';
  }
  return native;
}

PathKind GetPathKind(const std::string& native_path) {
  struct stat st;
  if (::lstat(native_path.c_str(), &st) != 0) {
    return errno == ENOENT || errno == ENOTDIR ? PathKind::kMissing : PathKind::kOther;
  }
  if (S_ISLNK(st.st_mode)) return PathKind::kLink;
  if (S_ISREG(st.st_mode)) return st.st_nlink > 1 ? PathKind::kLink : PathKind::kRegularFile;
  if (S_ISDIR(st.st_mode)) return PathKind::kDirectory;
  return PathKind::kOther;
}

// ---- Tool support --------------------------------------------------------

struct PipeServer::Impl {
  UniqueFd listener;
  std::string path;
};

PipeServer::PipeServer() = default;
PipeServer::~PipeServer() { Close(); }
PipeServer::PipeServer(PipeServer&& other) noexcept = default;
PipeServer& PipeServer::operator=(PipeServer&& other) noexcept {
  if (this != &other) {
    Close();
    impl_ = std::move(other.impl_);
  }
  return *this;
}

int PipeServer::Open(const std::string& pipe_name) {
  Close();
  auto impl = std::make_unique<Impl>();
  impl->path = SocketPathOf(pipe_name);
  sockaddr_un addr;
  if (!FillAddress(impl->path, &addr)) return kErrInvalidParameter;
  impl->listener = UniqueFd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
  if (!impl->listener.valid()) return ErrnoToSystemError(errno);
  // A name left by a server that died is stale; a live one is refused below.
  UniqueFd probe(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
  if (probe.valid() && ::connect(probe.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
    return kErrPipeBusy;
  }
  ::unlink(impl->path.c_str());
  if (::bind(impl->listener.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(impl->listener.get(), 16) != 0) {
    return ErrnoToSystemError(errno);
  }
  impl_ = std::move(impl);
  return 0;
}

int PipeServer::ServeOne(size_t request_capacity, const ReplyMaker& make_reply, int timeout_ms) {
  if (!impl_) return kErrInvalidParameter;
  int rc = WaitFd(impl_->listener.get(), POLLIN, MonotonicMs() + timeout_ms);
  if (rc != 0) return rc;
  UniqueFd conn(::accept4(impl_->listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
  if (!conn.valid()) return ErrnoToSystemError(errno);
  std::vector<char> request(request_capacity > 0 ? request_capacity : 1);
  if (WaitFd(conn.get(), POLLIN, MonotonicMs() + 1000) != 0) return kErrSemTimeout;
  ssize_t got = ::recv(conn.get(), request.data(), request.size(), 0);
  if (got < 0) return ErrnoToSystemError(errno);
  // A peer that closes without a request (another server probing whether
  // the name is taken) is nobody to answer.
  if (got == 0) return kErrSemTimeout;
  std::string reply = make_reply(request.data(), static_cast<size_t>(got));
  if (::send(conn.get(), reply.data(), reply.size(), MSG_NOSIGNAL) < 0) {
    return ErrnoToSystemError(errno);
  }
  return 0;
}

void PipeServer::Close() {
  if (impl_ && impl_->listener.valid()) ::unlink(impl_->path.c_str());
  impl_.reset();
}

int ListProcesses(std::vector<ProcessEntry>* out) {
  out->clear();
  DIR* dir = ::opendir("/proc");
  if (!dir) return ErrnoToSystemError(errno);
  while (struct dirent* entry = ::readdir(dir)) {
    char* end = nullptr;
    unsigned long pid = std::strtoul(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0' || pid == 0) continue;
    std::string exe = ReadLink("/proc/" + std::string(entry->d_name) + "/exe");
    if (exe.empty()) continue;
    out->push_back({static_cast<uint32_t>(pid), BaseName(exe)});
  }
  ::closedir(dir);
  return 0;
}

int TerminateProcessById(uint32_t pid) {
  if (pid == 0) return kErrInvalidParameter;
  return ::kill(static_cast<pid_t>(pid), SIGKILL) == 0 ? 0 : ErrnoToSystemError(errno);
}

int RunAndWait(const std::string& command_line, int* exit_code, bool own_group) {
  // With SIGCHLD ignored (as the controller's platform sets it) the child
  // would be reaped before we could read its status.
  struct sigaction dfl, old;
  std::memset(&dfl, 0, sizeof dfl);
  dfl.sa_handler = SIG_DFL;
  ::sigaction(SIGCHLD, &dfl, &old);
  pid_t child = 0;
  int rc = Spawn(command_line, &child, own_group);
  int status = 0;
  while (rc == 0 && ::waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) rc = ErrnoToSystemError(errno);
  }
  ::sigaction(SIGCHLD, &old, nullptr);
  if (rc != 0) return rc;
  *exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return 0;
}

uint32_t CurrentProcessId() { return static_cast<uint32_t>(::getpid()); }

FileLock::~FileLock() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
}

int FileLock::TryLock(const std::string& path) {
  if (handle_ >= 0) return 0;
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return ErrnoToSystemError(errno);
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    ::close(fd);
    return error == EWOULDBLOCK ? kErrLockHeld : ErrnoToSystemError(error);
  }
  handle_ = fd;
  return 0;
}

void CatchStopSignals(void (*handler)(int signal)) {
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) ::signal(signal, handler);
}

namespace {

// The terminal as it was before echo went off, for a signal that ends the
// process while a secret is typed.
struct termios g_echo_terminal;

void RestoreEchoAndDie(int signal) {
  ::tcsetattr(STDIN_FILENO, TCSANOW, &g_echo_terminal);
  ::signal(signal, SIG_DFL);
  ::raise(signal);
}

}  // namespace

bool ReadSecretLine(const char* prompt, std::string* line) {
  const bool terminal = ::isatty(STDIN_FILENO) && ::tcgetattr(STDIN_FILENO, &g_echo_terminal) == 0;
  struct sigaction restore, saved[3];
  const int signals[] = {SIGINT, SIGTERM, SIGHUP};
  if (terminal) {
    std::fputs(prompt, stderr);
    std::fflush(stderr);
    std::memset(&restore, 0, sizeof restore);
    restore.sa_handler = RestoreEchoAndDie;
    for (int i = 0; i < 3; ++i) ::sigaction(signals[i], &restore, &saved[i]);
    struct termios quiet = g_echo_terminal;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  const bool got = static_cast<bool>(std::getline(std::cin, *line));
  if (terminal) {
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_echo_terminal);
    for (int i = 0; i < 3; ++i) ::sigaction(signals[i], &saved[i], nullptr);
    // The Enter that ended the line was not shown either.
    std::fputs("\n", stderr);
  }
  if (got && !line->empty() && line->back() == '\r') line->pop_back();
  return got;
}

// A terminal here understands escape sequences and shows UTF-8.
ConsoleSession::ConsoleSession() = default;
ConsoleSession::~ConsoleSession() = default;

}  // namespace kvs
