// Operating-system services that only the tools need: serving the service
// pipe (kvsjobsvc), running a child and waiting for it and the stop signals
// (kvsjobsvc --run), listing and ending processes (kill), reading a
// password unseen (kvscrypt). The controller itself never uses them. Implemented beside Platform in platform_posix.cc / platform_win32.cc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kvs {

// The serving end of a named pipe in message mode (on POSIX a
// SOCK_SEQPACKET socket). Move-only; closing it removes the name.
class PipeServer {
 public:
  PipeServer();
  ~PipeServer();
  PipeServer(PipeServer&& other) noexcept;
  PipeServer& operator=(PipeServer&& other) noexcept;
  PipeServer(const PipeServer&) = delete;
  PipeServer& operator=(const PipeServer&) = delete;

  // Starts serving pipe_name ("\\.\pipe\NAME"). 0 or a system error code.
  [[nodiscard]] int Open(const std::string& pipe_name);
  // Waits up to timeout_ms for one client, reads its request (at most
  // request_capacity bytes), sends the reply that make_reply builds from it
  // and closes that connection. 0 when a client was served, kErrSemTimeout
  // when none came, else a system error code.
  using ReplyMaker = std::function<std::string(const char* request, size_t len)>;
  [[nodiscard]] int ServeOne(size_t request_capacity, const ReplyMaker& make_reply,
                             int timeout_ms);
  void Close();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

struct ProcessEntry {
  uint32_t pid = 0;
  std::string base_name;
};

// Every process the caller may see, with its executable base name.
[[nodiscard]] int ListProcesses(std::vector<ProcessEntry>* out);
// Ends the process at once. 0 or a system error code.
[[nodiscard]] int TerminateProcessById(uint32_t pid);
// Starts command_line as StartProcess does and waits for it to end.
// 0 and its exit code, or a system error code when it could not start.
// With own_group the child and everything it starts get a process group
// of their own, so Ctrl+C in the console reaches only the caller; on
// Windows also a console of their own without a window, so neither do
// Ctrl+Break nor closing the caller's console.
[[nodiscard]] int RunAndWait(const std::string& command_line, int* exit_code,
                             bool own_group = false);
uint32_t CurrentProcessId();

// An exclusive lock on a file (created when missing), held for as long as
// the object lives; the system drops it when the process ends, however it
// ends, so a killed holder never leaves it taken.
class FileLock {
 public:
  FileLock() = default;
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  // 0 held, kErrLockHeld when another holder has it, else a system error
  // code. Does not wait.
  [[nodiscard]] int TryLock(const std::string& path);

 private:
  intptr_t handle_ = -1;
};
inline constexpr int kErrLockHeld = 33;  // ERROR_LOCK_VIOLATION

// Has handler called (as a signal handler: it may only set a flag) on
// every way a console or a service manager asks a tool to stop: Ctrl+C,
// SIGTERM, on Linux SIGHUP (the terminal closed), on Windows Ctrl+Break
// and the console's closing (after which Windows ends the process within
// seconds).
void CatchStopSignals(void (*handler)(int signal));

// One line of standard input without its line end; false at its end.
// When standard input is a terminal, prompt goes to standard error first
// and what is typed is not shown.
[[nodiscard]] bool ReadSecretLine(const char* prompt, std::string* line);

// Readies standard output for a tool that redraws the screen, for as long
// as it lives: the console understands escape sequences (on Windows
// virtual terminal processing is switched on and the code page set to
// Windows-1252). The console's mode and code page are restored when it
// goes.
class ConsoleSession {
 public:
  ConsoleSession();
  ~ConsoleSession();
  ConsoleSession(const ConsoleSession&) = delete;
  ConsoleSession& operator=(const ConsoleSession&) = delete;
  // True when the console shows UTF-8, so that Windows-1252 text must be
  // converted first.
  bool utf8() const { return utf8_; }

 private:
  bool utf8_ = true;
  // What Windows restores; unused on Linux.
  [[maybe_unused]] bool restore_mode_ = false;
  [[maybe_unused]] uint32_t saved_mode_ = 0;
  [[maybe_unused]] uint32_t saved_code_page_ = 0;
};

// Puts the file from (on the same volume) in place of the file to, to
// keeping who may read it. POSIX: from is first given the owner and group
// of an existing to (its mode is the caller's to set); when the caller may
// not give them, kErrInvalidOwner and both files stay as they were.
// Windows: ReplaceFile, which keeps the replaced file's access control
// list (and leaves its owner to whoever replaces it, which its list does
// not depend on). A missing to is simply created. 0, kErrInvalidOwner or
// another system error code.
[[nodiscard]] int ReplaceFileKeepingOwner(const std::string& from, const std::string& to);
inline constexpr int kErrInvalidOwner = 1307;  // ERROR_INVALID_OWNER

}  // namespace kvs
