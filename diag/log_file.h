// The main and the debug log: plain text files opened, written and closed
// for every line, rotated to a ".BAK" file above a size limit. Knows
// nothing of what is logged; callers end their texts with "\n" themselves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace kvs {

// Room for one main-log line including its terminator, and for one
// debug-log line; a longer caller text is cut to fit.
inline constexpr size_t kMainLogLineCapacity = 2500;
inline constexpr size_t kDebugLogLineCapacity = 504;

class LogFile {
 public:
  // path and backup_path as the controller names them (backslashes allowed);
  // size_limit in bytes, compared strictly greater.
  LogFile(Platform& platform, std::string path, std::string backup_path,
          int64_t size_limit, size_t line_capacity, bool enabled);

  // Appends "YYYY-MM-DD hh:mm:ss" + two blanks + text. Never fails
  // outward: a file that cannot be opened loses the line.
  void Write(std::string_view text);

  const std::string& path() const { return path_; }

 private:
  Platform& platform_;
  std::string path_;
  std::string backup_path_;
  int64_t size_limit_;
  size_t line_capacity_;
  bool enabled_;
};

// The two logs of the controller.
class Logs {
 public:
  Logs(Platform& platform, const std::string& main_path, const std::string& main_backup,
       const std::string& debug_path, const std::string& debug_backup, int64_t size_limit,
       bool debug_on);

  // Safe from any thread: a node's lease thread writes here as well.
  void Main(std::string_view text) {
    std::lock_guard<std::mutex> hold(lock_);
    main_.Write(text);
  }
  void Debug(std::string_view text) {
    std::lock_guard<std::mutex> hold(lock_);
    debug_.Write(text);
  }

 private:
  std::mutex lock_;
  LogFile main_;
  LogFile debug_;
};

}  // namespace kvs
