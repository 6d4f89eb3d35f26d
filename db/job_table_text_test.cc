#include <algorithm>
#include <cstdint>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "db/job_table.h"
#include "db/session.h"
#include "diag/text.h"
#include "gtest/gtest.h"
#include "jobs/periodic_jobs.h"
#include "jobs/run_types.h"
#include "jobs/scheduled_jobs.h"
#include "jobs/system_jobs.h"

namespace kvs {
namespace {

// The statement templates as the suite defines them, typed here on their
// own so that a changed blank in job_table.cc shows up. "%s" takes a text,
// "%ld" a number.
constexpr char kRunningJobs[] =
    "SELECT JOBDA1, JOBKE2, JOBURV,        JOBRTY, JOBSTS, JOBNAM,        JOBUSR, JOBNUM, "
    "JOBSDA,        JOBEDA, JOBMRT, JOBSTV FROM   KVSYSTEM.KVS500JOB WHERE  JOBSTS = '%s' "
    "AND    JOBRTY <> '06' ";
constexpr char kRunType[] =
    "SELECT JOBDA1, JOBKE2, JOBURV,        JOBRTY, JOBSTS, JOBNAM,        JOBUSR, JOBNUM, "
    "JOBSDA,        JOBEDA, JOBMRT, JOBSTV FROM   KVSYSTEM.KVS500JOB WHERE  JOBRTY = '%s' ";
constexpr char kNext01Mssql[] =
    " SELECT TOP 1 JOBDA1, JOBKE2, JOBURV, JOBCMD, JOBMRT,               JOBRTY, JOBSTS, "
    "JOBSDA, JOBEDA, JOBSTV  FROM KVSYSTEM.KVS500JOB  WHERE JOBRTY = '01'  AND  (JOBSTS is "
    "NULL OR JOBSTS = '  ')  AND ((JOBURV is not NULL AND JOBURV NOT IN ( %s )) or (JOBURV "
    "is NULL))  ORDER BY JOBDA1, JOBKE2 ";
constexpr char kNext01Mysql[] =
    " SELECT JOBDA1, JOBKE2, JOBURV, JOBCMD, JOBMRT,         JOBRTY, JOBSTS, JOBSDA, "
    "JOBEDA, JOBSTV  FROM KVSYSTEM.KVS500JOB  WHERE JOBRTY = '01'  AND  (JOBSTS is NULL OR "
    "JOBSTS = '  ')  AND ((JOBURV is not NULL AND JOBURV NOT IN ( %s )) or (JOBURV is "
    "NULL))  ORDER BY JOBDA1, JOBKE2 LIMIT 0, 1 ";
constexpr char kNext04Mssql[] =
    " SELECT TOP 1 JOBDA1, JOBKE2, JOBURV, JOBCMD, JOBMRT,               JOBRTY, JOBSTS, "
    "JOBSDA, JOBEDA, JOBSTV  FROM KVSYSTEM.KVS500JOB  WHERE JOBRTY = '04'  AND  (JOBSTS is "
    "NULL OR JOBSTS = '  'OR JOBSTS >= '90')  AND  JOBSTV < 11  AND ((JOBURV is not NULL "
    "AND JOBURV NOT IN ( %s )) or (JOBURV is NULL))  ORDER BY JOBDA1, JOBKE2 ";
constexpr char kNext04Mysql[] =
    " SELECT JOBDA1, JOBKE2, JOBURV, JOBCMD, JOBMRT,         JOBRTY, JOBSTS, JOBSDA, "
    "JOBEDA, JOBSTV  FROM KVSYSTEM.KVS500JOB  WHERE JOBRTY = '04'  AND  (JOBSTS is NULL OR "
    "JOBSTS = '  'OR JOBSTS >= '90')  AND  JOBSTV < 11  AND ((JOBURV is not NULL AND "
    "JOBURV NOT IN ( %s )) or (JOBURV is NULL))  ORDER BY JOBDA1, JOBKE2 LIMIT 0, 1";
constexpr char kNext05Mssql[] =
    " SELECT TOP 1 JOBDA1, JOBKE2, JOBURV, JOBCMD, JOBMRT,               JOBRTY, JOBSTS, "
    "JOBSDA, JOBEDA, JOBSTV  FROM KVSYSTEM.KVS500JOB  WHERE JOBRTY = '05'  AND  (JOBSTS is "
    "NULL OR JOBSTS = '  ')  AND  (JOBDLT is NULL OR JOBDLT <= (convert(CHAR(8), "
    "CURRENT_TIMESTAMP, 112)                        + replace(str(datepart(hh, "
    "CURRENT_TIMESTAMP), 2)                        + str(datepart(mi, CURRENT_TIMESTAMP), "
    "2)                        + str(datepart(ss, CURRENT_TIMESTAMP), 2),' ', '0'))  AND "
    "((JOBURV is not NULL AND JOBURV NOT IN ( %s )) OR (JOBURV is NULL)))  ORDER BY "
    "JOBDA1, JOBKE2 ";
constexpr char kNext05Mysql[] =
    " SELECT JOBDA1, JOBKE2, JOBURV, JOBCMD, JOBMRT,         JOBRTY, JOBSTS, JOBSDA, "
    "JOBEDA, JOBSTV  FROM KVSYSTEM.KVS500JOB  WHERE JOBRTY = '05'  AND  (JOBSTS is NULL OR "
    "JOBSTS = '  ')  AND  (JOBDLT is NULL OR JOBDLT <= DATE_FORMAT(CURRENT_TIMESTAMP, "
    "'%%Y%%m%%d%%H%%i%%s') AND ((JOBURV is not NULL AND JOBURV NOT IN ( %s )) OR (JOBURV "
    "is NULL)))  ORDER BY JOBDA1, JOBKE2 LIMIT 0, 1 ";
constexpr char kNext09Mssql[] =
    " SELECT TOP 1 JOBDA1, JOBKE2, JOBURV, JOBCMD, JOBMRT,               JOBRTY, JOBSTS, "
    "JOBSDA, JOBEDA, JOBSTV  FROM KVSYSTEM.KVS500JOB  WHERE JOBRTY = '09'  AND  (JOBSTS is "
    "NULL OR JOBSTS = '  ' OR JOBSTS >= '90')  AND  JOBSTV < 11  AND ((JOBURV is not NULL "
    "AND JOBURV NOT IN ( %s )) or (JOBURV is NULL))  ORDER BY JOBDA1, JOBKE2 ";
constexpr char kNext09Mysql[] =
    " SELECT JOBDA1, JOBKE2, JOBURV, JOBCMD, JOBMRT,         JOBRTY, JOBSTS, JOBSDA, "
    "JOBEDA, JOBSTV  FROM KVSYSTEM.KVS500JOB  WHERE JOBRTY = '09'  AND  (JOBSTS is NULL OR "
    "JOBSTS = '  'OR JOBSTS >= '90')  AND  JOBSTV < 11  AND ((JOBURV is not NULL AND "
    "JOBURV NOT IN ( %s )) or (JOBURV is NULL))  ORDER BY JOBDA1, JOBKE2 LIMIT 0, 1";
// The due-job query of 03, 07 and 08, one text for every dialect: run
// type, now, running-job list. A periodic row without JOBNRT is not due.
constexpr char kDue03[] =
    "SELECT JOBDA1, JOBKE2, JOBURV, JOBCMD, JOBMRT, JOBRTY,        JOBSTS, JOBSDA, JOBEDA, "
    "JOBSTV   FROM KVSYSTEM.KVS500JOB  WHERE JOBRTY = '%s'    AND (JOBSTS is NULL OR JOBSTS "
    "= '  ' OR JOBSTS = '00')    AND (JOBNRT <= '%s' AND JOBNRT >= '0')    AND ((JOBURV is "
    "not null AND JOBURV NOT IN ( %s )) OR         (JOBURV is null))  ORDER BY JOBNRT, "
    "JOBDA1, JOBKE2 ";
constexpr char kDue0708[] =
    "SELECT JOBDA1, JOBKE2, JOBURV, JOBCMD, JOBMRT, JOBRTY,        JOBSTS, JOBSDA, JOBEDA, "
    "JOBSTV   FROM KVSYSTEM.KVS500JOB  WHERE JOBRTY = '%s'    AND (JOBSTS is NULL OR JOBSTS "
    "= '  ' OR JOBSTS = '00')    AND (JOBNRT <= '%s' OR JOBNRT IS NULL)    AND ((JOBURV is "
    "not null AND JOBURV NOT IN ( %s )) OR         (JOBURV is null))  ORDER BY JOBNRT, "
    "JOBDA1, JOBKE2 ";
constexpr char kStatusUpdate[] =
    "UPDATE KVSYSTEM.KVS500JOB SET    JOBSTS = '%s'  WHERE JOBDA1 = '%s'  AND   JOBKE2 = "
    "'%s' ";
constexpr char kShortInsert[] =
    " INSERT INTO KVSYSTEM.KVS500JOB         (JobDa1, JobKe2, JobUrv, JobCmd, JobMrt, "
    "JobRty, JobStv)  VALUES ('%s', '%s', '%s', '%s', %ld, '%s', 0) ";
constexpr char kDelete[] =
    "DELETE FROM KVSYSTEM.KVS500JOB WHERE  JOBDA1 = '%s' AND    JOBKE2 = '%s' ";
constexpr char kCleanupMssql[] =
    "DELETE FROM KVSYSTEM.KVS500JOB WHERE  JOBRTY  = '01' AND    JOBDA1 <= "
    "convert(char(8), dateadd(d, -30, CURRENT_TIMESTAMP), 112) AND    JOBDA1 <> "
    "'20010101120000' AND    JOBKE2 <> 'ESP VERARBEITUNG' ";
constexpr char kReschedule[] =
    "UPDATE KVSYSTEM.KVS500JOB SET    JOBSTS = '%s',        JOBNRT = '%s'  WHERE  JOBDA1 = "
    "'%s'  AND    JOBKE2 = '%s'";
constexpr char kResetAttempts[] =
    "UPDATE KVSYSTEM.KVS500JOB SET    JOBSTV = 0 WHERE  JOBRTY = '04' AND    JOBSTV > 1 ";
constexpr char kSystemInsert[] =
    "INSERT INTO KVSYSTEM.KVS500JOB  (JobDa1, JobKe2, JobUrv, JobCmd, JobRty, JobStv, "
    "JobNrt, JobDls) VALUES   ('%s', '%s', '%s', '%s', '%s', %ld, '%s', %ld) ";
constexpr char kFullInsert[] =
    "INSERT INTO KVSYSTEM.KVS500JOB  (JobDa1, JobKe2, JobUrv, JobCmd,   JobCdi, JobPrm, "
    "JobRus, JobMrt,   JobRty, JobPri, JobDls, JobDlt,   JobBem, JobScd, JobSts, JobNam,   "
    "JobUsr, JobNum, JobSda, JobEda,   JobNrt, JobStv) VALUES   ('%s', '%s', '%s', "
    "'%s',    '%s', '%s', '%s',  %ld,    '%s',  %ld,  %ld, '%s',    '%s', '%s', '%s', "
    "'%s',    '%s', '%s', '%s', '%s',    '%s', %ld) ";
constexpr char kPortalRearm[] =
    "UPDATE KVSYSTEM.KVS500JOB SET    JOBSTS = '  ',        JOBSDA = '',        JOBEDA = "
    "'',        JOBSTV = 0  WHERE  JOBDA1 = '%s'  AND    JOBKE2 = '%s'  AND    JOBPRM > "
    "'0'  AND    JOBSTS > '90' ";
constexpr char kPortalRearmMonthly[] =
    "UPDATE KVSYSTEM.KVS500JOB SET    JOBSTS = '  ',        JOBSDA = '',        JOBEDA = "
    "'',        JOBPRM = '2',        JOBSTV = 0  WHERE  JOBDA1 = '%s'  AND    JOBKE2 = "
    "'%s'  AND    JOBSTS > '90' ";
constexpr char kJobRowUpdate[] =
    "UPDATE KVSYSTEM.KVS500JOB SET    JOBSTS = '%s',        JOBNAM = '%s',        JOBUSR = "
    "'%s',        JOBNUM = '%s',        JOBSDA = '%s',        JOBEDA = '%s',        JOBSTV "
    "= %ld  WHERE  JOBDA1 = '%s'  AND    JOBKE2 = '%s' ";

// Every value a statement takes, in job record order.
struct Values {
  std::string da1, ke2, urv, cmd, cdi, prm, rus;
  int32_t mrt;
  std::string rty;
  int32_t pri, dls;
  std::string dlt, bem, scd, sts, nam, usr, num, sda, eda, nrt;
  int32_t stv;
};

JobRecord ToRecord(const Values& v) {
  JobRecord r;
  SetField(r.jobda1, v.da1);
  SetField(r.jobke2, v.ke2);
  SetField(r.joburv, v.urv);
  SetField(r.jobcmd, v.cmd);
  SetField(r.jobcdi, v.cdi);
  SetField(r.jobprm, v.prm);
  SetField(r.jobrus, v.rus);
  r.jobmrt = v.mrt;
  SetField(r.jobrty, v.rty);
  r.jobpri = v.pri;
  r.jobdls = v.dls;
  SetField(r.jobdlt, v.dlt);
  SetField(r.jobbem, v.bem);
  SetField(r.jobscd, v.scd);
  SetField(r.jobsts, v.sts);
  SetField(r.jobnam, v.nam);
  SetField(r.jobusr, v.usr);
  SetField(r.jobnum, v.num);
  SetField(r.jobsda, v.sda);
  SetField(r.jobeda, v.eda);
  SetField(r.jobnrt, v.nrt);
  r.jobstv = v.stv;
  return r;
}

using Texts = std::vector<std::pair<const char*, std::string>>;

// The texts of the statements that have one form for both dialects.
Texts Actual(const Values& v) {
  const JobRecord r = ToRecord(v);
  return {
      {"status update", TextUpdateStatusJob(v.sts, v.da1, v.ke2).text()},
      {"delete", TextDeleteJob(v.da1, v.ke2).text()},
      {"reschedule", TextRescheduleJob(r).text()},
      {"reset attempts", TextResetPermanentStartAttempts().text()},
      {"system insert", TextInsertSystemJob(r).text()},
      {"full insert", TextInsertFullJob(r).text()},
      {"portal re-arm", TextRearmPortalJob(r).text()},
      {"monthly re-arm", TextRearmPortalJobMonthly(r).text()},
      {"job row update", TextUpdateJobRow(r).text()},
  };
}

// The same statements from the templates above; q holds the values as
// they must appear between the quotes.
Texts Expected(const Values& q) {
  auto c = [](const std::string& s) { return s.c_str(); };
  auto l = [](int32_t n) { return static_cast<long>(n); };
  return {
      {"status update", StrFormat(kStatusUpdate, c(q.sts), c(q.da1), c(q.ke2))},
      {"delete", StrFormat(kDelete, c(q.da1), c(q.ke2))},
      {"reschedule", StrFormat(kReschedule, c(q.sts), c(q.nrt), c(q.da1), c(q.ke2))},
      {"reset attempts", kResetAttempts},
      {"system insert", StrFormat(kSystemInsert, c(q.da1), c(q.ke2), c(q.urv), c(q.cmd), c(q.rty),
                                  l(q.stv), c(q.nrt), l(q.dls))},
      {"full insert",
       StrFormat(kFullInsert, c(q.da1), c(q.ke2), c(q.urv), c(q.cmd), c(q.cdi), c(q.prm), c(q.rus),
                 l(q.mrt), c(q.rty), l(q.pri), l(q.dls), c(q.dlt), c(q.bem), c(q.scd), c(q.sts),
                 c(q.nam), c(q.usr), c(q.num), c(q.sda), c(q.eda), c(q.nrt), l(q.stv))},
      {"portal re-arm", StrFormat(kPortalRearm, c(q.da1), c(q.ke2))},
      {"monthly re-arm", StrFormat(kPortalRearmMonthly, c(q.da1), c(q.ke2))},
      {"job row update", StrFormat(kJobRowUpdate, c(q.sts), c(q.nam), c(q.usr), c(q.num), c(q.sda),
                                   c(q.eda), l(q.stv), c(q.da1), c(q.ke2))},
  };
}

void ExpectSameTexts(const Texts& actual, const Texts& expected, const std::string& label) {
  ASSERT_EQ(actual.size(), expected.size());
  for (size_t i = 0; i < actual.size(); ++i) {
    EXPECT_EQ(actual[i].second, expected[i].second) << actual[i].first << " " << label;
  }
}

// Every field distinct, so swapped placeholders show; the numbers at the
// 32-bit limits, so a narrowing or a wrong length modifier shows.
Values Sample() {
  return {"20260105080000",
          "KEY 1",
          "URV1",
          "cmd.exe /c x",
          "C:\\KVS",
          "PRM",
          "RUS",
          2147483647,
          "04",
          -2147483647 - 1,
          3,
          "20260106000000",
          "remark",
          "PLAN1",
          "98",
          "kvsdemo",
          "USR",
          "4711",
          "20260105080001",
          "20260105080002",
          "20260107000000",
          -1};
}

// Catches any changed, lost or added blank, a swapped placeholder or a
// number printed wrongly in a statement with one text for both dialects.
TEST(JobTableTextTest, StatementsMatchTheirTemplates) {
  const Values v = Sample();
  ExpectSameTexts(Actual(v), Expected(v), "");
  // Run types and states are codes of the program's own.
  EXPECT_EQ(TextOpenRunningJobs(kStateRunning), StrFormat(kRunningJobs, "01"));
  EXPECT_EQ(TextOpenRunType(kRunTypePermanent), StrFormat(kRunType, "04"));
  EXPECT_EQ(TextInsertShortJob("it's", "K", "U", "c", 7, kRunTypeStatus),
            StrFormat(kShortInsert, "it''s", "K", "U", "c", 7L, "99"));
  EXPECT_EQ(TextCleanupOldQueueJobs(Dialect::kMssql), kCleanupMssql);
}

// Catches a next-job selection of any run type typed wrong in either
// dialect, the two dialects swapped, the running-job list quoted a second
// time, a selection built for an unknown dialect (it must not reach the
// database), the due-job query not the same in every dialect, and a run
// type of the pass without its statement here.
TEST(JobTableTextTest, NextJobSelectionsPerDialect) {
  struct Case {
    RunType run_type;
    Dialect dialect;
    const char* templ;  // nullptr: no statement
  };
  const Case cases[] = {
      {kRunTypeQueue, Dialect::kMssql, kNext01Mssql},
      {kRunTypeQueue, Dialect::kMysql, kNext01Mysql},
      {kRunTypeQueue, Dialect::kUnknown, nullptr},
      {kRunTypePermanent, Dialect::kMssql, kNext04Mssql},
      {kRunTypePermanent, Dialect::kMysql, kNext04Mysql},
      {kRunTypePermanent, Dialect::kUnknown, nullptr},
      {kRunTypeExclusive, Dialect::kMssql, kNext05Mssql},
      {kRunTypeExclusive, Dialect::kMysql, kNext05Mysql},
      {kRunTypeExclusive, Dialect::kUnknown, nullptr},
      {kRunTypeRestart, Dialect::kMssql, kNext09Mssql},
      {kRunTypeRestart, Dialect::kMysql, kNext09Mysql},
      {kRunTypeRestart, Dialect::kUnknown, nullptr},
      {kRunTypePeriodic, Dialect::kMssql, kDue03},
      {kRunTypePeriodic, Dialect::kMysql, kDue03},
      {kRunTypePeriodic, Dialect::kUnknown, kDue03},
      {kRunTypeCalendar, Dialect::kMssql, kDue0708},
      {kRunTypeCalendar, Dialect::kMysql, kDue0708},
      {kRunTypeCalendar, Dialect::kUnknown, kDue0708},
      {kRunTypeDayEnd, Dialect::kMssql, kDue0708},
      {kRunTypeDayEnd, Dialect::kMysql, kDue0708},
      {kRunTypeDayEnd, Dialect::kUnknown, kDue0708},
  };
  const std::vector<std::pair<std::vector<const char*>, const char*>> lists = {
      {{}, "' '"},
      {{"a", "it's", "C:\\jobs\\"}, "'a', 'it''s', 'C:\\jobs\\'"},
      {{"100%"}, "'100%'"}};
  const char kNow[] = "20261207101700";
  for (const Case& c : cases) {
    const bool due = c.templ == kDue03 || c.templ == kDue0708;
    for (const auto& [items, text] : lists) {
      SqlList list;
      for (const char* item : items) list.Append(SqlText(item));
      const std::string expected = c.templ == nullptr ? ""
                                   : due ? StrFormat(c.templ, c.run_type.text(), kNow, text)
                                         : StrFormat(c.templ, text);
      EXPECT_EQ(TextNextJob(*RuleOf(c.run_type), c.dialect, kNow, list), expected)
          << c.run_type.text() << " dialect " << static_cast<int>(c.dialect) << " list " << text;
    }
  }
  for (const RunTypeRule& rule : kRunTypeRules) {
    EXPECT_EQ(3, std::count_if(std::begin(cases), std::end(cases),
                               [&](const Case& c) { return c.run_type == rule.run_type; }))
        << rule.run_type.text();
  }
  // The date format reaches MySQL with single percent signs.
  const std::string mysql05 =
      TextNextJob(*RuleOf(kRunTypeExclusive), Dialect::kMysql, kNow, SqlList()).text();
  EXPECT_NE(mysql05.find("DATE_FORMAT(CURRENT_TIMESTAMP, '%Y%m%d%H%i%s')"), std::string::npos);
  EXPECT_EQ(mysql05.find("%%"), std::string::npos);
}

// The statements of the run types' own upkeep, as the suite sends them.
TEST(JobTableTextTest, UpkeepStatementsAsSent) {
  JobRecord job;
  SetField(job.jobda1, "20261207000000");
  SetField(job.jobke2, "Report#Team A#00001#00002");
  SetField(job.jobsts, kStatePlanned);
  SetField(job.jobnrt, "20261208063000");
  SetField(job.joburv, "DayEnd");
  SetField(job.jobcmd, "DayEnd.exe /NODNL");
  SetField(job.jobrty, kRunTypeDayEnd);
  job.jobstv = 1;
  const ScheduleKey key = SplitScheduleKey(job.jobke2);
  constexpr char kJobList[] =
      "SELECT JOBDA1, JOBKE2, JOBURV,        JOBCMD, JOBMRT, JOBRTY,        JOBPRI, JOBSCD, "
      "JOBSTS,        JOBSDA, JOBEDA, JOBNRT,        JOBSTV, COALESCE(JOBDLS, 0) FROM   "
      "KVSYSTEM.KVS500JOB WHERE  JOBRTY = '03'";
  constexpr char kDayEndColumns[] =
      " SELECT MNDT01, MNDT02, MNDT03, MNDT04, MNDT05, MNDT06,         MNDT07, MNDT08, MNDT09, "
      "MNDT10, MNDT11, MNDT12,         MNDD01, MNDD02, MNDD03, MNDD04, MNDD05, MNDD06,         "
      "MNDD07, MNDD08, MNDD09, MNDD10, MNDD11, MNDD12  FROM KVSYSTEM.KVS112MND  WHERE ";
  constexpr char kDayEndSum[] =
      "MNDT01+MNDT02+MNDT03+MNDT04+MNDT05+MNDT06+        MNDT07+MNDT08+MNDT09+MNDT10+MNDT11+"
      "MNDT12+        MNDD01+MNDD02+MNDD03+MNDD04+MNDD05+MNDD06+        MNDD07+MNDD08+MNDD09+"
      "MNDD10+MNDD11+MNDD12 > 0 ";
  const std::string day_end_columns = kDayEndColumns;
  const struct {
    const char* what;
    SqlStatement actual;
    std::string expected;
  } cases[] = {
      {"03 job list", TextReadJobList(kRunTypePeriodic), kJobList},
      {"03 job list, unplanned", TextReadJobList(kRunTypePeriodic, true),
       std::string(kJobList) +
           " AND (JOBNRT IS NULL OR JOBNRT < '0') AND (JOBSTS IS NULL OR JOBSTS <> '97')"},
      {"time-plan window", TextPlanWindow(0, "PLAN", 7, 615),
       "SELECT TPLVON, TPLBIS, TPLVRZ FROM   KVSYSTEM.KVS139TPL WHERE  TPLZPL = 'PLAN' AND    "
       "TPLWTG = 7 AND    TPLVON <= 615 AND    TPLBIS >  615 AND    TPLSTA = 1"},
      {"duty-plan window, kind 1", TextPlanWindow(1, "PLAN", 1, 0),
       "SELECT DZTVON, DZTBIS, DZTVRZ FROM KVSYSTEM.KVS141DZT WHERE  DZTZPL = 'PLAN' AND    "
       "DZTWTG = 1 AND    DZTVON <= 0 AND    DZTBIS >  0 AND    DZTSTA = 1"},
      {"duty-plan window, kind 5", TextPlanWindow(5, "PLAN", 1, 0),
       "SELECT DZTVON, DZTBIS, DZTVRZ FROM KVSYSTEM.KVS141DZT WHERE  DZTZPL = 'PLAN' AND    "
       "DZTWTG = 1 AND    DZTVON <= 0 AND    DZTBIS >  0 AND    DZTSTA = 1"},
      {"schedule, SQL Server", TextReadSchedule(Dialect::kMssql, key),
       "SELECT SCDART, SCDTYP, SCDTAG, CONVERT(CHAR(8), SCDDTM, 112), REPLACE(STR(DATEPART(hh, "
       "SCDUHR),2) + str(DATEPART(mi,SCDUHR),2) + str(DATEPART(ss,SCDUHR),2), ' ','0'), SCDDWH, "
       "CONVERT(CHAR(8), SCDBIS, 112) FROM KVSYSTEM.KVS800SCD WHERE SCDLIZ = '00001' AND   "
       "SCDMND = '00002' AND   SCDNAM = 'Report' AND   SCDSBE = 'Team A' "},
      {"schedule, MySQL", TextReadSchedule(Dialect::kMysql, key),
       "SELECT SCDART, SCDTYP, SCDTAG, DATE_FORMAT(SCDDTM, '%Y%m%d'), TIME_FORMAT(SCDUHR, "
       "'%H%i%s'), SCDDWH, COALESCE(DATE_FORMAT(SCDBIS, '%Y%m%d'), 0) FROM KVSYSTEM.KVS800SCD "
       "WHERE SCDLIZ = '00001' AND   SCDMND = '00002' AND   SCDNAM = 'Report' AND   SCDSBE = "
       "'Team A' "},
      {"schedule, other dialect", TextReadSchedule(Dialect::kUnknown, key), ""},
      {"07 re-arm", TextRearm07(job),
       "UPDATE KVSYSTEM.KVS500JOB SET    JOBSTS = '00',        JOBDLS = '0' WHERE  JOBDA1 = "
       "'20261207000000' AND    JOBKE2 = 'Report#Team A#00001#00002'"},
      {"07 next run", TextWriteNextRun07(job),
       "UPDATE KVSYSTEM.KVS500JOB SET    JOBSTS = '00',        JOBNRT = '20261208063000',     "
       "   JOBSTV = 0  WHERE  JOBDA1 = '20261207000000'  AND    JOBKE2 = "
       "'Report#Team A#00001#00002' "},
      {"day-end times, main client", TextDayEndTimes(true),
       day_end_columns + "MNDSCH = 'KORVALINE' AND   MNDKON = 0  AND   " + kDayEndSum},
      {"day-end times, first client", TextDayEndTimes(false),
       day_end_columns + "MNDKON = 0  AND   " + kDayEndSum + " ORDER BY MNDNUM "},
      {"day-end row", TextInsertDayEnd(job),
       "INSERT INTO KVSYSTEM.KVS500JOB   (JobDa1, JobKe2, JobUrv, JobCmd, JobRty, JobStv, "
       "JobNrt) VALUES   ('20261207000000',   'Report#Team A#00001#00002',   'DayEnd',   "
       "'DayEnd.exe /NODNL',   '08',   1,      '20261208063000') "},
      {"last start", TextReadLastStart(job),
       "SELECT JOBSTS, JOBSDA, JOBNUM FROM KVSYSTEM.KVS500JOB WHERE JOBDA1 = '20261207000000' AND "
       "JOBKE2 = 'Report#Team A#00001#00002'"},
      {"unfinished downloads", TextCountUnfinishedDownloads(),
       "SELECT COUNT(*) FROM   KVSYSTEM.KVSAUTODNL WHERE  DNLKEY = (select max(dnlkey)  from  "
       "kvsystem.kvsautodnl  where dnlusr <> 'DNL-Plan Antrag') AND   (DNLSTA < 7 OR (DNLSTA = "
       "7 AND DNLERR > 10))"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.actual, c.expected) << c.what;
}

// The statements of several controllers on one table, in both dialects.
TEST(JobTableTextTest, NodeStatementsPerDialect) {
  JobRecord blank;
  SetField(blank.jobda1, "20261207000000");
  SetField(blank.jobke2, "Q'1");
  JobRecord failed = blank;
  SetField(failed.jobsts, kStateStartFailed);
  JobRecord named = blank;
  SetField(named.joburv, "U'1 ");
  SqlList beside;
  for (const char* type : {"06", "04", "09"}) beside.Append(SqlText(type));
  const struct {
    const char* what;
    SqlStatement actual;
    const char* expected;
  } cases[] = {
      {"new status row, SQL Server", TextInsertNodeStatus(Dialect::kMssql, "srv-1", "i'1"),
       "INSERT INTO KVSYSTEM.KVS500JOB (JobDa1, JobKe2, JobUrv, JobCmd, JobMrt, JobRty, "
       "JobStv, JobSda, JobNam) VALUES ('99999999999999', 'JOBSTARTER srv-1', 'KNOTEN', '', 0, "
       "'99', 0, (CONVERT(CHAR(8), GETUTCDATE(), 112) + REPLACE(CONVERT(CHAR(8), GETUTCDATE(), "
       "108), ':', '')), 'i''1')"},
      {"name taken, SQL Server", TextJoinNode(Dialect::kMssql, "srv-1", "i2", "i'1"),
       "UPDATE KVSYSTEM.KVS500JOB SET JOBSDA = (CONVERT(CHAR(8), GETUTCDATE(), 112) + "
       "REPLACE(CONVERT(CHAR(8), GETUTCDATE(), 108), ':', '')), JOBSTS = NULL, JOBNAM = 'i2' "
       "WHERE JOBDA1 = '99999999999999' AND JOBKE2 = 'JOBSTARTER srv-1' AND COALESCE(JOBNAM, '') "
       "= 'i''1'"},
      {"lease, SQL Server", TextRenewNode(Dialect::kMssql, "srv-1", "i2"),
       "UPDATE KVSYSTEM.KVS500JOB SET JOBSDA = (CONVERT(CHAR(8), GETUTCDATE(), 112) + "
       "REPLACE(CONVERT(CHAR(8), GETUTCDATE(), 108), ':', '')) WHERE JOBDA1 = '99999999999999' "
       "AND JOBKE2 = 'JOBSTARTER srv-1' AND JOBNAM = 'i2' AND JOBSTS IS NULL"},
      {"back after a take-over, SQL Server", TextRejoinNode(Dialect::kMssql, "srv-1", "i2"),
       "UPDATE KVSYSTEM.KVS500JOB SET JOBSDA = (CONVERT(CHAR(8), GETUTCDATE(), 112) + "
       "REPLACE(CONVERT(CHAR(8), GETUTCDATE(), 108), ':', '')), JOBSTS = NULL WHERE JOBDA1 = "
       "'99999999999999' AND JOBKE2 = 'JOBSTARTER srv-1' AND JOBNAM = 'i2'"},
      {"left, SQL Server", TextLeaveNode(Dialect::kMssql, "srv-1", "i2"),
       "UPDATE KVSYSTEM.KVS500JOB SET JOBSDA = (CONVERT(CHAR(8), GETUTCDATE(), 112) + "
       "REPLACE(CONVERT(CHAR(8), GETUTCDATE(), 108), ':', '')), JOBSTS = '98' WHERE JOBDA1 = "
       "'99999999999999' AND JOBKE2 = 'JOBSTARTER srv-1' AND JOBNAM = 'i2'"},
      {"new status row, MySQL", TextInsertNodeStatus(Dialect::kMysql, "srv-1", "i'1"),
       "INSERT INTO KVSYSTEM.KVS500JOB (JobDa1, JobKe2, JobUrv, JobCmd, JobMrt, JobRty, "
       "JobStv, JobSda, JobNam) VALUES ('99999999999999', 'JOBSTARTER srv-1', 'KNOTEN', '', 0, "
       "'99', 0, DATE_FORMAT(UTC_TIMESTAMP(), '%Y%m%d%H%i%s'), 'i''1')"},
      {"name taken, MySQL", TextJoinNode(Dialect::kMysql, "srv-1", "i2", ""),
       "UPDATE KVSYSTEM.KVS500JOB SET JOBSDA = DATE_FORMAT(UTC_TIMESTAMP(), '%Y%m%d%H%i%s'), "
       "JOBSTS = NULL, JOBNAM = 'i2' WHERE JOBDA1 = '99999999999999' AND JOBKE2 = "
       "'JOBSTARTER srv-1' AND COALESCE(JOBNAM, '') = ''"},
      {"lease, MySQL", TextRenewNode(Dialect::kMysql, "srv-1", "i2"),
       "UPDATE KVSYSTEM.KVS500JOB SET JOBSDA = DATE_FORMAT(UTC_TIMESTAMP(), '%Y%m%d%H%i%s') "
       "WHERE JOBDA1 = '99999999999999' AND JOBKE2 = 'JOBSTARTER srv-1' AND JOBNAM = 'i2' AND "
       "JOBSTS IS NULL"},
      {"back after a take-over, MySQL", TextRejoinNode(Dialect::kMysql, "srv-1", "i2"),
       "UPDATE KVSYSTEM.KVS500JOB SET JOBSDA = DATE_FORMAT(UTC_TIMESTAMP(), '%Y%m%d%H%i%s'), "
       "JOBSTS = NULL WHERE JOBDA1 = '99999999999999' AND JOBKE2 = 'JOBSTARTER srv-1' AND JOBNAM "
       "= 'i2'"},
      {"left, MySQL", TextLeaveNode(Dialect::kMysql, "srv-1", "i2"),
       "UPDATE KVSYSTEM.KVS500JOB SET JOBSDA = DATE_FORMAT(UTC_TIMESTAMP(), '%Y%m%d%H%i%s'), "
       "JOBSTS = '98' WHERE JOBDA1 = '99999999999999' AND JOBKE2 = 'JOBSTARTER srv-1' AND JOBNAM "
       "= 'i2'"},
      {"nodes, SQL Server", TextReadNodes(Dialect::kMssql, 60),
       "SELECT JOBKE2, COALESCE(JOBSDA, ''), CASE WHEN JOBSDA IS NULL OR JOBSDA < "
       "(CONVERT(CHAR(8), DATEADD(second, -60, GETUTCDATE()), 112) + REPLACE(CONVERT(CHAR(8), "
       "DATEADD(second, -60, GETUTCDATE()), 108), ':', '')) THEN 1 ELSE 0 END, CASE WHEN "
       "JOBSTS = '99' THEN 1 ELSE 0 END, (CONVERT(CHAR(8), GETUTCDATE(), 112) + "
       "REPLACE(CONVERT(CHAR(8), GETUTCDATE(), 108), ':', '')), CASE WHEN JOBSTS = '98' THEN 1 "
       "ELSE 0 END, COALESCE(JOBNAM, '') FROM KVSYSTEM.KVS500JOB WHERE "
       "JOBDA1 = '99999999999999' AND JOBKE2 LIKE 'JOBSTARTER %' AND "
       "JOBKE2 <> 'JOBSTARTER STATUSJOB' ORDER BY JOBKE2"},
      {"nodes, MySQL", TextReadNodes(Dialect::kMysql, 60),
       "SELECT JOBKE2, COALESCE(JOBSDA, ''), CASE WHEN JOBSDA IS NULL OR JOBSDA < "
       "DATE_FORMAT(DATE_SUB(UTC_TIMESTAMP(), INTERVAL 60 SECOND), '%Y%m%d%H%i%s') THEN 1 "
       "ELSE 0 END, CASE WHEN JOBSTS = '99' THEN 1 ELSE 0 END, DATE_FORMAT(UTC_TIMESTAMP(), "
       "'%Y%m%d%H%i%s'), CASE WHEN JOBSTS = '98' THEN 1 ELSE 0 END, COALESCE(JOBNAM, '') FROM "
       "KVSYSTEM.KVS500JOB WHERE "
       "JOBDA1 = '99999999999999' AND JOBKE2 LIKE "
       "'JOBSTARTER %' AND JOBKE2 <> 'JOBSTARTER STATUSJOB' ORDER BY JOBKE2"},
      {"claim of a blank row", TextClaimJob(blank, "srv-1"),
       "UPDATE KVSYSTEM.KVS500JOB SET JOBSTS = '01', JOBUSR = 'srv-1' WHERE JOBDA1 = "
       "'20261207000000' AND JOBKE2 = 'Q''1' AND (JOBSTS IS NULL OR JOBSTS = '  ')"},
      {"claim of a row with a JOBURV", TextClaimJob(named, "srv-1"),
       "UPDATE KVSYSTEM.KVS500JOB SET JOBSTS = '01', JOBUSR = 'srv-1' WHERE JOBDA1 = "
       "'20261207000000' AND JOBKE2 = 'Q''1' AND (JOBSTS IS NULL OR JOBSTS = '  ') AND NOT EXISTS "
       "(SELECT 1 FROM (SELECT DISTINCT JOBURV FROM KVSYSTEM.KVS500JOB WHERE JOBURV = 'U''1' AND "
       "JOBSTS = '01' AND JOBRTY <> '06' AND JOBDA1 <> '99999999999999') AS RUNNING)"},
      {"claim of an exclusive row", TextClaimJob(blank, "srv-1", &beside),
       "UPDATE KVSYSTEM.KVS500JOB SET JOBSTS = '01', JOBUSR = 'srv-1' WHERE JOBDA1 = "
       "'20261207000000' AND JOBKE2 = 'Q''1' AND (JOBSTS IS NULL OR JOBSTS = '  ') AND NOT EXISTS "
       "(SELECT 1 FROM (SELECT DISTINCT JOBRTY FROM KVSYSTEM.KVS500JOB WHERE JOBSTS = '01' AND "
       "JOBRTY NOT IN ('06', '04', '09') AND JOBDA1 <> '99999999999999') AS RUNNING)"},
      {"03 rescheduled only while idle", TextWhileIdle(TextRescheduleJob(failed)),
       "UPDATE KVSYSTEM.KVS500JOB SET    JOBSTS = '90',        JOBNRT = ''  WHERE  JOBDA1 = "
       "'20261207000000'  AND    JOBKE2 = 'Q''1' AND (JOBSTS IS NULL OR JOBSTS <> '01')"},
      {"running rows and their nodes", TextOpenRunningOwners(),
       "SELECT JOBDA1, JOBKE2, COALESCE(JOBUSR, ''), COALESCE(JOBSDA, '') FROM "
       "KVSYSTEM.KVS500JOB WHERE JOBSTS = '01' AND JOBRTY <> '06' AND JOBDA1 <> '99999999999999'"},
      {"a row no node owns", TextTakeOverRow({"20261207000000", "Q'1", "", "20261207010203"}),
       "UPDATE KVSYSTEM.KVS500JOB SET JOBSTS = '99' WHERE JOBDA1 = '20261207000000' AND JOBKE2 = "
       "'Q''1' AND JOBSTS = '01' AND COALESCE(JOBUSR, '') = '' AND COALESCE(JOBSDA, '') = "
       "'20261207010203'"},
      {"claim of a row in 90", TextClaimJob(failed, "srv-1"),
       "UPDATE KVSYSTEM.KVS500JOB SET JOBSTS = '01', JOBUSR = 'srv-1' WHERE JOBDA1 = "
       "'20261207000000' AND JOBKE2 = 'Q''1' AND JOBSTS = '90'"},
      {"take-over", TextTakeOverJobs("srv-2"),
       "UPDATE KVSYSTEM.KVS500JOB SET JOBSTS = '99' WHERE JOBUSR = 'srv-2' AND JOBSTS = '01' "
       "AND JOBRTY <> '06' AND JOBDA1 <> '99999999999999'"},
      {"dead node marked, MySQL", TextMarkNodeTakenOver(Dialect::kMysql, "srv-2", 60),
       "UPDATE KVSYSTEM.KVS500JOB SET JOBSTS = '99' WHERE JOBDA1 = '99999999999999' AND JOBKE2 "
       "= 'JOBSTARTER srv-2' AND (JOBSTS IS NULL OR JOBSTS <> '99') AND (JOBSDA IS NULL OR "
       "JOBSDA < DATE_FORMAT(DATE_SUB(UTC_TIMESTAMP(), INTERVAL 60 SECOND), '%Y%m%d%H%i%s'))"},
      {"dead node marked, SQL Server", TextMarkNodeTakenOver(Dialect::kMssql, "srv-2", 60),
       "UPDATE KVSYSTEM.KVS500JOB SET JOBSTS = '99' WHERE JOBDA1 = '99999999999999' AND JOBKE2 "
       "= 'JOBSTARTER srv-2' AND (JOBSTS IS NULL OR JOBSTS <> '99') AND (JOBSDA IS NULL OR "
       "JOBSDA < (CONVERT(CHAR(8), DATEADD(second, -60, GETUTCDATE()), 112) + "
       "REPLACE(CONVERT(CHAR(8), DATEADD(second, -60, GETUTCDATE()), 108), ':', '')))"},
      {"end of a node's own job", TextUpdateOwnJobRow(failed, "srv-1"),
       "UPDATE KVSYSTEM.KVS500JOB SET    JOBSTS = '90',        JOBNAM = '',        JOBUSR = '', "
       "       JOBNUM = '',        JOBSDA = '',        JOBEDA = '',        JOBSTV = 0  WHERE  "
       "JOBDA1 = '20261207000000'  AND    JOBKE2 = 'Q''1' AND    JOBSTS = '01' AND    JOBUSR = "
       "'srv-1' "},
      {"running rows of a node", TextOpenRunningJobsOfNode(kStateRunning, "srv-1"),
       "SELECT JOBDA1, JOBKE2, JOBURV,        JOBRTY, JOBSTS, JOBNAM,        JOBUSR, JOBNUM, "
       "JOBSDA,        JOBEDA, JOBMRT, JOBSTV FROM   KVSYSTEM.KVS500JOB WHERE  JOBSTS = '01' "
       "AND    JOBRTY <> '06' AND    JOBUSR = 'srv-1' "},
  };
  for (const auto& c : cases) EXPECT_EQ(c.actual, c.expected) << c.what;
}

// Catches a case-insensitive or trimming comparison of the DB system, which
// would run MSSQL texts on a database configured as something else.
TEST(JobTableTextTest, DialectIsExactAndCaseSensitive) {
  struct Case {
    const char* db_system;
    Dialect expected;
  };
  const Case cases[] = {
      {"MSSQL", Dialect::kMssql},   {"MYSQL", Dialect::kMysql},    {"mssql", Dialect::kUnknown},
      {"MySQL", Dialect::kUnknown}, {"MSSQL ", Dialect::kUnknown}, {"", Dialect::kUnknown},
  };
  for (const Case& c : cases) EXPECT_EQ(DialectOf(c.db_system), c.expected) << c.db_system;
  EXPECT_EQ(TextNextJob(*RuleOf(kRunTypeQueue), DialectOf("mssql"), "", SqlList()), "");
}

// Catches a value that ends its quotes early (a quote not doubled), a
// backslash doubled or dropped (the MySQL session has backslash escapes off),
// a percent sign taken as a format, and a place that is not quoted at all.
TEST(JobTableTextTest, QuotesInEveryValueAreDoubled) {
  struct Case {
    const char* value;
    const char* quoted;
  };
  const Case cases[] = {
      {"it's", "it''s"},
      {"'", "''"},
      {"''", "''''"},
      {"C:\\jobs\\", "C:\\jobs\\"},
      {"a\\'b", "a\\''b"},
      {"100%s%%", "100%s%%"},
      {"", ""},
  };
  for (const Case& c : cases) {
    // Every text field holds the value; the two-character ones a lone quote.
    auto all = [](const std::string& s, const std::string& two) {
      return Values{s, s, s, s, s, s, s, 5, two, 6, 7, s, s, s, two, s, s, s, s, s, s, 8};
    };
    ExpectSameTexts(Actual(all(c.value, "'")), Expected(all(c.quoted, "''")), c.value);
    EXPECT_EQ(SqlQuote(c.value), c.quoted);
  }
}

}  // namespace
}  // namespace kvs
