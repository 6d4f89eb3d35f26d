#include "jobs/run_types.h"

#include "diag/text.h"

namespace kvs {

namespace {

// The selections as the suite has always sent them, every blank kept.
// Blank rows, oldest first (01).
constexpr char kNextBlankMssql[] =
    " SELECT TOP 1 JOBDA1, JOBKE2, JOBURV, JOBCMD, JOBMRT,               JOBRTY, JOBSTS, "
    "JOBSDA, JOBEDA, JOBSTV  FROM KVSYSTEM.KVS500JOB  WHERE JOBRTY = '%s'  AND  (JOBSTS is "
    "NULL OR JOBSTS = '%s')  AND ((JOBURV is not NULL AND JOBURV NOT IN ( %s )) or (JOBURV is "
    "NULL))  ORDER BY JOBDA1, JOBKE2 ";
constexpr char kNextBlankMysql[] =
    " SELECT JOBDA1, JOBKE2, JOBURV, JOBCMD, JOBMRT,         JOBRTY, JOBSTS, JOBSDA, JOBEDA, "
    "JOBSTV  FROM KVSYSTEM.KVS500JOB  WHERE JOBRTY = '%s'  AND  (JOBSTS is NULL OR JOBSTS = "
    "'%s')  AND ((JOBURV is not NULL AND JOBURV NOT IN ( %s )) or (JOBURV is NULL))  ORDER BY "
    "JOBDA1, JOBKE2 LIMIT 0, 1 ";
// Blank rows whose JOBDLT has come on the database server's clock (05).
// The JOBURV condition sits inside the JOBDLT one: a row without JOBDLT
// is taken whatever runs.
constexpr char kNextDelayedMssql[] =
    " SELECT TOP 1 JOBDA1, JOBKE2, JOBURV, JOBCMD, JOBMRT,               JOBRTY, JOBSTS, "
    "JOBSDA, JOBEDA, JOBSTV  FROM KVSYSTEM.KVS500JOB  WHERE JOBRTY = '%s'  AND  (JOBSTS is "
    "NULL OR JOBSTS = '%s')  AND  (JOBDLT is NULL OR JOBDLT <= (convert(CHAR(8), "
    "CURRENT_TIMESTAMP, 112)                        + replace(str(datepart(hh, "
    "CURRENT_TIMESTAMP), 2)                        + str(datepart(mi, CURRENT_TIMESTAMP), 2)   "
    "                     + str(datepart(ss, CURRENT_TIMESTAMP), 2),' ', '0'))  AND ((JOBURV "
    "is not NULL AND JOBURV NOT IN ( %s )) OR (JOBURV is NULL)))  ORDER BY JOBDA1, JOBKE2 ";
constexpr char kNextDelayedMysql[] =
    " SELECT JOBDA1, JOBKE2, JOBURV, JOBCMD, JOBMRT,         JOBRTY, JOBSTS, JOBSDA, JOBEDA, "
    "JOBSTV  FROM KVSYSTEM.KVS500JOB  WHERE JOBRTY = '%s'  AND  (JOBSTS is NULL OR JOBSTS = "
    "'%s')  AND  (JOBDLT is NULL OR JOBDLT <= DATE_FORMAT(CURRENT_TIMESTAMP, "
    "'%%Y%%m%%d%%H%%i%%s') AND ((JOBURV is not NULL AND JOBURV NOT IN ( %s )) OR (JOBURV is "
    "NULL)))  ORDER BY JOBDA1, JOBKE2 LIMIT 0, 1 ";
// Blank or ended rows with attempts left (04, 09); on SQL Server the 09
// text has a blank before its second OR that the 04 text lacks.
constexpr char kNextEndedMssql[] =
    " SELECT TOP 1 JOBDA1, JOBKE2, JOBURV, JOBCMD, JOBMRT,               JOBRTY, JOBSTS, "
    "JOBSDA, JOBEDA, JOBSTV  FROM KVSYSTEM.KVS500JOB  WHERE JOBRTY = '%s'  AND  (JOBSTS is "
    "NULL OR JOBSTS = '%s'OR JOBSTS >= '%s')  AND  JOBSTV < %ld  AND ((JOBURV is not NULL AND "
    "JOBURV NOT IN ( %s )) or (JOBURV is NULL))  ORDER BY JOBDA1, JOBKE2 ";
constexpr char kNextEnded09Mssql[] =
    " SELECT TOP 1 JOBDA1, JOBKE2, JOBURV, JOBCMD, JOBMRT,               JOBRTY, JOBSTS, "
    "JOBSDA, JOBEDA, JOBSTV  FROM KVSYSTEM.KVS500JOB  WHERE JOBRTY = '%s'  AND  (JOBSTS is "
    "NULL OR JOBSTS = '%s' OR JOBSTS >= '%s')  AND  JOBSTV < %ld  AND ((JOBURV is not NULL AND "
    "JOBURV NOT IN ( %s )) or (JOBURV is NULL))  ORDER BY JOBDA1, JOBKE2 ";
constexpr char kNextEndedMysql[] =
    " SELECT JOBDA1, JOBKE2, JOBURV, JOBCMD, JOBMRT,         JOBRTY, JOBSTS, JOBSDA, JOBEDA, "
    "JOBSTV  FROM KVSYSTEM.KVS500JOB  WHERE JOBRTY = '%s'  AND  (JOBSTS is NULL OR JOBSTS = "
    "'%s'OR JOBSTS >= '%s')  AND  JOBSTV < %ld  AND ((JOBURV is not NULL AND JOBURV NOT IN ( "
    "%s )) or (JOBURV is NULL))  ORDER BY JOBDA1, JOBKE2 LIMIT 0, 1";
// Blank or planned rows whose JOBNRT has come (03, 07, 08), one text for
// both dialects: the first row fetched is the job.
constexpr char kNextDue[] =
    "SELECT JOBDA1, JOBKE2, JOBURV, JOBCMD, JOBMRT, JOBRTY,        JOBSTS, JOBSDA, JOBEDA, "
    "JOBSTV   FROM KVSYSTEM.KVS500JOB  WHERE JOBRTY = '%s'    AND (JOBSTS is NULL OR JOBSTS = "
    "'%s' OR JOBSTS = '%s')    AND (JOBNRT <= '%s' %s)    AND ((JOBURV is not null AND JOBURV "
    "NOT IN ( %s )) OR         (JOBURV is null))  ORDER BY JOBNRT, JOBDA1, JOBKE2 ";
// A planned JOBNRT is 14 digits; NULL, empty and blank texts sort before
// "0" and mark a row not yet planned.
constexpr char kUnplannedDue[] = "OR JOBNRT IS NULL";
constexpr char kPlannedOnly[] = "AND JOBNRT >= '0'";

}  // namespace

const std::array<RunTypeRule, 7> kRunTypeRules = {{
    {.run_type = kRunTypeExclusive,
     .upkeep = Upkeep::kNone,
     .selection = {.due = Due::kEarliestStart},
     .failed_start_final = true,
     .exclusive = true,
     .retires_used_up = true,
     .passes_start_attempts = true,
     .select_failed = kLogSelect05Failed,
     .select_error = kErrSelect05,
     .error = kErrStart05},
    {.run_type = kRunTypePermanent,
     .upkeep = Upkeep::kNone,
     .selection = {.takes = Takes::kEnded, .limits_attempts = true},
     .held_by_exclusive = true,
     .runs_beside_exclusive = true,
     .passes_start_attempts = true,
     .beat_label = "Start RT04Jobs",
     .select_failed = kLogSelect04Failed,
     .select_error = kErrRunType04,
     .error = kErrRunType04},
    {.run_type = kRunTypeQueue,
     .upkeep = Upkeep::kPortalCheck,
     .selection = {.takes = Takes::kBlank},
     .failed_start_final = true,
     .held_by_exclusive = true,
     .bounded_by_max_jobs = true,
     .retires_used_up = true,
     .passes_start_attempts = true,
     .select_failed = kLogSelect01Failed,
     .select_error = kErrRunType01,
     .error = kErrRunType01},
    {.run_type = kRunTypePeriodic,
     .upkeep = Upkeep::kUpdate03,
     .selection = {.takes = Takes::kPlanned, .due = Due::kNextRun},
     .rests_outside_window = true,
     .held_by_exclusive = true,
     .select_failed = kLogReadJobFailed,
     .select_failed_names_rc = true,
     .select_error = kErrRunType03,
     .error = kErrRunType03},
    {.run_type = kRunTypeCalendar,
     .upkeep = Upkeep::kReschedule07,
     .selection = {.takes = Takes::kPlanned,
                   .due = Due::kNextRun,
                   .unplanned_due = true,
                   .empties_running_list = true},
     .failed_start_final = true,
     .held_by_exclusive = true,
     .beat_label = "CheckKvs500Job07 Ende",
     .missed_beat_ends_pass = true,
     .select_failed_first = kLogError07,
     .select_failed = kLogReadJobFailed,
     .select_failed_names_rc = true,
     .select_error = kErrRunType07,
     .error = kErrRunType07},
    {.run_type = kRunTypeDayEnd,
     .upkeep = Upkeep::kExpandDayEnd,
     .selection = {.takes = Takes::kPlanned,
                   .due = Due::kNextRun,
                   .unplanned_due = true,
                   .empties_running_list = true},
     .held_by_exclusive = true,
     .beat_label = "checkKvsJobs08",
     .missed_beat_ends_pass = true,
     .select_failed = kLogReadJobFailed,
     .select_failed_names_rc = true,
     .select_error = kErrRunType08,
     .error = kErrRunType08},
    {.run_type = kRunTypeRestart,
     .upkeep = Upkeep::kNone,
     .selection = {.takes = Takes::kEnded, .limits_attempts = true, .empties_running_list = true},
     .held_by_exclusive = true,
     .runs_beside_exclusive = true,
     .passes_start_attempts = true,
     .beat_label = "checkKvsJobs09",
     .missed_beat_ends_pass = true,
     .select_failed = kLogReadJobFailed,
     .select_failed_names_rc = true,
     .select_error = kErrRunType09,
     .error = kErrRunType09},
}};

const RunTypeRule* RuleOf(RunType run_type) { return RuleOfField(run_type.text()); }

const RunTypeRule* RuleOfField(const char* jobrty) {
  for (const RunTypeRule& rule : kRunTypeRules) {
    if (rule.run_type.In(jobrty)) return &rule;
  }
  return nullptr;
}

bool HoldsExclusive(const char* jobrty) {
  const RunTypeRule* rule = RuleOfField(jobrty);
  return rule == nullptr || !rule->runs_beside_exclusive;
}

SqlStatement TextNextJob(const RunTypeRule& rule, Dialect dialect, const std::string& now,
                         const SqlList& running_list) {
  // The selection's fields pick the statement; fields the suite has no
  // statement for give "", a failed selection.
  const Selection& s = rule.selection;
  const SqlText run_type(rule.run_type);
  const SqlText blank(kStateBlank);
  if (s.takes == Takes::kPlanned && s.due == Due::kNextRun) {
    return SqlFormat(kNextDue, run_type, blank, SqlText(kStatePlanned), SqlText(now),
                     s.unplanned_due ? SqlFragment(kUnplannedDue) : SqlFragment(kPlannedOnly),
                     running_list);
  }
  if (dialect == Dialect::kUnknown) return SqlStatement();
  const bool mssql = dialect == Dialect::kMssql;
  if (s.takes == Takes::kEnded && s.limits_attempts && s.due == Due::kAtOnce) {
    const SqlText ended(kStateStartFailed);
    const SqlNumber below(kMaxStartAttempts + 1);
    if (!mssql) return SqlFormat(kNextEndedMysql, run_type, blank, ended, below, running_list);
    if (rule.run_type == kRunTypeRestart) {
      return SqlFormat(kNextEnded09Mssql, run_type, blank, ended, below, running_list);
    }
    return SqlFormat(kNextEndedMssql, run_type, blank, ended, below, running_list);
  }
  if (s.takes != Takes::kBlank || s.limits_attempts) return SqlStatement();
  if (s.due == Due::kEarliestStart) {
    return mssql ? SqlFormat(kNextDelayedMssql, run_type, blank, running_list)
                 : SqlFormat(kNextDelayedMysql, run_type, blank, running_list);
  }
  if (s.due != Due::kAtOnce) return SqlStatement();
  return mssql ? SqlFormat(kNextBlankMssql, run_type, blank, running_list)
               : SqlFormat(kNextBlankMysql, run_type, blank, running_list);
}

bool SelectionTakes(const RunTypeRule& rule, const JobRecord& row, const std::string& now) {
  const Selection& s = rule.selection;
  // The database compares texts with trailing blanks ignored.
  const std::string sts = RightTrim(row.jobsts);
  const bool state_taken = sts.empty() ||
                           (s.takes == Takes::kPlanned && kStatePlanned.In(sts.c_str())) ||
                           (s.takes == Takes::kEnded && kStateStartFailed.AtOrBelow(sts.c_str()));
  if (!state_taken || (s.limits_attempts && row.jobstv > kMaxStartAttempts)) return false;
  switch (s.due) {
    case Due::kAtOnce:
      return true;
    case Due::kEarliestStart:
      return RightTrim(row.jobdlt) <= now;
    case Due::kNextRun: {
      const std::string nrt = RightTrim(row.jobnrt);
      if (nrt < "0") return s.unplanned_due;
      return nrt <= now;
    }
  }
  return false;
}

}  // namespace kvs
