// Run types and job states of the job table: typed two-character codes,
// so a state never stands where a run type belongs. They become text only
// where a statement is built or a row field is written.
#pragma once

#include <cstdint>
#include <cstring>

namespace kvs {

template <typename Kind>
class JobCode {
 public:
  consteval explicit JobCode(const char (&code)[3]) : code_{code[0], code[1], '\0'} {}
  const char* text() const { return code_; }
  // Whether a row field holds this code.
  bool In(const char* field) const { return std::strcmp(field, code_) == 0; }
  // Whether a row field holds this code or one above it in text order, as
  // the database compares them.
  bool AtOrBelow(const char* field) const { return std::strcmp(code_, field) <= 0; }
  friend bool operator==(const JobCode&, const JobCode&) = default;

 private:
  char code_[3];
};

using RunType = JobCode<struct RunTypeKind>;
using JobState = JobCode<struct JobStateKind>;

inline constexpr RunType kRunTypeQueue{"01"};
inline constexpr RunType kRunTypePeriodic{"03"};
inline constexpr RunType kRunTypePermanent{"04"};
inline constexpr RunType kRunTypeExclusive{"05"};
// Never started by the controller, nor loaded as running.
inline constexpr RunType kRunTypeNeverStarted{"06"};
inline constexpr RunType kRunTypeCalendar{"07"};
inline constexpr RunType kRunTypeDayEnd{"08"};
inline constexpr RunType kRunTypeRestart{"09"};
inline constexpr RunType kRunTypeStatus{"99"};

// Planned: waits for its JOBNRT.
inline constexpr JobState kStatePlanned{"00"};
inline constexpr JobState kStateRunning{"01"};
inline constexpr JobState kStateStartFailed{"90"};
inline constexpr JobState kStateOutsideWindow{"97"};
inline constexpr JobState kStateEnded{"98"};
inline constexpr JobState kStateTerminated{"99"};

// A row with more than this many start attempts is used up: the launch
// refuses it, the selections that start rows again leave it out, and one
// selected all the same is set to "90".
inline constexpr int32_t kMaxStartAttempts = 10;

}  // namespace kvs
