#include "core/controller.h"

#include "core/connection_file.h"
#include "diag/flag_file.h"
#include "diag/text.h"

namespace kvs {

int RunController(Platform& platform, int argc, const char* const* argv) {
  CommandLine command_line = ParseCommandLine(argc, argv);
  Config config = ReadConfig(platform, command_line.debug);
  Controller controller(platform, command_line, config);
  return controller.Run();
}

Controller::Controller(Platform& platform, const CommandLine& command_line,
                       const Config& config)
    : platform_(platform),
      command_line_(command_line),
      config_(config),
      logs_(platform, config.main_log, config.main_backup_log, config.debug_log,
            config.debug_backup_log, config.log_size_limit, config.debug_log_on != 0),
      heartbeat_(platform, logs_, PipeNameFor(command_line.instance)),
      session_(logs_),
      jobs_(session_),
      liveness_(platform, logs_, session_, jobs_, credentials_),
      pool_(platform, logs_, session_),
      disk_monitor_(platform, logs_, pool_),
      processes_(platform, logs_, jobs_, pool_, heartbeat_, config.own_dir,
                 command_line.instance > -1),
      permanent_jobs_(logs_, jobs_, processes_, heartbeat_),
      periodic_jobs_(platform, logs_, jobs_, config.daily_job_time, config.interval_minutes),
      scheduled_jobs_(platform, logs_, jobs_, periodic_jobs_, processes_, heartbeat_),
      system_jobs_(platform, logs_, jobs_, processes_, config.transfer_files,
                   command_line.instance > -1),
      multiservices_(command_line.instance > -1) {}

int Controller::Run() {
  if (!StartUp()) return 0;
  loop_timestamp_ = TimestampNow(platform_);
  Commit();
  if (heartbeat_.Beat(true, kBeatMainLoop) == 0) {
    Shutdown();
    return 0;
  }
  while (true) {
    RunPass();
    KeepFlagFileCurrent();
    if (!EndOfPass()) break;
  }
  Shutdown();
  return 0;
}

bool Controller::StartUp() {
  logs_.Main(kLogStars);
  if (multiservices_) {
    logs_.Main(StrFormat(kBannerMulti, static_cast<long>(command_line_.instance)));
  } else {
    logs_.Main(kBannerSingle);
  }
  std::string record_error;
  if (!pool_.CreateRecord(&record_error)) logs_.Main(record_error + "\n");

  ReadCredentials();
  session_.SetDbSystem(db_system_);
  session_.SetQueryTimeout(config_.sql_timeout_seconds);
  db_product_ = db_system_ == "MSSQL" ? "SQLSERVER" : db_system_;
  fallback_message_file_ = kFallbackMessageFile;
  pool_.SetFallbackFile(fallback_message_file_);

  if (heartbeat_.Beat(false, kBeatConnect) == 0) return false;
  int rc = session_.Connect(credentials_.user, credentials_.password,
                            credentials_.data_source);
  if (rc != 0) {
    std::string line = StrFormat(kConnectFailed, rc);
    platform_.Print(line);
    logs_.Main(line);
    return false;
  }
  if (heartbeat_.Beat(false, kBeatConnect) == 0) return false;
  CreateFlagFile(logs_, kFlagFileName);
  processes_.snapshot().Clear();
  pool_.Post(kMsgStarted);

  system_jobs_.CleanupServer();
  if (heartbeat_.Beat(false, kBeatCleanup) == 0) return false;
  permanent_jobs_.Check(db_product_);
  if (heartbeat_.Beat(false, kBeatCheck04) == 0) return false;
  permanent_jobs_.RegisterBuiltIns();
  logs_.Main(kLogEnd04);
  system_jobs_.RegisterPortalJob();
  logs_.Main(kLogEnd01);
  if (heartbeat_.Beat(false, kBeatAdd01) == 0) return false;
  system_jobs_.RegisterDailyAndIntervalJobs(config_.daily_job_time);
  logs_.Main(kLogInitDone);
  return true;
}

void Controller::ReadCredentials() {
  // Every lookup: empty section, record number 0.
  const std::string& file = config_.connection_file;
  credentials_.data_source = LookupConnectionValue("", "DATABASE", 0, file);
  schema_ = LookupConnectionValue("", "SCHEMA", 0, file);
  if (!schema_.empty()) schema_.pop_back();
  credentials_.user = LookupConnectionValue("", "LOGIN", 0, file);
  credentials_.password = LookupConnectionValue("", "PASS", 0, file);
  db_system_ = LookupConnectionValue("", "DB_SYSTEM", 0, file);
}

bool Controller::CheckDatabase() {
  if (liveness_.Check() == 0) {
    ++db_failures_;
    logs_.Main(StrFormat(kLogDbLost, static_cast<long>(db_failures_)));
    db_state_ = false;
    if (db_failures_ == 1) {
      pool_.Post(kMsgDbLost);
      logs_.Main(kLogStopJobs);
      processes_.TerminateAll(kReasonDatabaseLost);
      logs_.Main(kLogJobsStopped);
    }
    platform_.SleepMs(kDbRetrySleepMs);
    return false;
  }
  if (!db_state_) {
    pool_.Post(kMsgDbBack);
    int rc = jobs_.ResetPermanentStartAttempts();
    if (rc != 0 && rc != 100) {
      logs_.Main(StrFormat(kLogResetStartAttempts, static_cast<long>(rc)));
    }
    system_jobs_.CleanupServer();
    system_jobs_.CheckInterruptedDownloads(db_system_);
  }
  db_state_ = true;
  db_failures_ = 0;
  return true;
}

void Controller::RunPass() {
  if (!CheckDatabase()) return;
  disk_monitor_.Check();
  processes_.BeginPass();
  exclusive_job_ = false;
  if (processes_.GetKvProcs() == 0) {
    logs_.Main(kErrGetKvProcs);
    return;
  }
  processes_.Supervise();
  // An exclusive job runs alone: while one runs, the other run types are
  // held back as while one waits.
  for (const ManagedProcess& e : processes_.table().entries) {
    if (e.pid != 0 && kRunTypeExclusive.In(e.row.jobrty)) exclusive_job_ = true;
  }
  // Without every running job's key in the list no selection can tell
  // which jobs are blocked; GetKvProcs has said so in the log.
  if (processes_.running_list().full()) return;
  if (!StartExclusiveJob()) return;
  if (!StartPermanentJobs()) return;
  system_jobs_.CheckPortalProcessing(loop_timestamp_);
  if (!StartQueueJobs()) return;
  if (periodic_jobs_.Update03() == 0) {
    logs_.Main(kErrUpdate03);
    return;
  }
  if (!StartPeriodicJobs()) return;
  if (scheduled_jobs_.Step07(exclusive_job_) == 0) {
    logs_.Main(kErrRunType07);
    return;
  }
  if (scheduled_jobs_.Step08(exclusive_job_) == 0) {
    logs_.Main(kErrRunType08);
    return;
  }
  if (scheduled_jobs_.Step09(exclusive_job_) == 0) logs_.Main(kErrRunType09);
}

void Controller::LogSelectError(const char* format) {
  const SqlError& e = session_.error();
  logs_.Main(StrFormat(format, static_cast<long>(session_.GetLastSQLError()), e.sqlstate,
                       e.message));
}

bool Controller::RetireExhaustedJob(const JobRecord& job) {
  logs_.Main(StrFormat(kLogTooManyAttempts, job.jobcmd));
  JobRecord retired = job;
  SetField(retired.jobsts, kStateStartFailed);
  SetField(retired.jobnam, "");
  SetField(retired.jobusr, "");
  SetField(retired.jobnum, "");
  int rc = jobs_.UpdateJobRow(retired);
  if (rc == 0) return true;
  logs_.Main(StrFormat(kLogRetireFailed, job.jobcmd, static_cast<long>(rc)));
  return false;
}

bool Controller::StartExclusiveJob() {
  JobRecord job;
  int rc = jobs_.NextJob05(processes_.running_list().ForSelection(), &job);
  if (rc == 100) return true;
  if (rc != 0) {
    LogSelectError(kLogSelect05Failed);
    logs_.Main(kErrSelect05);
    return false;
  }
  if (job.jobstv > 10) {
    if (RetireExhaustedJob(job)) return true;
    logs_.Main(kErrStart05);
    return false;
  }
  exclusive_job_ = true;
  if (processes_.running_count() != 0) return true;
  int launched = processes_.Launch(job, job.jobstv);
  if (launched == kLaunchRowUpdateFailed) {
    logs_.Main(kErrStart05);
    return false;
  }
  return true;
}

bool Controller::StartPermanentJobs() {
  if (exclusive_job_) return true;
  while (true) {
    JobRecord job;
    int rc = jobs_.NextJob04(processes_.running_list().ForSelection(), &job);
    if (rc == 100) break;
    if (rc != 0) {
      LogSelectError(kLogSelect04Failed);
      logs_.Main(kErrRunType04);
      return false;
    }
    int launched = processes_.Launch(job, job.jobstv);
    if (launched == kLaunchRowUpdateFailed) {
      logs_.Main(kErrRunType04);
      return false;
    }
    if (launched == kLaunchNoRoom) break;
    if (heartbeat_.Beat(false, kBeatStart04) == 0) break;
  }
  return true;
}

bool Controller::StartPeriodicJobs() {
  if (exclusive_job_) return true;
  while (true) {
    JobRecord job;
    int rc = periodic_jobs_.DueJob(kRunTypePeriodic, processes_.running_list().ForSelection(),
                                   &job);
    if (rc == 100) break;
    if (rc != 0) {
      const SqlError& e = session_.error();
      logs_.Main(StrFormat(kLogReadJob03Failed, static_cast<long>(rc),
                           static_cast<long>(session_.GetLastSQLError()), e.sqlstate, e.message));
      logs_.Main(kErrRunType03);
      return false;
    }
    int launched = processes_.Launch(job, 0);
    if (launched == kLaunchRowUpdateFailed) {
      logs_.Main(kErrRunType03);
      return false;
    }
    if (launched == kLaunchNoRoom) break;
  }
  return true;
}

bool Controller::StartQueueJobs() {
  if (exclusive_job_) return true;
  while (processes_.running_count() < config_.max_jobs) {
    JobRecord job;
    int rc = jobs_.NextJob01(processes_.running_list().ForSelection(), &job);
    if (rc == 100) break;
    if (rc != 0) {
      LogSelectError(kLogSelect01Failed);
      logs_.Main(kErrRunType01);
      return false;
    }
    if (job.jobstv > 10) {
      if (RetireExhaustedJob(job)) continue;
      // The same row would come back at once: this pass starts no more.
      logs_.Main(kErrRunType01);
      return false;
    }
    int launched = processes_.Launch(job, job.jobstv);
    if (launched == kLaunchRowUpdateFailed) {
      logs_.Main(kErrRunType01);
      return false;
    }
    if (launched == kLaunchNoRoom) break;
  }
  return true;
}

bool Controller::EndOfPass() {
  loop_timestamp_ = TimestampNow(platform_);
  Commit();
  return heartbeat_.Beat(true, kBeatMainLoop) != 0;
}

void Controller::KeepFlagFileCurrent() {
  const int64_t now = platform_.Now();
  // A clock set back counts as a minute gone by.
  if (flag_refreshed_ && now >= flag_refreshed_at_ &&
      now - flag_refreshed_at_ < kFlagRefreshSeconds) {
    return;
  }
  flag_refreshed_ = true;
  flag_refreshed_at_ = now;
  // A missing DYE stays missing: it says the controller is not connected.
  (void)RefreshFlagFile(kFlagFileName, now);
}

void Controller::Shutdown() {
  pool_.Post(kMsgServiceGone);
  logs_.Main(kLogTerminateAll);
  processes_.TerminateAll(kReasonServiceGone);
  DeleteFlagFile(logs_, kFlagFileName);
  pool_.Post(kMsgStopped);
  pool_.FreeRecord();
}

}  // namespace kvs
