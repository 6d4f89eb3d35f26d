// kvsjobstat: the statements on the job table and the pool, reading
// them, and the fallback file.
#include "tools/job_status_queries.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "db/job_table.h"
#include "diag/text.h"
#include "jobs/run_types.h"
#include "platform/civil_time.h"
#include "tools/job_status_render.h"

namespace kvs {

namespace {

constexpr char kControllerSource[] = "KVSJOBSTR";

// Every job statement: the next-start column, a join, the condition and
// the order are its own.
constexpr char kJobSelect[] =
    "SELECT %sj.JOBRTY, j.JOBKE2, j.JOBDA1, j.JOBSTS, "
    "j.JOBNAM, j.JOBNUM, j.JOBSDA, %s, COALESCE(j.JOBMRT, 0), "
    "COALESCE(j.JOBSTV, 0), COALESCE(j.JOBEDA, ''), "
    "COALESCE(j.JOBURV, ''), COALESCE(j.JOBCMD, ''), COALESCE(j.JOBUSR, '') FROM "
    "KVSYSTEM.KVS500JOB j %sWHERE %s ORDER BY %s%s";
constexpr char kRunning[] = "j.JOBSTS = '%s' AND j.JOBRTY <> '%s'%s";
constexpr char kTypeFilter[] = " AND j.JOBRTY = '%s'";
constexpr char kTaken[] = "j.JOBRTY = '%s' AND (j.JOBSTS IS NULL OR j.JOBSTS = '%s'%s)%s";
constexpr char kTakesPlanned[] = " OR j.JOBSTS = '%s'";
constexpr char kTakesEnded[] = " OR j.JOBSTS >= '%s'";
constexpr char kWithinAttempts[] = " AND j.JOBSTV <= %ld";
constexpr char kOutsideWindow[] = "j.JOBRTY = '%s' AND j.JOBSTS = '%s'";
constexpr char kStartFailed[] = "j.JOBSTS = '%s' AND j.JOBRTY IN (%s)%s";
// Run types that start ended rows again stop at the limit in any state
// but running; those that set a used-up row to "90" find it waiting.
constexpr char kAttemptsUsedUp[] =
    "j.JOBSTV > %ld AND ((j.JOBRTY IN (%s) AND (j.JOBSTS IS NULL OR j.JOBSTS <> '%s')) OR "
    "(j.JOBRTY IN (%s) AND (j.JOBSTS IS NULL OR j.JOBSTS = '%s')))%s";
// A used-up row of a run type that limits its attempts is listed as such.
constexpr char kNeverPicked[] =
    "j.JOBRTY IN (%s) AND j.JOBSTS = '%s' AND "
    "(j.JOBSTV <= %ld OR j.JOBRTY NOT IN (%s))%s";
// Ended in the last day; a failed start has no end time (the pool's
// message tells when), so the newest rows in "90" are read apart.
constexpr char kEnded[] = "j.JOBRTY <> '%s' AND j.JOBSTS IN ('%s', '%s') AND j.JOBEDA >= '%s'%s";
constexpr char kFailedStarts[] = "j.JOBRTY <> '%s' AND j.JOBSTS = '%s'%s";
// A schedule that has simply ended is no fault: the job is done.
constexpr char kScheduleGone[] =
    "j.JOBRTY = '%s' AND (j.JOBSTS IS NULL OR j.JOBSTS NOT IN ('%s', '%s')) AND s.SCDNAM IS "
    "NULL";
constexpr char kStatusMessages[] =
    "SELECT %sCOALESCE(MSGTIN, ''), COALESCE(MSGTXT, '') FROM KVSYSTEM.KVS200MSG WHERE MSGSRC "
    "= '%s' ORDER BY MSGTIN DESC, MSGUID DESC%s";
constexpr char kDayMessages[] =
    "SELECT %sCOALESCE(MSGTIN, ''), COALESCE(MSGTXT, '') FROM KVSYSTEM.KVS200MSG WHERE MSGSRC "
    "= '%s' AND MSGTIN >= '%s' ORDER BY MSGTIN DESC, MSGUID DESC%s";

constexpr SqlFragment kNoNextStart("''");
constexpr SqlFragment kDelayedStart("COALESCE(j.JOBDLT, '')");
constexpr SqlFragment kNextRun("COALESCE(j.JOBNRT, '')");
constexpr SqlFragment kNoJoin("");
constexpr SqlFragment kByStart("j.JOBSDA, j.JOBDA1, j.JOBKE2");
constexpr SqlFragment kByCreation("j.JOBDA1, j.JOBKE2");
constexpr SqlFragment kByNextRun("j.JOBNRT, j.JOBDA1, j.JOBKE2");
constexpr SqlFragment kByType("j.JOBRTY, j.JOBDA1, j.JOBKE2");
constexpr SqlFragment kByEnd("j.JOBEDA DESC, j.JOBDA1, j.JOBKE2");
constexpr SqlFragment kNewestFirst("j.JOBDA1 DESC, j.JOBKE2");
constexpr SqlFragment kNone("");
constexpr SqlFragment kScheduleJoinMssql(
    "LEFT JOIN KVSYSTEM.KVS800SCD s ON s.SCDNAM + '#' + "
    "s.SCDSBE + '#' + s.SCDLIZ + '#' + s.SCDMND = j.JOBKE2 ");
constexpr SqlFragment kScheduleJoinMysql(
    "LEFT JOIN KVSYSTEM.KVS800SCD s ON CONCAT(s.SCDNAM, "
    "'#', s.SCDSBE, '#', s.SCDLIZ, '#', s.SCDMND) = j.JOBKE2 ");
using T = SqlText;
using N = SqlNumber;

StatusQuery JobQuery(StatusSection section, StuckReason reason, const char* table, SqlFragment next,
                     SqlFragment join, const SqlStatement& where, SqlFragment order) {
  return {section, reason, table, SqlFormat(kJobSelect, kNone, next, join, where, order, kNone)};
}

SqlStatement TypeFilter(const std::string& run_type) {
  return run_type.empty() ? SqlStatement() : SqlFormat(kTypeFilter, T(run_type));
}

bool Wanted(const std::string& run_type, RunType rule_type) {
  return run_type.empty() || run_type == rule_type.text();
}

// The job-table condition of the rows a run type's selection takes and
// its start loop does not set to "90" for their used-up attempts, their
// time and the running jobs apart.
SqlStatement TakenByRule(const RunTypeRule& rule) {
  const Selection& selection = rule.selection;
  const SqlStatement takes =
      selection.takes == Takes::kPlanned ? SqlFormat(kTakesPlanned, T(kStatePlanned))
      : selection.takes == Takes::kEnded ? SqlFormat(kTakesEnded, T(kStateStartFailed))
                                         : SqlStatement();
  const SqlStatement attempts = selection.limits_attempts || rule.retires_used_up
                                    ? SqlFormat(kWithinAttempts, N(kMaxStartAttempts))
                                    : SqlStatement();
  return SqlFormat(kTaken, T(rule.run_type), T(kStateBlank), takes, attempts);
}

// The run types of the table that have, in code order.
SqlList RunTypesWhere(bool (*has)(const RunTypeRule&)) {
  std::vector<std::string> codes;
  for (const RunTypeRule& rule : kRunTypeRules) {
    if (has(rule)) codes.push_back(rule.run_type.text());
  }
  std::sort(codes.begin(), codes.end());
  SqlList list;
  for (const std::string& code : codes) list.Append(T(code));
  return list;
}

// Reads the cursor's rows into *out. 0 or the failing result code.
int FetchJobs(Session& session, const StatusQuery& query, std::vector<StatusJob>* out) {
  int rc = session.OpenCursor(CursorSlot::kJobList, query.text);
  if (rc != 0) return rc;
  // The next-start column goes to JOBNRT, wide enough for each kind.
  JobRecord row;
  const std::vector<ColumnBinding> columns = {ColumnBinding::Text(row.jobrty, sizeof row.jobrty),
                                              ColumnBinding::Text(row.jobke2, sizeof row.jobke2),
                                              ColumnBinding::Text(row.jobda1, sizeof row.jobda1),
                                              ColumnBinding::Text(row.jobsts, sizeof row.jobsts),
                                              ColumnBinding::Text(row.jobnam, sizeof row.jobnam),
                                              ColumnBinding::Text(row.jobnum, sizeof row.jobnum),
                                              ColumnBinding::Text(row.jobsda, sizeof row.jobsda),
                                              ColumnBinding::Text(row.jobnrt, sizeof row.jobnrt),
                                              ColumnBinding::Long(&row.jobmrt),
                                              ColumnBinding::Long(&row.jobstv),
                                              ColumnBinding::Text(row.jobeda, sizeof row.jobeda),
                                              ColumnBinding::Text(row.joburv, sizeof row.joburv),
                                              ColumnBinding::Text(row.jobcmd, sizeof row.jobcmd),
                                              ColumnBinding::Text(row.jobusr, sizeof row.jobusr)};
  while ((rc = session.FetchCursor(CursorSlot::kJobList, columns)) == 0) {
    StatusJob job;
    job.jobrty = RightTrimInPlace(row.jobrty);
    job.jobke2 = RightTrimInPlace(row.jobke2);
    job.jobda1 = RightTrimInPlace(row.jobda1);
    job.jobsts = RightTrimInPlace(row.jobsts);
    job.jobnam = RightTrimInPlace(row.jobnam);
    job.jobnum = RightTrimInPlace(row.jobnum);
    job.jobsda = RightTrimInPlace(row.jobsda);
    job.next = RightTrimInPlace(row.jobnrt);
    job.jobmrt = row.jobmrt;
    job.jobstv = row.jobstv;
    job.jobeda = RightTrimInPlace(row.jobeda);
    job.joburv = RightTrimInPlace(row.joburv);
    job.jobcmd = RightTrimInPlace(row.jobcmd);
    job.jobusr = RightTrimInPlace(row.jobusr);
    job.reason = query.reason;
    out->push_back(job);
  }
  session.CloseCursor(CursorSlot::kJobList);
  return rc == 100 ? 0 : rc;
}

int FetchMessages(Session& session, const SqlStatement& text, std::vector<PoolMessage>* out) {
  int rc = session.OpenCursor(CursorSlot::kJobList, text);
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

// ---- Statements
// ---------------------------------------------------------------

std::vector<StatusQuery> StatusQueries(Dialect dialect, const std::string& run_type,
                                       const std::string& since) {
  const SqlStatement filter = TypeFilter(run_type);
  std::vector<StatusQuery> queries;
  // Running and waiting rows of every run type: what holds a job back
  // may be a job of another. The view leaves out the others afterwards.
  queries.push_back(JobQuery(
      StatusSection::kRunning, StuckReason::kNone, "KVS500JOB", kNoNextStart, kNoJoin,
      SqlFormat(kRunning, T(kStateRunning), T(kRunTypeNeverStarted), SqlStatement()), kByStart));
  // Waiting: what the pass's own selection of each run type takes once its
  // time has come, whatever runs, in pass order; a periodic job outside
  // its windows after the others.
  for (const RunTypeRule& rule : kRunTypeRules) {
    const Due due = rule.selection.due;
    const SqlFragment next = due == Due::kEarliestStart ? kDelayedStart
                             : due == Due::kNextRun     ? kNextRun
                                                        : kNoNextStart;
    queries.push_back(JobQuery(StatusSection::kWaiting, StuckReason::kNone, "KVS500JOB", next,
                               kNoJoin, TakenByRule(rule),
                               due == Due::kNextRun ? kByNextRun : kByCreation));
    if (!rule.rests_outside_window) continue;
    queries.push_back(JobQuery(
        StatusSection::kWaiting, StuckReason::kOutsideWindow, "KVS500JOB", kNoNextStart, kNoJoin,
        SqlFormat(kOutsideWindow, T(rule.run_type), T(kStateOutsideWindow)), kByCreation));
  }
  // One failed start is final where "90" is never taken again; run types
  // that start ended rows again are tried until their attempts are used
  // up, and a waiting row of those that set used-up rows to "90" is set
  // so; a row in "00" is never taken by a run type without a plan.
  const SqlList final_failure =
      RunTypesWhere([](const RunTypeRule& r) { return r.failed_start_final; });
  const SqlList limited =
      RunTypesWhere([](const RunTypeRule& r) { return r.selection.limits_attempts; });
  const SqlList retiring = RunTypesWhere([](const RunTypeRule& r) { return r.retires_used_up; });
  const SqlList unplanned =
      RunTypesWhere([](const RunTypeRule& r) { return r.selection.takes != Takes::kPlanned; });
  const N max_attempts(kMaxStartAttempts);
  queries.push_back(
      JobQuery(StatusSection::kStuck, StuckReason::kStartFailed, "KVS500JOB", kNoNextStart, kNoJoin,
               SqlFormat(kStartFailed, T(kStateStartFailed), final_failure, filter), kByType));
  queries.push_back(JobQuery(StatusSection::kStuck, StuckReason::kAttemptsUsedUp, "KVS500JOB",
                             kNoNextStart, kNoJoin,
                             SqlFormat(kAttemptsUsedUp, max_attempts, limited, T(kStateRunning),
                                       retiring, T(kStateBlank), filter),
                             kByType));
  queries.push_back(
      JobQuery(StatusSection::kStuck, StuckReason::kNeverPicked, "KVS500JOB", kNoNextStart, kNoJoin,
               SqlFormat(kNeverPicked, unplanned, T(kStatePlanned), max_attempts, limited, filter),
               kByType));
  const bool mssql = dialect == Dialect::kMssql;
  if (Wanted(run_type, kRunTypeCalendar)) {
    // A running calendar job shows among the running ones, one in 90
    // among the failed starts.
    queries.push_back(JobQuery(
        StatusSection::kStuck, StuckReason::kScheduleGone, "KVS800SCD", kNoNextStart,
        mssql ? kScheduleJoinMssql : kScheduleJoinMysql,
        SqlFormat(kScheduleGone, T(kRunTypeCalendar), T(kStateRunning), T(kStateStartFailed)),
        kByCreation));
  }
  const N limit(kEndedListLimit);
  const SqlStatement top = mssql ? SqlFormat("TOP %ld ", limit) : SqlStatement();
  const SqlStatement tail = mssql ? SqlStatement() : SqlFormat(" LIMIT %ld", limit);
  queries.push_back({StatusSection::kEnded, StuckReason::kNone, "KVS500JOB",
                     SqlFormat(kJobSelect, top, kNoNextStart, kNoJoin,
                               SqlFormat(kEnded, T(kRunTypeNeverStarted), T(kStateEnded),
                                         T(kStateTerminated), T(since), filter),
                               kByEnd, tail)});
  queries.push_back(
      {StatusSection::kEnded, StuckReason::kNone, "KVS500JOB",
       SqlFormat(kJobSelect, top, kNoNextStart, kNoJoin,
                 SqlFormat(kFailedStarts, T(kRunTypeNeverStarted), T(kStateStartFailed), filter),
                 kNewestFirst, tail)});
  return queries;
}

SqlStatement TextStatusMessages(Dialect dialect) {
  const bool mssql = dialect == Dialect::kMssql;
  return SqlFormat(kStatusMessages, mssql ? SqlFragment("TOP 10 ") : SqlFragment(""),
                   T(kControllerSource), mssql ? SqlFragment("") : SqlFragment(" LIMIT 10"));
}

SqlStatement TextDayMessages(Dialect dialect, const std::string& since) {
  const bool mssql = dialect == Dialect::kMssql;
  const N limit(kDayMessageLimit);
  return SqlFormat(kDayMessages, mssql ? SqlFormat("TOP %ld ", limit) : SqlStatement(),
                   T(kControllerSource), T(since),
                   mssql ? SqlStatement() : SqlFormat(" LIMIT %ld", limit));
}

// ---- Reading
// ------------------------------------------------------------------

int ReadJobStatus(Session& session, const std::string& run_type, const std::string& now,
                  JobStatus* status) {
  // The ended list and its messages go back one day from now.
  CivilTime clock;
  std::string day_ago = now;
  if (CivilFromStamp(now.c_str(), &clock)) {
    const CivilTime t = CivilPlusMinutes(clock, -24 * 60);
    day_ago =
        StrFormat("%04d%02d%02d%02d%02d%02d", t.year, t.month, t.day, t.hour, t.minute, t.second);
  }
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
  for (const StatusQuery& query : StatusQueries(session.dialect(), run_type, day_ago)) {
    std::vector<StatusJob>* rows = query.section == StatusSection::kRunning   ? &status->running
                                   : query.section == StatusSection::kWaiting ? &status->waiting
                                   : query.section == StatusSection::kEnded   ? &status->ended
                                                                              : &status->stuck;
    std::vector<StatusJob> read;
    int rc = FetchJobs(session, query, &read);
    if (rc != 0) {
      fail(query.section, query.table, rc);
      continue;
    }
    rows->insert(rows->end(), read.begin(), read.end());
  }
  // A node's MAXJOBS holds its own jobs only.
  const auto own = [&](const StatusJob& job) {
    return status->own_node.empty() || SameNodeName(job.jobusr, status->own_node);
  };
  status->running_count = std::count_if(status->running.begin(), status->running.end(), own);
  // The nodes' running jobs are counted from the running list, all run
  // types: without it there is nothing to count.
  if (std::none_of(status->failures.begin(), status->failures.end(),
                   [](const ListFailure& f) { return f.section == StatusSection::kRunning; })) {
    const int rc = ReadNodeList(session, status);
    if (rc != 0) fail(StatusSection::kNodes, "KVS500JOB", rc);
  }
  DecideWaitReasons(status, now);
  if (!run_type.empty()) {
    for (std::vector<StatusJob>* list : {&status->running, &status->waiting}) {
      list->erase(std::remove_if(list->begin(), list->end(),
                                 [&](const StatusJob& j) { return j.jobrty != run_type; }),
                  list->end());
    }
  }
  std::vector<PoolMessage> messages;
  int rc = FetchMessages(session, TextStatusMessages(session.dialect()), &messages);
  if (rc != 0) {
    fail(StatusSection::kMessages, "KVS200MSG", rc);
  } else {
    status->messages = std::move(messages);
  }
  std::vector<PoolMessage> day;
  rc = FetchMessages(session, TextDayMessages(session.dialect(), day_ago), &day);
  if (rc != 0) {
    // Without them a failed start cannot be placed in time.
    fail(StatusSection::kEnded, "KVS200MSG", rc);
  }
  DecideEndReasons(&status->ended, day);
  if (status->ended.size() > static_cast<size_t>(kEndedListLimit)) {
    status->ended.resize(kEndedListLimit);
  }
  return first_rc;
}

int ReadNodeList(Session& session, JobStatus* status) {
  JobTable table(session);
  std::vector<NodeStatus> read;
  const int rc = table.ReadNodes(status->node_timeout_seconds, &read);
  if (rc != 0) return rc;
  status->nodes.clear();
  for (const NodeStatus& n : read) {
    StatusNode node;
    node.name = n.name;
    node.jobsda = n.jobsda;
    CivilTime server_now;
    if (!CivilFromStamp(n.now.c_str(), &server_now) ||
        !RunSeconds(n.jobsda, server_now, &node.age_seconds)) {
      node.age_seconds = -1;
    }
    node.state = n.left         ? NodeState::kLeft
                 : n.taken_over ? NodeState::kTakenOver
                 : n.silent     ? NodeState::kDead
                                : NodeState::kLive;
    for (const StatusJob& job : status->running) node.running += SameNodeName(job.jobusr, n.name);
    status->nodes.push_back(node);
  }
  status->nodes_read = true;
  return 0;
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
