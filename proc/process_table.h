// The table of managed processes (1024 entries) and the running-job list.
// Knows nothing of the OS; processes are created and inspected through
// Platform by the launch, supervision and termination code beside it.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "db/job_table.h"

namespace kvs {

inline constexpr int kMaxProcesses = 1024;
inline constexpr size_t kMaxRunningListChars = 5000;

// One followed process: what supervision and termination need, and the
// columns that the end of its job writes back into the row (the row update
// of JOBSTS, JOBNAM, JOBUSR, JOBNUM, JOBSDA, JOBEDA and JOBSTV by JOBDA1 and
// JOBKE2), so that the row is not read again. An entry in use is a running
// job: its row says "01". Texts have the room of their columns.
struct ManagedProcess {
  uint32_t pid = 0;  // 0 = entry free
  int32_t elapsed_seconds = 0;
  int32_t jobmrt = 0;
  int32_t jobstv = 0;
  char jobda1[sizeof(JobRecord::jobda1)] = {};
  char jobke2[sizeof(JobRecord::jobke2)] = {};
  char joburv[sizeof(JobRecord::joburv)] = {};
  char jobrty[sizeof(JobRecord::jobrty)] = {};
  // The program as the row names it, which a live process's name is
  // compared with: lower case at launch, right-trimmed on reload.
  char jobnam[sizeof(JobRecord::jobnam)] = {};
  char jobusr[sizeof(JobRecord::jobusr)] = {};
  char jobnum[sizeof(JobRecord::jobnum)] = {};
  char jobsda[sizeof(JobRecord::jobsda)] = {};
  char jobeda[sizeof(JobRecord::jobeda)] = {};
};

// At most 1024 entries. Room for all of them is reserved once and only the
// entries used since the last Clear are ever touched: the table of an idle
// controller costs next to nothing, and no entry moves until the next
// Clear. The snapshot of a pass is a table of its own that holds the
// entries in use of the pass's table.
class ProcessTable {
 public:
  ProcessTable() { entries_.reserve(kMaxProcesses); }
  ProcessTable(const ProcessTable&) = delete;
  ProcessTable& operator=(const ProcessTable&) = delete;

  // Frees every entry.
  void Clear() { entries_.clear(); }
  // The first free entry (a new one behind those used when none of them
  // is free), or nullptr when all 1024 are taken.
  ManagedProcess* FreeEntry();
  int Occupied() const;
  // Replaces the entries by the entries in use of other, in their order.
  void CopyInUse(const ProcessTable& other);
  // The entries used since the last Clear, free ones among them.
  std::span<ManagedProcess> entries() { return entries_; }

 private:
  std::vector<ManagedProcess> entries_;
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
