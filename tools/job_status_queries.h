// kvsjobstat's statements on the job table and the pool, reading their
// rows into a JobStatus, and the fallback file. Changes nothing.
#pragma once

#include <string>
#include <vector>

#include "db/session.h"
#include "tools/job_status.h"

namespace kvs {

inline constexpr char kErrQuery[] = "Abfrage auf KVSYSTEM.%s fehlgeschlagen, SQLSTATE %s: %s";
inline constexpr char kErrQueryNoTable[] =
    "Abfrage auf KVSYSTEM.%s fehlgeschlagen (Tabelle fehlt), SQLSTATE %s: %s";

// ---- Statements -----------------------------------------------------------

// At most this many rows of the ended list (and of each of its two
// statements) and pool messages of the last day are read.
inline constexpr int32_t kEndedListLimit = 200;
inline constexpr int32_t kDayMessageLimit = 500;

// One job statement and where its rows go. Each selects, in this order,
// JOBRTY, JOBKE2, JOBDA1, JOBSTS, JOBNAM, JOBNUM, JOBSDA, the next-start
// column, JOBMRT, JOBSTV, JOBEDA, JOBURV, JOBCMD.
struct StatusQuery {
  StatusSection section = StatusSection::kRunning;
  StuckReason reason = StuckReason::kNone;
  const char* table = "KVS500JOB";  // named when the statement fails
  SqlStatement text;
};

// The job statements for run_type ("" all), in the order they run:
// running and waiting of every run type (what holds a job may be one of
// another type), waiting by run type in the controller's order of a pass
// (05, 04, 01, 03 with the 97 ones after the planned ones, 07, 08, 09;
// a 01 or 05 row with used-up attempts, which the pass sets to "90", is
// stuck instead), stuck, then the jobs ended since (YYYYMMDDhhmmss) and
// the newest failed starts, at most kEndedListLimit of each. The schedule
// statement is left out unless 07 is shown, so a filter on 01 needs no
// schedule table.
std::vector<StatusQuery> StatusQueries(Dialect dialect, const std::string& run_type,
                                       const std::string& since);
// The controller's newest 10 pool messages (MSGTIN, MSGTXT), newest first.
SqlStatement TextStatusMessages(Dialect dialect);
// The controller's pool messages since (YYYYMMDDhhmmss), newest first, at
// most kDayMessageLimit.
SqlStatement TextDayMessages(Dialect dialect, const std::string& since);

// ---- Reading --------------------------------------------------------------

// Runs the statements one after the other through the job-list cursor and
// fills the lists and messages of *status, with the reasons decided at now
// (YYYYMMDDhhmmss, local); the ended list goes back a day from now. The
// first failing statement of a list adds its ListFailure; the other
// statements still run. 0, or the first failing statement's result code.
[[nodiscard]] int ReadJobStatus(Session& session, const std::string& run_type,
                                const std::string& now, JobStatus* status);

// The nodes' status rows into status->nodes (by name, states judged
// against status->node_timeout_seconds on the server's clock, their
// running jobs counted from status->running) and nodes_read set. 0 or
// the failing result code.
[[nodiscard]] int ReadNodeList(Session& session, JobStatus* status);

// Whether the file at path exists and how many lines it holds (a last
// line without its line end counts).
FallbackFileState ReadFallbackFile(const std::string& path);

}  // namespace kvs
