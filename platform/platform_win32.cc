// Platform and the tools' services on Windows, with the ANSI (-A) functions
// throughout. Every HANDLE lives in a UniqueHandle; nothing else closes one.

#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <signal.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/civil_time.h"
#include "platform/clock_sources.h"
#include "platform/platform.h"
#include "platform/tool_support.h"

// Process32First/Next and PROCESSENTRY32 turn into their wide versions under
// UNICODE, and base names are read as ANSI here.
#ifdef UNICODE
#error "platform_win32.cc uses the ANSI functions; build without UNICODE"
#endif

namespace kvs {

namespace {

// Buffers for names and paths, the size the controller has always used.
constexpr DWORD kPathBufferChars = 260;

// How long a connected pipe client may take to send its request or to take
// the reply. A client that connects and then stalls must not hold the
// service forever.
constexpr DWORD kPipeIoTimeoutMs = 5000;

// Difference between the FILETIME epoch (1601) and 1970, in 100 ns ticks.
constexpr uint64_t kFileTimeTo1970 = 116444736000000000ULL;
constexpr uint64_t kFileTimeTicksPerSecond = 10000000ULL;
constexpr uint64_t kFileTimeTicksPerMs = 10000ULL;

// Processes whose steady start is kept before those not looked at for
// kForgetStartMs are dropped. The controller looks at each of its
// processes in every pass.
constexpr size_t kMaxRememberedStarts = 4096;
constexpr int64_t kForgetStartMs = 600000;

// The one place that turns GetLastError into this system's result code. A
// failed call that left no error code must still read as a failure, never
// as 0 (success).
int LastError() {
  DWORD error = GetLastError();
  return error == 0 ? static_cast<int>(ERROR_GEN_FAILURE) : static_cast<int>(error);
}

// Owns one HANDLE. Both NULL and INVALID_HANDLE_VALUE mean "none", because
// the API returns either, depending on the call.
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE handle) : handle_(handle) {}
  ~UniqueHandle() { Reset(); }

  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.Release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) {
      // Close our own handle before taking the other one, so a handle is
      // never leaked by assigning over it.
      Reset();
      handle_ = other.Release();
    }
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;

  bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return handle_; }

  HANDLE Release() {
    HANDLE handle = handle_;
    handle_ = nullptr;
    return handle;
  }

  void Reset() {
    if (valid()) CloseHandle(handle_);
    handle_ = nullptr;
  }

 private:
  HANDLE handle_ = nullptr;
};


// Seconds since 1970 UTC of a FILETIME, which counts 100 ns ticks since
// 1601 UTC. Times before 1970 come out negative.
int64_t FileTimeToEpochSeconds(const FILETIME& file_time) {
  uint64_t ticks = (static_cast<uint64_t>(file_time.dwHighDateTime) << 32) |
                   file_time.dwLowDateTime;
  int64_t since_1970 = static_cast<int64_t>(ticks - kFileTimeTo1970);
  return since_1970 / static_cast<int64_t>(kFileTimeTicksPerSecond);
}

// Milliseconds since 1970 UTC of a FILETIME.
int64_t FileTimeToEpochMs(const FILETIME& file_time) {
  uint64_t ticks = (static_cast<uint64_t>(file_time.dwHighDateTime) << 32) |
                   file_time.dwLowDateTime;
  return static_cast<int64_t>(ticks - kFileTimeTo1970) / static_cast<int64_t>(kFileTimeTicksPerMs);
}

// Starts command_line the way the controller has always started jobs:
// CreateProcessA parses it, no handles are inherited, the window is shown
// (wShowWindow without STARTF_USESHOWWINDOW, exactly as before). On success
// the thread handle is closed and the process handle handed back.
int CreateChild(const std::string& command_line, UniqueHandle* process, uint32_t* pid,
                DWORD flags = 0, HANDLE job = nullptr) {
  // CreateProcessA may write into the command line, so it gets a copy.
  std::vector<char> mutable_line(command_line.begin(), command_line.end());
  mutable_line.push_back('\0');

  STARTUPINFOA startup;
  std::memset(&startup, 0, sizeof(startup));
  startup.cb = sizeof(startup);
  startup.wShowWindow = SW_SHOW;
  PROCESS_INFORMATION info;
  std::memset(&info, 0, sizeof(info));

  // Into the job before its first instruction: a child could otherwise
  // start one of its own outside the job.
  if (job != nullptr) flags |= CREATE_SUSPENDED;
  if (!CreateProcessA(nullptr, mutable_line.data(), nullptr, nullptr, FALSE, flags, nullptr,
                      nullptr, &startup, &info)) {
    return LastError();
  }
  UniqueHandle thread(info.hThread);
  UniqueHandle child(info.hProcess);
  if (job != nullptr) {
    if (!AssignProcessToJobObject(job, child.get())) {
      const int error = LastError();
      TerminateProcess(child.get(), 1);
      return error;
    }
    ResumeThread(thread.get());
  }
  *process = std::move(child);
  *pid = info.dwProcessId;
  return 0;
}

// A path GetPrivateProfileStringA takes as it stands: "X:\..." or a UNC
// name. Anything else it would look for in the Windows directory.
bool IsFullPath(const std::string& path) {
  auto is_separator = [](char c) { return c == '\\' || c == '/'; };
  if (path.size() >= 2 && is_separator(path[0]) && is_separator(path[1])) return true;
  return path.size() >= 3 && path[1] == ':' && is_separator(path[2]);
}

DWORD ClampToDword(size_t n) {
  return n > MAXDWORD ? MAXDWORD : static_cast<DWORD>(n);
}

// Waits for overlapped I/O on handle that did not finish at once. After
// wait_ms the I/O is cancelled, and only once the system has let go of
// overlapped (and the buffer behind it) does this return. Returns 0 and
// *transferred, ERROR_MORE_DATA with a partial message read, WAIT_TIMEOUT,
// or another system error code.
int FinishOverlapped(HANDLE handle, OVERLAPPED* overlapped, DWORD wait_ms,
                     DWORD* transferred) {
  DWORD waited = WaitForSingleObject(overlapped->hEvent, wait_ms);
  bool timed_out = waited != WAIT_OBJECT_0;
  if (timed_out) CancelIo(handle);
  // The I/O may have finished just as it was cancelled; then it counts.
  if (GetOverlappedResult(handle, overlapped, transferred, TRUE)) return 0;
  int error = LastError();
  if (timed_out && error == ERROR_OPERATION_ABORTED) return WAIT_TIMEOUT;
  return error;
}

// Overlapped I/O needs an event; reset before each use.
OVERLAPPED MakeOverlapped(HANDLE event) {
  OVERLAPPED overlapped;
  std::memset(&overlapped, 0, sizeof(overlapped));
  ResetEvent(event);
  overlapped.hEvent = event;
  return overlapped;
}

// One read of a message-mode pipe into buffer, waiting at most wait_ms.
// ERROR_MORE_DATA means the message goes on.
int ReadPipeMessage(HANDLE pipe, HANDLE event, char* buffer, DWORD capacity,
                    DWORD* got, DWORD wait_ms = kPipeIoTimeoutMs) {
  *got = 0;
  OVERLAPPED overlapped = MakeOverlapped(event);
  if (ReadFile(pipe, buffer, capacity, nullptr, &overlapped)) {
    return GetOverlappedResult(pipe, &overlapped, got, FALSE) ? 0 : LastError();
  }
  int error = LastError();
  if (error == ERROR_MORE_DATA) {
    GetOverlappedResult(pipe, &overlapped, got, FALSE);
    return error;
  }
  if (error != ERROR_IO_PENDING) return error;
  return FinishOverlapped(pipe, &overlapped, wait_ms, got);
}

int WritePipeMessage(HANDLE pipe, HANDLE event, const void* message, size_t size,
                     DWORD wait_ms = kPipeIoTimeoutMs) {
  if (size > MAXDWORD) return kErrInvalidParameter;
  OVERLAPPED overlapped = MakeOverlapped(event);
  DWORD written = 0;
  if (!WriteFile(pipe, message, static_cast<DWORD>(size), nullptr, &overlapped)) {
    int error = LastError();
    if (error != ERROR_IO_PENDING) return error;
  }
  int error = FinishOverlapped(pipe, &overlapped, wait_ms, &written);
  if (error != 0) return error;
  return written == size ? 0 : static_cast<int>(ERROR_WRITE_FAULT);
}

int64_t MonotonicMs() { return static_cast<int64_t>(GetTickCount64()); }

// The parent's id from the process list; 0 when it cannot be found.
uint32_t FindParentProcessId(DWORD pid) {
  UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot.valid()) return 0;
  PROCESSENTRY32 entry;
  std::memset(&entry, 0, sizeof(entry));
  entry.dwSize = sizeof(entry);
  if (!Process32First(snapshot.get(), &entry)) return 0;
  do {
    if (entry.th32ProcessID == pid) return entry.th32ParentProcessID;
    entry.dwSize = sizeof(entry);
  } while (Process32Next(snapshot.get(), &entry));
  return 0;
}


class Win32Platform : public Platform {
 public:
  explicit Win32Platform(ClockSources clocks) : clocks_(std::move(clocks)) {}

  int64_t Now() override {
    const int64_t ms = clocks_.wall_ms();
    return ms >= 0 ? ms / 1000 : (ms - 999) / 1000;
  }
  // Counts on through sleep and is never set.
  int64_t SteadyMs() override { return clocks_.boot_ms(); }

  CivilTime ToLocal(int64_t t) override {
    __time64_t value = t;
    struct tm tm;
    if (_localtime64_s(&tm, &value) != 0) return CivilTime();
    return CivilTimeFromTm(tm);
  }

  CivilTime ToUtc(int64_t t) override {
    __time64_t value = t;
    struct tm tm;
    if (_gmtime64_s(&tm, &value) != 0) return CivilTime();
    return CivilTimeFromTm(tm);
  }

  void SleepMs(int ms) override { Sleep(ms < 0 ? 0 : static_cast<DWORD>(ms)); }

  int StartProcess(const std::string& command_line, uint32_t* pid) override {
    // The child is never waited for. Its handle is kept until the next
    // start only, so the name probe reads this very process: once it has
    // ended, its id could otherwise pass to another program in between.
    last_started_.Reset();
    last_started_pid_ = 0;
    UniqueHandle process;
    int error = CreateChild(command_line, &process, pid, 0, children_job_.get());
    if (error != 0) return error;
    last_started_ = std::move(process);
    last_started_pid_ = *pid;
    return 0;
  }

  int EndChildrenWithThisProcess() override {
    // The handle is never closed while the process lives: the system
    // closes it when the process ends, and the job's processes end then.
    UniqueHandle job(CreateJobObjectA(nullptr, nullptr));
    if (!job.valid()) return LastError();
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
    std::memset(&limits, 0, sizeof limits);
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                                 sizeof limits)) {
      return LastError();
    }
    children_job_ = std::move(job);
    return 0;
  }

  int EndProcessIfSame(uint32_t pid, const std::string& identity) override {
    if (pid == 0 || identity.empty()) return 0;
    UniqueHandle process(
        OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (!process.valid()) return GetLastError() == ERROR_INVALID_PARAMETER ? 0 : -1;
    DWORD exit_code = 0;
    if (GetExitCodeProcess(process.get(), &exit_code) && exit_code != STILL_ACTIVE) return 0;
    FILETIME creation, exit, kernel, user;
    if (!GetProcessTimes(process.get(), &creation, &exit, &kernel, &user)) return -1;
    const std::string live = std::to_string((static_cast<uint64_t>(creation.dwHighDateTime) << 32) |
                                            creation.dwLowDateTime);
    if (live != identity) return 0;
    return TerminateProcess(process.get(), 1) ? 1 : -1;
  }

  ProcessInfo InspectProcess(uint32_t pid) override {
    ProcessInfo info;
    UniqueHandle opened;
    HANDLE process = nullptr;
    bool limited = false;
    if (pid != 0 && pid == last_started_pid_ && last_started_.valid()) {
      process = last_started_.get();
    } else {
      opened = UniqueHandle(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid));
      if (!opened.valid() && GetLastError() == ERROR_ACCESS_DENIED) {
        // Another user's process, or a protected one: it exists, and the
        // limited right still gives its times and its exit code.
        opened = UniqueHandle(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
        limited = true;
      }
      if (!opened.valid()) {
        info.error = LastError();
        return info;
      }
      process = opened.get();
    }
    // A process that has ended can still be opened while anybody holds a
    // handle to it (Wine keeps its own children's open for a moment). It
    // is gone all the same, so report it the way a vanished pid reports.
    DWORD exit_code = 0;
    if (GetExitCodeProcess(process, &exit_code) && exit_code != STILL_ACTIVE) {
      info.error = kErrInvalidParameter;
      return info;
    }
    info.opened = true;

    // The times before the module: a process whose module cannot be read
    // is still dated and measured.
    FILETIME creation, exit, kernel, user;
    if (GetProcessTimes(process, &creation, &exit, &kernel, &user)) {
      info.has_creation_time = true;
      info.creation_time = FileTimeToEpochSeconds(creation);
      info.age_seconds = SteadyAgeMs(pid, FileTimeToEpochMs(creation)) / 1000;
      // The kernel keeps the creation in 100 ns units and never moves it.
      info.identity = std::to_string((static_cast<uint64_t>(creation.dwHighDateTime) << 32) |
                                     creation.dwLowDateTime);
    }
    if (limited) {
      // No module to read, but the image name: enough for kvsjobstat to
      // find a controller that runs under a service account.
      char image[kPathBufferChars];
      DWORD image_length = kPathBufferChars;
      if (QueryFullProcessImageNameA(process, 0, image, &image_length) && image_length > 0) {
        info.has_path = true;
        info.full_path.assign(image, image_length);
        info.has_name = true;
        const size_t cut = info.full_path.find_last_of("\\/");
        info.base_name = cut == std::string::npos ? info.full_path : info.full_path.substr(cut + 1);
      }
      info.error = ERROR_ACCESS_DENIED;
      return info;
    }

    HMODULE module = nullptr;
    DWORD needed = 0;
    if (!EnumProcessModules(process, &module, sizeof(module), &needed)) {
      info.error = LastError();
      return info;
    }
    info.has_module = true;

    char buffer[kPathBufferChars];
    DWORD length = GetModuleBaseNameA(process, module, buffer, kPathBufferChars);
    if (length == 0) {
      info.error = LastError();
      return info;
    }
    info.has_name = true;
    info.base_name.assign(buffer, length);

    length = GetModuleFileNameExA(process, module, buffer, kPathBufferChars);
    if (length == 0) {
      info.error = LastError();
      return info;
    }
    info.has_path = true;
    info.full_path.assign(buffer, length);
    return info;
  }

  // Windows numbers no boots: an identity of this boot is a creation
  // since the boot, as the wall clock now less the tick count dates it.
  bool IdentityOfThisBoot(const std::string& identity) override {
    if (identity.empty() || identity.find_first_not_of("0123456789") != std::string::npos) {
      return false;
    }
    FILETIME created;
    const uint64_t ticks = std::strtoull(identity.c_str(), nullptr, 10);
    created.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    created.dwLowDateTime = static_cast<DWORD>(ticks);
    return FileTimeToEpochMs(created) >= clocks_.wall_ms() - clocks_.boot_ms();
  }

  std::string OwnExecutablePath() override {
    // A pseudo handle: nothing to close.
    HANDLE self = GetCurrentProcess();
    HMODULE module = nullptr;
    DWORD needed = 0;
    if (!EnumProcessModules(self, &module, sizeof(module), &needed)) return "";
    char buffer[kPathBufferChars];
    DWORD length = GetModuleFileNameExA(self, module, buffer, kPathBufferChars);
    if (length == 0) return "";
    return std::string(buffer, length);
  }

  uint32_t OwnProcessId() override { return GetCurrentProcessId(); }
  uint32_t ParentProcessId() override {
    if (!parent_known_) {
      parent_pid_ = FindParentProcessId(GetCurrentProcessId());
      parent_known_ = true;
    }
    return parent_pid_;
  }

  int CallPipe(const std::string& pipe_name, const void* request, size_t request_len,
               char* reply, size_t reply_capacity, size_t* reply_len,
               int timeout_ms) override {
    // CallNamedPipeA in steps: it would wait for the reply without limit,
    // and a service that accepts and then hangs would stop the controller.
    *reply_len = 0;
    if (request_len > MAXDWORD) return kErrInvalidParameter;
    const int64_t deadline = MonotonicMs() + (timeout_ms > 0 ? timeout_ms : 0);
    UniqueHandle pipe;
    while (true) {
      pipe = UniqueHandle(CreateFileA(pipe_name.c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
      if (pipe.valid()) break;
      int error = LastError();
      if (error != ERROR_PIPE_BUSY) return error;
      // All instances busy: wait for one within the time-out.
      int64_t left = deadline - MonotonicMs();
      if (left <= 0) return kErrSemTimeout;
      if (!WaitNamedPipeA(pipe_name.c_str(), static_cast<DWORD>(left))) {
        error = LastError();
        return error == ERROR_FILE_NOT_FOUND ? error : kErrSemTimeout;
      }
    }
    DWORD mode = PIPE_READMODE_MESSAGE;
    if (!SetNamedPipeHandleState(pipe.get(), &mode, nullptr, nullptr)) return LastError();
    UniqueHandle event(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!event.valid()) return LastError();
    int error = WritePipeMessage(pipe.get(), event.get(), request, request_len,
                                 static_cast<DWORD>(kPipeReplyWaitMs));
    if (error == 0) {
      DWORD read = 0;
      error = ReadPipeMessage(pipe.get(), event.get(), reply, ClampToDword(reply_capacity),
                              &read, static_cast<DWORD>(kPipeReplyWaitMs));
      // A zero-length message is an answer like any other.
      if (error == 0) *reply_len = read;
    }
    // A cut reply (ERROR_MORE_DATA) is no answer, so it stays a failure.
    return error == WAIT_TIMEOUT ? kErrSemTimeout : error;
  }

  std::string ReadIniString(const std::string& path, const std::string& section,
                            const std::string& key, const std::string& default_value,
                            size_t buffer_size) override {
    if (buffer_size == 0) return "";
    // Given a relative name, GetPrivateProfileStringA looks in the Windows
    // directory; the controller means its current directory.
    std::string full_path = path;
    if (!IsFullPath(path)) {
      char buffer[MAX_PATH];
      DWORD length = GetFullPathNameA(path.c_str(), MAX_PATH, buffer, nullptr);
      if (length > 0 && length < MAX_PATH) full_path.assign(buffer, length);
    }
    std::vector<char> value(ClampToDword(buffer_size));
    DWORD length = GetPrivateProfileStringA(
        section.c_str(), key.c_str(), default_value.c_str(), value.data(),
        static_cast<DWORD>(value.size()), full_path.c_str());
    return std::string(value.data(), length);
  }

  bool SetCurrentDir(const std::string& dir) override {
    return SetCurrentDirectoryA(dir.c_str()) != 0;
  }

  std::string GetCurrentDir() override {
    char buffer[kPathBufferChars];
    DWORD length = GetCurrentDirectoryA(kPathBufferChars, buffer);
    // A result that does not fit is the size needed, not a length.
    if (length == 0 || length >= kPathBufferChars) return "";
    return std::string(buffer, length);
  }

  int DiskFreeBytes(const std::string& drive_text, uint64_t* free_bytes) override {
    ULARGE_INTEGER total_free;
    total_free.QuadPart = 0;
    if (!GetDiskFreeSpaceExA(drive_text.c_str(), nullptr, nullptr, &total_free)) {
      return LastError();
    }
    *free_bytes = total_free.QuadPart;
    return 0;
  }

  void Print(std::string_view text) override {
    fwrite(text.data(), 1, text.size(), stdout);
    fflush(stdout);
  }

 private:
  // Where the process created at creation_ms (wall clock) stands on the
  // steady clock, and when it was last looked at.
  struct SteadyStart {
    int64_t created_ms;
    int64_t last_look_ms;
  };

  // Milliseconds the process has run, on the steady clock. The wall
  // clock's distance to the creation is taken at the first look and kept,
  // so a step of the wall clock after it changes nothing.
  int64_t SteadyAgeMs(uint32_t pid, int64_t creation_ms) {
    const int64_t steady = clocks_.boot_ms();
    const auto key = std::make_pair(pid, creation_ms);
    auto it = steady_starts_.find(key);
    if (it == steady_starts_.end()) {
      if (steady_starts_.size() >= kMaxRememberedStarts) {
        for (auto at = steady_starts_.begin(); at != steady_starts_.end();) {
          at = steady - at->second.last_look_ms > kForgetStartMs ? steady_starts_.erase(at)
                                                                 : std::next(at);
        }
        if (steady_starts_.size() >= kMaxRememberedStarts) steady_starts_.clear();
      }
      const int64_t age = clocks_.wall_ms() - creation_ms;
      it = steady_starts_.emplace(key, SteadyStart{steady - age, steady}).first;
    }
    it->second.last_look_ms = steady;
    const int64_t age = steady - it->second.created_ms;
    return age > 0 ? age : 0;
  }

  ClockSources clocks_;
  std::map<std::pair<uint32_t, int64_t>, SteadyStart> steady_starts_;
  UniqueHandle last_started_;
  UniqueHandle children_job_;
  uint32_t last_started_pid_ = 0;
  bool parent_known_ = false;
  uint32_t parent_pid_ = 0;
};

// Ends a client's connection however ServeOne leaves, so the instance is
// ready for the next client.
class ConnectionGuard {
 public:
  explicit ConnectionGuard(HANDLE pipe) : pipe_(pipe) {}
  ~ConnectionGuard() { DisconnectNamedPipe(pipe_); }
  ConnectionGuard(const ConnectionGuard&) = delete;
  ConnectionGuard& operator=(const ConnectionGuard&) = delete;

 private:
  HANDLE pipe_;
};

}  // namespace

ClockSources SystemClocks() {
  return {[] {
            FILETIME now;
            GetSystemTimeAsFileTime(&now);
            return FileTimeToEpochMs(now);
          },
          [] { return MonotonicMs(); }};
}

std::unique_ptr<Platform> CreatePlatformWithClocks(const ClockSources& clocks) {
  return std::make_unique<Win32Platform>(clocks);
}

std::unique_ptr<Platform> CreatePlatform() { return CreatePlatformWithClocks(SystemClocks()); }

std::string NativePath(std::string_view path) { return std::string(path); }

PathKind GetPathKind(const std::string& native_path) {
  const DWORD attributes = GetFileAttributesA(native_path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? PathKind::kMissing
                                                                          : PathKind::kOther;
  }
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return PathKind::kLink;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return PathKind::kDirectory;
  if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0) return PathKind::kOther;
  // The number of names needs a handle; opening for no access at all
  // neither reads the file nor stands in another program's way.
  UniqueHandle file(CreateFileA(native_path.c_str(), 0,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  BY_HANDLE_FILE_INFORMATION info;
  if (!file.valid() || !GetFileInformationByHandle(file.get(), &info)) return PathKind::kOther;
  return info.nNumberOfLinks > 1 ? PathKind::kLink : PathKind::kRegularFile;
}

// One pipe instance, created by Open and reused for every client: between
// two ServeOne calls it still exists, so a client waiting in CallNamedPipeA
// finds the name and gets the instance as soon as serving resumes.
struct PipeServer::Impl {
  UniqueHandle pipe;
  UniqueHandle event;  // manual-reset, signals overlapped completions
};

PipeServer::PipeServer() = default;
PipeServer::~PipeServer() = default;
PipeServer::PipeServer(PipeServer&& other) noexcept = default;
PipeServer& PipeServer::operator=(PipeServer&& other) noexcept = default;

int PipeServer::Open(const std::string& pipe_name) {
  Close();
  auto impl = std::make_unique<Impl>();
  impl->event = UniqueHandle(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  if (!impl->event.valid()) return LastError();
  impl->pipe = UniqueHandle(CreateNamedPipeA(
      pipe_name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
      PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES,
      512, 512, 0, nullptr));
  if (!impl->pipe.valid()) return LastError();
  impl_ = std::move(impl);
  return 0;
}

int PipeServer::ServeOne(size_t request_capacity, const ReplyMaker& make_reply,
                         int timeout_ms) {
  if (!impl_ || !impl_->pipe.valid()) return ERROR_INVALID_HANDLE;
  HANDLE pipe = impl_->pipe.get();
  HANDLE event = impl_->event.get();

  OVERLAPPED overlapped = MakeOverlapped(event);
  if (!ConnectNamedPipe(pipe, &overlapped)) {
    int error = LastError();
    if (error == ERROR_IO_PENDING) {
      DWORD wait = timeout_ms < 0 ? INFINITE : static_cast<DWORD>(timeout_ms);
      DWORD ignored = 0;
      error = FinishOverlapped(pipe, &overlapped, wait, &ignored);
      if (error == WAIT_TIMEOUT) return kErrSemTimeout;
    } else if (error == ERROR_PIPE_CONNECTED) {
      // The client came before we asked; it is connected all the same.
      error = 0;
    }
    if (error != 0) {
      // ERROR_NO_DATA: a client came and went; the instance must be
      // disconnected before it can listen again.
      DisconnectNamedPipe(pipe);
      return error;
    }
  }
  ConnectionGuard connection(pipe);

  std::vector<char> request(request_capacity > 0 ? ClampToDword(request_capacity) : 1);
  DWORD request_len = 0;
  int error = ReadPipeMessage(pipe, event, request.data(),
                              static_cast<DWORD>(request_capacity > 0 ? request.size() : 0),
                              &request_len);
  if (error == ERROR_MORE_DATA) {
    // Longer than the caller takes: keep the head, drop the rest of the
    // message so the reply follows the whole request.
    char scratch[512];
    DWORD dropped = 0;
    do {
      error = ReadPipeMessage(pipe, event, scratch, sizeof(scratch), &dropped);
    } while (error == ERROR_MORE_DATA);
  }
  if (error != 0) return error;

  std::string reply = make_reply(request.data(), request_len);
  error = WritePipeMessage(pipe, event, reply.data(), reply.size());
  if (error != 0) return error;
  // Let the client read the reply before the connection is cut.
  FlushFileBuffers(pipe);
  return 0;
}

void PipeServer::Close() { impl_.reset(); }

int ListProcesses(std::vector<ProcessEntry>* out) {
  out->clear();
  UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot.valid()) return LastError();
  PROCESSENTRY32 entry;
  std::memset(&entry, 0, sizeof(entry));
  entry.dwSize = sizeof(entry);
  if (!Process32First(snapshot.get(), &entry)) {
    int error = LastError();
    return error == ERROR_NO_MORE_FILES ? 0 : error;
  }
  do {
    ProcessEntry process;
    process.pid = entry.th32ProcessID;
    process.base_name = entry.szExeFile;
    out->push_back(std::move(process));
    entry.dwSize = sizeof(entry);
  } while (Process32Next(snapshot.get(), &entry));
  return 0;
}

int TerminateProcessById(uint32_t pid) {
  UniqueHandle process(OpenProcess(PROCESS_TERMINATE, FALSE, pid));
  if (!process.valid()) return LastError();
  if (!TerminateProcess(process.get(), 1)) return LastError();
  return 0;
}

int RunAndWait(const std::string& command_line, int* exit_code, bool own_group) {
  UniqueHandle process;
  uint32_t pid = 0;
  // A new process group does not get Ctrl+C, nor do the processes it
  // starts; a console of its own (without a window) keeps Ctrl+Break and
  // the closing of ours away from them too.
  int error = CreateChild(command_line, &process, &pid,
                          own_group ? CREATE_NEW_PROCESS_GROUP | CREATE_NO_WINDOW : 0);
  if (error != 0) return error;
  if (WaitForSingleObject(process.get(), INFINITE) != WAIT_OBJECT_0) return LastError();
  DWORD code = 0;
  if (!GetExitCodeProcess(process.get(), &code)) return LastError();
  *exit_code = static_cast<int>(code);
  return 0;
}

uint32_t CurrentProcessId() { return GetCurrentProcessId(); }

FileLock::~FileLock() {
  if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

int FileLock::TryLock(const std::string& path) {
  if (handle_ != -1) return 0;
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return LastError();
  OVERLAPPED at = {};
  if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
    const int error = LastError();
    CloseHandle(file);
    return error == ERROR_LOCK_VIOLATION ? kErrLockHeld : error;
  }
  handle_ = reinterpret_cast<intptr_t>(file);
  return 0;
}

void CatchStopSignals(void (*handler)(int signal)) {
  // The C library reports Ctrl+Break and the console's closing as SIGBREAK.
  for (int signal : {SIGINT, SIGTERM, SIGBREAK}) ::signal(signal, handler);
}

bool ReadSecretLine(const char* prompt, std::string* line) {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  const bool console = input != INVALID_HANDLE_VALUE && GetConsoleMode(input, &mode);
  if (console) {
    std::fputs(prompt, stderr);
    std::fflush(stderr);
    (void)SetConsoleMode(input, mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
  }
  const bool got = static_cast<bool>(std::getline(std::cin, *line));
  if (console) {
    (void)SetConsoleMode(input, mode);
    std::fputs("\n", stderr);
  }
  if (got && !line->empty() && line->back() == '\r') line->pop_back();
  return got;
}

ConsoleSession::ConsoleSession() : utf8_(false) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  // Not a console (redirected): nothing to switch.
  if (out == INVALID_HANDLE_VALUE || !GetConsoleMode(out, &mode)) return;
  saved_mode_ = mode;
  saved_code_page_ = GetConsoleOutputCP();
  restore_mode_ = true;
  (void)SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
  (void)SetConsoleOutputCP(1252);
}

ConsoleSession::~ConsoleSession() {
  if (!restore_mode_) return;
  (void)SetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), saved_mode_);
  if (saved_code_page_ != 0) (void)SetConsoleOutputCP(saved_code_page_);
}

int ReplaceFileKeepingOwner(const std::string& from, const std::string& to) {
  if (GetFileAttributesA(to.c_str()) == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) return LastError();
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) ? 0 : LastError();
  }
  // Full paths: Wine's ReplaceFile takes no others.
  const auto full = [](const std::string& path, std::string* out) {
    const DWORD size = GetFullPathNameA(path.c_str(), 0, nullptr, nullptr);
    if (size == 0) return false;
    out->assign(size, '\0');
    const DWORD n = GetFullPathNameA(path.c_str(), size, out->data(), nullptr);
    out->resize(n);
    return n > 0 && n < size;
  };
  std::string full_from, full_to;
  if (!full(from, &full_from) || !full(to, &full_to)) return LastError();
  // The replaced file's access control list stays with its name; a failed
  // replace leaves both files under their own names.
  return ReplaceFileA(full_to.c_str(), full_from.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS,
                      nullptr, nullptr)
             ? 0
             : LastError();
}

}  // namespace kvs
