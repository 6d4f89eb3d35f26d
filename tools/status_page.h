// kvsjobstat --serve: the status as a web page for operators, as JSON and
// as a health answer for monitors, each request with a look of its own at
// the controller and the database. Read-only. Rendering and answering are
// pure functions of a JobStatus; ServeStatusPage owns the HTTP server.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "tools/http/http_server.h"
#include "platform/platform.h"
#include "tools/job_status.h"

namespace kvs {

inline constexpr int kStatusExitServeFailed = 6;
inline constexpr int kPageRefreshSeconds = 5;
// Each statement of a request, and its connect, end after this long.
inline constexpr int kServeStatementTimeoutSeconds = 5;
inline constexpr char kServeDefaultAddress[] = "127.0.0.1";

inline constexpr char kErrServeValue[] =
    "kvsjobstat: --serve erwartet [ADRESSE:]PORT mit einem Port von 1 bis 65535\n";
inline constexpr char kErrServeCombined[] =
    "kvsjobstat: --serve geht nicht zusammen mit --json oder --watch\n";
inline constexpr char kErrServeBind[] =
    "kvsjobstat: Adresse %s Port %d nicht verfuegbar (belegt oder unbekannt)\n";
inline constexpr char kErrServeFailed[] = "kvsjobstat: Statusseite beendet, Empfang fehlgeschlagen\n";
inline constexpr char kServeListening[] =
    "kvsjobstat: Statusseite unter http://%s/, /status.json, /metrics, /health (Ende mit "
    "Strg+C)\n";
// The connect error of a served page: without the login name.
inline constexpr char kErrConnectServed[] =
    "Datenquelle '%s' nicht erreichbar oder Anmeldung abgelehnt";

// Page texts, Windows-1252 as every text of the suite.
inline constexpr char kPageVerdictOk[] = "Alles in Ordnung";
inline constexpr char kPageVerdictLook[] = "Bitte ansehen";
inline constexpr char kPageVerdictFault[] = "St\xF6rung";
inline constexpr char kPageStand[] = "Stand %s, Datenquelle %s";
inline constexpr char kPageRefresh[] = ", neu alle %d Sekunden";
inline constexpr char kPageDatabase[] = "Datenbank: %s";
inline constexpr char kPageStuckCount[] = "%ld Job(s) starten erst nach einem Eingriff wieder";
inline constexpr char kPageNearLimit[] = "%ld Job(s) nahe an ihrer maximalen Laufzeit";
inline constexpr char kPageNodesSilent[] =
    "%ld Knoten still: Statuszeile \xE4lter als KNOTENTIMEOUT";
inline constexpr char kPageFallback[] =
    "Ausweichdatei vorhanden: Meldungen, die der Nachrichten-Pool nicht annahm";
inline constexpr char kPageNotFound[] = "Nicht gefunden: /, /status.json, /metrics, /health\n";
inline constexpr char kMetricsContentType[] = "text/plain; version=0.0.4; charset=utf-8";

// ---- Address --------------------------------------------------------------

struct ServeAddress {
  std::string address = kServeDefaultAddress;
  int port = 0;
};

// "[ADDRESS:]PORT": an IPv6 address in brackets ("[::1]:8080"); port
// 1..65535. False when text is no such value.
bool ParseServeAddress(const std::string& text, ServeAddress* out);

// ---- Answers --------------------------------------------------------------

// A driver's message without the login name: every quoted name the
// message calls a user, login or principal, or that stands before "@" (an
// account 'name'@'host'), and, when login is given, every occurrence of it
// as a word, become "***". The page and the JSON show driver messages
// through it.
std::string HideLoginName(std::string_view text, std::string_view login = "");

// Whole-page state, for the colour and heading that say at one look
// whether all is well: a fault when the controller (with --node: that
// node) is not current or the database or a list could not be read; a
// look when jobs need someone, run near their limit, a node of the
// cluster is silent or the fallback file holds messages.
enum class PageVerdict { kOk, kLook, kFault };
PageVerdict JudgePage(const JobStatus& status, const CivilTime& now);

// The page, UTF-8: every value from the tables escaped; refreshed every
// kPageRefreshSeconds; no script, nothing loaded from elsewhere.
std::string RenderStatusPage(const JobStatus& status, const CivilTime& now,
                             const std::string& data_source, const std::string& run_type);

// The reading in the Prometheus text exposition format: the controller's
// health (0/1) and DYE's age, MAXJOBS, each node's status row age, running
// jobs and whether it is live (when there are nodes), and, when the lists
// were read, the jobs running, waiting, needing someone and ended in the
// last hour by run type (every run type of the pass, and any other the
// lists hold).
std::string RenderMetrics(const JobStatus& status, const CivilTime& now);

// One look at the controller and the database, as a frame of the text
// view takes it.
using StatusLook = std::function<void(JobStatus* status, CivilTime* now)>;

// --node: the nodes alone (nodes, nodes_read, watched_node), for a health
// answer, with the platform of the thread that answers.
using NodeLook = std::function<void(Platform& platform, JobStatus* status)>;

// The answer to a GET of path: "/" the page, "/status.json" the document
// of --json, "/metrics" RenderMetrics, "/health" 200 or 503 with the
// health line; 404 otherwise. All but "/health" read the database; their error texts go out
// through HideLoginName with login. With node_look (--node), "/health"
// tells that node's health (HealthText), 503 when its status row cannot
// be read; without, the local controller's, without the database.
HttpReply AnswerStatusRequest(Platform& platform, const std::string& path, const StatusLook& look,
                              const std::string& program_dir, const std::string& data_source,
                              const std::string& run_type, const std::string& login = "",
                              const NodeLook& node_look = {});

// Serves address (a ParseServeAddress value) until stop() is true. The
// listening line goes out through platform.Print, an error line to
// *error. "/health" is answered beside the page, never behind it, with a
// platform of its own (a Platform serves one thread). 0, or
// kStatusExitUsage, or kStatusExitServeFailed when the address cannot be
// bound or listening fails.
int ServeStatusPage(Platform& platform, const std::string& address, const StatusLook& look,
                    const std::string& program_dir, const std::string& data_source,
                    const std::string& run_type, std::string* error,
                    const std::function<bool()>& stop, const std::string& login = "",
                    const NodeLook& node_look = {});

}  // namespace kvs
