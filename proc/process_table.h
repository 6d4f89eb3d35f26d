// The table of managed processes (1024 entries) and the running-job list.
// Knows nothing of the OS; processes are created and inspected through
// Platform by the launch, supervision and termination code beside it.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "db/job_table.h"

namespace kvs {

inline constexpr int kMaxProcesses = 1024;
inline constexpr size_t kMaxRunningListChars = 5000;

// One followed process with a copy of its job row, from which its end is
// written back without reading the row again.
struct ManagedProcess {
  uint32_t pid = 0;  // 0 = entry free
  char program_name[260] = {};
  int32_t elapsed_seconds = 0;
  JobRecord row;
};

// Fixed storage, copied whole for the per-pass snapshot.
struct ProcessTable {
  std::array<ManagedProcess, kMaxProcesses> entries{};
  void Clear() { entries.fill(ManagedProcess{}); }
  // The first free entry, or nullptr when all 1024 are taken.
  ManagedProcess* FreeEntry();
  int Occupied() const;
};

// The JOBURV values of the running jobs, each quoted for the statement
// text ("'A', 'B'"), at most 5000 characters; "' '" stands for an empty
// list in a selection. A key already listed is not added again. A key that
// does not fit is never dropped silently: Add() refuses it and the list
// reports itself full.
class RunningList {
 public:
  void Clear() {
    list_.Clear();
    full_ = false;
  }
  // Whether key would fit (or is listed already).
  bool CanAdd(const std::string& key) const;
  // Adds a non-empty key. false (and full() from then on) when it does not
  // fit.
  bool Add(const std::string& key);
  bool Contains(const std::string& key) const;
  bool full() const { return full_; }
  // The list for "JOBURV NOT IN ( %s )".
  const SqlList& ForSelection() const { return list_; }
  // Makes the list read "' '" (as the scheduled run types do before their
  // selections).
  void SetEmptyMarker() {
    list_.Clear();
    list_.Append(SqlText(" "));
    full_ = false;
  }
  const std::string& text() const { return list_.items(); }

 private:
  static std::string Quoted(const std::string& key);
  SqlList list_;
  bool full_ = false;
};

}  // namespace kvs
