#include "core/controller.h"

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

  // The connection file's credentials join here with the database session;
  // until then they are empty and the connect below fails honestly.
  db_product_ = db_system_ == "MSSQL" ? "SQLSERVER" : db_system_;
  fallback_message_file_ = kFallbackMessageFile;

  if (heartbeat_.Beat(false, kBeatConnect) == 0) return false;
  int rc = session_.Connect(login_, password_, database_);
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

void Controller::RunPass() {
  // Steps of a pass, in order: database liveness (with outage handling),
  // disk check, snapshot and clear of the process table, GetKvProcs,
  // runtime supervision, then the starts by run type 05, 04, the portal
  // processing check, 01, 03, 07, 08, 09. Each joins with its part of the
  // system.
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
  DeleteFlagFile(logs_, kFlagFileName);
  pool_.Post(kMsgStopped);
}

}  // namespace kvs
