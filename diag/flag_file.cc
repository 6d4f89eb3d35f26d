#include "diag/flag_file.h"

#include <cerrno>
#include <cstdio>

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

}  // namespace kvs
