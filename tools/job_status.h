// kvsjobstat's read-only view of the controller: whether it runs and is
// current (CheckController), the statements that find running, waiting
// and stuck jobs and the controller's latest pool messages, and the text
// and JSON forms of all that. Changes nothing in the database. Statement
// building, judging and formatting are pure functions; CheckController,
// ReadJobStatus, ReadFallbackFile, CollectStatus (all of them at once) and
// RunJobStatus are the parts that touch processes, the database and files,
// each callable by another front end.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "core/controller.h"
#include "db/session.h"
#include "platform/platform.h"

namespace kvs {

// Exit codes, as the usage text names them. A failed connect or query
// wins over the controller's state, which the output shows in any case.
inline constexpr int kStatusExitOk = 0;
inline constexpr int kStatusExitNotRunning = 1;
inline constexpr int kStatusExitUsage = 2;
inline constexpr int kStatusExitNoDataSource = 3;
inline constexpr int kStatusExitConnectFailed = 4;
inline constexpr int kStatusExitQueryFailed = 5;

inline constexpr char kStatusUsage[] =
    "Aufruf: kvsjobstat [--dir VERZEICHNIS] [--type NN] [--json] [--watch N]\n"
    "                  [--serve [ADRESSE:]PORT] [--help]\n"
    "Zeigt, ob der Jobcontroller laeuft, und seine Jobtabelle: laufende, wartende und\n"
    "haengende Jobs, die letzten Meldungen des Jobcontrollers im Nachrichten-Pool und\n"
    "die Ausweichdatei. Liest KVSJOBCTL.INI und die Verbindungsdatei wie der\n"
    "Jobcontroller; aendert nichts.\n"
    "  --dir D     Programmverzeichnis des Jobcontrollers (Vorgabe: das von kvsjobstat)\n"
    "  --type NN   nur Jobs der Laufart NN (zwei Ziffern, z. B. 01)\n"
    "  --json      ein JSON-Objekt je Anzeige statt der Tabellen\n"
    "  --watch N   alle N Sekunden (1..3600) neu anzeigen, Ende mit Strg+C\n"
    "  --serve [ADRESSE:]PORT  als Webseite (/), JSON (/status.json) und fuer Monitore\n"
    "              (/health: 200 oder 503) anbieten, auf 127.0.0.1 ohne ADRESSE\n"
    "  --help      diese Hilfe\n"
    "Exit-Code: 0 Jobcontroller laeuft und ist aktuell, 1 Jobcontroller laeuft nicht oder\n"
    "  haengt, 2 Aufruf falsch, 3 Verbindungsdatei fehlt oder ohne Datenquelle,\n"
    "  4 Verbindung zur Datenquelle fehlgeschlagen, 5 Abfrage fehlgeschlagen,\n"
    "  6 --serve: Adresse nicht verfuegbar.\n";

inline constexpr char kErrUnknownOption[] = "kvsjobstat: unbekannte Option '%s'\n";
inline constexpr char kErrTypeValue[] = "kvsjobstat: --type erwartet zwei Ziffern\n";
inline constexpr char kErrWatchValue[] = "kvsjobstat: --watch erwartet Sekunden von 1 bis 3600\n";
inline constexpr char kErrDirValue[] = "kvsjobstat: --dir erwartet ein Verzeichnis\n";
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
inline constexpr char kErrQuery[] = "Abfrage auf KVSYSTEM.%s fehlgeschlagen, SQLSTATE %s: %s";
inline constexpr char kErrQueryNoTable[] =
    "Abfrage auf KVSYSTEM.%s fehlgeschlagen (Tabelle fehlt), SQLSTATE %s: %s";

inline constexpr char kClearScreen[] = "\033[H\033[2J";
inline constexpr char kHealthRunning[] = "Jobcontroller laeuft (PID %lu), DYE vor %s aktualisiert";
inline constexpr char kHealthStale[] =
    "Jobcontroller haengt (PID %lu): DYE seit %s nicht aktualisiert";
inline constexpr char kHealthNoFlagFile[] =
    "Jobcontroller laeuft (PID %lu), aber ohne DYE: keine Datenbankverbindung oder noch im Start";
inline constexpr char kHealthNotRunning[] = "Jobcontroller laeuft nicht: kein Prozess %s";
inline constexpr char kHealthLeftover[] = ", DYE ist vom letzten Lauf uebrig";
inline constexpr char kDatabaseLine[] = "Datenbank: %s\n\n";
inline constexpr char kListError[] = "  Fehler: %s\n";
inline constexpr char kStatusHeader[] = "kvsjobstat  %s  Datenquelle %s";
inline constexpr char kStatusHeaderType[] = "  Laufart %s";
inline constexpr char kTitleRunning[] = "Laufende Jobs";
inline constexpr char kTitleWaiting[] = "Wartende Jobs";
inline constexpr char kTitleStuck[] = "Jobs, die erst nach einem Eingriff wieder starten";
inline constexpr char kTitleMessages[] = "Letzte Meldungen des Jobcontrollers";
inline constexpr char kStatusNone[] = "  (keine)\n";
inline constexpr char kStartAtOnce[] = "sofort";
inline constexpr char kReasonStartFailed[] = "Start fehlgeschlagen, %ld Startversuche";
inline constexpr char kReasonAttemptsUsedUp[] = "%ld Startversuche: ab 11 startet er nicht mehr";
inline constexpr char kReasonNeverPicked[] = "Status 00: Laufart %s startet nur leer oder ab 90";
// Windows-1252, as every text of the suite.
inline constexpr char kReasonOutsideWindow[] = "wartet auf das n\xE4" "chste Zeitfenster";
inline constexpr char kReasonScheduleGone[] = "Terminplan in KVS800SCD fehlt";
inline constexpr char kReasonScheduleEnded[] = "Terminplan endete am %s";
inline constexpr char kFallbackLine[] = "Ausweichdatei %s: %s\n";
inline constexpr char kFallbackPresent[] = "vorhanden, %ld Zeilen";
inline constexpr char kFallbackAbsent[] = "nicht vorhanden";
inline constexpr char kStatusLogFile[] = ".\\KVSJOBSTAT.LOG";

// ---- Options --------------------------------------------------------------

struct StatusOptions {
  std::string program_dir;  // "" for kvsjobstat's own directory
  std::string run_type;  // "" for every run type
  bool json = false;
  int32_t watch_seconds = 0;  // 0: show once
  std::string serve;  // "[ADDRESS:]PORT" of --serve, "" without
  bool help = false;
};

// The arguments after the program name. 0, or kStatusExitUsage with the
// error line in *error.
[[nodiscard]] int ParseStatusOptions(const std::vector<std::string>& args, StatusOptions* options,
                                     std::string* error);

// ---- The controller -------------------------------------------------------

// DYE older than this means a controller that no longer makes passes:
// it refreshes DYE once a minute.
inline constexpr int64_t kFlagFileStaleSeconds = 2 * kFlagRefreshSeconds;

enum class ControllerState {
  kRunning,     // its process runs and DYE is current
  kStale,       // its process runs, DYE has not been refreshed for too long
  kNoFlagFile,  // its process runs without DYE: not connected (yet)
  kNotRunning,  // no process of the controller from its program directory
};

struct ControllerHealth {
  ControllerState state = ControllerState::kNotRunning;
  uint32_t pid = 0;                // the controller's process, 0 when none
  bool flag_file = false;          // DYE exists
  int64_t flag_age_seconds = 0;    // since DYE's last refresh, when it exists
  std::string program;             // the executable looked for
};

// The state from what was found: a process (pid not 0), DYE and its age.
ControllerState JudgeController(uint32_t pid, bool flag_file, int64_t flag_age_seconds);
// Looks for a process of KVSJOBSTR (or KVSJOBSTR.exe) running from
// program_dir (with its trailing separator) and at DYE there, its age
// measured to platform.Now().
ControllerHealth CheckController(Platform& platform, const std::string& program_dir);
bool ControllerCurrent(const ControllerHealth& health);
// The first line of the text view, without its line end.
std::string FormatHealthText(const ControllerHealth& health);

// ---- Rows -----------------------------------------------------------------

enum class StatusSection { kRunning, kWaiting, kStuck, kMessages };

// Why a job waits, or will not start again until someone acts.
enum class StuckReason {
  kNone,
  kStartFailed,     // state 90 of 01, 05 and 07: never picked again
  kAttemptsUsedUp,  // 04 or 09 with 11 or more attempts, not running
  kNeverPicked,     // 04 or 09 in state 00, which their selection never takes
  kOutsideWindow,   // waiting: run type 03 in 97 until its next window
  kScheduleGone,    // run type 07 without its KVS800SCD row
  kScheduleEnded,   // run type 07 whose SCDBIS has passed
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
  // "" for at once); SCDBIS as YYYYMMDD for kScheduleEnded.
  std::string next;
  int32_t jobmrt = 0;  // seconds, 0 or less: no limit
  int32_t jobstv = 0;
  StuckReason reason = StuckReason::kNone;
};

struct PoolMessage {
  std::string msgtin;  // YYYYMMDDhhmmss
  std::string msgtxt;
};

struct FallbackFileState {
  bool exists = false;
  int64_t lines = 0;
};

// A list whose statement failed; the other lists are read all the same.
struct ListFailure {
  StatusSection section = StatusSection::kRunning;
  std::string text;  // kErrQuery or kErrQueryNoTable, filled in
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
  FallbackFileState fallback;
};

// ---- Statements -----------------------------------------------------------

// One job statement and where its rows go. Each selects, in this order,
// JOBRTY, JOBKE2, JOBDA1, JOBSTS, JOBNAM, JOBNUM, JOBSDA, the next-start
// column, JOBMRT, JOBSTV.
struct StatusQuery {
  StatusSection section = StatusSection::kRunning;
  StuckReason reason = StuckReason::kNone;
  const char* table = "KVS500JOB";  // named when the statement fails
  std::string text;
};

// The job statements for run_type ("" all) on the date today (YYYYMMDD),
// in the order they run: running, waiting by run type in the controller's
// order of a pass (05, 04, 01, 03 with the 97 ones after the planned ones,
// 07, 08, 09), stuck. Statements of other run types are left out, so a
// filter on 01 needs no schedule table.
std::vector<StatusQuery> StatusQueries(Dialect dialect, const std::string& run_type,
                                       const std::string& today);
// The controller's newest 10 pool messages (MSGTIN, MSGTXT), newest first.
std::string TextStatusMessages(Dialect dialect);

// ---- Reading --------------------------------------------------------------

// Runs the statements one after the other through the job-list cursor and
// fills the lists and messages of *status. The first failing statement of
// a list adds its ListFailure; the other statements still run. 0, or the
// first failing statement's result code.
[[nodiscard]] int ReadJobStatus(Session& session, const std::string& run_type,
                                const std::string& today, JobStatus* status);

// Whether the file at path exists and how many lines it holds (a last
// line without its line end counts).
FallbackFileState ReadFallbackFile(const std::string& path);

// ---- Formatting -----------------------------------------------------------

// Why a job waits or needs someone, "" for kNone.
std::string ReasonText(const StatusJob& job);
// When a waiting job starts: its reason, "sofort" or its earliest start.
std::string StartText(const StatusJob& job);
// A state or value as shown in a list: "-" for an empty one.
std::string OrDash(const std::string& s);

// "YYYY-MM-DD hh:mm:ss" of "YYYYMMDDhhmmss", "YYYY-MM-DD" of "YYYYMMDD";
// anything else as it is.
std::string FormatStamp(const std::string& stamp);
// h:mm:ss with as many hours as it takes; a leading '-' when negative.
std::string FormatDuration(int64_t seconds);
// Seconds from the local stamp jobsda (YYYYMMDDhhmmss) to now; false when
// jobsda is no such stamp. Local times on both sides, so a DST change in
// between is off by its hour.
bool RunSeconds(const std::string& jobsda, const CivilTime& now, int64_t* seconds);
// At or above 90 % of a positive maximum run time.
bool NearRunTimeLimit(int64_t run_seconds, int32_t jobmrt);

// Left-aligned columns (right-aligned where right says so), two blanks
// apart, a header line first, no trailing blanks.
std::string FormatTable(const std::vector<std::string>& headers, const std::vector<bool>& right,
                        const std::vector<std::vector<std::string>>& rows);

// Whether s holds digits only ("" does).
bool AllDigits(const std::string& s);

// "YYYY-MM-DD hh:mm:ss" of t.
std::string LocalText(const CivilTime& t);

// The tables (or the database line) and the fallback line; now is the
// local time the run times are measured to. The health line and header
// come before it.
std::string FormatStatusText(const JobStatus& status, const CivilTime& now);
// One line: {"time", "controller", "errors", "running", "waiting",
// "stuck", "messages", "fallback"}.
std::string FormatStatusJson(const JobStatus& status, const CivilTime& now);
// text as a JSON string with its quotes; bytes read as Windows-1252.
std::string JsonString(std::string_view text);
// Windows-1252 text in UTF-8, for a console that shows UTF-8.
std::string Utf8FromWindows1252(std::string_view text);

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
};

// Reads KVSJOBCTL.INI of the controller (beside the executable, or in
// options.program_dir; its directory becomes the working directory) and
// the connection file. kStatusExitOk, or kStatusExitUsage (no such
// directory) or kStatusExitNoDataSource with the error line in *error.
int LoadStatusSetup(Platform& platform, const StatusOptions& options, StatusSetup* setup,
                    std::string* error);
// One complete reading: the controller's health, the lists (connecting
// first when the session is not connected, and dropping the connection
// after a failed statement so the next reading connects anew) and the
// fallback file. Returns the exit code it amounts to: kStatusExitOk,
// kStatusExitNotRunning, kStatusExitConnectFailed or kStatusExitQueryFailed.
int CollectStatus(Platform& platform, Session& session, const StatusSetup& setup,
                  const CivilTime& now, JobStatus* status);

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
