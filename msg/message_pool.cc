#include "msg/message_pool.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <new>
#include <system_error>

#include "diag/text.h"
#include "platform/platform.h"

namespace kvs {

namespace {

namespace fs = std::filesystem;

constexpr size_t kLongTextLogged = 220;

std::string ErrnoText(int e) { return std::strerror(e != 0 ? e : EIO); }

// Appends lines (whole lines, each ending in "\n") and then whatever rest
// holds from its position to the file at native path. The folder is
// created when missing; an unterminated last line (a write cut short by a
// crash) is ended first, so that it does not swallow the next statement; a
// path that names no regular file is refused. A failed write is cut back
// to where the file ended. Returns "" or the reason of the failure.
std::string AppendLines(const std::string& path, const std::string& lines, std::FILE* rest) {
  const PathKind kind = GetPathKind(path);
  if (kind == PathKind::kMissing) {
    std::error_code ignored;  // a failure shows when the file is opened
    const fs::path folder = fs::path(path).parent_path();
    if (!folder.empty()) fs::create_directories(folder, ignored);
  } else if (kind != PathKind::kRegularFile) {
    return kReasonNotRegularFile;
  }
  errno = 0;
  std::FILE* f = std::fopen(path.c_str(), "a+b");
  if (f == nullptr) return ErrnoText(errno);
  long before = std::fseek(f, 0, SEEK_END) == 0 ? std::ftell(f) : -1;
  bool written = before >= 0;
  int last = '\n';
  if (before > 0 && std::fseek(f, -1, SEEK_END) == 0) last = std::fgetc(f);
  // Reading and writing take a positioning call between them.
  written = std::fseek(f, 0, SEEK_END) == 0 && written;
  errno = 0;
  auto put = [&](const char* data, size_t size) {
    if (!written || size == 0) return;
    written = std::fwrite(data, 1, size, f) == size;
    last = static_cast<unsigned char>(data[size - 1]);
  };
  if (last != '\n') put("\n", 1);
  put(lines.data(), lines.size());
  if (rest != nullptr) {
    char buffer[65536];
    size_t n = 0;
    while (written && (n = std::fread(buffer, 1, sizeof buffer, rest)) > 0) put(buffer, n);
    written = !std::ferror(rest) && written;
    if (last != '\n') put("\n", 1);
  }
  written = std::fflush(f) == 0 && written;
  const int write_error = errno;
  written = std::fclose(f) == 0 && written;
  if (written) return "";
  const int error = write_error != 0 ? write_error : errno;
  if (before >= 0) {
    std::error_code ignored;
    fs::resize_file(path, static_cast<uintmax_t>(before), ignored);
  }
  return ErrnoText(error);
}

// One line of f without its line end ("\n", "\r\n"), at most
// kImportLineCapacity characters of it. false at the end of the file.
bool ReadLine(std::FILE* f, std::string* line) {
  line->clear();
  int c = std::getc(f);
  if (c == EOF) return false;
  for (; c != EOF && c != '\n'; c = std::getc(f)) {
    if (line->size() < kImportLineCapacity) line->push_back(static_cast<char>(c));
  }
  if (!line->empty() && line->back() == '\r') line->pop_back();
  return true;
}

bool AtEnd(std::FILE* f) {
  const int c = std::getc(f);
  if (c == EOF) return true;
  std::ungetc(c, f);
  return false;
}

}  // namespace

std::string StampMessage(Platform& platform, int64_t t, const std::string& text, bool* shortened) {
  CivilTime c = platform.ToLocal(t);
  std::string body = text;
  // A line break would split the statement in the fallback file, one line
  // each: neither half could ever be imported.
  for (char& c : body) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  *shortened = body.size() > kMaxPostedText;
  if (*shortened) body = body.substr(0, kMaxPostedText - 3) + "...";
  return StrFormat("%02d.%02d.%04d %02d:%02d:%02d %s", c.day, c.month, c.year, c.hour, c.minute,
                   c.second, body.c_str());
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
  ids_.Seed(IdSeed(platform_.Now(), platform_.OwnProcessId(), platform_.SteadyMs()));
  return true;
}

void MessagePool::FreeRecord() { record_.reset(); }

int MessagePool::Execute(const SqlStatement& statement) {
  const int64_t start = platform_.SteadyMs();
  const int rc = session_.Execute(statement, false, true);
  const int64_t end = platform_.SteadyMs();
  const int64_t took = end - start;
  if ((rc != 0 && !session_.IsDuplicateKey(rc)) || took >= kSlowPoolStatementMs) {
    rest_until_ms_ = end + kPoolRestFactor * took;
    rested_ = true;
  }
  return rc;
}

int64_t MessagePool::RestLeftMs() {
  const int64_t now = platform_.SteadyMs();
  return now < rest_until_ms_ ? rest_until_ms_ - now : 0;
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

  SqlStatement statement;
  int64_t rest_ms = 0;
  for (int attempt = 0; attempt < kIdAttempts; ++attempt) {
    std::string error;
    statement = BuildInsert(platform_, *record_, t, &ids_, &error);
    if (statement.empty()) {
      logs_.Main(error.substr(0, 2048) + "\n");
      return;
    }
    rest_ms = RestLeftMs();
    if (rest_ms > 0) break;
    const int rc = Execute(statement);
    if (rc == 0) return;
    // Another message of this second drew the same id: draw again.
    if (!session_.IsDuplicateKey(rc)) break;
  }
  if (rest_ms > 0) {
    const int64_t seconds = std::max<int64_t>(1, (rest_ms + 500) / 1000);
    logs_.Main(StrFormat(kLogPoolResting, static_cast<long long>(seconds)));
  } else {
    logs_.Main(StrFormat(kLogPoolWriteFailed, statement.text().c_str()));
  }
  AppendToFallback(statement.text());
}

void MessagePool::AppendToFallback(const std::string& statement) {
  const std::string reason = AppendLines(NativePath(fallback_path_), statement + "\n", nullptr);
  if (!reason.empty()) {
    logs_.Main(StrFormat(kLogFallbackFailed, reason.c_str()));
    return;
  }
  logs_.Main(StrFormat(kLogFallbackWritten, statement.c_str()));
}

std::string MessagePool::ClaimPath() {
  const PathParts file = SplitPath(fallback_path_);
  const PathParts own = SplitPath(platform_.GetCurrentDir());
  const std::string tag = own.fname + own.ext;
  return file.drive + file.dir + file.fname + (tag.empty() ? "" : "." + tag) + ".imp";
}

std::string MessagePool::RejectPath() const {
  const PathParts file = SplitPath(fallback_path_);
  return file.drive + file.dir + file.fname + ".rej";
}

bool MessagePool::Claim(const std::string& claim) {
  PathKind kind = GetPathKind(claim);
  // The claim's name lies in a shared folder: whatever else stands there
  // is no file of ours.
  if (kind == PathKind::kLink || kind == PathKind::kOther) {
    std::remove(claim.c_str());
    kind = GetPathKind(claim);
  }
  // A claim left by an interrupted import is finished first.
  if (kind == PathKind::kRegularFile) return true;
  if (kind != PathKind::kMissing) {
    logs_.Main(StrFormat(kLogFallbackClaimFailed, kReasonNotRegularFile));
    return false;
  }
  const std::string shared = NativePath(fallback_path_);
  kind = GetPathKind(shared);
  if (kind == PathKind::kMissing) return false;
  if (kind != PathKind::kRegularFile) {
    logs_.Main(StrFormat(kLogFallbackClaimFailed, kReasonNotRegularFile));
    return false;
  }
  errno = 0;
  if (std::rename(shared.c_str(), claim.c_str()) != 0) {
    // Another installation claimed it first.
    if (errno == ENOENT) return false;
    logs_.Main(StrFormat(kLogFallbackClaimFailed, ErrnoText(errno).c_str()));
    return false;
  }
  if (GetPathKind(claim) != PathKind::kRegularFile) {
    std::remove(claim.c_str());
    logs_.Main(StrFormat(kLogFallbackClaimFailed, kReasonNotRegularFile));
    return false;
  }
  return true;
}

void MessagePool::DeliverAfterRest() {
  if (rested_ && RestLeftMs() == 0) ImportFallbackFile();
}

void MessagePool::ImportFallbackFile() {
  if (RestLeftMs() > 0) return;
  rested_ = false;
  const std::string claim = NativePath(ClaimPath());
  if (!Claim(claim)) return;
  errno = 0;
  UniqueFile f(std::fopen(claim.c_str(), "rb"));
  if (!f) {
    logs_.Main(StrFormat(kLogFallbackClaimFailed, ErrnoText(errno).c_str()));
    return;
  }
  const ImportTally tally = ImportLines(f.get());
  KeepRejected(tally);
  if (tally.read == 0 && AtEnd(f.get())) {
    f.reset();
    logs_.Main(kLogFallbackEmpty);
    DeleteClaim(claim, true);
    return;
  }
  logs_.Main(StrFormat(kLogImportCounts, tally.read, tally.imported));
  const bool rest = !AtEnd(f.get());
  if (tally.waiting.empty() && !rest) {
    f.reset();
    DeleteClaim(claim, false);
    return;
  }
  PutBackWaiting(claim, tally, std::move(f), rest);
}

MessagePool::ImportTally MessagePool::ImportLines(std::FILE* f) {
  // A stamp further ahead was not written by this clock.
  const std::string latest_tin =
      Timestamp14(platform_, platform_.Now() + kFallbackStampSlackSeconds);
  ImportTally tally;
  int number = 0;
  std::string line;
  while (number < kImportMaxLines && RestLeftMs() == 0 && ReadLine(f, &line)) {
    ++number;
    // A blank line is no statement; it must not keep the file for ever.
    if (line.empty()) continue;
    ++tally.read;
    if (!ImportLine(line, number, latest_tin, &tally)) break;
  }
  return tally;
}

bool MessagePool::ImportLine(const std::string& line, int number, const std::string& latest_tin,
                             ImportTally* tally) {
  SqlStatement statement;
  if (!RebuildControllerInsert(line, latest_tin, &statement)) {
    // Its number only: the text is no message of ours and may be huge.
    logs_.Main(StrFormat(kLogImportRejected, number));
    tally->rejected += line + "\n";
    ++tally->rejected_lines;
    return true;
  }
  logs_.Main(StrFormat(kLogImportLine, statement.text().c_str()));
  const int rc = Execute(statement);
  if (rc == 0) {
    logs_.Main(kLogImported);
    ++tally->imported;
  } else if (session_.IsDuplicateKey(rc)) {
    logs_.Main(StrFormat(kLogImportDuplicate, rc));
    ++tally->imported;
  } else {
    // The next line would most likely fail alike, after as long a wait.
    logs_.Main(StrFormat(kLogImportFailed, rc));
    tally->waiting = statement.text() + "\n";
    return false;
  }
  return true;
}

void MessagePool::KeepRejected(const ImportTally& tally) {
  if (tally.rejected.empty()) return;
  const std::string reason = AppendLines(NativePath(RejectPath()), tally.rejected, nullptr);
  // Lost only what is not ours: kept, it would be refused again and again.
  if (!reason.empty()) {
    logs_.Main(StrFormat(kLogRejectWriteFailed, reason.c_str(), tally.rejected_lines));
  }
}

void MessagePool::DeleteClaim(const std::string& claim, bool was_empty) {
  errno = 0;
  if (std::remove(claim.c_str()) == 0) {
    logs_.Main(kLogFallbackDeleted);
  } else if (was_empty) {
    logs_.Main(StrFormat(kLogFallbackEmptyDeleteFailed, ErrnoText(errno).c_str()));
  } else {
    logs_.Main(StrFormat(kLogFallbackDeleteFailed, ErrnoText(errno).c_str()));
  }
}

void MessagePool::PutBackWaiting(const std::string& claim, const ImportTally& tally, UniqueFile f,
                                 bool rest) {
  // What waits goes back behind whatever was posted meanwhile; the claim
  // is kept (and imported again first) when that fails.
  const std::string reason =
      AppendLines(NativePath(fallback_path_), tally.waiting, rest ? f.get() : nullptr);
  f.reset();
  if (!reason.empty()) {
    logs_.Main(StrFormat(kLogFallbackRestoreFailed, reason.c_str()));
    return;
  }
  logs_.Main(StrFormat(kLogFallbackKept, tally.imported, tally.read));
  errno = 0;
  if (std::remove(claim.c_str()) != 0) {
    logs_.Main(StrFormat(kLogFallbackDeleteFailed, ErrnoText(errno).c_str()));
  }
}

}  // namespace kvs
