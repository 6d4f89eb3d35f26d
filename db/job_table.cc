#include "db/job_table.h"

#include "diag/text.h"

namespace kvs {

namespace {

const char kOpenRunningJobs[] =
    "SELECT JOBDA1, JOBKE2, JOBURV,        JOBRTY, JOBSTS, JOBNAM,        JOBUSR, JOBNUM, "
    "JOBSDA,        JOBEDA, JOBMRT, JOBSTV FROM   KVSYSTEM.KVS500JOB WHERE  JOBSTS = '%s' "
    "AND    JOBRTY <> '06' ";
const char kOpenRunType[] =
    "SELECT JOBDA1, JOBKE2, JOBURV,        JOBRTY, JOBSTS, JOBNAM,        JOBUSR, JOBNUM, "
    "JOBSDA,        JOBEDA, JOBMRT, JOBSTV FROM   KVSYSTEM.KVS500JOB WHERE  JOBRTY = '%s' ";

const char kNext01Mssql[] =
    " SELECT TOP 1 JOBDA1, JOBKE2, JOBURV, JOBCMD, JOBMRT,               JOBRTY, JOBSTS, "
    "JOBSDA, JOBEDA, JOBSTV  FROM KVSYSTEM.KVS500JOB  WHERE JOBRTY = '01'  AND  (JOBSTS is "
    "NULL OR JOBSTS = '  ')  AND ((JOBURV is not NULL AND JOBURV NOT IN ( %s )) or (JOBURV "
    "is NULL))  ORDER BY JOBDA1, JOBKE2 ";
const char kNext01Mysql[] =
    " SELECT JOBDA1, JOBKE2, JOBURV, JOBCMD, JOBMRT,         JOBRTY, JOBSTS, JOBSDA, "
    "JOBEDA, JOBSTV  FROM KVSYSTEM.KVS500JOB  WHERE JOBRTY = '01'  AND  (JOBSTS is NULL OR "
    "JOBSTS = '  ')  AND ((JOBURV is not NULL AND JOBURV NOT IN ( %s )) or (JOBURV is "
    "NULL))  ORDER BY JOBDA1, JOBKE2 LIMIT 0, 1 ";
const char kNext04Mssql[] =
    " SELECT TOP 1 JOBDA1, JOBKE2, JOBURV, JOBCMD, JOBMRT,               JOBRTY, JOBSTS, "
    "JOBSDA, JOBEDA, JOBSTV  FROM KVSYSTEM.KVS500JOB  WHERE JOBRTY = '04'  AND  (JOBSTS is "
    "NULL OR JOBSTS = '  'OR JOBSTS >= '90')  AND  JOBSTV < 11  AND ((JOBURV is not NULL "
    "AND JOBURV NOT IN ( %s )) or (JOBURV is NULL))  ORDER BY JOBDA1, JOBKE2 ";
const char kNext04Mysql[] =
    " SELECT JOBDA1, JOBKE2, JOBURV, JOBCMD, JOBMRT,         JOBRTY, JOBSTS, JOBSDA, "
    "JOBEDA, JOBSTV  FROM KVSYSTEM.KVS500JOB  WHERE JOBRTY = '04'  AND  (JOBSTS is NULL OR "
    "JOBSTS = '  'OR JOBSTS >= '90')  AND  JOBSTV < 11  AND ((JOBURV is not NULL AND JOBURV "
    "NOT IN ( %s )) or (JOBURV is NULL))  ORDER BY JOBDA1, JOBKE2 LIMIT 0, 1";
const char kNext05Mssql[] =
    " SELECT TOP 1 JOBDA1, JOBKE2, JOBURV, JOBCMD, JOBMRT,               JOBRTY, JOBSTS, "
    "JOBSDA, JOBEDA, JOBSTV  FROM KVSYSTEM.KVS500JOB  WHERE JOBRTY = '05'  AND  (JOBSTS is "
    "NULL OR JOBSTS = '  ')  AND  (JOBDLT is NULL OR JOBDLT <= (convert(CHAR(8), "
    "CURRENT_TIMESTAMP, 112)                        + replace(str(datepart(hh, "
    "CURRENT_TIMESTAMP), 2)                        + str(datepart(mi, CURRENT_TIMESTAMP), 2)"
    "                        + str(datepart(ss, CURRENT_TIMESTAMP), 2),' ', '0'))  AND "
    "((JOBURV is not NULL AND JOBURV NOT IN ( %s )) OR (JOBURV is NULL)))  ORDER BY JOBDA1, "
    "JOBKE2 ";
const char kNext05Mysql[] =
    " SELECT JOBDA1, JOBKE2, JOBURV, JOBCMD, JOBMRT,         JOBRTY, JOBSTS, JOBSDA, "
    "JOBEDA, JOBSTV  FROM KVSYSTEM.KVS500JOB  WHERE JOBRTY = '05'  AND  (JOBSTS is NULL OR "
    "JOBSTS = '  ')  AND  (JOBDLT is NULL OR JOBDLT <= DATE_FORMAT(CURRENT_TIMESTAMP, "
    "'%%Y%%m%%d%%H%%i%%s') AND ((JOBURV is not NULL AND JOBURV NOT IN ( %s )) OR (JOBURV "
    "is NULL)))  ORDER BY JOBDA1, JOBKE2 LIMIT 0, 1 ";

const char kUpdateStatusJob[] =
    "UPDATE KVSYSTEM.KVS500JOB SET    JOBSTS = '%s'  WHERE JOBDA1 = '%s'  AND   JOBKE2 = "
    "'%s' ";
const char kInsertShortJob[] =
    " INSERT INTO KVSYSTEM.KVS500JOB         (JobDa1, JobKe2, JobUrv, JobCmd, JobMrt, "
    "JobRty, JobStv)  VALUES ('%s', '%s', '%s', '%s', %ld, '%s', 0) ";
const char kDeleteJob[] =
    "DELETE FROM KVSYSTEM.KVS500JOB WHERE  JOBDA1 = '%s' AND    JOBKE2 = '%s' ";
const char kCleanupMssql[] =
    "DELETE FROM KVSYSTEM.KVS500JOB WHERE  JOBRTY  = '01' AND    JOBDA1 <= convert(char(8), "
    "dateadd(d, -30, CURRENT_TIMESTAMP), 112) AND    JOBDA1 <> '20010101120000' AND    "
    "JOBKE2 <> 'ESP VERARBEITUNG' ";
const char kCleanupMysql[] =
    "DELETE FROM KVSYSTEM.KVS500JOB WHERE  JOBRTY  = '01' AND    JOBDA1 <= "
    "DATE_FORMAT(DATE_SUB(CURRENT_TIMESTAMP, INTERVAL 30 DAY), '%Y%m%d') AND    JOBDA1 <> "
    "'20010101120000' AND    JOBKE2 <> 'ESP VERARBEITUNG' ";
const char kRescheduleJob[] =
    "UPDATE KVSYSTEM.KVS500JOB SET    JOBSTS = '%s',        JOBNRT = '%s'  WHERE  JOBDA1 = "
    "'%s'  AND    JOBKE2 = '%s'";
const char kResetStartAttempts[] =
    "UPDATE KVSYSTEM.KVS500JOB SET    JOBSTV = 0 WHERE  JOBRTY = '04' AND    JOBSTV > 1 ";
const char kInsertSystemJob[] =
    "INSERT INTO KVSYSTEM.KVS500JOB  (JobDa1, JobKe2, JobUrv, JobCmd, JobRty, JobStv, "
    "JobNrt, JobDls) VALUES   ('%s', '%s', '%s', '%s', '%s', %ld, '%s', %ld) ";
const char kInsertFullJob[] =
    "INSERT INTO KVSYSTEM.KVS500JOB  (JobDa1, JobKe2, JobUrv, JobCmd,   JobCdi, JobPrm, "
    "JobRus, JobMrt,   JobRty, JobPri, JobDls, JobDlt,   JobBem, JobScd, JobSts, JobNam,   "
    "JobUsr, JobNum, JobSda, JobEda,   JobNrt, JobStv) VALUES   ('%s', '%s', '%s', '%s',    "
    "'%s', '%s', '%s',  %ld,    '%s',  %ld,  %ld, '%s',    '%s', '%s', '%s', '%s',    '%s', "
    "'%s', '%s', '%s',    '%s', %ld) ";
const char kRearmPortal[] =
    "UPDATE KVSYSTEM.KVS500JOB SET    JOBSTS = '  ',        JOBSDA = '',        JOBEDA = '',"
    "        JOBSTV = 0  WHERE  JOBDA1 = '%s'  AND    JOBKE2 = '%s'  AND    JOBPRM > '0'  "
    "AND    JOBSTS > '90' ";
const char kRearmPortalMonthly[] =
    "UPDATE KVSYSTEM.KVS500JOB SET    JOBSTS = '  ',        JOBSDA = '',        JOBEDA = '',"
    "        JOBPRM = '2',        JOBSTV = 0  WHERE  JOBDA1 = '%s'  AND    JOBKE2 = '%s'  "
    "AND    JOBSTS > '90' ";
const char kUpdateJobRow[] =
    "UPDATE KVSYSTEM.KVS500JOB SET    JOBSTS = '%s',        JOBNAM = '%s',        JOBUSR = "
    "'%s',        JOBNUM = '%s',        JOBSDA = '%s',        JOBEDA = '%s',        JOBSTV = "
    "%ld  WHERE  JOBDA1 = '%s'  AND    JOBKE2 = '%s' ";

// A value between quotes, as a C string for the templates.
struct Q {
  explicit Q(const std::string& v) : text(SqlQuote(v)) {}
  const char* c() const { return text.c_str(); }
  std::string text;
};

long L(int32_t v) { return static_cast<long>(v); }

std::string ByDialect(Dialect dialect, const char* mssql, const char* mysql,
                      const std::string& running_list) {
  switch (dialect) {
    case Dialect::kMssql:
      return StrFormat(mssql, running_list.c_str());
    case Dialect::kMysql:
      return StrFormat(mysql, running_list.c_str());
    default:
      return "";
  }
}

}  // namespace

std::string TextOpenRunningJobs(const std::string& state) {
  return StrFormat(kOpenRunningJobs, Q(state).c());
}

std::string TextOpenRunType(const std::string& run_type) {
  return StrFormat(kOpenRunType, Q(run_type).c());
}

std::string TextNextJob01(Dialect dialect, const std::string& running_list) {
  return ByDialect(dialect, kNext01Mssql, kNext01Mysql, running_list);
}

std::string TextNextJob04(Dialect dialect, const std::string& running_list) {
  return ByDialect(dialect, kNext04Mssql, kNext04Mysql, running_list);
}

std::string TextNextJob05(Dialect dialect, const std::string& running_list) {
  return ByDialect(dialect, kNext05Mssql, kNext05Mysql, running_list);
}

std::string TextUpdateStatusJob(const std::string& state, const std::string& jobda1,
                                const std::string& jobke2) {
  return StrFormat(kUpdateStatusJob, Q(state).c(), Q(jobda1).c(), Q(jobke2).c());
}

std::string TextInsertShortJob(const std::string& jobda1, const std::string& jobke2,
                               const std::string& joburv, const std::string& jobcmd,
                               int32_t jobmrt, const std::string& jobrty) {
  return StrFormat(kInsertShortJob, Q(jobda1).c(), Q(jobke2).c(), Q(joburv).c(),
                   Q(jobcmd).c(), L(jobmrt), Q(jobrty).c());
}

std::string TextDeleteJob(const std::string& jobda1, const std::string& jobke2) {
  return StrFormat(kDeleteJob, Q(jobda1).c(), Q(jobke2).c());
}

std::string TextCleanupOldQueueJobs(Dialect dialect) {
  return dialect == Dialect::kMysql ? kCleanupMysql : kCleanupMssql;
}

std::string TextRescheduleJob(const JobRecord& job) {
  return StrFormat(kRescheduleJob, Q(job.jobsts).c(), Q(job.jobnrt).c(), Q(job.jobda1).c(),
                   Q(job.jobke2).c());
}

std::string TextResetPermanentStartAttempts() { return kResetStartAttempts; }

std::string TextInsertSystemJob(const JobRecord& job) {
  return StrFormat(kInsertSystemJob, Q(job.jobda1).c(), Q(job.jobke2).c(), Q(job.joburv).c(),
                   Q(job.jobcmd).c(), Q(job.jobrty).c(), L(job.jobstv), Q(job.jobnrt).c(),
                   L(job.jobdls));
}

std::string TextInsertFullJob(const JobRecord& job) {
  return StrFormat(kInsertFullJob, Q(job.jobda1).c(), Q(job.jobke2).c(), Q(job.joburv).c(),
                   Q(job.jobcmd).c(), Q(job.jobcdi).c(), Q(job.jobprm).c(), Q(job.jobrus).c(),
                   L(job.jobmrt), Q(job.jobrty).c(), L(job.jobpri), L(job.jobdls),
                   Q(job.jobdlt).c(), Q(job.jobbem).c(), Q(job.jobscd).c(), Q(job.jobsts).c(),
                   Q(job.jobnam).c(), Q(job.jobusr).c(), Q(job.jobnum).c(), Q(job.jobsda).c(),
                   Q(job.jobeda).c(), Q(job.jobnrt).c(), L(job.jobstv));
}

std::string TextRearmPortalJob(const JobRecord& job) {
  return StrFormat(kRearmPortal, Q(job.jobda1).c(), Q(job.jobke2).c());
}

std::string TextRearmPortalJobMonthly(const JobRecord& job) {
  return StrFormat(kRearmPortalMonthly, Q(job.jobda1).c(), Q(job.jobke2).c());
}

std::string TextUpdateJobRow(const std::string& jobda1, const std::string& jobke2,
                             const std::string& state, const std::string& jobnam,
                             const std::string& jobusr, const std::string& jobnum,
                             const std::string& jobsda, const std::string& jobeda,
                             int32_t jobstv) {
  return StrFormat(kUpdateJobRow, Q(state).c(), Q(jobnam).c(), Q(jobusr).c(), Q(jobnum).c(),
                   Q(jobsda).c(), Q(jobeda).c(), L(jobstv), Q(jobda1).c(), Q(jobke2).c());
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

int JobTable::OpenRunningJobs(const std::string& state) {
  return session_.OpenCursor(CursorSlot::kRunningJobs, TextOpenRunningJobs(state));
}
int JobTable::FetchRunningJob(JobRecord* job) {
  return FetchStatusColumns(CursorSlot::kRunningJobs, job);
}
int JobTable::CloseRunningJobs() { return session_.CloseCursor(CursorSlot::kRunningJobs); }

int JobTable::OpenRunType(const std::string& run_type) {
  return session_.OpenCursor(CursorSlot::kPermanentJobs, TextOpenRunType(run_type));
}
int JobTable::FetchRunType(JobRecord* job) {
  return FetchStatusColumns(CursorSlot::kPermanentJobs, job);
}
int JobTable::CloseRunType() { return session_.CloseCursor(CursorSlot::kPermanentJobs); }

int JobTable::NextJob(const std::string& text, JobRecord* job) {
  if (text.empty()) return -1;
  return session_.QueryRow(text, {ColumnBinding::Text(job->jobda1, sizeof job->jobda1),
                                  ColumnBinding::Text(job->jobke2, sizeof job->jobke2),
                                  ColumnBinding::Text(job->joburv, sizeof job->joburv),
                                  ColumnBinding::Text(job->jobcmd, sizeof job->jobcmd),
                                  ColumnBinding::Long(&job->jobmrt),
                                  ColumnBinding::Text(job->jobrty, sizeof job->jobrty),
                                  ColumnBinding::Text(job->jobsts, sizeof job->jobsts),
                                  ColumnBinding::Text(job->jobsda, sizeof job->jobsda),
                                  ColumnBinding::Text(job->jobeda, sizeof job->jobeda),
                                  ColumnBinding::Long(&job->jobstv)});
}

int JobTable::NextJob01(const std::string& running_list, JobRecord* job) {
  return NextJob(TextNextJob01(session_.dialect(), running_list), job);
}
int JobTable::NextJob04(const std::string& running_list, JobRecord* job) {
  return NextJob(TextNextJob04(session_.dialect(), running_list), job);
}
int JobTable::NextJob05(const std::string& running_list, JobRecord* job) {
  return NextJob(TextNextJob05(session_.dialect(), running_list), job);
}

int JobTable::UpdateStatusJob(const std::string& state, const std::string& jobda1,
                              const std::string& jobke2) {
  return session_.Execute(TextUpdateStatusJob(state, jobda1, jobke2), true);
}

int JobTable::InsertShortJob(const std::string& jobda1, const std::string& jobke2,
                             const std::string& joburv, const std::string& jobcmd,
                             int32_t jobmrt, const std::string& jobrty) {
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

int JobTable::UpdateJobRow(const std::string& jobda1, const std::string& jobke2,
                           const std::string& state, const std::string& jobnam,
                           const std::string& jobusr, const std::string& jobnum,
                           const std::string& jobsda, const std::string& jobeda,
                           int32_t jobstv) {
  return session_.Execute(TextUpdateJobRow(jobda1, jobke2, state, jobnam, jobusr, jobnum,
                                           jobsda, jobeda, jobstv));
}

}  // namespace kvs
