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
inline constexpr char kReasonScheduleEnded[] = "Terminplan endete am %s";
inline constexpr char kFallbackLine[] = "Ausweichdatei %s: %s\n";
inline constexpr char kFallbackPresent[] = "vorhanden, %ld Zeilen";
inline constexpr char kFallbackAbsent[] = "nicht vorhanden";

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

}  // namespace kvs
