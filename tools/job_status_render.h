// kvsjobstat's text and JSON views of a JobStatus: pure functions.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "tools/job_status.h"

namespace kvs {

inline constexpr char kDatabaseLine[] = "Datenbank: %s\n\n";
inline constexpr char kListError[] = "  Fehler: %s\n";
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
inline constexpr char kReasonNeverPickedBlank[] = "Status 00: Laufart %s startet nur leer";
inline constexpr char kReasonNotDue[] = "f\xE4llig ab %s";
inline constexpr char kReasonMaxJobs[] = "MAXJOBS %s belegt";
inline constexpr char kMaxJobsInUse[] = "%ld von %ld";
inline constexpr char kReasonSameKey[] = "JOBURV %s: l\xE4uft noch als %s";
inline constexpr char kReasonExclusiveWaiting[] = "exklusiver Job %s wartet";
inline constexpr char kReasonWaitsForRunning[] = "exklusiv: wartet auf %s laufende Job(s)";
inline constexpr char kTitleEnded[] = "In den letzten 24 Stunden beendete Jobs";
inline constexpr char kTitleNext[] = "N\xE4" "chste L\xE4" "ufe";
inline constexpr char kEndedNormally[] = "beendet";
inline constexpr char kEndedTerminated[] = "vom Jobcontroller beendet";
inline constexpr char kEndedRunTime[] = "Laufzeit\xFC" "berschreitung (Max. %s)";
inline constexpr char kEndedDatabaseLost[] = "Datenbankverbindung unterbrochen";
inline constexpr char kEndedServiceGone[] = "Jobcontroller-Dienst antwortete nicht";
inline constexpr char kEndedStartFailed[] = "Start fehlgeschlagen (90)";
inline constexpr char kTitleNodes[] = "Knoten";
inline constexpr char kNodeLive[] = "lebt";
inline constexpr char kNodeDead[] = "still";
inline constexpr char kNodeLeft[] = "beendet";
inline constexpr char kNodeTakenOver[] =
    "still, Jobs \xFC"
    "bernommen";
inline constexpr char kStatusHeaderMaxJobs[] = "  MAXJOBS %ld, laufend %ld";
inline constexpr char kFallbackLine[] = "Ausweichdatei %s: %s\n";
inline constexpr char kFallbackPresent[] = "vorhanden, %ld Zeilen";
inline constexpr char kFallbackAbsent[] = "nicht vorhanden";

// ---- Formatting -----------------------------------------------------------

// Why a job waits or needs someone, "" for kNone.
std::string ReasonText(const StatusJob& job);
// When a waiting job starts: what holds it, its earliest start, or
// "sofort".
std::string StartText(const StatusJob& job);
// The head's "MAXJOBS n, laufend m"; "" when the running jobs could not
// be read.
std::string MaxJobsText(const JobStatus& status);
// How a job of the ended list ended.
std::string EndText(const StatusJob& job);
// The waiting jobs with a time of their own, soonest first.
std::vector<const StatusJob*> NextRuns(const JobStatus& status);
// A pool message as shown: its time once (the one its text carries, else
// MSGTIN) and its text without it.
void ShownMessage(const PoolMessage& m, std::string* time, std::string* text);
// A node's state as shown.
const char* NodeStateText(NodeState state);
// A node's status row age in seconds, "?" when unknown.
std::string NodeAgeText(const StatusNode& node);
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

// "YYYY-MM-DD hh:mm:ss" of t.
std::string LocalText(const CivilTime& t);
// Seconds from now to the local stamp (YYYYMMDDhhmmss); false when it is
// no such stamp.
bool StampLeft(const std::string& stamp, const CivilTime& now, int64_t* seconds);
// An ended job's run time from JOBSDA to JOBEDA, "-" when unknown.
std::string EndedRunTime(const StatusJob& job);

// The tables (or the database line) and the fallback line; now is the
// local time the run times are measured to. A stuck job shows the command
// that puts it back (CommandHint), "-" where none does. The health line
// and header come before it.
std::string FormatStatusText(const JobStatus& status, const CivilTime& now);
// One line: {"time", "controller", "errors", "running", "waiting",
// "stuck", "messages", "fallback", "max_jobs", "running_count", "ended",
// "next"}, then "nodes" when there are nodes and "node" with --node. A
// stuck job's "command" is its CommandHint, "" where none.
std::string FormatStatusJson(const JobStatus& status, const CivilTime& now);
// text as a JSON string with its quotes; bytes read as Windows-1252.
std::string JsonString(std::string_view text);
// Windows-1252 text in UTF-8, for a console that shows UTF-8.
std::string Utf8FromWindows1252(std::string_view text);

}  // namespace kvs
