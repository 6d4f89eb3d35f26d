// The run types a pass starts, as one table in pass order: which rows the
// selection of each takes and its statement, what holds it back, what is
// passed to the launch, its heartbeat and its error lines. The start loop
// (job_starts.h) walks it; kvsjobstat builds its waiting and stuck lists
// from it.
#pragma once

#include <array>
#include <string>

#include "db/job_codes.h"
#include "db/job_table.h"
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
    "Start PGM: %s wartet als exklusiver Job, bis ausser RunType 04 und 09 kein Job mehr laeuft!\n";

// The states a run type's selection takes besides blank (NULL or two
// blanks).
enum class Takes {
  kBlank,    // none
  kPlanned,  // kStatePlanned ("00")
  kEnded,    // every state from kStateStartFailed ("90") up
};

// What a row waits for once its state is taken.
enum class Due {
  kAtOnce,
  kEarliestStart,  // JOBDLT, NULL at once, on the database server's clock
  kNextRun,        // JOBNRT, on the controller's clock; ordered by it
};

// The work of a pass that comes before the starts of a run type.
enum class Upkeep { kNone, kPortalCheck, kUpdate03, kReschedule07, kExpandDayEnd };

// Which rows a run type's selection takes. The controller's statement
// (TextNextJob) and kvsjobstat's waiting and stuck lists are both built
// from it.
struct Selection {
  Takes takes = Takes::kBlank;
  // Leaves out rows with more than kMaxStartAttempts start attempts.
  bool limits_attempts = false;
  Due due = Due::kAtOnce;
  // With Due::kNextRun: a row without JOBNRT is due; otherwise the upkeep
  // plans it first, so that a new time-plan row never starts outside its
  // window.
  bool unplanned_due = false;
  // A row whose JOBURV is in the running-job list waits (NULL never does);
  // the list holds every running job, or, when the start loop empties it
  // first (empties_running_list), only those started in this pass. The
  // exclusive run type's statement applies it only to a row with a JOBDLT,
  // as the suite has always had it.
  bool empties_running_list = false;
};

struct RunTypeRule {
  RunType run_type;
  Upkeep upkeep = Upkeep::kNone;
  Selection selection = {};
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
  // A selected row with more than kMaxStartAttempts start attempts is set
  // to "90".
  bool retires_used_up = false;
  // JOBSTV is passed to the launch; otherwise 0.
  bool passes_start_attempts = false;
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
// The same for a row's JOBRTY field.
const RunTypeRule* RuleOfField(const char* jobrty);
// Whether a running job of JOBRTY jobrty keeps an exclusive job waiting:
// every run type but those that run beside it, unknown ones included.
bool HoldsExclusive(const char* jobrty);

// The next-job selection of rule: its first row that the selection takes
// and running_list does not hold back, oldest first (by JOBNRT first where
// due at it). now is the local time as YYYYMMDDhhmmss. "" for a dialect
// without the statement (only the due-job statement of 03, 07 and 08 has
// one text for every dialect).
SqlStatement TextNextJob(const RunTypeRule& rule, Dialect dialect, const std::string& now,
                         const SqlList& running_list);
// Whether the selection takes row at now, the running-job list apart: the
// statement's condition on a row in memory (JOBDLT compared with now).
bool SelectionTakes(const RunTypeRule& rule, const JobRecord& row, const std::string& now);

}  // namespace kvs
