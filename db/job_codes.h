// Run types and job states of the job table: typed two-character codes,
// so a state never stands where a run type belongs. They become text only
// where a statement is built or a row field is written.
#pragma once

#include <cstdint>
#include <cstring>

#include "diag/text.h"

namespace kvs {

template <typename Kind>
class JobCode {
 public:
  consteval explicit JobCode(const char (&code)[3]) : code_{code[0], code[1], '\0'} {}
  constexpr const char* text() const { return code_; }
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

// Waiting to be selected (also NULL and empty).
inline constexpr JobState kStateBlank{"  "};
// Planned: waits for its JOBNRT.
inline constexpr JobState kStatePlanned{"00"};
inline constexpr JobState kStateRunning{"01"};
inline constexpr JobState kStateStartFailed{"90"};
inline constexpr JobState kStateOutsideWindow{"97"};
inline constexpr JobState kStateEnded{"98"};
inline constexpr JobState kStateTerminated{"99"};

// The suite's programs read a state by its numeric value: its leading
// digits after blanks ("00", two blanks and empty are 0). A band holds the
// states whose value lies between its two codes' values, both included.
class StateBand {
 public:
  constexpr StateBand(JobState low, JobState high)
      : low_(ValueOf(low.text())), high_(ValueOf(high.text())) {}
  // The states of the one value of state.
  constexpr explicit StateBand(JobState state) : StateBand(state, state) {}
  // The field read as the suite's programs read numbers (LeadingInt).
  bool Holds(const char* jobsts) const {
    const int32_t value = LeadingInt(jobsts);
    return value >= low_ && value <= high_;
  }

 private:
  // A code is two digits.
  static constexpr int32_t ValueOf(const char* code) {
    return (code[0] - '0') * 10 + code[1] - '0';
  }
  int32_t low_;
  int32_t high_;
};

// "01" to "10": running; the updates of the run types leave the row alone.
inline constexpr StateBand kStatesRunning{kStateRunning, JobState{"10"}};
// "90" to "99": ended, a failed start included; the next run is computed.
inline constexpr StateBand kStatesEnded{kStateStartFailed, JobState{"99"}};
// Above "90": ended by a run (a failed start apart).
inline constexpr StateBand kStatesEndedByRun{JobState{"91"}, JobState{"99"}};
// Above "10": the run is over, ended or failed.
inline constexpr StateBand kStatesOver{JobState{"11"}, JobState{"99"}};

// A row with more than this many start attempts is used up: the launch
// refuses it, the selections that start rows again leave it out, and one
// selected all the same is set to "90".
inline constexpr int32_t kMaxStartAttempts = 10;

}  // namespace kvs
