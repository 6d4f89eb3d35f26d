#include "db/job_table.h"

#include "db/node_rules.h"
#include "diag/text.h"

namespace kvs {

namespace {

constexpr char kOpenRunningJobs[] =
    "SELECT JOBDA1, JOBKE2, JOBURV,        JOBRTY, JOBSTS, JOBNAM,        JOBUSR, JOBNUM, "
    "JOBSDA,        JOBEDA, JOBMRT, JOBSTV FROM   KVSYSTEM.KVS500JOB WHERE  JOBSTS = '%s' AND  "
    "  JOBRTY <> '%s' ";
constexpr char kOpenRunType[] =
    "SELECT JOBDA1, JOBKE2, JOBURV,        JOBRTY, JOBSTS, JOBNAM,        JOBUSR, JOBNUM, "
    "JOBSDA,        JOBEDA, JOBMRT, JOBSTV FROM   KVSYSTEM.KVS500JOB WHERE  JOBRTY = '%s' ";

constexpr char kUpdateStatusJob[] =
    "UPDATE KVSYSTEM.KVS500JOB SET    JOBSTS = '%s'  WHERE JOBDA1 = '%s'  AND   JOBKE2 = '%s' ";
constexpr char kInsertShortJob[] =
    " INSERT INTO KVSYSTEM.KVS500JOB         (JobDa1, JobKe2, JobUrv, JobCmd, JobMrt, JobRty, "
    "JobStv)  VALUES ('%s', '%s', '%s', '%s', %ld, '%s', 0) ";
constexpr char kDeleteJob[] =
    "DELETE FROM KVSYSTEM.KVS500JOB WHERE  JOBDA1 = '%s' AND    JOBKE2 = '%s' ";
constexpr char kCleanupMssql[] =
    "DELETE FROM KVSYSTEM.KVS500JOB WHERE  JOBRTY  = '%s' AND    JOBDA1 <= convert(char(8), "
    "dateadd(d, -30, CURRENT_TIMESTAMP), 112) AND    JOBDA1 <> '20010101120000' AND    JOBKE2 "
    "<> 'ESP VERARBEITUNG' ";
constexpr char kCleanupMysql[] =
    "DELETE FROM KVSYSTEM.KVS500JOB WHERE  JOBRTY  = '%s' AND    JOBDA1 <= "
    "DATE_FORMAT(DATE_SUB(CURRENT_TIMESTAMP, INTERVAL 30 DAY), '%%Y%%m%%d') AND    JOBDA1 <> "
    "'20010101120000' AND    JOBKE2 <> 'ESP VERARBEITUNG' ";
constexpr char kRescheduleJob[] =
    "UPDATE KVSYSTEM.KVS500JOB SET    JOBSTS = '%s',        JOBNRT = '%s'  WHERE  JOBDA1 = "
    "'%s'  AND    JOBKE2 = '%s'";
constexpr char kResetStartAttempts[] =
    "UPDATE KVSYSTEM.KVS500JOB SET    JOBSTV = 0 WHERE  JOBRTY = '%s' AND    JOBSTV > 1 ";
constexpr char kInsertSystemJob[] =
    "INSERT INTO KVSYSTEM.KVS500JOB  (JobDa1, JobKe2, JobUrv, JobCmd, JobRty, JobStv, JobNrt, "
    "JobDls) VALUES   ('%s', '%s', '%s', '%s', '%s', %ld, '%s', %ld) ";
constexpr char kInsertFullJob[] =
    "INSERT INTO KVSYSTEM.KVS500JOB  (JobDa1, JobKe2, JobUrv, JobCmd,   JobCdi, JobPrm, "
    "JobRus, JobMrt,   JobRty, JobPri, JobDls, JobDlt,   JobBem, JobScd, JobSts, JobNam,   "
    "JobUsr, JobNum, JobSda, JobEda,   JobNrt, JobStv) VALUES   ('%s', '%s', '%s', '%s',    "
    "'%s', '%s', '%s',  %ld,    '%s',  %ld,  %ld, '%s',    '%s', '%s', '%s', '%s',    '%s', "
    "'%s', '%s', '%s',    '%s', %ld) ";
constexpr char kRearmPortal[] =
    "UPDATE KVSYSTEM.KVS500JOB SET    JOBSTS = '%s',        JOBSDA = '',        JOBEDA = '',   "
    "     JOBSTV = 0  WHERE  JOBDA1 = '%s'  AND    JOBKE2 = '%s'  AND    JOBPRM > '0'  AND    "
    "JOBSTS > '%s' ";
constexpr char kRearmPortalMonthly[] =
    "UPDATE KVSYSTEM.KVS500JOB SET    JOBSTS = '%s',        JOBSDA = '',        JOBEDA = '',   "
    "     JOBPRM = '2',        JOBSTV = 0  WHERE  JOBDA1 = '%s'  AND    JOBKE2 = '%s'  AND    "
    "JOBSTS > '%s' ";
constexpr char kUpdateJobRow[] =
    "UPDATE KVSYSTEM.KVS500JOB SET    JOBSTS = '%s',        JOBNAM = '%s',        JOBUSR = "
    "'%s',        JOBNUM = '%s',        JOBSDA = '%s',        JOBEDA = '%s',        JOBSTV = "
    "%ld  WHERE  JOBDA1 = '%s'  AND    JOBKE2 = '%s' ";

constexpr char kUpdateOwnJobRow[] = "%sAND    JOBSTS = '%s' AND    JOBUSR = '%s' ";
constexpr char kOpenRunningJobsOfNode[] =
    "SELECT JOBDA1, JOBKE2, JOBURV,        JOBRTY, JOBSTS, JOBNAM,        JOBUSR, JOBNUM, "
    "JOBSDA,        JOBEDA, JOBMRT, JOBSTV FROM   KVSYSTEM.KVS500JOB WHERE  JOBSTS = '%s' "
    "AND    JOBRTY <> '%s' AND    JOBUSR = '%s' ";
constexpr char kOpenOthersRunning[] =
    "SELECT COALESCE(JOBURV, ''), JOBRTY FROM KVSYSTEM.KVS500JOB WHERE JOBSTS = '%s' AND JOBRTY "
    "<> '%s' AND JOBDA1 <> '%s' AND (JOBUSR IS NULL OR JOBUSR <> '%s')";
constexpr char kInsertNodeStatus[] =
    "INSERT INTO KVSYSTEM.KVS500JOB (JobDa1, JobKe2, JobUrv, JobCmd, JobMrt, JobRty, JobStv, "
    "JobSda, JobNam) VALUES ('%s', '%s', '%s', '', 0, '%s', 0, %s, '%s')";
constexpr char kReadNodes[] =
    "SELECT JOBKE2, COALESCE(JOBSDA, ''), CASE WHEN JOBSDA IS NULL OR JOBSDA < %s THEN 1 ELSE 0 "
    "END, CASE WHEN JOBSTS = '%s' THEN 1 ELSE 0 END, %s, CASE WHEN JOBSTS = '%s' THEN 1 ELSE 0 "
    "END, COALESCE(JOBNAM, '') FROM KVSYSTEM.KVS500JOB WHERE JOBDA1 = '%s' AND JOBKE2 LIKE '%s' "
    "AND JOBKE2 <> '%s' ORDER BY JOBKE2";
constexpr char kJoinNode[] =
    "UPDATE KVSYSTEM.KVS500JOB SET JOBSDA = %s, JOBSTS = NULL, JOBNAM = '%s' WHERE JOBDA1 = '%s' "
    "AND JOBKE2 = '%s' AND COALESCE(JOBNAM, '') = '%s'";
constexpr char kRenewNode[] =
    "UPDATE KVSYSTEM.KVS500JOB SET JOBSDA = %s WHERE JOBDA1 = '%s' AND JOBKE2 = '%s' AND JOBNAM = "
    "'%s' AND JOBSTS IS NULL";
constexpr char kRejoinNode[] =
    "UPDATE KVSYSTEM.KVS500JOB SET JOBSDA = %s, JOBSTS = NULL WHERE JOBDA1 = '%s' AND JOBKE2 = "
    "'%s' AND JOBNAM = '%s'";
constexpr char kLeaveNode[] =
    "UPDATE KVSYSTEM.KVS500JOB SET JOBSDA = %s, JOBSTS = '%s' WHERE JOBDA1 = '%s' AND JOBKE2 = "
    "'%s' AND JOBNAM = '%s'";
constexpr char kOpenRunningOwners[] =
    "SELECT JOBDA1, JOBKE2, COALESCE(JOBUSR, ''), COALESCE(JOBSDA, '') FROM KVSYSTEM.KVS500JOB "
    "WHERE JOBSTS = '%s' AND JOBRTY <> '%s' AND JOBDA1 <> '%s'";
constexpr char kTakeOverRow[] =
    "UPDATE KVSYSTEM.KVS500JOB SET JOBSTS = '%s' WHERE JOBDA1 = '%s' AND JOBKE2 = '%s' AND JOBSTS "
    "= '%s' AND COALESCE(JOBUSR, '') = '%s' AND COALESCE(JOBSDA, '') = '%s'";
constexpr char kWhileIdle[] = "%s AND (JOBSTS IS NULL OR JOBSTS <> '%s')";
// No job runs on any node but of the run types that run beside an
// exclusive one.
constexpr char kClaimNoneRunning[] =
    "%s AND NOT EXISTS (SELECT 1 FROM (SELECT DISTINCT JOBRTY FROM KVSYSTEM.KVS500JOB WHERE "
    "JOBSTS = '%s' AND JOBRTY NOT IN (%s) AND JOBDA1 <> '%s') AS RUNNING)";
constexpr char kClaimJob[] =
    "UPDATE KVSYSTEM.KVS500JOB SET JOBSTS = '%s', JOBUSR = '%s' WHERE JOBDA1 = '%s' AND JOBKE2 "
    "= '%s' AND %s";
constexpr char kClaimBlank[] = "(JOBSTS IS NULL OR JOBSTS = '%s')";
constexpr char kClaimState[] = "JOBSTS = '%s'";
// No row of the same JOBURV runs on any node at the moment of the claim
// (the running list the pass selected with may be a moment old). The
// derived table, DISTINCT keeping it from being merged, lets MySQL read the
// table it updates.
constexpr char kClaimJoburvFree[] =
    "%s AND NOT EXISTS (SELECT 1 FROM (SELECT DISTINCT JOBURV FROM KVSYSTEM.KVS500JOB WHERE "
    "JOBURV = '%s' AND JOBSTS = '%s' AND JOBRTY <> '%s' AND JOBDA1 <> '%s') AS RUNNING)";
constexpr char kTakeOverJobs[] =
    "UPDATE KVSYSTEM.KVS500JOB SET JOBSTS = '%s' WHERE JOBUSR = '%s' AND JOBSTS = '%s' AND "
    "JOBRTY <> '%s' AND JOBDA1 <> '%s'";
constexpr char kMarkNodeTakenOver[] =
    "UPDATE KVSYSTEM.KVS500JOB SET JOBSTS = '%s' WHERE JOBDA1 = '%s' AND JOBKE2 = '%s' AND "
    "(JOBSTS IS NULL OR JOBSTS <> '%s') AND (JOBSDA IS NULL OR JOBSDA < %s)";
// The database server's time in UTC as 14 digits, and that time seconds
// ago.
constexpr SqlFragment kUtcNowMysql("DATE_FORMAT(UTC_TIMESTAMP(), '%Y%m%d%H%i%s')");
constexpr char kUtcAgoMysql[] =
    "DATE_FORMAT(DATE_SUB(UTC_TIMESTAMP(), INTERVAL %ld SECOND), '%%Y%%m%%d%%H%%i%%s')";
constexpr SqlFragment kUtcNowMssql(
    "(CONVERT(CHAR(8), GETUTCDATE(), 112) + REPLACE(CONVERT(CHAR(8), GETUTCDATE(), 108), ':', "
    "''))");
constexpr char kUtcAgoMssql[] =
    "(CONVERT(CHAR(8), DATEADD(second, -%ld, GETUTCDATE()), 112) + REPLACE(CONVERT(CHAR(8), "
    "DATEADD(second, -%ld, GETUTCDATE()), 108), ':', ''))";

using T = SqlText;
using N = SqlNumber;

SqlFragment UtcNow(Dialect dialect) {
  return dialect == Dialect::kMssql ? kUtcNowMssql : kUtcNowMysql;
}

T NodeKey(const std::string& node) { return T(kNodeKeyPrefix + node); }

SqlStatement UtcAgo(Dialect dialect, int32_t seconds) {
  const N n(seconds);
  return dialect == Dialect::kMssql ? SqlFormat(kUtcAgoMssql, n, n) : SqlFormat(kUtcAgoMysql, n);
}

}  // namespace

SqlStatement TextOpenRunningJobs(JobState state) {
  return SqlFormat(kOpenRunningJobs, T(state), T(kRunTypeNeverStarted));
}

SqlStatement TextOpenRunType(RunType run_type) { return SqlFormat(kOpenRunType, T(run_type)); }

SqlStatement TextUpdateStatusJob(const std::string& state, const std::string& jobda1,
                                 const std::string& jobke2) {
  return SqlFormat(kUpdateStatusJob, T(state), T(jobda1), T(jobke2));
}

SqlStatement TextInsertShortJob(const std::string& jobda1, const std::string& jobke2,
                                const std::string& joburv, const std::string& jobcmd,
                                int32_t jobmrt, RunType jobrty) {
  return SqlFormat(kInsertShortJob, T(jobda1), T(jobke2), T(joburv), T(jobcmd), N(jobmrt),
                   T(jobrty));
}

SqlStatement TextDeleteJob(const std::string& jobda1, const std::string& jobke2) {
  return SqlFormat(kDeleteJob, T(jobda1), T(jobke2));
}

SqlStatement TextCleanupOldQueueJobs(Dialect dialect) {
  const T queue(kRunTypeQueue);
  return dialect == Dialect::kMysql ? SqlFormat(kCleanupMysql, queue)
                                    : SqlFormat(kCleanupMssql, queue);
}

SqlStatement TextRescheduleJob(const JobRecord& job) {
  return SqlFormat(kRescheduleJob, T(job.jobsts), T(job.jobnrt), T(job.jobda1), T(job.jobke2));
}

SqlStatement TextResetPermanentStartAttempts() {
  return SqlFormat(kResetStartAttempts, T(kRunTypePermanent));
}

SqlStatement TextInsertSystemJob(const JobRecord& job) {
  return SqlFormat(kInsertSystemJob, T(job.jobda1), T(job.jobke2), T(job.joburv), T(job.jobcmd),
                   T(job.jobrty), N(job.jobstv), T(job.jobnrt), N(job.jobdls));
}

SqlStatement TextInsertFullJob(const JobRecord& job) {
  return SqlFormat(kInsertFullJob, T(job.jobda1), T(job.jobke2), T(job.joburv), T(job.jobcmd),
                   T(job.jobcdi), T(job.jobprm), T(job.jobrus), N(job.jobmrt), T(job.jobrty),
                   N(job.jobpri), N(job.jobdls), T(job.jobdlt), T(job.jobbem), T(job.jobscd),
                   T(job.jobsts), T(job.jobnam), T(job.jobusr), T(job.jobnum), T(job.jobsda),
                   T(job.jobeda), T(job.jobnrt), N(job.jobstv));
}

SqlStatement TextRearmPortalJob(const JobRecord& job) {
  return SqlFormat(kRearmPortal, T(kStateBlank), T(job.jobda1), T(job.jobke2),
                   T(kStateStartFailed));
}

SqlStatement TextRearmPortalJobMonthly(const JobRecord& job) {
  return SqlFormat(kRearmPortalMonthly, T(kStateBlank), T(job.jobda1), T(job.jobke2),
                   T(kStateStartFailed));
}

SqlStatement TextUpdateJobRow(const JobRecord& row) {
  return SqlFormat(kUpdateJobRow, T(row.jobsts), T(row.jobnam), T(row.jobusr), T(row.jobnum),
                   T(row.jobsda), T(row.jobeda), N(row.jobstv), T(row.jobda1), T(row.jobke2));
}

SqlStatement TextUpdateOwnJobRow(const JobRecord& row, const std::string& node) {
  return SqlFormat(kUpdateOwnJobRow, TextUpdateJobRow(row), T(kStateRunning), T(node));
}

SqlStatement TextOpenRunningJobsOfNode(JobState state, const std::string& node) {
  return SqlFormat(kOpenRunningJobsOfNode, T(state), T(kRunTypeNeverStarted), T(node));
}

SqlStatement TextOpenOthersRunning(const std::string& node) {
  return SqlFormat(kOpenOthersRunning, T(kStateRunning), T(kRunTypeNeverStarted), T(kStatusJobDa1),
                   T(node));
}

SqlStatement TextInsertNodeStatus(Dialect dialect, const std::string& node,
                                  const std::string& instance) {
  return SqlFormat(kInsertNodeStatus, T(kStatusJobDa1), NodeKey(node), T(kNodeStatusUrv),
                   T(kRunTypeStatus), UtcNow(dialect), T(instance));
}

SqlStatement TextReadNodes(Dialect dialect, int32_t timeout_seconds) {
  return SqlFormat(kReadNodes, UtcAgo(dialect, timeout_seconds), T(kStateTerminated),
                   UtcNow(dialect), T(kStateEnded), T(kStatusJobDa1),
                   T(std::string(kNodeKeyPrefix) + "%"), T(kStatusJobKe2));
}

SqlStatement TextJoinNode(Dialect dialect, const std::string& node, const std::string& instance,
                          const std::string& seen_instance) {
  return SqlFormat(kJoinNode, UtcNow(dialect), T(instance), T(kStatusJobDa1), NodeKey(node),
                   T(seen_instance));
}

SqlStatement TextRenewNode(Dialect dialect, const std::string& node, const std::string& instance) {
  return SqlFormat(kRenewNode, UtcNow(dialect), T(kStatusJobDa1), NodeKey(node), T(instance));
}

SqlStatement TextRejoinNode(Dialect dialect, const std::string& node, const std::string& instance) {
  return SqlFormat(kRejoinNode, UtcNow(dialect), T(kStatusJobDa1), NodeKey(node), T(instance));
}

SqlStatement TextLeaveNode(Dialect dialect, const std::string& node, const std::string& instance) {
  return SqlFormat(kLeaveNode, UtcNow(dialect), T(kStateEnded), T(kStatusJobDa1), NodeKey(node),
                   T(instance));
}

SqlStatement TextOpenRunningOwners() {
  return SqlFormat(kOpenRunningOwners, T(kStateRunning), T(kRunTypeNeverStarted), T(kStatusJobDa1));
}

SqlStatement TextTakeOverRow(const RunningOwner& row) {
  return SqlFormat(kTakeOverRow, T(kStateTerminated), T(row.jobda1), T(row.jobke2),
                   T(kStateRunning), T(row.jobusr), T(row.jobsda));
}

SqlStatement TextWhileIdle(const SqlStatement& write) {
  return SqlFormat(kWhileIdle, write, T(kStateRunning));
}

SqlStatement TextClaimJob(const JobRecord& job, const std::string& node,
                          const SqlList* exclusive_beside) {
  const bool blank = RightTrim(job.jobsts).empty();
  SqlStatement state =
      blank ? SqlFormat(kClaimBlank, T(kStateBlank)) : SqlFormat(kClaimState, T(job.jobsts));
  const std::string joburv = RightTrim(job.joburv);
  if (!joburv.empty()) {
    state = SqlFormat(kClaimJoburvFree, state, T(joburv), T(kStateRunning), T(kRunTypeNeverStarted),
                      T(kStatusJobDa1));
  }
  if (exclusive_beside != nullptr) {
    state =
        SqlFormat(kClaimNoneRunning, state, T(kStateRunning), *exclusive_beside, T(kStatusJobDa1));
  }
  return SqlFormat(kClaimJob, T(kStateRunning), T(node), T(job.jobda1), T(job.jobke2), state);
}

SqlStatement TextTakeOverJobs(const std::string& node) {
  return SqlFormat(kTakeOverJobs, T(kStateTerminated), T(node), T(kStateRunning),
                   T(kRunTypeNeverStarted), T(kStatusJobDa1));
}

SqlStatement TextMarkNodeTakenOver(Dialect dialect, const std::string& node,
                                   int32_t timeout_seconds) {
  const T taken(kStateTerminated);
  return SqlFormat(kMarkNodeTakenOver, taken, T(kStatusJobDa1), NodeKey(node), taken,
                   UtcAgo(dialect, timeout_seconds));
}

// ---- Operations -----------------------------------------------------------

int JobTable::FetchStatusColumns(CursorSlot slot, JobRecord* job) {
  return session_.FetchCursor(
      slot, {ColumnBinding::Text(job->jobda1, sizeof job->jobda1),
             ColumnBinding::Text(job->jobke2, sizeof job->jobke2),
             ColumnBinding::Text(job->joburv, sizeof job->joburv),
             ColumnBinding::Text(job->jobrty, sizeof job->jobrty),
             ColumnBinding::Text(job->jobsts, sizeof job->jobsts),
             ColumnBinding::Text(job->jobnam, sizeof job->jobnam),
             ColumnBinding::Text(job->jobusr, sizeof job->jobusr),
             ColumnBinding::Text(job->jobnum, sizeof job->jobnum),
             ColumnBinding::Text(job->jobsda, sizeof job->jobsda),
             ColumnBinding::Text(job->jobeda, sizeof job->jobeda),
             ColumnBinding::Long(&job->jobmrt), ColumnBinding::Long(&job->jobstv)});
}

JobTable::JobTable(Session& session) : session_(session) {
  static SoleController sole;
  rules_ = &sole;
}

int JobTable::OpenRunningJobs(JobState state) {
  return session_.OpenCursor(CursorSlot::kRunningJobs, rules_->OwnRunningRows(state));
}
int JobTable::FetchRunningJob(JobRecord* job) {
  return FetchStatusColumns(CursorSlot::kRunningJobs, job);
}
int JobTable::CloseRunningJobs() { return session_.CloseCursor(CursorSlot::kRunningJobs); }

int JobTable::OpenRunType(RunType run_type) {
  return session_.OpenCursor(CursorSlot::kPermanentJobs, TextOpenRunType(run_type));
}
int JobTable::FetchRunType(JobRecord* job) {
  return FetchStatusColumns(CursorSlot::kPermanentJobs, job);
}
int JobTable::CloseRunType() { return session_.CloseCursor(CursorSlot::kPermanentJobs); }

int JobTable::NextJob(const SqlStatement& text, JobRecord* job) {
  if (text.empty()) return -1;
  return session_.QueryRow(
      text,
      {ColumnBinding::Text(job->jobda1, sizeof job->jobda1),
       ColumnBinding::Text(job->jobke2, sizeof job->jobke2),
       ColumnBinding::Text(job->joburv, sizeof job->joburv),
       ColumnBinding::Text(job->jobcmd, sizeof job->jobcmd), ColumnBinding::Long(&job->jobmrt),
       ColumnBinding::Text(job->jobrty, sizeof job->jobrty),
       ColumnBinding::Text(job->jobsts, sizeof job->jobsts),
       ColumnBinding::Text(job->jobsda, sizeof job->jobsda),
       ColumnBinding::Text(job->jobeda, sizeof job->jobeda), ColumnBinding::Long(&job->jobstv)});
}

int JobTable::UpdateStatusJob(const std::string& state, const std::string& jobda1,
                              const std::string& jobke2) {
  return session_.Execute(TextUpdateStatusJob(state, jobda1, jobke2), true);
}

int JobTable::InsertShortJob(const std::string& jobda1, const std::string& jobke2,
                             const std::string& joburv, const std::string& jobcmd, int32_t jobmrt,
                             RunType jobrty) {
  return session_.Execute(TextInsertShortJob(jobda1, jobke2, joburv, jobcmd, jobmrt, jobrty));
}

int JobTable::DeleteJob(const std::string& jobda1, const std::string& jobke2) {
  return session_.Execute(TextDeleteJob(jobda1, jobke2));
}

int JobTable::CleanupOldQueueJobs() {
  return session_.Execute(TextCleanupOldQueueJobs(session_.dialect()));
}

int JobTable::RescheduleJob(const JobRecord& job) {
  return session_.Execute(TextRescheduleJob(job), true);
}

int JobTable::RescheduleIdleJob(const JobRecord& job) {
  return session_.Execute(rules_->UpkeepWrite(TextRescheduleJob(job)), true);
}

int JobTable::ResetPermanentStartAttempts() {
  return session_.Execute(TextResetPermanentStartAttempts());
}

int JobTable::InsertSystemJob(const JobRecord& job) {
  return session_.Execute(TextInsertSystemJob(job));
}

int JobTable::InsertFullJob(const JobRecord& job) {
  return session_.Execute(TextInsertFullJob(job));
}

int JobTable::RearmPortalJob(const JobRecord& job) {
  return session_.Execute(TextRearmPortalJob(job));
}

int JobTable::RearmPortalJobMonthly(const JobRecord& job) {
  return session_.Execute(TextRearmPortalJobMonthly(job));
}

bool SameNodeName(std::string_view name, std::string_view node) {
  return ToUpperAscii(RightTrim(name)) == ToUpperAscii(node);
}

int JobTable::ClaimJob(const JobRecord& job, const std::string& node,
                       const SqlList* exclusive_beside) {
  return session_.Execute(TextClaimJob(job, node, exclusive_beside), true);
}

int JobTable::ReadOthersRunning(const std::string& node,
                                std::vector<std::pair<std::string, std::string>>* others) {
  int rc = session_.OpenCursor(CursorSlot::kRunningJobs, TextOpenOthersRunning(node));
  if (rc != 0) return rc;
  JobRecord row;
  while ((rc = session_.FetchCursor(CursorSlot::kRunningJobs,
                                    {ColumnBinding::Text(row.joburv, sizeof row.joburv),
                                     ColumnBinding::Text(row.jobrty, sizeof row.jobrty)})) == 0) {
    others->emplace_back(row.joburv, row.jobrty);
  }
  (void)session_.CloseCursor(CursorSlot::kRunningJobs);
  return rc == 100 ? 0 : rc;
}

int JobTable::ReadRunningOwners(std::vector<RunningOwner>* rows) {
  int rc = session_.OpenCursor(CursorSlot::kJobList, TextOpenRunningOwners());
  if (rc != 0) return rc;
  JobRecord row;
  while ((rc = session_.FetchCursor(CursorSlot::kJobList,
                                    {ColumnBinding::Text(row.jobda1, sizeof row.jobda1),
                                     ColumnBinding::Text(row.jobke2, sizeof row.jobke2),
                                     ColumnBinding::Text(row.jobusr, sizeof row.jobusr),
                                     ColumnBinding::Text(row.jobsda, sizeof row.jobsda)})) == 0) {
    rows->push_back({row.jobda1, row.jobke2, row.jobusr, row.jobsda});
  }
  (void)session_.CloseCursor(CursorSlot::kJobList);
  return rc == 100 ? 0 : rc;
}

int JobTable::TakeOver(const NodeStatus& node, int32_t timeout_seconds, int64_t* rows) {
  // The status row first, in one statement with the silence: of several
  // nodes that found it silent one marks it, and a node that has written
  // its row again since is not taken over.
  int64_t marked = 0;
  int rc = 0;
  if (!node.taken_over) {
    rc = session_.ExecuteCounted(
        TextMarkNodeTakenOver(session_.dialect(), node.name, timeout_seconds), &marked);
    if (rc != 0) return rc;
    if (marked == 0) return 100;
  }
  // A node marked in an earlier pass is looked at again: rows a failed
  // take-over left are set now.
  rc = session_.ExecuteCounted(TextTakeOverJobs(node.name), rows);
  if (rc != 0) return rc;
  return marked == 0 && *rows == 0 ? 100 : 0;
}

int JobTable::ReadNodes(int32_t timeout_seconds, std::vector<NodeStatus>* nodes) {
  int rc =
      session_.OpenCursor(CursorSlot::kJobList, TextReadNodes(session_.dialect(), timeout_seconds));
  if (rc != 0) return rc;
  const size_t prefix = std::string_view(kNodeKeyPrefix).size();
  JobRecord row;
  int32_t silent = 0;
  int32_t taken_over = 0;
  int32_t left = 0;
  char now[15] = {};
  char instance[65] = {};
  while ((rc = session_.FetchCursor(
              CursorSlot::kJobList,
              {ColumnBinding::Text(row.jobke2, sizeof row.jobke2),
               ColumnBinding::Text(row.jobsda, sizeof row.jobsda), ColumnBinding::Long(&silent),
               ColumnBinding::Long(&taken_over), ColumnBinding::Text(now, sizeof now),
               ColumnBinding::Long(&left), ColumnBinding::Text(instance, sizeof instance)})) == 0) {
    const std::string key = RightTrim(row.jobke2);
    if (key.size() > prefix) {
      nodes->push_back({key.substr(prefix), row.jobsda, silent != 0, taken_over != 0, now,
                        left != 0, RightTrim(instance)});
    }
  }
  (void)session_.CloseCursor(CursorSlot::kJobList);
  return rc == 100 ? 0 : rc;
}

int JobTable::UpdateJobRow(const JobRecord& row) { return session_.Execute(TextUpdateJobRow(row)); }

int JobTable::UpdateOwnJobRow(const JobRecord& row) {
  return session_.Execute(rules_->OwnRowUpdate(row));
}

SqlStatement SoleController::OwnRunningRows(JobState state) const {
  return TextOpenRunningJobs(state);
}

SqlStatement SoleController::OwnRowUpdate(const JobRecord& row) const {
  return TextUpdateJobRow(row);
}

}  // namespace kvs
