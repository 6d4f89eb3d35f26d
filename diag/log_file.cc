#include "diag/log_file.h"

#include <cstdio>
#include <utility>

#include "diag/text.h"

namespace kvs {

namespace {

// Owns a C stream; closes it when dropped.
class File {
 public:
  File() = default;
  ~File() { Close(); }
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  bool OpenAppend(const std::string& path) {
    Close();
    f_ = std::fopen(path.c_str(), "a");
    return f_ != nullptr;
  }
  void Close() {
    if (f_) std::fclose(f_);
    f_ = nullptr;
  }
  std::FILE* get() const { return f_; }

  int64_t Size() {
    if (std::fseek(f_, 0, SEEK_END) != 0) return 0;
    long pos = std::ftell(f_);
    return pos < 0 ? 0 : pos;
  }

 private:
  std::FILE* f_ = nullptr;
};

}  // namespace

LogFile::LogFile(Platform& platform, std::string path, std::string backup_path,
                 int64_t size_limit, size_t line_capacity, bool enabled)
    : platform_(platform),
      path_(std::move(path)),
      backup_path_(std::move(backup_path)),
      size_limit_(size_limit),
      line_capacity_(line_capacity),
      enabled_(enabled) {}

void LogFile::Write(std::string_view text) {
  if (!enabled_) return;
  const std::string native = NativePath(path_);
  const std::string native_backup = NativePath(backup_path_);
  File file;
  if (!file.OpenAppend(native)) return;

  // Rotation order is fixed: close, drop the old backup, rename, reopen.
  // A failed rename simply reopens the old file; a failed reopen loses the
  // line.
  auto rotate_if_full = [&]() -> bool {
    // An empty file is never full: with a negative limit the second check
    // would otherwise put the fresh empty file over the backup.
    const int64_t size = file.Size();
    if (size <= size_limit_ || size == 0) return true;
    file.Close();
    std::remove(native_backup.c_str());
    std::rename(native.c_str(), native_backup.c_str());
    return file.OpenAppend(native);
  };
  if (!rotate_if_full()) return;

  std::string line = LogTimeNow(platform_);
  line += "  ";
  line.append(text.substr(0, text.find('\0')));
  if (line.size() > line_capacity_ - 1) line.resize(line_capacity_ - 1);

  // Checked once more right before writing, as another program may have
  // appended meanwhile.
  if (!rotate_if_full()) return;
  std::fwrite(line.data(), 1, line.size(), file.get());
}

Logs::Logs(Platform& platform, const std::string& main_path, const std::string& main_backup,
           const std::string& debug_path, const std::string& debug_backup,
           int64_t size_limit, bool debug_on)
    : main_(platform, main_path, main_backup, size_limit, kMainLogLineCapacity, true),
      debug_(platform, debug_path, debug_backup, size_limit, kDebugLogLineCapacity, debug_on) {}

}  // namespace kvs
