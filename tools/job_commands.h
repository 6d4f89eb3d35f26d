// kvsjobstat's commands that put one job back, as an operator otherwise
// does by hand: retry (a failed start, used-up start attempts, a 00 that
// its run type never starts) and rerun (an ended job once more). What a
// command changes follows from the row's run type rule (jobs/run_types.h);
// the change is written only while the row is as it was read, printed,
// written to kvsjobstat's own log and posted to the message pool. The page
// asks the same rules for the command it shows beside a stuck job.
#pragma once

#include <cstdint>
#include <string>

#include "db/job_codes.h"
#include "db/session.h"
#include "diag/log_file.h"
#include "platform/platform.h"
#include "tools/job_status.h"
#include "tools/job_status_options.h"

namespace kvs {

// Posted to the message pool; %s is "JOBDA1/JOBKE2", its JOBKE2 cut
// (ending in "...") so that the text stays within kMaxPostedText.
inline constexpr char kMsgJobRetried[] =
    "Job %s vom Bediener fuer einen neuen Start zurueckgesetzt!";
inline constexpr char kMsgJobRerun[] = "Job %s vom Bediener fuer einen neuen Lauf zurueckgesetzt!";

// kvsjobstat's output (and its log) for a change: command, key, run type
// and the changes ("JOBSTS 90 -> leer, JOBSTV 3 -> 0").
inline constexpr char kOutJobChanged[] = "kvsjobstat %s: Job %s (Laufart %s) geaendert: %s\n";
inline constexpr char kOutJobDryRun[] =
    "kvsjobstat %s --dry-run: Job %s (Laufart %s) wuerde geaendert: %s\n%s\n";
inline constexpr char kOutChangeState[] = "JOBSTS %s -> %s";
inline constexpr char kOutChangeAttempts[] = ", JOBSTV %ld -> 0";
inline constexpr char kOutChangeNextRun[] = ", JOBNRT %s -> %s";
// A state or JOBNRT without a value (NULL, blanks, empty).
inline constexpr char kShownEmpty[] = "leer";

// Standard error, each followed by the exit code named.
// kCommandExitNoJob: command, key.
inline constexpr char kErrJobMissing[] = "kvsjobstat %s: Job %s nicht gefunden\n";
// kCommandExitRefused: command, key, run type, state, attempts, reason.
inline constexpr char kErrJobRefused[] =
    "kvsjobstat %s: Job %s (Laufart %s, Status %s, %ld Startversuche) %s: nichts geaendert\n";
inline constexpr char kRefusedRunning[] = "laeuft";
inline constexpr char kRefusedNotStarted[] = "wird vom Jobcontroller nicht gestartet";
inline constexpr char kRefusedNothingToRetry[] =
    "hat weder einen fehlgeschlagenen Start noch verbrauchte Startversuche";
inline constexpr char kRefusedWaiting[] = "wartet schon auf seinen Start";
inline constexpr char kRefusedStartFailed[] =
    "hat einen fehlgeschlagenen Start (90): dafuer ist retry da";
inline constexpr char kRefusedRestartsItself[] = "startet nach jedem Ende von selbst wieder";
inline constexpr char kRefusedRenewed[] =
    "wird nach jedem Lauf vom Jobcontroller geloescht und neu angelegt";
inline constexpr char kRefusedNotEnded[] = "ist nicht beendet (98 oder 99)";
// kCommandExitChangedMeanwhile: command, key, state and attempts as read.
inline constexpr char kErrJobChangedMeanwhile[] =
    "kvsjobstat %s: Job %s wurde seit dem Lesen geaendert oder geloescht (gelesen: Status %s, "
    "%ld Startversuche): nichts geaendert\n";
// kStatusExitQueryFailed: command, key, result code, SQLSTATE, message.
inline constexpr char kErrJobStatement[] =
    "kvsjobstat %s: Job %s: Anweisung fehlgeschlagen, RC %ld, SQLSTATE %s: %s\n";

// The row as a command reads it. Texts trailing blanks removed; NULL
// read as empty (JOBSTS) or 0 (JOBSTV).
struct CommandRow {
  std::string jobrty;
  std::string jobsts;
  int32_t jobstv = 0;
  std::string jobnrt = {};
};

// What a command does with a row: refused (reason one of the kRefused
// texts), or the state written, with JOBSTV set to 0 and JOBNRT set to
// now where said.
struct CommandChange {
  const char* refused = nullptr;
  JobState state = kStateBlank;
  bool reset_attempts = false;
  bool due_now = false;
};

// The change command makes to row, from its run type's rule. Never a
// running row; retry: "90", a used-up row of a run type that limits its
// attempts or sets a used-up waiting row to "90", a "00" of a run type
// that never starts one; rerun: "98" and "99" of a run type that runs a
// row once (again waiting) or plans it (due now; "97" too where rows rest
// outside their windows). The state written is the waiting state its
// selection takes: "00" where rows are planned, blank elsewhere.
CommandChange DecideCommand(StatusCommand command, const CommandRow& row);

// The command the page shows beside a stuck job ("kvsjobstat retry
// JOBDA1/JOBKE2", the key in double quotes when it holds a blank or a
// character a shell reads), "" when neither command changes it or the fix
// lies elsewhere (a calendar job's schedule row).
std::string CommandHint(const StatusJob& job);

// The pool's text for a change of the job jobda1/jobke2.
std::string CommandMessage(StatusCommand command, const std::string& jobda1,
                           const std::string& jobke2);

// ---- Statements -------------------------------------------------------------

// JOBRTY, JOBSTS, JOBSTV and JOBNRT of the row jobda1/jobke2. Empty for an
// unknown dialect.
SqlStatement TextReadCommandRow(Dialect dialect, const std::string& jobda1,
                                const std::string& jobke2);
// The change written to the row jobda1/jobke2 only while its state and
// attempts are still those of row; now (YYYYMMDDhhmmss) for a JOBNRT set
// to now. Empty for an unknown dialect.
SqlStatement TextCommandUpdate(Dialect dialect, const std::string& jobda1,
                               const std::string& jobke2, const CommandRow& row,
                               const CommandChange& change, const std::string& now);

// ---- The commands -----------------------------------------------------------

// Reads the row of options' key into *row: 0, 100 when there is none,
// else the failing result code.
[[nodiscard]] int ReadCommandRow(Session& session, const StatusOptions& options, CommandRow* row);
// The command of options on the row as read: decides, shows the statement
// (dry run) or writes it, and reports into *output and logs (the change)
// or into *error. A change is posted to the pool (its fallback file
// fallback_path). Returns the exit code: kStatusExitOk,
// kCommandExitRefused, kCommandExitChangedMeanwhile or
// kStatusExitQueryFailed.
int PutJobBack(Platform& platform, Session& session, Logs& logs, const std::string& fallback_path,
               const StatusOptions& options, const CommandRow& row, std::string* output,
               std::string* error);

// RunJobCommand and IsJobCommand, which kvsjobstat's main asks, are
// declared with the command line (job_status_options.h).

}  // namespace kvs
