// The table of managed processes (1024 entries). Knows nothing of the OS;
// processes are created and inspected through Platform.
#pragma once

#include <array>
#include <cstdint>

namespace kvs {

inline constexpr int kMaxProcesses = 1024;

struct ManagedProcess {
  uint32_t pid = 0;  // 0 = entry free
  char program_name[260] = {};
  int32_t elapsed_seconds = 0;
  char jobda1[15] = {};
  char jobke2[33] = {};
  char joburv[257] = {};
  char jobrty[3] = {};
  char jobsts[3] = {};
  char jobnam[65] = {};
  char jobusr[129] = {};
  char jobnum[9] = {};
  char jobsda[15] = {};
  char jobeda[15] = {};
  int32_t jobmrt = 0;
  int32_t jobstv = 0;
};

// Fixed storage, copied whole for the per-pass snapshot.
struct ProcessTable {
  std::array<ManagedProcess, kMaxProcesses> entries{};
  void Clear();
  int Occupied() const;
};

}  // namespace kvs
