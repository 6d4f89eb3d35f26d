#include "proc/process_identities.h"

#include <cstdlib>
#include <vector>

#include "diag/text.h"

namespace kvs {

namespace {

constexpr char kSeparator = '\t';

// A key part the file can hold: no separator, no line break.
bool Storable(const char* text) {
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c == kSeparator || *c == '\n' || *c == '\r') return false;
  }
  return true;
}

// The whole decimal number of text, when it is one.
bool ParseNumber(const std::string& text, int64_t* value) {
  if (text.empty() || text.size() > 18) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  *value = std::strtoll(text.c_str(), nullptr, 10);
  return true;
}

std::vector<std::string> SplitFields(const std::string& line) {
  std::vector<std::string> fields;
  size_t from = 0;
  while (true) {
    const size_t to = line.find(kSeparator, from);
    fields.push_back(line.substr(from, to == std::string::npos ? std::string::npos : to - from));
    if (to == std::string::npos) return fields;
    from = to + 1;
  }
}

}  // namespace

std::string ProcessIdentities::Key(const char* jobda1, const char* jobke2) {
  return std::string(jobda1) + kSeparator + jobke2;
}

void ProcessIdentities::Open(const std::string& path) {
  std::string text;
  const int error = ReadWholeFile(path, &text);
  path_ = path;
  file_missing_ = error == kErrFileNotFound;
  file_unreadable_ = error != 0 && !file_missing_;
  if (file_unreadable_) {
    logs_.Main(StrFormat(kLogIdentitiesUnreadable, path.c_str(), static_cast<long>(error)));
    return;
  }
  long number = 0;
  bool dropped = false;
  for (size_t pos = 0; pos < text.size();) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    ++number;
    const std::vector<std::string> f = SplitFields(line);
    int64_t pid = 0, started = 0;
    if (f.size() != 5 || !ParseNumber(f[0], &pid) || pid <= 0 || pid > UINT32_MAX ||
        f[1].empty() || !ParseNumber(f[2], &started) || f[3].empty()) {
      logs_.Main(StrFormat(kLogIdentityLineInvalid, number, path.c_str()));
      dropped = true;
      continue;
    }
    Entry& entry = entries_[Key(f[3].c_str(), f[4].c_str())];
    entry = {f[3], f[4], {static_cast<uint32_t>(pid), f[1], started}};
  }
  // Without the bad lines, so that the next start does not log them again.
  if (dropped) Save();
}

const RecordedProcess* ProcessIdentities::Find(const char* jobda1, const char* jobke2,
                                               uint32_t pid) const {
  const auto it = entries_.find(Key(jobda1, jobke2));
  if (it == entries_.end() || it->second.process.pid != pid) return nullptr;
  return &it->second.process;
}

const char* ProcessIdentities::WhyMissing(const char* jobda1, const char* jobke2, uint32_t pid,
                                          const std::string& live_identity) const {
  if (const RecordedProcess* recorded = Find(jobda1, jobke2, pid)) {
    if (!platform_.IdentityOfThisBoot(recorded->identity)) return kWhyOtherBoot;
    if (live_identity.empty()) return kWhyUnreadable;
  }
  if (file_unreadable_) return kWhyFileUnreadable;
  if (file_missing_ && entries_.empty()) return kWhyNoFile;
  return kWhyNotRecorded;
}

void ProcessIdentities::Record(const char* jobda1, const char* jobke2,
                               const RecordedProcess& process) {
  // A key the file cannot hold is recognised by id and name after a
  // restart, as without a record.
  if (process.identity.empty() || !Storable(jobda1) || !Storable(jobke2) ||
      !Storable(process.identity.c_str())) {
    return;
  }
  entries_[Key(jobda1, jobke2)] = {jobda1, jobke2, process};
  Save();
}

void ProcessIdentities::KeepOnly(const std::set<std::string>& running,
                                 std::vector<std::pair<std::string, RecordedProcess>>* dropped) {
  bool changed = false;
  for (auto it = entries_.begin(); it != entries_.end();) {
    if (running.count(it->first) != 0) {
      ++it;
      continue;
    }
    if (dropped != nullptr) dropped->emplace_back(it->second.jobke2, it->second.process);
    it = entries_.erase(it);
    changed = true;
  }
  if (changed) Save();
}

void ProcessIdentities::Save() {
  if (path_.empty()) return;
  std::string text;
  for (const auto& [key, e] : entries_) {
    text += StrFormat("%lu\t%s\t%lld\t%s\t%s\n", static_cast<unsigned long>(e.process.pid),
                      e.process.identity.c_str(),
                      static_cast<long long>(e.process.started_steady_ms), e.jobda1.c_str(),
                      e.jobke2.c_str());
  }
  const int error = ReplaceFileContent(path_, text);
  if (error != 0 && !save_failed_) {
    logs_.Main(StrFormat(kLogIdentitiesNotWritten, path_.c_str(), static_cast<long>(error)));
  }
  save_failed_ = error != 0;
  if (error == 0) {
    file_missing_ = false;
    file_unreadable_ = false;
  }
}

}  // namespace kvs
