// What the controller needs of the operating system: clock and sleep,
// processes, the service pipe, INI values, current directory, free disk
// space and standard output. No OS type appears here; platform_posix.cc and
// platform_win32.cc implement it (the build compiles exactly one), and
// FakePlatform stands in for tests. Only main() creates the real platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace kvs {

// Windows system error codes. Both platforms report failures with these, so
// a log line reads the same whichever system wrote it.
inline constexpr int kErrFileNotFound = 2;
inline constexpr int kErrAccessDenied = 5;
inline constexpr int kErrGenFailure = 31;
inline constexpr int kErrInvalidParameter = 87;
inline constexpr int kErrBrokenPipe = 109;
inline constexpr int kErrSemTimeout = 121;
inline constexpr int kErrPipeBusy = 231;
inline constexpr int kErrMoreData = 234;
inline constexpr int kErrDiskFull = 112;

// How long a pipe call waits for the service's reply once the request is
// through. A service that accepts and then hangs counts as gone after it.
inline constexpr int kPipeReplyWaitMs = 60000;

// Broken-down time with plain numbers: month 1..12, full year,
// weekday 0 = Sunday .. 6 = Saturday.
struct CivilTime {
  int year = 1970;
  int month = 1;
  int day = 1;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int weekday = 4;
  bool is_dst = false;
};

// One look at a process, made the way the controller opens a process
// (query-information and vm-read). Later steps are valid only when the
// earlier ones succeeded: opened, then module, then name and path. The
// times need only the process to be open: they are read also for a process
// whose module the controller may not read (another user's, a setuid
// program). On Windows such a process, opened with the limited query
// right only, still gives its image's name and path, without a module.
struct ProcessInfo {
  bool opened = false;      // the process exists (an ended one does not)
  bool has_module = false;  // its first module could be enumerated
  bool has_name = false;
  std::string base_name;    // executable base name as the system spells it
  bool has_path = false;
  std::string full_path;    // full path of the executable
  bool has_creation_time = false;
  // Seconds since 1970, UTC: when the process was created, read with the
  // wall clock's offset of the moment of the look. For people (a job's
  // start as a time of day), never to tell one process from another.
  int64_t creation_time = 0;
  // Whole seconds the process has run, valid with the creation time,
  // measured on the steady clock: a step of the wall clock after the first
  // look does not change it.
  int64_t age_seconds = 0;
  // What tells this process from every other of the machine's boot, the
  // same at every look and to every controller whatever the wall clock,
  // the time zone or TZ do: on Linux the boot's id with the start in clock
  // ticks since boot, on Windows the creation time as the kernel keeps it.
  // "" when it cannot be read.
  std::string identity;
  int error = 0;  // system error code of the first step that failed
};

class Platform {
 public:
  virtual ~Platform() = default;

  // The C library's time value: seconds since 1970, UTC.
  virtual int64_t Now() = 0;
  // Local broken-down time of t.
  virtual CivilTime ToLocal(int64_t t) = 0;
  // Broken-down UTC time of t.
  virtual CivilTime ToUtc(int64_t t) = 0;
  virtual void SleepMs(int ms) = 0;
  // Milliseconds on a clock that no step of the wall clock moves (setting
  // the time, NTP, the change to and from summer time): every "once every
  // N" and every duration is measured on it. It counts from the machine's
  // boot, so every process of one boot reads the same clock.
  virtual int64_t SteadyMs() = 0;

  // Starts command_line as a child process the way the controller starts
  // every job and the kill command: no shell, nothing inherited but
  // standard input, output and error, the controller's environment and
  // current directory. The child is never waited for. Returns 0 and sets
  // *pid, or a system error code. Until the next start, inspecting *pid
  // looks at this very process, even once it has ended (on Windows through
  // the handle of its creation, so the id cannot pass to another program
  // while the new job is being named).
  [[nodiscard]] virtual int StartProcess(const std::string& command_line,
                                         uint32_t* pid) = 0;
  virtual ProcessInfo InspectProcess(uint32_t pid) = 0;
  // From now on every process StartProcess starts ends when this process
  // ends, however it ends (Linux: SIGKILL on the parent's death; Windows:
  // a job object that kills its processes when its last handle closes).
  // 0, or a system error code when it cannot be arranged.
  [[nodiscard]] virtual int EndChildrenWithThisProcess() = 0;
  // Ends process pid at once, only while it is the process identity (as
  // InspectProcess gives it) names: 1 ended now, 0 no such process (gone,
  // or the id is another's now), -1 it could not be ended. Safe to call
  // from any thread.
  virtual int EndProcessIfSame(uint32_t pid, const std::string& identity) = 0;
  // Whether a process identity (as InspectProcess gives it) names a
  // process of the machine's current boot, that is, one created since the
  // machine last started.
  virtual bool IdentityOfThisBoot(const std::string& identity) = 0;
  // Full path of the running executable; "" when it cannot be read.
  virtual std::string OwnExecutablePath() = 0;
  // The controller's own process id and that of its parent (the service
  // that started it; 0 when unknown). Neither is ever ended as a job.
  virtual uint32_t OwnProcessId() = 0;
  virtual uint32_t ParentProcessId() = 0;

  // One request and one reply over the named pipe pipe_name
  // ("\\.\pipe\NAME"), waiting at most timeout_ms for a free instance and
  // at most kPipeReplyWaitMs for the reply; any reply that fits counts,
  // an empty one included. Returns 0 and sets *reply_len, or a Windows
  // system error code on either system: 2 when nobody serves the name,
  // 121 when no instance became free or no reply came in time, 109 when
  // the service closed without a reply, 234 when the reply is longer than
  // reply_capacity.
  [[nodiscard]] virtual int CallPipe(const std::string& pipe_name,
                                     const void* request, size_t request_len,
                                     char* reply, size_t reply_capacity,
                                     size_t* reply_len, int timeout_ms) = 0;

  // GetPrivateProfileString: the value of key in section of the INI file
  // at path, default_value when missing, cut to buffer_size - 1 characters.
  virtual std::string ReadIniString(const std::string& path,
                                    const std::string& section,
                                    const std::string& key,
                                    const std::string& default_value,
                                    size_t buffer_size) = 0;

  virtual bool SetCurrentDir(const std::string& dir) = 0;
  // The current directory as the system spells it; "" on failure.
  virtual std::string GetCurrentDir() = 0;
  // Total free bytes of the volume of a drive text such as "D:\". Returns
  // 0 and sets *free_bytes, or a system error code.
  [[nodiscard]] virtual int DiskFreeBytes(const std::string& drive_text,
                                          uint64_t* free_bytes) = 0;

  // Standard output; text is written as it is.
  virtual void Print(std::string_view text) = 0;
};

// The real platform of this build.
std::unique_ptr<Platform> CreatePlatform();

// A path as the C library of this system opens it. The controller writes
// paths with backslashes; on POSIX a backslash is a directory separator.
std::string NativePath(std::string_view path);

// Whether a file exists (can be opened for reading); path as the
// controller writes it, relative to the working directory.
bool FileExists(const std::string& path);

// The whole content of the file at path (as the controller writes paths).
// 0, or a system error code (2 when it does not exist).
int ReadWholeFile(const std::string& path, std::string* content);
// Writes content as the file at path: whole under a temporary name beside
// it, then renamed over it, so that a reader never sees half of it. 0, or a
// system error code.
int ReplaceFileContent(const std::string& path, std::string_view content);

// What a native path names, a final link not followed: a Windows reparse
// point (symbolic link, junction) counts as a link, and so does a file with
// more than one name (a hard link), which is as much a file elsewhere.
// kOther also when the path cannot be looked at for another reason than
// its absence.
enum class PathKind { kMissing, kRegularFile, kDirectory, kLink, kOther };
PathKind GetPathKind(const std::string& native_path);

}  // namespace kvs
