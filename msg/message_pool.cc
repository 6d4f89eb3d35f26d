#include "msg/message_pool.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <new>
#include <system_error>

#include "diag/text.h"

namespace kvs {

namespace {

constexpr size_t kLongTextLogged = 220;
constexpr int kImportLineCapacity = 2048;

std::string ErrnoText(int e) { return std::strerror(e); }

}  // namespace

std::string StampMessage(Platform& platform, int64_t t, const std::string& text,
                         bool* shortened) {
  CivilTime c = platform.ToLocal(t);
  std::string body = text;
  // A line break would split the statement in the fallback file, one line
  // each: neither half could ever be imported.
  for (char& c : body) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  *shortened = body.size() > kMaxPostedText;
  if (*shortened) body = body.substr(0, kMaxPostedText - 3) + "...";
  return StrFormat("%02d.%02d.%04d %02d:%02d:%02d %s", c.day, c.month, c.year, c.hour,
                   c.minute, c.second, body.c_str());
}

MessagePool::MessagePool(Platform& platform, Logs& logs, Session& session)
    : platform_(platform), logs_(logs), session_(session) {}

bool MessagePool::CreateRecord(std::string* error) {
  record_.reset();
  STRNACHRICHT* record = new (std::nothrow) STRNACHRICHT;
  if (record == nullptr) {
    *error = kRecordCreateError;
    return false;
  }
  record_.reset(record);
  FillControllerSender(record_.get());
  ids_.Seed(static_cast<uint32_t>(platform_.Now()));
  return true;
}

void MessagePool::FreeRecord() { record_.reset(); }

int MessagePool::Execute(const std::string& statement) {
  return session_.Execute(statement, false, true);
}

void MessagePool::Post(const std::string& text) {
  ImportFallbackFile();
  const int64_t t = platform_.Now();
  bool shortened = false;
  std::string stamped = StampMessage(platform_, t, text, &shortened);
  // The full text stays in the main log when the pool gets less of it.
  if (text.size() > kLongTextLogged || shortened) {
    logs_.Main(StrFormat(kLogLongMessage, text.c_str()));
  }
  if (!record_) return;
  record_->MSGTXT = stamped;

  std::string statement;
  int rc = 0;
  for (int attempt = 0; attempt < kIdAttempts; ++attempt) {
    std::string error;
    statement = BuildInsert(platform_, *record_, t, &ids_, &error);
    if (statement.empty()) {
      logs_.Main(error.substr(0, 2048) + "\n");
      return;
    }
    rc = Execute(statement);
    if (rc == 0) return;
    // Another message of this second drew the same id: draw again.
    if (!session_.IsDuplicateKey(rc)) break;
  }
  logs_.Main(StrFormat(kLogPoolWriteFailed, statement.c_str()));
  AppendToFallback(statement);
}

void MessagePool::AppendToFallback(const std::string& statement) {
  errno = 0;
  std::FILE* f = std::fopen(NativePath(fallback_path_).c_str(), "a");
  if (f == nullptr) {
    logs_.Main(StrFormat(kLogFallbackFailed, ErrnoText(errno).c_str()));
    return;
  }
  // A line written in part would join the next one into a statement that
  // never imports; on a failed write the file is cut back to where it was.
  const long before = std::fseek(f, 0, SEEK_END) == 0 ? std::ftell(f) : -1;
  const std::string line = statement + "\n";
  errno = 0;
  bool written = std::fwrite(line.data(), 1, line.size(), f) == line.size();
  written = std::fflush(f) == 0 && written;
  const int write_error = errno;
  written = std::fclose(f) == 0 && written;
  if (!written) {
    const int error = write_error != 0 ? write_error : errno;
    if (before >= 0) {
      std::error_code ignored;
      std::filesystem::resize_file(NativePath(fallback_path_), static_cast<uintmax_t>(before),
                                   ignored);
    }
    logs_.Main(StrFormat(kLogFallbackFailed, ErrnoText(error).c_str()));
    return;
  }
  logs_.Main(StrFormat(kLogFallbackWritten, statement.c_str()));
}

void MessagePool::ImportFallbackFile() {
  const std::string path = NativePath(fallback_path_);
  std::FILE* f = std::fopen(path.c_str(), "r");
  if (f == nullptr) return;
  int read = 0;
  int imported = 0;
  char buffer[kImportLineCapacity];
  while (std::fgets(buffer, sizeof buffer, f) != nullptr) {
    std::string line = buffer;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    // A blank line is no statement; it must not keep the file for ever.
    if (line.empty()) continue;
    logs_.Main(StrFormat(kLogImportLine, line.c_str()));
    ++read;
    int rc = -1;
    if (IsMessageInsert(line)) {
      rc = Execute(line);
    } else {
      logs_.Main(kLogImportRejected);
    }
    if (rc == 0) {
      logs_.Main(kLogImported);
      ++imported;
    } else if (session_.IsDuplicateKey(rc)) {
      logs_.Main(StrFormat(kLogImportDuplicate, rc));
      ++imported;
    } else {
      logs_.Main(StrFormat(kLogImportFailed, rc));
    }
  }
  std::fclose(f);

  if (read == 0) {
    logs_.Main(kLogFallbackEmpty);
    errno = 0;
    if (std::remove(path.c_str()) == 0) {
      logs_.Main(kLogFallbackDeleted);
    } else {
      logs_.Main(StrFormat(kLogFallbackEmptyDeleteFailed, ErrnoText(errno).c_str()));
    }
    return;
  }
  logs_.Main(StrFormat(kLogImportCounts, read, imported));
  if (read != imported) {
    logs_.Main(StrFormat(kLogFallbackKept, imported, read));
    return;
  }
  errno = 0;
  if (std::remove(path.c_str()) == 0) {
    logs_.Main(kLogFallbackDeleted);
  } else {
    logs_.Main(StrFormat(kLogFallbackDeleteFailed, ErrnoText(errno).c_str()));
  }
}

}  // namespace kvs
