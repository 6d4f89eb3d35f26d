#include "jobs/system_jobs.h"

#include <cstdio>
#include <cstring>

#include "db/node_rules.h"
#include "diag/text.h"
#include "platform/civil_time.h"

namespace kvs {

namespace {

constexpr char kCountDownloads[] =
    "SELECT COUNT(*) FROM   KVSYSTEM.KVSAUTODNL WHERE  DNLKEY = (select max(dnlkey)  from  "
    "kvsystem.kvsautodnl  where dnlusr <> 'DNL-Plan Antrag') AND   (DNLSTA < 7 OR (DNLSTA = 7 "
    "AND DNLERR > 10))";

constexpr char kReadLastStart[] =
    "SELECT JOBSTS, JOBSDA, JOBNUM FROM KVSYSTEM.KVS500JOB WHERE JOBDA1 = '%s' AND JOBKE2 = "
    "'%s'";

// Seconds since 1970-01-01 of a civil date and time, no zone: for order.
int64_t CivilSeconds(const CivilTime& t) {
  return ((DayNumber(t.year, t.month, t.day) * 24 + t.hour) * 60 + t.minute) * 60 + t.second;
}

}  // namespace

SqlStatement TextCountUnfinishedDownloads() { return SqlFormat(kCountDownloads); }

bool StartedSince(const std::string& last_start, const std::string& todays_run) {
  CivilTime started, planned;
  return CivilFromStamp(last_start.c_str(), &started) &&
         CivilFromStamp(todays_run.c_str(), &planned) &&
         CivilSeconds(started) >= CivilSeconds(planned);
}

SqlStatement TextReadLastStart(const JobRecord& job) {
  return SqlFormat(kReadLastStart, SqlText(job.jobda1), SqlText(job.jobke2));
}

std::string DailyNextRun(Platform& platform, int64_t t, const std::string& daily_time) {
  std::string next = Timestamp14(platform, t).substr(0, 8) + "000000";
  if (daily_time.size() == 6) next.replace(8, 6, daily_time);
  return next;
}

bool NewRearmMonth(const std::string& loop_timestamp, const std::string& last_rearm) {
  return loop_timestamp.substr(0, 6) > last_rearm.substr(0, 6);
}

void SystemJobs::CleanupServer(bool shared) {
  // The flag file of a transfer cut short goes whatever the list names: it
  // would hold back every later transfer.
  std::remove(NativePath(std::string(kTransferFolder) + kTransferFlagFile).c_str());
  for (const std::string& name : transfer_files_) {
    std::remove(NativePath(std::string(kTransferFolder) + name).c_str());
  }
  if (shared) (void)jobs_.CleanupOldQueueJobs();
  if (!multiservices_) processes_.StartKill("VERIFYRUN.EXE");
}

void SystemJobs::RegisterExportJob() {
  int rc = jobs_.InsertShortJob(TimestampNow(platform_), "Export KVSJOBSTR", "KOR EXPORT",
                                "runExport.bat xfer.bat", 3600, kRunTypeQueue);
  if (rc != 0) logs_.Main(StrFormat(kLogExportInsert, static_cast<long>(rc)));
}

void SystemJobs::RegisterPortalJob() {
  RegisterExportJob();
  KeepPortalJob();
}

void SystemJobs::KeepPortalJob() {
  portal_ = JobRecord{};
  SetField(portal_.jobda1, "20010101120000");
  SetField(portal_.jobke2, "ESP VERARBEITUNG");
  SetField(portal_.joburv, "ESPVERARBEITUNG");
  SetField(portal_.jobcmd, "php ..\\korvaline_php\\esp\\leaveboard\\requestrun.php");
  SetField(portal_.jobrty, kRunTypeQueue);
  portal_.jobmrt = 3600;
  SetField(portal_.jobsts, kStateEnded);
  SetField(portal_.jobprm, "0");
  SetField(portal_.jobbem, "KORVALINE ESP REQUESTRUN");
  int rc = jobs_.InsertFullJob(portal_);
  // Registered at every start; the row from an earlier start stays.
  if (rc != 0 && !jobs_.session().IsDuplicateKey(rc)) {
    logs_.Main(StrFormat(kLogPortalInsert, static_cast<long>(rc)));
  }
}

// The log lines of one system job's registration.
struct RegistrationLines {
  const char* registering;
  const char* insert_failed;
  const char* inserted;
  const char* second_update_failed;
  const char* update_failed;
};

namespace {

const RegistrationLines kDailyLines = {kLogDailyRegister, kLogDailyInsert, kLogDailyInserted,
                                       kLogDailyUpdate2, kLogDailyUpdate1};
const RegistrationLines kIntervalLines = {kLogIntervalRegister, kLogIntervalInsert,
                                          kLogIntervalInserted, kLogIntervalUpdate2,
                                          kLogIntervalUpdate1};

}  // namespace

bool SystemJobs::StillRunning(const JobRecord& job) {
  if (jobs_.OpenRunningJobs(kStateRunning) != 0) return false;
  bool running = false;
  JobRecord row;
  while (!running && jobs_.FetchRunningJob(&row) == 0) {
    running = std::strcmp(row.jobda1, job.jobda1) == 0 && std::strcmp(row.jobke2, job.jobke2) == 0;
  }
  jobs_.CloseRunningJobs();
  return running;
}

void SystemJobs::RegisterRescheduled(const JobRecord& job, const RegistrationLines& lines,
                                     bool drop_reminder_job, const std::string& ran_since) {
  logs_.Main(lines.registering);
  // Made waiting again, a running row would drop out of supervision and
  // out of the running-job list: its job would run twice at once.
  if (StillRunning(job)) {
    logs_.Main(StrFormat(kLogSystemJobRunning, job.jobke2));
    return;
  }
  if (!ran_since.empty()) {
    logs_.Main(StrFormat(kLogDailyRanToday, job.jobke2, ran_since.c_str()));
    return;
  }
  // Another node's running row is not written: not found here, it is
  // found by the insert below.
  int rc = jobs_.RescheduleIdleJob(job);
  if (rc == 100) {
    if (drop_reminder_job) {
      int del = jobs_.DeleteJob("20000101070000", "ERINNERUNGSMAILS SYSTEMJOB");
      if (del != 0 && del != 100) {
        logs_.Main(StrFormat(kLogReminderDelete, static_cast<long>(del)));
      }
    }
    int ins = jobs_.InsertSystemJob(job);
    if (ins != 0 && jobs_.rules().SharesTable() && jobs_.session().IsDuplicateKey(ins)) {
      logs_.Main(StrFormat(kLogSystemJobRunning, job.jobke2));
      return;
    }
    if (ins != 0) logs_.Main(StrFormat(lines.insert_failed, static_cast<long>(ins)));
    logs_.Main(lines.inserted);
    int upd = jobs_.RescheduleJob(job);
    if (upd != 0) logs_.Main(StrFormat(lines.second_update_failed, static_cast<long>(upd)));
  } else if (rc != 0) {
    logs_.Main(StrFormat(lines.update_failed, rc));
  }
}

void SystemJobs::RegisterDailyAndIntervalJobs(const std::string& daily_time) {
  const int64_t now = platform_.Now();
  JobRecord daily;
  SetField(daily.jobda1, "20000101070000");
  SetField(daily.jobke2, "DAILY SYSTEMJOB");
  SetField(daily.joburv, "DAILYJOB");
  SetField(daily.jobcmd, "php ..\\korvaline_php\\KV_Jobs\\dayTask.php");
  SetField(daily.jobrty, kRunTypePeriodic);
  daily.jobdls = 2;
  SetField(daily.jobnrt, DailyNextRun(platform_, now, daily_time));
  // A daily job that has run since today's daily time keeps its next run:
  // a restart does not run it a second time that day. A row still in "01"
  // whose process is gone ran too, when it started in this boot: the
  // controller died while it ran and it ended on its own. Started before
  // the boot, the machine went down under it: its run was cut short.
  JobRecord last;
  std::string ran_since;
  const bool read =
      jobs_.session().QueryRow(TextReadLastStart(daily),
                               {ColumnBinding::Text(last.jobsts, sizeof last.jobsts),
                                ColumnBinding::Text(last.jobsda, sizeof last.jobsda),
                                ColumnBinding::Text(last.jobnum, sizeof last.jobnum)}) == 0;
  if (read && StartedSince(last.jobsda, daily.jobnrt) &&
      (!kStateRunning.In(last.jobsts) ||
       processes_.StartedInThisBoot(daily.jobda1, daily.jobke2,
                                    ParseProcessId(RightTrim(last.jobnum).c_str()),
                                    last.jobsda))) {
    ran_since = last.jobsda;
  }
  // Rows left in "01" by an earlier start whose process is gone are ended
  // first, as supervision ends them: only a job whose process really runs
  // is left alone below (it is still running, not planned again).
  processes_.BeginPass();
  if (processes_.GetKvProcs() != 0) processes_.Supervise();
  RegisterRescheduled(daily, kDailyLines, true, ran_since);

  JobRecord interval;
  SetField(interval.jobda1, "20000101080000");
  SetField(interval.jobke2, "INTERVALL SYSTEMJOB");
  SetField(interval.joburv, "INTERVALLJOB");
  SetField(interval.jobcmd, "php ..\\korvaline_php\\KV_Jobs\\cycleTask.php");
  SetField(interval.jobrty, kRunTypePeriodic);
  interval.jobdls = 3;
  SetField(interval.jobnrt, Timestamp14(platform_, now));
  RegisterRescheduled(interval, kIntervalLines, false);
}

void SystemJobs::CheckPortalProcessing(const std::string& loop_timestamp) {
  if (NewRearmMonth(loop_timestamp, last_rearm_)) {
    last_rearm_ = loop_timestamp;
    int rc = jobs_.RearmPortalJobMonthly(portal_);
    if (rc != 0) logs_.Main(StrFormat(kLogMonthlyRearm, static_cast<long>(rc)));
    return;
  }
  int rc = jobs_.RearmPortalJob(portal_);
  if (rc != 0) logs_.Main(StrFormat(kLogRearm, static_cast<long>(rc)));
}

void SystemJobs::CheckInterruptedDownloads(const std::string& db_system) {
  int32_t count = 0;
  int rc = jobs_.session().QueryRow(TextCountUnfinishedDownloads(), {ColumnBinding::Long(&count)});
  if (rc == -1 && !jobs_.session().connected()) rc = -10001;
  if (rc != 0) {
    logs_.Main(StrFormat(kLogDownloadCount, static_cast<long>(rc)));
    return;
  }
  logs_.Main(StrFormat(kLogDownloadsInterrupted, static_cast<long>(count)));
  if (count <= 0) return;
  logs_.Main(kLogNewExport);
  RegisterExportJob();
  processes_.StartKill(StrFormat("LOADIN_%s.EXE", db_system.c_str()));
  processes_.StartKill("FETCHPRE.EXE");
}

}  // namespace kvs
