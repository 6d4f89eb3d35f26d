#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "platform/platform.h"

namespace kvs {

namespace {

// The C library's error number as the Windows code a log line shows.
int SystemErrorOf(int error) {
  switch (error) {
    case ENOENT:
      return kErrFileNotFound;
    case EACCES:
    case EPERM:
      return kErrAccessDenied;
    case ENOSPC:
      return kErrDiskFull;
    default:
      return kErrGenFailure;
  }
}

}  // namespace

bool FileExists(const std::string& path) {
  std::FILE* f = std::fopen(NativePath(path).c_str(), "rb");
  if (f == nullptr) return false;
  std::fclose(f);
  return true;
}

int ReadWholeFile(const std::string& path, std::string* content) {
  content->clear();
  std::FILE* f = std::fopen(NativePath(path).c_str(), "rb");
  if (f == nullptr) return SystemErrorOf(errno);
  char buffer[4096];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, f)) > 0) content->append(buffer, got);
  const bool failed = std::ferror(f) != 0;
  std::fclose(f);
  return failed ? kErrGenFailure : 0;
}

int ReplaceFileContent(const std::string& path, std::string_view content) {
  const std::string native = NativePath(path);
  const std::string temporary = native + ".tmp";
  std::FILE* f = std::fopen(temporary.c_str(), "wb");
  if (f == nullptr) return SystemErrorOf(errno);
  const bool written = std::fwrite(content.data(), 1, content.size(), f) == content.size();
  const int write_error = errno;
  if (std::fclose(f) != 0 || !written) {
    std::remove(temporary.c_str());
    return SystemErrorOf(written ? errno : write_error);
  }
  std::error_code ec;
  std::filesystem::rename(temporary, native, ec);
  if (ec) {
    std::remove(temporary.c_str());
    return kErrAccessDenied;  // the one a rename in a folder of one's own meets
  }
  return 0;
}

}  // namespace kvs
