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
      multiservices_(command_line.instance > -1),
      table_(std::make_unique<ProcessTable>()),
      snapshot_(std::make_unique<ProcessTable>()) {}

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

  ReadCredentials();
  session_.SetDbSystem(db_system_);
  db_product_ = db_system_ == "MSSQL" ? "SQLSERVER" : db_system_;
  fallback_message_file_ = kFallbackMessageFile;

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
  snapshot_->Clear();
  pool_.Post(kMsgStarted);

  // Server clean-up, permanent-job check, built-in permanent jobs, portal
  // request job and the daily and interval system jobs take their places
  // between these heartbeats as the job kinds are built.
  if (heartbeat_.Beat(false, kBeatCleanup) == 0) return false;
  if (heartbeat_.Beat(false, kBeatCheck04) == 0) return false;
  logs_.Main(kLogEnd04);
  logs_.Main(kLogEnd01);
  if (heartbeat_.Beat(false, kBeatAdd01) == 0) return false;
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
      *table_ = *snapshot_;
      TerminateAll(12);
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
    // The server clean-up and the interrupted-download check follow here
    // with the system jobs.
  }
  db_state_ = true;
  db_failures_ = 0;
  return true;
}

void Controller::TerminateAll(int) {
  // Ending the managed processes joins with the process supervision; until
  // then the table holds no process.
}

void Controller::RunPass() {
  if (!CheckDatabase()) return;
  // Then, in order: disk check, snapshot and clear of the process table,
  // GetKvProcs, runtime supervision, and the starts by run type 05, 04,
  // the portal processing check, 01, 03, 07, 08, 09; each joins with its
  // part of the system.
  *snapshot_ = *table_;
  table_->Clear();
  running_count_ = 0;
  exclusive_job_ = false;
}

bool Controller::EndOfPass() {
  loop_timestamp_ = TimestampNow(platform_);
  Commit();
  return heartbeat_.Beat(true, kBeatMainLoop) != 0;
}

void Controller::Shutdown() {
  pool_.Post(kMsgServiceGone);
  logs_.Main(kLogTerminateAll);
  *table_ = *snapshot_;
  TerminateAll(11);
  DeleteFlagFile(logs_, kFlagFileName);
  pool_.Post(kMsgStopped);
}

}  // namespace kvs
