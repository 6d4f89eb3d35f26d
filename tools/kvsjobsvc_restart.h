// kvsjobsvc --run's restart rule: how long it pauses before it starts the
// controller again, and when it gives up on a controller that keeps ending
// right after its start (a wrong connection file, a database that does not
// let it in, a program that cannot start). Pure; kvsjobsvc measures the
// runs and sleeps.
#pragma once

#include <cstdint>

namespace kvs {

// A run shorter than this ended at once: the controller did not get going.
inline constexpr int64_t kQuickExitMs = 30000;
// The pause after a run that got going and after the first quick exit;
// each further quick exit in a row doubles it, up to kLongestPauseMs.
inline constexpr int kFirstPauseMs = 2000;
inline constexpr int kLongestPauseMs = 60000;
// Quick exits in a row after which kvsjobsvc gives up (about three
// minutes of pauses); 0 never gives up.
inline constexpr int kDefaultGiveUpAfter = 8;

// After a run of run_ms (a start that failed counts as 0 ms): counts it in
// *quick_exits, which a run that got going sets back to 0, and returns
// the pause before the next start in ms, or -1 once give_up_after quick
// exits have come in a row.
inline int RestartPauseMs(int64_t run_ms, int give_up_after, int* quick_exits) {
  if (run_ms >= kQuickExitMs) {
    *quick_exits = 0;
    return kFirstPauseMs;
  }
  ++*quick_exits;
  if (give_up_after > 0 && *quick_exits >= give_up_after) return -1;
  int pause = kFirstPauseMs;
  for (int i = 1; i < *quick_exits && pause < kLongestPauseMs; ++i) pause *= 2;
  return pause < kLongestPauseMs ? pause : kLongestPauseMs;
}

}  // namespace kvs
