#include "diag/flag_file.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>

#include "diag/text.h"

namespace kvs {

// The log line is formatted in a 1024-character buffer; a longer name is
// cut with the line rather than overrunning it.
static constexpr size_t kFlagLineCapacity = 1024;

static void LogFlagLine(Logs& logs, std::string line) {
  if (line.size() > kFlagLineCapacity - 1) line.resize(kFlagLineCapacity - 1);
  logs.Main(line);
}

void CreateFlagFile(Logs& logs, const std::string& name) {
  errno = 0;
  std::FILE* f = std::fopen(NativePath(name).c_str(), "a");
  if (f == nullptr) {
    LogFlagLine(logs, StrFormat(kFlagFileCreateFailed, name.c_str(), errno));
    return;
  }
  LogFlagLine(logs, StrFormat(kFlagFileCreated, name.c_str()));
  std::fclose(f);
}

void DeleteFlagFile(Logs& logs, const std::string& name) {
  errno = 0;
  if (std::remove(NativePath(name).c_str()) == 0) {
    LogFlagLine(logs, StrFormat(kFlagFileDeleted, name.c_str()));
  } else {
    LogFlagLine(logs, StrFormat(kFlagFileDeleteFailed, name.c_str(), errno));
  }
}

bool RefreshFlagFile(const std::string& name, int64_t now) {
  namespace fs = std::filesystem;
  const fs::path path(NativePath(name));
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) return false;
  const auto stamp = std::chrono::file_clock::from_sys(
      std::chrono::system_clock::time_point(std::chrono::seconds(now)));
  fs::last_write_time(path, std::chrono::time_point_cast<fs::file_time_type::duration>(stamp), ec);
  return !ec;
}

bool FlagFileTime(const std::string& name, int64_t* time) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::file_time_type stamp = fs::last_write_time(fs::path(NativePath(name)), ec);
  if (ec) return false;
  *time = std::chrono::duration_cast<std::chrono::seconds>(
              std::chrono::file_clock::to_sys(stamp).time_since_epoch())
              .count();
  return true;
}

}  // namespace kvs
