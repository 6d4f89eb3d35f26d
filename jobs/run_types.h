// The run types a pass starts, as one table in pass order: how the next
// job of each is selected, what holds it back, what is passed to the
// launch, its heartbeat and its error lines. The start loop (job_starts.h)
// walks it; kvsjobstat reads it for the jobs it lists as waiting.
#pragma once

#include <array>
#include <string>

#include "db/job_codes.h"
#include "db/session.h"

namespace kvs {

inline constexpr char kErrSelect05[] = "Fehler bei der Ermittlung der Jobs mit RunType 05!\n";
inline constexpr char kErrStart05[] = "Fehler beim Starten der Jobs mit RunType 05!\n";
inline constexpr char kErrRunType04[] = "Fehler bei der Verarbeitung der Jobs mit RunType 04!\n";
inline constexpr char kErrRunType01[] = "Fehler bei der Verarbeitung der Jobs mit RunType 01!\n";
inline constexpr char kErrUpdate03[] = "Fehler bei der Aktualisierung der Jobs mit RunType 03!\n";
inline constexpr char kErrRunType03[] = "Fehler bei der Verarbeitung der Jobs mit RunType 03!\n";
inline constexpr char kErrRunType07[] = "Fehler bei der Verarbeitung der Jobs mit RunType 07!\n";
inline constexpr char kErrRunType08[] = "Fehler bei der Verarbeitung der Jobs mit RunType 08!\n";
inline constexpr char kErrRunType09[] = "Fehler bei der Verarbeitung der Jobs mit RunType 09!\n";
inline constexpr char kLogSelect05Failed[] =
    "SQLSelectKvs500Job05! Fehler SQLCode: %ld\n-   SQLState: %s\n-   SQLMsg: %s\n";
inline constexpr char kLogSelect04Failed[] =
    "SQLSelectKvs500Job04! Fehler SQLCode: %ld\n-   SQLState: %s\n-   SQLMsg: %s\n";
inline constexpr char kLogSelect01Failed[] =
    "SQLSelectKvs500Job01! Fehler SQLCode: %ld\n-   SQLState: %s\n-   SQLMsg: %s\n";
inline constexpr char kLogReadJobFailed[] =
    "SQLReadKvs500Job! RC: %ld\n-   SQLCode GetLastSQLError: %ld\n-   SQLState: %s\n-   "
    "SQLMsg: %s\n";
inline constexpr char kLogError07[] = "Fehler (07)\n";
inline constexpr char kLogTooManyAttempts[] =
    "Start PGM: %s nicht gestartet: mehr als 10 Startversuche! Status 90.\n";
inline constexpr char kLogRetireFailed[] =
    "Start PGM: %s Status 90 konnte nicht geschrieben werden! RC: %ld\n";
inline constexpr char kLogExclusiveWaits[] =
    "Start PGM: %s wartet als exklusiver Job, bis ausser RunType 04 und 09 kein Job mehr "
    "laeuft!\n";

// The states in which a run type's selection takes a row: blank (or
// NULL); blank or planned ("00") and due; blank or ended ("90" and up)
// with fewer than 11 start attempts.
enum class Waiting { kBlank, kPlanned, kRestartable };

// The work of a pass that comes before the starts of a run type.
enum class Upkeep { kNone, kPortalCheck, kUpdate03, kReschedule07, kExpandDayEnd };

// The next-job selection of a run type; now is the local time as
// YYYYMMDDhhmmss. "" for a dialect that has none.
using NextJobText = std::string (*)(Dialect dialect, const std::string& now,
                                    const SqlList& running_list);

struct RunTypeRule {
  RunType run_type;
  Upkeep upkeep = Upkeep::kNone;
  NextJobText next_job = nullptr;
  Waiting waiting = Waiting::kBlank;
  // A row in "90" is never selected or planned again.
  bool failed_start_final = false;
  // Rows rest in "97" outside their time plan's windows.
  bool rests_outside_window = false;
  // The exclusive run type: at most one job a pass, which holds back the
  // others while it waits for the running jobs to end.
  bool exclusive = false;
  // Not started while an exclusive job waits.
  bool held_by_exclusive = false;
  // Never ends by design (permanent and restart jobs): a running one does
  // not keep an exclusive job waiting.
  bool runs_beside_exclusive = false;
  // Started only while fewer than MAXJOBS jobs run.
  bool bounded_by_max_jobs = false;
  // A selected row with more than 10 start attempts is set to "90".
  bool retires_used_up = false;
  // JOBSTV is passed to the launch; otherwise 0.
  bool passes_start_attempts = false;
  // Only the JOBURV of jobs started in this pass hold a job back.
  bool own_pass_only = false;
  // Sent after each start; nullptr: none.
  const char* beat_label = nullptr;
  // A heartbeat that is not answered ends the pass (else only the starts).
  bool missed_beat_ends_pass = false;
  // The lines of a failed selection: first (nullptr: none), then failed
  // (with the result code when failed_names_rc), then select_error.
  const char* select_failed_first = nullptr;
  const char* select_failed = nullptr;
  bool select_failed_names_rc = false;
  const char* select_error = nullptr;
  // The error line when a started job's row cannot be written.
  const char* error = nullptr;
};

// 05, 04, 01, 03, 07, 08, 09: the order of the pass.
extern const std::array<RunTypeRule, 7> kRunTypeRules;

// The rule of run_type; nullptr for a run type the pass does not start.
const RunTypeRule* RuleOf(RunType run_type);

}  // namespace kvs
