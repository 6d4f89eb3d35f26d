// kvsjobstat's read-only view of the controller: whether it runs and is
// current (CheckController), what a reading holds (JobStatus), where it is
// read from (LoadStatusSetup), one complete reading (CollectStatus) and
// the tool itself (RunJobStatus). The statements are in
// job_status_queries.h, the text and JSON views in job_status_render.h,
// the command line in job_status_options.h.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/config.h"
#include "db/session.h"
#include "diag/flag_file.h"
#include "diag/pass_state.h"
#include "platform/platform.h"
#include "tools/job_status_options.h"

namespace kvs {

inline constexpr char kErrConnectionFile[] =
    "kvsjobstat: Verbindungsdatei '%s' fehlt oder ist nicht lesbar\n";
inline constexpr char kErrNoDataSource[] =
    "kvsjobstat: Verbindungsdatei '%s' nennt keine Datenquelle (DATABASE)\n";
inline constexpr char kErrDbSystem[] =
    "kvsjobstat: DB_SYSTEM '%s' in der Verbindungsdatei ist weder MSSQL noch MYSQL\n";
inline constexpr char kErrParamTooLong[] =
    "kvsjobstat: %s in der Verbindungsdatei ist laenger als 23 Zeichen\n";
// The prefix of every error line on standard error.
inline constexpr char kErrPrefix[] = "kvsjobstat: ";
inline constexpr char kErrConnect[] =
    "Datenquelle '%s' nicht erreichbar oder Anmeldung als '%s' abgelehnt";
inline constexpr char kClearScreen[] = "\033[H\033[2J";
inline constexpr char kHealthRunning[] = "Jobcontroller laeuft (PID %lu), DYE vor %s aktualisiert";
inline constexpr char kHealthStale[] =
    "Jobcontroller haengt (PID %lu): DYE seit %s nicht aktualisiert";
inline constexpr char kHealthNoFlagFile[] =
    "Jobcontroller laeuft (PID %lu), aber ohne DYE: vor der ersten Datenbankverbindung, beim "
    "Beenden, oder DYE wurde geloescht";
inline constexpr char kHealthNoPass[] =
    "Jobcontroller laeuft (PID %lu), aber ohne Durchlauf in den letzten %s";
inline constexpr char kHealthDatabaseDown[] =
    "Jobcontroller laeuft (PID %lu), aber Datenbank nicht erreichbar seit %s: alle Jobs beendet";
inline constexpr char kHealthReloadFailing[] =
    "Jobcontroller laeuft (PID %lu), aber seine Durchlaeufe scheitern seit %s: laufende Jobs "
    "nicht geladen";
inline constexpr char kHealthNotRunning[] = "Jobcontroller laeuft nicht: kein Prozess %s";
inline constexpr char kHealthLeftover[] = ", DYE ist vom letzten Lauf uebrig";
inline constexpr char kNodeHealthLive[] = "Knoten %s laeuft, Statuszeile vor %s geschrieben";
inline constexpr char kNodeHealthDead[] =
    "Knoten %s laeuft nicht: Statuszeile seit %s nicht geschrieben (KNOTENTIMEOUT %ld s)";
inline constexpr char kNodeHealthTakenOver[] =
    "Knoten %s laeuft nicht: Statuszeile seit %s nicht geschrieben, seine Jobs wurden "
    "uebernommen";
inline constexpr char kNodeHealthLeft[] = "Knoten %s laeuft nicht: vor %s ordentlich beendet";
inline constexpr char kNodeHealthAbsent[] =
    "Knoten %s unbekannt: keine Statuszeile in der Jobtabelle";
inline constexpr char kNodeHealthUnread[] = "Knoten %s unbekannt: Statuszeilen nicht lesbar";
inline constexpr char kStatusHeader[] = "kvsjobstat  %s  Datenquelle %s";
inline constexpr char kStatusHeaderType[] = "  Laufart %s";
inline constexpr char kStatusLogFile[] = ".\\KVSJOBSTAT.LOG";

// ---- The controller -------------------------------------------------------

// DYE older than this means a controller that no longer makes passes:
// it refreshes DYE once a minute.
inline constexpr int64_t kFlagFileStaleSeconds = 2 * kFlagRefreshSeconds;

enum class ControllerState {
  kRunning,       // its process runs, DYE is current and its passes complete
  kStale,         // its process runs, DYE has not been refreshed for too long
  kNoFlagFile,    // its process runs without DYE: not connected (yet)
  kNotRunning,    // no process of the controller from its program directory
  kNoPass,        // no pass state written recently: none completed yet
  kDatabaseDown,  // its passes find the database unreachable
  kReloadFailing, // its passes cannot reload the running jobs
};

struct ControllerHealth {
  ControllerState state = ControllerState::kNotRunning;
  uint32_t pid = 0;                // the controller's process, 0 when none
  bool flag_file = false;          // DYE exists
  int64_t flag_age_seconds = 0;    // since DYE's last refresh, when it exists
  bool pass_known = false;         // the pass state file was read
  PassState pass;                  // its content, when known
  int64_t pass_age_seconds = 0;    // since it was written, when known
  std::string program;             // the executable looked for
};

// The state from what was found: a process (pid not 0), DYE and its age,
// the pass state and its age. Current only while the passes complete.
ControllerState JudgeController(const ControllerHealth& health);
// Looks for a process of KVSJOBSTR (or KVSJOBSTR.exe) running from
// program_dir (with its trailing separator) and at DYE there, its age
// measured to platform.Now().
ControllerHealth CheckController(Platform& platform, const std::string& program_dir);
bool ControllerCurrent(const ControllerHealth& health);
// The first line of the text view, without its line end.
std::string FormatHealthText(const ControllerHealth& health);

// ---- Rows -----------------------------------------------------------------

enum class StatusSection { kRunning, kWaiting, kStuck, kMessages, kEnded, kNodes };

// Why a job waits, or will not start again until someone acts.
enum class StuckReason {
  kNone,
  kStartFailed,     // state 90 of 01, 05 and 07: never picked again
  kAttemptsUsedUp,  // 04 or 09 with 11 or more attempts, not running; 01 or 05
                    // waiting with them, which the pass sets to 90
  kNeverPicked,     // 04 or 09 in state 00, which their selection never takes
  kOutsideWindow,   // waiting: run type 03 in 97 until its next window
  kScheduleGone,    // run type 07 without its KVS800SCD row
  // Waiting, decided by DecideWaitReasons:
  kNotDue,          // its JOBDLT or JOBNRT has not come
  kMaxJobs,         // 01: MAXJOBS jobs run, those the pass starts before it counted
  kSameKey,         // a running job, or one the pass starts before it, has the same
                    // JOBURV (holder: its program)
  kExclusiveWaiting,  // an exclusive job (holder: its JOBKE2) waits for the running jobs
  kWaitsForRunning,   // the exclusive job itself: holder jobs run besides 04 and 09
};

// How a job of the ended list ended, as far as its row and the
// controller's pool messages tell.
enum class EndReason {
  kEnded,          // 98: its process is gone
  kTerminated,     // 99, and nothing tells why
  kRunTimeLimit,   // 99 after JOBMRT seconds or more, by its own JOBSDA and JOBEDA
  kDatabaseLost,   // 99 right after the pool's "database lost" message
  kServiceGone,    // 99 right after the pool's "service not answering" message
  kStartFailed,    // 90: its start failed (the time is its pool message's)
};

// One job row. Texts as stored, trailing blanks removed.
struct StatusJob {
  std::string jobrty;
  std::string jobke2;
  std::string jobda1;
  std::string jobsts;
  std::string jobnam;
  std::string jobnum;
  std::string jobsda;
  // Earliest start of a waiting job (JOBDLT of 05, JOBNRT of 03/07/08,
  // "" for at once).
  std::string next;
  int32_t jobmrt = 0;  // seconds, 0 or less: no limit
  int32_t jobstv = 0;
  StuckReason reason = StuckReason::kNone;
  std::string jobeda = {};
  std::string joburv = {};
  std::string jobcmd = {};
  std::string jobusr = {};  // the node that started it, "" for the only controller
  // What holds a waiting job: the program of the job with its JOBURV
  // (kSameKey: a running job's JOBNAM, for one the pass starts first the
  // program of its command), the exclusive job's JOBKE2
  // (kExclusiveWaiting), "n von m" (kMaxJobs), or the number of jobs the
  // exclusive job waits for (kWaitsForRunning).
  std::string holder = {};
  // The ended list: how it ended and when (JOBEDA, or the pool message's
  // time for a failed start).
  EndReason end = EndReason::kEnded;
  std::string ended_at = {};
};

struct PoolMessage {
  std::string msgtin;  // YYYYMMDDhhmmss
  std::string msgtxt;
};

// A posted text carries its own time in front ("DD.MM.YYYY hh:mm:ss "):
// that time (as YYYYMMDDhhmmss) and the text after it. False, and both
// untouched, for a text without one.
bool SplitStampedText(const std::string& msgtxt, std::string* stamp, std::string* text);

struct FallbackFileState {
  bool exists = false;
  int64_t lines = 0;
};

// A list whose statement failed; the other lists are read all the same.
struct ListFailure {
  StatusSection section = StatusSection::kRunning;
  std::string text;  // kErrQuery or kErrQueryNoTable, filled in
};

// ---- Nodes ------------------------------------------------------------------

enum class NodeState {
  kLive,       // its status row is younger than KNOTENTIMEOUT
  kDead,       // silent past KNOTENTIMEOUT, its jobs not taken over (yet)
  kTakenOver,  // silent, and a live node has set its running jobs to "99"
  kLeft,       // stopped orderly, its jobs ended
};

// One node of a cluster, as its status row tells.
struct StatusNode {
  std::string name;
  std::string jobsda;        // its status row's time, UTC
  int64_t age_seconds = -1;  // of its status row by the server's clock, -1 unknown
  int64_t running = 0;       // its rows in state 01, run type 06 left out
  NodeState state = NodeState::kLive;
};

struct JobStatus {
  ControllerHealth controller;
  // Set when there was no database connection; then no list was read.
  std::string database_error;
  std::vector<ListFailure> failures;
  std::vector<StatusJob> running;
  std::vector<StatusJob> waiting;  // in the order the controller starts them
  std::vector<StatusJob> stuck;
  std::vector<PoolMessage> messages;  // newest first
  // Ended in the last 24 hours, newest first.
  std::vector<StatusJob> ended;
  FallbackFileState fallback;
  // MAXJOBS of the controller's INI, and the jobs running as its pass
  // counts them (state 01, run type 06 left out, whatever --type shows;
  // with KNOTEN only the rows of that node).
  int32_t max_jobs = 0;
  int64_t running_count = 0;
  std::string own_node = {};  // KNOTEN of the controller's INI
  std::string db_system = {};  // DB_SYSTEM of the connection file
  // The nodes of a cluster by name; empty for a single controller.
  // nodes_read: their status rows were read.
  std::vector<StatusNode> nodes = {};
  bool nodes_read = false;
  int32_t node_timeout_seconds =
      kDefaultNodeTimeoutSeconds;  // KNOTENTIMEOUT, as the controller reads it
  // --node: the node whose health counts instead of the local controller's.
  std::string watched_node = {};
};

// The node of status->nodes named name, compared as the controller
// compares node names; nullptr when there is none.
const StatusNode* FindNode(const JobStatus& status, const std::string& name);
// Whether what counts is healthy: the local controller current, or with
// watched_node that node live.
bool StatusHealthy(const JobStatus& status);
// The first line of the text view, without its line end: the local
// controller's (FormatHealthText), or with watched_node that node's.
std::string HealthText(const JobStatus& status);

// Why each waiting job waits, as the controller's pass would find it at
// now (YYYYMMDDhhmmss): walks the waiting jobs run type by run type in the
// pass's order with the run types' start rules, given all running jobs and
// MAXJOBS. Each job the walk finds free to start counts as started from
// there on, as the pass's launch counts it: it takes a place of MAXJOBS,
// adds its JOBURV to the running-job list (which the run types that empty
// it first forget) and, running, keeps an exclusive job after it waiting.
// Sets reason and holder of status->waiting; the 97 rows keep theirs.
void DecideWaitReasons(JobStatus* status, const std::string& now);
// How each job of the ended list ended, from what identifies its run: its
// state, JOBMRT and its run time from JOBSDA to JOBEDA. A 99 without a
// run-time end is put down to the pool's message that the controller
// ended all jobs (database lost, service not answering) posted within 5
// minutes before JOBEDA. A failed start's time is its pool message's
// ("Der Job %s konnte nicht gestartet werden!", naming only the command
// line): the messages of one command line go newest first, one each, to
// its failed rows in the reverse of the order the pass tries them (run
// type, JOBDA1, JOBKE2). day: the controller's pool messages of the last
// day (stamped texts, any order). Sets end and ended_at; a failed start
// left without a message is dropped, since nothing tells when it failed.
void DecideEndReasons(std::vector<StatusJob>* ended, const std::vector<PoolMessage>& day);

// ---- The tool -------------------------------------------------------------

// What the status is read from, as the controller of one program
// directory has it configured.
struct StatusSetup {
  std::string program_dir;  // with its trailing separator
  std::string run_type;     // "" for every run type
  Credentials credentials;
  std::string db_system;
  std::string log_path;  // the tool's own log, for the session's lines
  int64_t log_size_limit = 0;
  std::string fallback_path;
  int32_t max_jobs = 0;  // MAXJOBS, as the controller reads it
  std::string own_node;  // KNOTEN, as the controller reads it
  int32_t node_timeout_seconds =
      kDefaultNodeTimeoutSeconds;  // KNOTENTIMEOUT, as the controller reads it
  std::string node;                // --node, "" for the local controller
};

// Reads KVSJOBCTL.INI of the controller (beside the executable, or in
// options.program_dir; its directory becomes the working directory) and
// the connection file. kStatusExitOk, or kStatusExitUsage (no such
// directory) or kStatusExitNoDataSource with the error line in *error.
int LoadStatusSetup(Platform& platform, const StatusOptions& options, StatusSetup* setup,
                    std::string* error);
// How every use of kvsjobstat begins: the options (the usage text added to
// *error when they are wrong), --help (printed, *done set), then the
// setup. kStatusExitOk with *done false when the caller goes on.
int BeginStatusTool(Platform& platform, const std::vector<std::string>& args, std::string* error,
                    StatusOptions* options, StatusSetup* setup, bool* done);
// One complete reading: the controller's health, the lists (connecting
// first when the session is not connected, and dropping the connection
// after a failed statement so the next reading connects anew) and the
// fallback file. Returns the exit code it amounts to: kStatusExitOk,
// kStatusExitNotRunning, kStatusExitConnectFailed or kStatusExitQueryFailed.
int CollectStatus(Platform& platform, Session& session, const StatusSetup& setup,
                  const CivilTime& now, JobStatus* status);
// The nodes alone, for a health answer of --node: connects first when the
// session is not connected and drops the connection after a failed
// statement. kStatusExitOk, kStatusExitNotRunning (the node not live),
// kStatusExitConnectFailed or kStatusExitQueryFailed.
int CollectNodes(Session& session, const StatusSetup& setup, JobStatus* status);

// kvsjobstat with its arguments after the program name: reads KVSJOBCTL.INI
// beside the executable (which makes its directory the working directory)
// and the connection file, connects and shows the status through
// platform.Print. An error line, followed by the usage after a usage error,
// is appended to *error. With --watch, shows it anew until stop() is true;
// a lost connection or a failing list shows in the frame, and the next
// frame connects anew. utf8_console: the text view is converted from
// Windows-1252. Returns the exit code of the last frame.
int RunJobStatus(Platform& platform, const std::vector<std::string>& args, std::string* error,
                 const std::function<bool()>& stop, bool utf8_console = false);

}  // namespace kvs
