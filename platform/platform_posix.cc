// The POSIX (Linux) backend. Windows meanings, mapped:
//   named pipe \\.\pipe\NAME  -> SOCK_SEQPACKET socket $KVS_PIPE_DIR/NAME
//                                (/tmp/NAME when the variable is unset)
//   CreateProcessA            -> posix_spawn, no shell, Windows argv rules,
//                                program dir / current dir / PATH search
//   job object, kill on close -> fork and exec with PR_SET_PDEATHSIG
//   OpenProcess               -> /proc/PID exists and is not a zombie
//   module base name, path    -> /proc/PID/exe
//   GetProcessTimes           -> /proc/PID/stat (readable for every
//                                process): the start on the boot clock
//                                gives the age and, with the boot's id,
//                                the process's identity; the creation time
//                                is the start plus the wall clock's offset
//                                to the boot clock now
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
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
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

// Starts program as a child that the kernel kills when this process ends
// (the death signal is tied to the forking thread, the main one, which
// lives as long as the process). Between fork and exec only
// async-signal-safe calls: another thread may hold any lock. 0 and *pid,
// or a system error code; an exec failure comes back through a pipe that
// closes on exec.
int SpawnTied(const std::string& program, char* const* argv, pid_t* pid) {
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) return ErrnoToSystemError(errno);
  const pid_t parent = ::getpid();
  const pid_t child = ::fork();
  if (child < 0) {
    const int error = errno;
    ::close(report[0]);
    ::close(report[1]);
    return ErrnoToSystemError(error);
  }
  if (child == 0) {
    struct sigaction defaults = {};
    defaults.sa_handler = SIG_DFL;
    ::sigaction(SIGCHLD, &defaults, nullptr);
    ::sigaction(SIGPIPE, &defaults, nullptr);
    // Set, then checked: a parent that died before the setting is not
    // there to kill it later.
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent) ::_exit(127);
#ifdef SYS_close_range
    ::syscall(SYS_close_range, 3U, ~0U, 4U /* CLOSE_RANGE_CLOEXEC */);
#endif
    ::execve(program.c_str(), argv, environ);
    const int error = errno;
    (void)!::write(report[1], &error, sizeof error);
    ::_exit(127);
  }
  ::close(report[1]);
  int error = 0;
  ssize_t n;
  do {
    n = ::read(report[0], &error, sizeof error);
  } while (n < 0 && errno == EINTR);
  ::close(report[0]);
  if (n == static_cast<ssize_t>(sizeof error)) return ErrnoToSystemError(error);
  *pid = child;
  return 0;
}

// Resolves and spawns command_line. 0 and *pid, or a system error code.
int Spawn(const std::string& command_line, pid_t* pid, bool own_group = false, bool tied = false) {
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
  if (tied) return SpawnTied(program, argv.data(), pid);

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
// Identifies this boot; "" when it cannot be read.
std::string BootId() {
  std::string id = ReadSmallFile("/proc/sys/kernel/random/boot_id");
  while (!id.empty() && (id.back() == '\n' || id.back() == ' ')) id.pop_back();
  return id;
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
        boot_id_(BootId()) {
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
    pid_t child = 0;
    int rc = Spawn(command_line, &child, false, children_end_with_us_);
    if (rc == 0) *pid = static_cast<uint32_t>(child);
    return rc;
  }

  int EndChildrenWithThisProcess() override {
    children_end_with_us_ = true;
    return 0;
  }

  int EndProcessIfSame(uint32_t pid, const std::string& identity) override {
    if (pid == 0 || identity.empty() || ProcessIdentity(pid) != identity) return 0;
    if (::kill(static_cast<pid_t>(pid), SIGKILL) == 0) return 1;
    return errno == ESRCH ? 0 : -1;
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
      // The start counts from boot on the boot clock, which no step of
      // the wall clock moves.
      const int64_t start_ms = start * 1000 / ticks_per_second_;
      const int64_t boot_ms = clocks_.boot_ms();
      int64_t age_ms = boot_ms - start_ms;
      if (age_ms < 0) age_ms = 0;
      info.has_creation_time = true;
      info.age_seconds = age_ms / 1000;
      const int64_t wall_ms = clocks_.wall_ms() - age_ms;
      info.creation_time = wall_ms >= 0 ? wall_ms / 1000 : (wall_ms - 999) / 1000;
      // Exact in ticks and never moved: the kernel's own record.
      if (!boot_id_.empty()) info.identity = boot_id_ + "/" + std::to_string(start);
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

  // The identity of pid as InspectProcess gives it, read alone; "" when it
  // is gone or cannot be read.
  std::string ProcessIdentity(uint32_t pid) {
    std::vector<std::string> fields = ProcStatFields(pid);
    if (fields.empty() || fields[0] == "Z" || fields[0] == "X" || boot_id_.empty()) return "";
    const int64_t start = StartTicks(fields);
    return start >= 0 ? boot_id_ + "/" + std::to_string(start) : "";
  }

  bool IdentityOfThisBoot(const std::string& identity) override {
    return !boot_id_.empty() && identity.size() > boot_id_.size() &&
           identity.compare(0, boot_id_.size(), boot_id_) == 0 && identity[boot_id_.size()] == '/';
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
  ClockSources clocks_;
  const long ticks_per_second_;
  const std::string boot_id_;  // "" when the system does not tell one
  bool children_end_with_us_ = false;
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

int ReplaceFileKeepingOwner(const std::string& from, const std::string& to) {
  struct stat old_file;
  if (::stat(to.c_str(), &old_file) == 0) {
    const UniqueFd fd(::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!fd.valid()) return ErrnoToSystemError(errno);
    struct stat new_file;
    if (::fstat(fd.get(), &new_file) != 0) return ErrnoToSystemError(errno);
    // Only a difference is changed: an owner may give his file a group of
    // his own, never another owner.
    if ((new_file.st_uid != old_file.st_uid || new_file.st_gid != old_file.st_gid) &&
        ::fchown(fd.get(), old_file.st_uid, old_file.st_gid) != 0) {
      return errno == EPERM ? kErrInvalidOwner : ErrnoToSystemError(errno);
    }
  } else if (errno != ENOENT) {
    return ErrnoToSystemError(errno);
  }
  return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : ErrnoToSystemError(errno);
}

}  // namespace kvs
