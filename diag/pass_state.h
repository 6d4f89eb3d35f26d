// The controller's pass state file beside DYE: whether its passes complete
// (database reachable, running jobs reloaded and supervised), since when
// that holds, and when the last complete pass was. The controller writes
// it when the state changes and every 10 seconds; kvsjobstat reads it. DYE
// keeps its own meaning (present while connected) untouched.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace kvs {

inline constexpr char kPassStateFileName[] = "KVSJOBSTR.STA";
// How often the controller rewrites the file while the outcome stays.
inline constexpr int64_t kPassStateRefreshSeconds = 10;

enum class PassOutcome {
  kComplete,      // database reachable, running jobs reloaded and supervised
  kDatabaseDown,  // the liveness check failed: every job was ended
  kReloadFailed,  // the running jobs could not be reloaded: none supervised
};

// Why the controller ended a job's process (its row "99", or, taken over,
// left to the node that has it now).
enum class EndCause { kRunTime, kDatabaseLost, kServiceGone, kTakenOver, kCount };

// The upper bounds of the run-time histogram's buckets, in seconds.
inline constexpr std::array<int64_t, 12> kRunTimeBuckets = {
    1, 10, 60, 300, 600, 1800, 3600, 7200, 14400, 28800, 43200, 86400};

// What the controller counts from its start on; each counter only grows.
struct RunCounters {
  int64_t started = 0;  // the controller's start, seconds since 1970 (UTC)
  uint64_t passes = 0;
  std::map<std::string, uint64_t> starts;  // by run type
  uint64_t failed_starts = 0;
  uint64_t ended = 0;       // rows written "98"
  uint64_t terminated = 0;  // rows written "99"
  std::array<uint64_t, static_cast<size_t>(EndCause::kCount)> by_reason = {};
  uint64_t database_outages = 0;
  // Run times of ended jobs: how many fell in each bucket (not summed up;
  // the last one counts those over a day), their count and their sum.
  std::array<uint64_t, kRunTimeBuckets.size() + 1> run_time_buckets = {};
  uint64_t run_time_count = 0;
  uint64_t run_time_sum = 0;  // seconds

  // A job ended after run_seconds (negative when unknown: not counted).
  void AddRunTime(int64_t run_seconds);
};

// The word a reason has in the file and in kvsjobstat's metrics.
const char* EndCauseWord(EndCause reason);
// The upper bound of the run-time bucket b as the file and the metrics
// write it: its seconds, "+Inf" for the last.
std::string RunTimeBucketBound(size_t b);

struct PassState {
  PassOutcome outcome = PassOutcome::kComplete;
  std::string since;          // YYYYMMDDhhmmss: first pass with this outcome
  std::string last_complete;  // YYYYMMDDhhmmss, "" before the first
  RunCounters counters;
};

// The first line: "OK|DB|FAIL SINCE LAST" ("-" for a missing stamp). The
// counters follow, a line each: "NAME VALUE" or "NAME KEY VALUE".
std::string FormatPassState(const PassState& state);
// A state without counter lines (an older controller's) has them all 0;
// a counter line of a name it does not know is passed over.
bool ParsePassState(std::string_view text, PassState* state);

// Written anew beside the file and renamed over it, so a reader never
// sees half a line. false when it could not be written.
bool WritePassState(const std::string& name, const PassState& state);
// The state and the file's modification time (seconds since 1970, UTC);
// false when missing or unreadable.
bool ReadPassState(const std::string& name, PassState* state, int64_t* modified);
void RemovePassState(const std::string& name);

}  // namespace kvs
