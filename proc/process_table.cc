#include "proc/process_table.h"

namespace kvs {

ManagedProcess* ProcessTable::FreeEntry() {
  for (ManagedProcess& e : entries_) {
    if (e.pid == 0) return &e;
  }
  if (entries_.size() == kMaxProcesses) return nullptr;
  // Within the room reserved: no entry moves.
  return &entries_.emplace_back();
}

int ProcessTable::Occupied() const {
  int n = 0;
  for (const ManagedProcess& e : entries_) n += e.pid != 0;
  return n;
}

void ProcessTable::CopyInUse(const ProcessTable& other) {
  entries_.clear();
  for (const ManagedProcess& e : other.entries_) {
    if (e.pid != 0) entries_.push_back(e);
  }
}

std::string RunningList::Quoted(const std::string& key) { return "'" + SqlText(key).text() + "'"; }

bool RunningList::Contains(const std::string& key) const {
  const std::string& text = list_.items();
  const std::string quoted = Quoted(key);
  size_t at = 0;
  while ((at = text.find(quoted, at)) != std::string::npos) {
    // Whole items only: the quoted key must start the list or follow ", ".
    bool starts = at == 0 || (at >= 2 && text.compare(at - 2, 2, ", ") == 0);
    bool ends = at + quoted.size() == text.size() ||
                text.compare(at + quoted.size(), 2, ", ") == 0;
    if (starts && ends) return true;
    at += 1;
  }
  return false;
}

bool RunningList::CanAdd(const std::string& key) const {
  if (key.empty() || Contains(key)) return true;
  size_t extra = Quoted(key).size() + (list_.empty() ? 0 : 2);
  return list_.items().size() + extra <= kMaxRunningListChars;
}

bool RunningList::Add(const std::string& key) {
  if (key.empty() || Contains(key)) return true;
  if (!CanAdd(key)) {
    full_ = true;
    return false;
  }
  list_.Append(SqlText(key));
  return true;
}

}  // namespace kvs
