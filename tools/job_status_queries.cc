// kvsjobstat: the statements on the job table and the pool, reading
// them, and the fallback file.
#include "tools/job_status_queries.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "diag/text.h"
#include "jobs/run_types.h"

namespace kvs {

namespace {

constexpr char kControllerSource[] = "KVSJOBSTR";

constexpr char kColumns[] =
    "SELECT j.JOBRTY, j.JOBKE2, j.JOBDA1, j.JOBSTS, j.JOBNAM, j.JOBNUM, j.JOBSDA, ";
constexpr char kCounts[] = ", COALESCE(j.JOBMRT, 0), COALESCE(j.JOBSTV, 0) ";
constexpr char kFromJobs[] = "FROM KVSYSTEM.KVS500JOB j WHERE ";
constexpr char kDelayedStart[] = "COALESCE(j.JOBDLT, '')";
constexpr char kNextRun[] = "COALESCE(j.JOBNRT, '')";
constexpr char kByCreation[] = "j.JOBDA1, j.JOBKE2";
constexpr char kByNextRun[] = "j.JOBNRT, j.JOBDA1, j.JOBKE2";

std::string Quoted(const std::string& value) { return "'" + SqlQuote(value) + "'"; }
template <typename Kind>
std::string Quoted(JobCode<Kind> code) {
  return Quoted(std::string(code.text()));
}
std::string FromJobs(const std::string& where) { return kFromJobs + where; }

std::string TypeFilter(const std::string& run_type) {
  return run_type.empty() ? "" : " AND j.JOBRTY = " + Quoted(run_type);
}

bool Wanted(const std::string& run_type, RunType rule_type) {
  return run_type.empty() || run_type == rule_type.text();
}

// The job-table condition of the rows a run type's selection takes, its
// time and the running jobs apart.
std::string TakenByRule(const Selection& selection) {
  std::string taken = "(j.JOBSTS IS NULL OR j.JOBSTS = '  '";
  switch (selection.takes) {
    case Takes::kBlank:
      break;
    case Takes::kPlanned:
      taken += " OR j.JOBSTS = " + Quoted(kStatePlanned);
      break;
    case Takes::kEnded:
      taken += " OR j.JOBSTS >= " + Quoted(kStateStartFailed);
      break;
  }
  taken += ")";
  if (selection.limits_attempts) {
    taken += " AND j.JOBSTV <= " + std::to_string(kMaxStartAttempts);
  }
  return taken;
}

// "'01', '05'": the run types of the table that have, in code order.
std::string RunTypesWhere(bool (*has)(const RunTypeRule&)) {
  std::vector<std::string> codes;
  for (const RunTypeRule& rule : kRunTypeRules) {
    if (has(rule)) codes.push_back(rule.run_type.text());
  }
  std::sort(codes.begin(), codes.end());
  std::string list;
  for (const std::string& code : codes) list += (list.empty() ? "'" : ", '") + code + "'";
  return list;
}

std::string JobSelect(const std::string& next, const std::string& from_where) {
  return kColumns + next + kCounts + from_where;
}

// Reads the cursor's rows into *out. 0 or the failing result code.
int FetchJobs(Session& session, const StatusQuery& query, std::vector<StatusJob>* out) {
  int rc = session.OpenCursor(CursorSlot::kJobList, query.text);
  if (rc != 0) return rc;
  struct {
    char jobrty[3], jobke2[33], jobda1[15], jobsts[3], jobnam[65], jobnum[9], jobsda[15], next[15];
    int32_t jobmrt, jobstv;
  } row;
  const std::vector<ColumnBinding> columns = {ColumnBinding::Text(row.jobrty, sizeof row.jobrty),
                                              ColumnBinding::Text(row.jobke2, sizeof row.jobke2),
                                              ColumnBinding::Text(row.jobda1, sizeof row.jobda1),
                                              ColumnBinding::Text(row.jobsts, sizeof row.jobsts),
                                              ColumnBinding::Text(row.jobnam, sizeof row.jobnam),
                                              ColumnBinding::Text(row.jobnum, sizeof row.jobnum),
                                              ColumnBinding::Text(row.jobsda, sizeof row.jobsda),
                                              ColumnBinding::Text(row.next, sizeof row.next),
                                              ColumnBinding::Long(&row.jobmrt),
                                              ColumnBinding::Long(&row.jobstv)};
  while ((rc = session.FetchCursor(CursorSlot::kJobList, columns)) == 0) {
    StatusJob job;
    job.jobrty = RightTrimInPlace(row.jobrty);
    job.jobke2 = RightTrimInPlace(row.jobke2);
    job.jobda1 = RightTrimInPlace(row.jobda1);
    job.jobsts = RightTrimInPlace(row.jobsts);
    job.jobnam = RightTrimInPlace(row.jobnam);
    job.jobnum = RightTrimInPlace(row.jobnum);
    job.jobsda = RightTrimInPlace(row.jobsda);
    job.next = RightTrimInPlace(row.next);
    job.jobmrt = row.jobmrt;
    job.jobstv = row.jobstv;
    job.reason = query.reason;
    // The schedule join finds both kinds; only an existing row has an end date.
    if (job.reason == StuckReason::kScheduleGone && !job.next.empty()) {
      job.reason = StuckReason::kScheduleEnded;
    }
    out->push_back(job);
  }
  session.CloseCursor(CursorSlot::kJobList);
  return rc == 100 ? 0 : rc;
}

int FetchMessages(Session& session, Dialect dialect, std::vector<PoolMessage>* out) {
  int rc = session.OpenCursor(CursorSlot::kJobList, TextStatusMessages(dialect));
  if (rc != 0) return rc;
  char msgtin[15];
  char msgtxt[251];
  const std::vector<ColumnBinding> columns = {ColumnBinding::Text(msgtin, sizeof msgtin),
                                              ColumnBinding::Text(msgtxt, sizeof msgtxt)};
  while ((rc = session.FetchCursor(CursorSlot::kJobList, columns)) == 0) {
    out->push_back({RightTrimInPlace(msgtin), RightTrimInPlace(msgtxt)});
  }
  session.CloseCursor(CursorSlot::kJobList);
  return rc == 100 ? 0 : rc;
}

}  // namespace

// ---- Statements ---------------------------------------------------------------

std::vector<StatusQuery> StatusQueries(Dialect dialect, const std::string& run_type,
                                       const std::string& today) {
  const std::string filter = TypeFilter(run_type);
  std::vector<StatusQuery> queries;
  queries.push_back({StatusSection::kRunning, StuckReason::kNone, "KVS500JOB",
                     JobSelect("''", FromJobs("j.JOBSTS = " + Quoted(kStateRunning) +
                                              " AND j.JOBRTY <> " + Quoted(kRunTypeNeverStarted) +
                                              filter + " ORDER BY j.JOBSDA, j.JOBDA1, j.JOBKE2"))});
  // Waiting: what the pass's own selection of each run type takes once its
  // time has come, whatever runs, in pass order; a periodic job outside
  // its windows after the others.
  for (const RunTypeRule& rule : kRunTypeRules) {
    if (!Wanted(run_type, rule.run_type)) continue;
    const Due due = rule.selection.due;
    const std::string type = "j.JOBRTY = " + Quoted(rule.run_type) + " AND ";
    const char* next = due == Due::kEarliestStart ? kDelayedStart
                       : due == Due::kNextRun     ? kNextRun
                                                  : "''";
    const char* order = due == Due::kNextRun ? kByNextRun : kByCreation;
    queries.push_back(
        {StatusSection::kWaiting, StuckReason::kNone, "KVS500JOB",
         JobSelect(next, FromJobs(type + TakenByRule(rule.selection) + " ORDER BY " + order))});
    if (!rule.rests_outside_window) continue;
    queries.push_back({StatusSection::kWaiting, StuckReason::kOutsideWindow, "KVS500JOB",
                       JobSelect("''", FromJobs(type + "j.JOBSTS = " + Quoted(kStateOutsideWindow) +
                                                " ORDER BY " + kByCreation))});
  }
  // One failed start is final where "90" is never taken again; run types
  // that start ended rows again are tried until their attempts are used
  // up, and never take a row in "00".
  const std::string final_failure =
      RunTypesWhere([](const RunTypeRule& r) { return r.failed_start_final; });
  const std::string limited =
      RunTypesWhere([](const RunTypeRule& r) { return r.selection.limits_attempts; });
  const std::string restarting =
      RunTypesWhere([](const RunTypeRule& r) { return r.selection.takes == Takes::kEnded; });
  const std::string max_attempts = std::to_string(kMaxStartAttempts);
  const std::string by_type = filter + " ORDER BY j.JOBRTY, j.JOBDA1, j.JOBKE2";
  queries.push_back({StatusSection::kStuck, StuckReason::kStartFailed, "KVS500JOB",
                     JobSelect("''", FromJobs("j.JOBSTS = " + Quoted(kStateStartFailed) +
                                              " AND j.JOBRTY IN (" + final_failure + ")" +
                                              by_type))});
  queries.push_back({StatusSection::kStuck, StuckReason::kAttemptsUsedUp, "KVS500JOB",
                     JobSelect("''", FromJobs("j.JOBRTY IN (" + limited + ") AND j.JOBSTV > " +
                                              max_attempts + " AND (j.JOBSTS IS NULL OR " +
                                              "j.JOBSTS <> " + Quoted(kStateRunning) + ")" +
                                              by_type))});
  queries.push_back({StatusSection::kStuck, StuckReason::kNeverPicked, "KVS500JOB",
                     JobSelect("''", FromJobs("j.JOBRTY IN (" + restarting + ") AND j.JOBSTS = " +
                                              Quoted(kStatePlanned) + " AND j.JOBSTV <= " +
                                              max_attempts + by_type))});
  if (Wanted(run_type, kRunTypeCalendar)) {
    const bool mssql = dialect == Dialect::kMssql;
    const std::string key = mssql ? "s.SCDNAM + '#' + s.SCDSBE + '#' + s.SCDLIZ + '#' + s.SCDMND"
                                  : "CONCAT(s.SCDNAM, '#', s.SCDSBE, '#', s.SCDLIZ, '#', s.SCDMND)";
    const std::string until =
        mssql ? "CONVERT(CHAR(8), s.SCDBIS, 112)" : "DATE_FORMAT(s.SCDBIS, '%Y%m%d')";
    // A running calendar job shows among the running ones, one in 90
    // among the failed starts.
    queries.push_back(
        {StatusSection::kStuck, StuckReason::kScheduleGone, "KVS800SCD",
         JobSelect("COALESCE(" + until + ", '')",
                   "FROM KVSYSTEM.KVS500JOB j LEFT JOIN KVSYSTEM.KVS800SCD s ON " + key +
                       " = j.JOBKE2 WHERE j.JOBRTY = " + Quoted(kRunTypeCalendar) +
                       " AND (j.JOBSTS IS NULL OR j.JOBSTS NOT IN (" + Quoted(kStateRunning) +
                       ", " + Quoted(kStateStartFailed) +
                       ")) AND (s.SCDNAM IS NULL OR s.SCDBIS < " + Quoted(today) +
                       ") ORDER BY " + kByCreation)});
  }
  return queries;
}

std::string TextStatusMessages(Dialect dialect) {
  const bool mssql = dialect == Dialect::kMssql;
  return std::string("SELECT ") + (mssql ? "TOP 10 " : "") +
         "COALESCE(MSGTIN, ''), COALESCE(MSGTXT, '') FROM KVSYSTEM.KVS200MSG WHERE MSGSRC = " +
         Quoted(kControllerSource) + " ORDER BY MSGTIN DESC, MSGUID DESC" +
         (mssql ? "" : " LIMIT 10");
}

// ---- Reading ------------------------------------------------------------------

int ReadJobStatus(Session& session, const std::string& run_type, const std::string& today,
                  JobStatus* status) {
  int first_rc = 0;
  auto fail = [&](StatusSection section, const char* table, int rc) {
    if (first_rc == 0) first_rc = rc;
    // One line a list: the statements after the first failing one mostly
    // fail for the same reason.
    for (const ListFailure& f : status->failures) {
      if (f.section == section) return;
    }
    const SqlError& e = session.error();
    // 42S02: the driver's word for a table that does not exist.
    const char* format = std::string(e.sqlstate) == "42S02" ? kErrQueryNoTable : kErrQuery;
    status->failures.push_back({section, StrFormat(format, table, e.sqlstate, e.message)});
  };
  for (const StatusQuery& query : StatusQueries(session.dialect(), run_type, today)) {
    std::vector<StatusJob>* rows = query.section == StatusSection::kRunning   ? &status->running
                                   : query.section == StatusSection::kWaiting ? &status->waiting
                                                                              : &status->stuck;
    std::vector<StatusJob> read;
    int rc = FetchJobs(session, query, &read);
    if (rc != 0) {
      fail(query.section, query.table, rc);
      continue;
    }
    rows->insert(rows->end(), read.begin(), read.end());
  }
  std::vector<PoolMessage> messages;
  int rc = FetchMessages(session, session.dialect(), &messages);
  if (rc != 0) {
    fail(StatusSection::kMessages, "KVS200MSG", rc);
  } else {
    status->messages = std::move(messages);
  }
  return first_rc;
}

FallbackFileState ReadFallbackFile(const std::string& path) {
  FallbackFileState state;
  std::FILE* f = std::fopen(NativePath(path).c_str(), "rb");
  if (f == nullptr) return state;
  state.exists = true;
  char buffer[4096];
  size_t n = 0;
  char last = '\n';
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) {
    for (size_t i = 0; i < n; ++i) {
      if (buffer[i] == '\n') ++state.lines;
    }
    last = buffer[n - 1];
  }
  std::fclose(f);
  if (last != '\n') ++state.lines;
  return state;
}

}  // namespace kvs
