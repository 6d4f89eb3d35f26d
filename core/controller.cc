#include "core/controller.h"

#include "core/connection_file.h"
#include "diag/flag_file.h"
#include "diag/text.h"

namespace kvs {

namespace {

// Where the identities of the jobs' processes are kept, one file for each
// instance and, in cluster mode, node: "KVSJOBPID[instance][_node].DAT";
// and, with prefix "KVSJOBKNO", the node instance this directory started
// last.
std::string OwnFileName(const char* prefix, int32_t instance, const std::string& node) {
  std::string name = prefix;
  if (instance > -1) name += StrFormat("%ld", static_cast<long>(instance));
  if (!node.empty()) name += "_" + node;
  return name + ".DAT";
}

}  // namespace

int RunController(Platform& platform, int argc, const char* const* argv) {
  CommandLine command_line = ParseCommandLine(argc, argv);
  Config config = ReadConfig(platform, command_line.debug);
  Controller controller(platform, command_line, config);
  return controller.Run();
}

Controller::Controller(Platform& platform, const CommandLine& command_line, const Config& config)
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
      scheduled_jobs_(platform, logs_, jobs_, periodic_jobs_, heartbeat_),
      system_jobs_(platform, logs_, jobs_, processes_, config.transfer_files,
                   command_line.instance > -1),
      starts_(platform, logs_, jobs_, processes_, periodic_jobs_, scheduled_jobs_, system_jobs_,
              heartbeat_, config.max_jobs),
      multiservices_(command_line.instance > -1) {
  if (config.node_name_valid && !config.node_name.empty()) {
    node_ = std::make_unique<ClusterNode>(
        platform, logs_, pool_, jobs_, config.node_name, config.node_timeout_seconds,
        OwnFileName("KVSJOBKNO", command_line.instance, config.node_name));
    jobs_.set_rules(node_.get());
  }
}

int Controller::Run() {
  if (!StartUp()) return exit_code_;
  loop_timestamp_ = TimestampNow(platform_);
  Commit();
  if (heartbeat_.Beat(true, kBeatMainLoop) == 0) {
    Shutdown();
    return 0;
  }
  while (true) {
    // Another instance took this node's name: its jobs were ended when
    // that was found, and no row is written any more.
    if (node_ != nullptr && node_->Displaced()) {
      FinishStop();
      return kExitNodeInUse;
    }
    RecordPass(RunPass());
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
  for (const std::string& line : config_.log_lines) logs_.Main(line);
  if (!config_.node_name_valid) {
    // Before any row is touched: a node that cannot name itself would take
    // other nodes' rows for its own.
    logs_.Main(StrFormat(kLogNodeInvalid, config_.node_name.c_str()));
    exit_code_ = kExitConfigInvalid;
    return false;
  }
  std::string record_error;
  if (!pool_.CreateRecord(&record_error)) logs_.Main(record_error + "\n");
  processes_.counters().started = platform_.Now();
  // Before the first look at a process.
  processes_.KeepIdentities(OwnFileName("KVSJOBPID", command_line_.instance, jobs_.rules().name()));

  ReadCredentials();
  session_.SetDbSystem(db_system_);
  session_.SetQueryTimeout(config_.sql_timeout_seconds);
  db_product_ = db_system_ == "MSSQL" ? "SQLSERVER" : db_system_;
  pool_.SetFallbackFile(kFallbackMessageFile);

  if (heartbeat_.Beat(false, kBeatConnect) == 0) return false;
  int rc = session_.Connect(credentials_.user, credentials_.password, credentials_.data_source);
  if (rc != 0) {
    std::string line = StrFormat(kConnectFailed, rc);
    platform_.Print(line);
    logs_.Main(line);
    return false;
  }
  if (heartbeat_.Beat(false, kBeatConnect) == 0) return false;
  if (!JoinNodes()) return false;
  CreateFlagFile(logs_, kFlagFileName);
  processes_.snapshot().Clear();
  pool_.Post(kMsgStarted);

  // A node does the registrations only when it is the first live one.
  if (node_ != nullptr) node_->Watch();
  const bool shared = jobs_.rules().SharedDuties();
  system_jobs_.CleanupServer(shared);
  if (heartbeat_.Beat(false, kBeatCleanup) == 0) return false;
  permanent_jobs_.Check(db_product_);
  if (heartbeat_.Beat(false, kBeatCheck04) == 0) return false;
  if (shared) permanent_jobs_.RegisterBuiltIns();
  logs_.Main(kLogEnd04);
  if (shared) system_jobs_.RegisterPortalJob();
  logs_.Main(kLogEnd01);
  if (heartbeat_.Beat(false, kBeatAdd01) == 0) return false;
  if (shared) system_jobs_.RegisterDailyAndIntervalJobs(config_.daily_job_time);
  logs_.Main(kLogInitDone);
  return true;
}

bool Controller::JoinNodes() {
  if (node_ == nullptr) return true;
  const int rc = node_->Join();
  if (rc == kExitNodeInUse) exit_code_ = kExitNodeInUse;
  if (rc != 0) return false;
  // A job must not outlive a controller that dies: another node would
  // start it again beside the orphan.
  if (const int bound = platform_.EndChildrenWithThisProcess(); bound != 0) {
    logs_.Main(
        StrFormat(kLogChildrenNotBound, jobs_.rules().name().c_str(), static_cast<long>(bound)));
    exit_code_ = kExitNodeInUse;
    return false;
  }
  node_->StartLease(credentials_, db_system_, config_.sql_timeout_seconds);
  return true;
}

void Controller::RegisterSharedJobs() {
  permanent_jobs_.RegisterBuiltIns();
  // The export is queued at a controller's start, not at a change of the
  // first node.
  system_jobs_.KeepPortalJob();
  system_jobs_.RegisterDailyAndIntervalJobs(config_.daily_job_time);
}

void Controller::FinishStop() {
  DeleteFlagFile(logs_, kFlagFileName);
  RemovePassState(kPassStateFileName);
  pool_.Post(kMsgStopped);
  pool_.FreeRecord();
}

void Controller::ReadCredentials() {
  ConnectionSettings settings = ReadConnectionSettings(config_.connection_file);
  credentials_ = settings.credentials;
  schema_ = settings.schema;
  db_system_ = settings.db_system;
}

bool Controller::CheckDatabase() {
  if (liveness_.Check() == 0) {
    ++db_failures_;
    logs_.Main(StrFormat(kLogDbLost, static_cast<long>(db_failures_)));
    db_state_ = false;
    if (db_failures_ == 1) {
      ++processes_.counters().database_outages;
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
    system_jobs_.CleanupServer(jobs_.rules().SharedDuties());
    if (jobs_.rules().SharedDuties()) system_jobs_.CheckInterruptedDownloads(db_system_);
  }
  db_state_ = true;
  db_failures_ = 0;
  return true;
}

PassOutcome Controller::RunPass() {
  if (!CheckDatabase()) return PassOutcome::kDatabaseDown;
  pool_.DeliverAfterRest();
  if (node_ != nullptr) {
    node_->Watch();
    if (node_->BecameLeader()) RegisterSharedJobs();
  }
  disk_monitor_.Check();
  processes_.BeginPass();
  if (processes_.GetKvProcs() == 0) {
    logs_.Main(kErrGetKvProcs);
    return PassOutcome::kReloadFailed;
  }
  processes_.Supervise();
  // Without every running job's key in the list no selection can tell
  // which jobs are blocked; GetKvProcs has said so in the log.
  if (processes_.running_list().full()) return PassOutcome::kComplete;
  (void)starts_.RunPass(loop_timestamp_);
  return PassOutcome::kComplete;
}

void Controller::RecordPass(PassOutcome outcome) {
  const std::string now = TimestampNow(platform_);
  const bool changed = !pass_recorded_ || outcome != pass_state_.outcome;
  if (changed) {
    pass_state_.outcome = outcome;
    pass_state_.since = now;
  }
  if (outcome == PassOutcome::kComplete) pass_state_.last_complete = now;
  pass_recorded_ = true;
  ++processes_.counters().passes;
  if (!pass_state_refresh_.Due(platform_.SteadyMs()) && !changed) return;
  // A failed write is tried again with the next change or minute; kvsjobstat
  // then takes the controller for one that makes no passes.
  pass_state_.counters = processes_.counters();
  (void)WritePassState(kPassStateFileName, pass_state_);
}

bool Controller::EndOfPass() {
  loop_timestamp_ = TimestampNow(platform_);
  Commit();
  return heartbeat_.Beat(true, kBeatMainLoop) != 0;
}

void Controller::KeepFlagFileCurrent() {
  if (!flag_refresh_.Due(platform_.SteadyMs())) return;
  // A missing DYE stays missing: it says the controller is not connected.
  (void)RefreshFlagFile(kFlagFileName, platform_.Now());
}

void Controller::Shutdown() {
  pool_.Post(kMsgServiceGone);
  logs_.Main(kLogTerminateAll);
  processes_.TerminateAll(kReasonServiceGone);
  if (node_ != nullptr) node_->Leave();
  FinishStop();
}

}  // namespace kvs
