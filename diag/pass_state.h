// The controller's pass state file beside DYE: whether its passes complete
// (database reachable, running jobs reloaded and supervised), since when
// that holds, and when the last complete pass was. The controller writes
// it when the state changes and once a minute; kvsjobstat reads it. DYE
// keeps its own meaning (present while connected) untouched.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kvs {

inline constexpr char kPassStateFileName[] = "KVSJOBSTR.STA";

enum class PassOutcome {
  kComplete,      // database reachable, running jobs reloaded and supervised
  kDatabaseDown,  // the liveness check failed: every job was ended
  kReloadFailed,  // the running jobs could not be reloaded: none supervised
};

struct PassState {
  PassOutcome outcome = PassOutcome::kComplete;
  std::string since;          // YYYYMMDDhhmmss: first pass with this outcome
  std::string last_complete;  // YYYYMMDDhhmmss, "" before the first
};

// One line: "OK|DB|FAIL SINCE LAST" ("-" for a missing stamp).
std::string FormatPassState(const PassState& state);
bool ParsePassState(std::string_view text, PassState* state);

// Written anew beside the file and renamed over it, so a reader never
// sees half a line. false when it could not be written.
bool WritePassState(const std::string& name, const PassState& state);
// The state and the file's modification time (seconds since 1970, UTC);
// false when missing or unreadable.
bool ReadPassState(const std::string& name, PassState* state, int64_t* modified);
void RemovePassState(const std::string& name);

}  // namespace kvs
