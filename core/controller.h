// The controller's entry point and its one control loop: start-up in its
// fixed order, passes of the main loop until the controlling service stops
// answering, then the shutdown sequence. Owns the pass-level state (DB-state
// flag, failure counter, loop timestamp, process-table snapshot); the
// starts of a pass and its exclusive-job flag are JobStarts'. Exit code 0, or
// 2 for a node name that is invalid or held by another instance.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "core/config.h"
#include "core/heartbeat.h"
#include "db/job_table.h"
#include "db/liveness.h"
#include "db/session.h"
#include "diag/flag_file.h"
#include "diag/log_file.h"
#include "diag/pass_state.h"
#include "jobs/job_starts.h"
#include "jobs/periodic_jobs.h"
#include "jobs/permanent_jobs.h"
#include "jobs/scheduled_jobs.h"
#include "jobs/system_jobs.h"
#include "msg/disk_monitor.h"
#include "msg/message_pool.h"
#include "platform/once_every.h"
#include "platform/platform.h"
#include "proc/cluster_node.h"
#include "proc/process_manager.h"

namespace kvs {

inline constexpr char kLogStars[] = "*********************************************\n";
inline constexpr char kBannerSingle[] = "** Jobcontroller KVSJOBSTR wurde gestartet **\n";
inline constexpr char kBannerMulti[] = "** Multiservices: JOBCONTROLLER %ld. gestartet **\n";
inline constexpr char kConnectFailed[] = "- Verbindung zur Datenbank fehlgeschlagen, Fehler : %d\n";
inline constexpr char kMsgStarted[] = "Der Jobcontroller wurde gestartet!";
inline constexpr char kMsgServiceGone[] =
    "Jobcontroller-Dienst antwortet nicht => Jobs werden beendet!";
inline constexpr char kMsgStopped[] = "Der Jobcontroller wurde beendet!";
inline constexpr char kLogEnd04[] = "Ende 04 Jobs anlegen!\n";
inline constexpr char kLogEnd01[] = "Ende 01 Jobs anlegen!\n";
inline constexpr char kLogInitDone[] = "Ende Initialisierung + Beginn Verarbeitung!\n";
inline constexpr char kLogTerminateAll[] = "Alle verwalteten Jobs beenden!\n";
inline constexpr char kLogDbLost[] = "CheckDB: keine DB-Verbindung! Versuche: %ld\n";
inline constexpr char kLogStopJobs[] = "CheckDB: *** Beende Jobs ***!\n";
inline constexpr char kLogJobsStopped[] = "CheckDB: *** Jobs beendet ***!\n";
inline constexpr char kMsgDbLost[] = "Datenbankverbindung unterbrochen => Jobs werden beendet!";
inline constexpr char kMsgDbBack[] = "Datenbankverbindung wiederhergestellt => Neustart der Jobs!";
inline constexpr char kLogResetStartAttempts[] =
    "Update RT04Jobs: Startversuche zuruecksetzen! RC: %ld\n";
inline constexpr int kDbRetrySleepMs = 2000;
inline constexpr char kErrGetKvProcs[] = "Fehler bei der Jobermittlung! Fkt. GetKvProcs()\n";

// Heartbeat status labels of start-up and the main loop.
inline constexpr char kBeatConnect[] = "dbConnect";
inline constexpr char kBeatCleanup[] = "cleanupServer";
inline constexpr char kBeatCheck04[] = "CheckRT04Jobs";
inline constexpr char kBeatAdd01[] = "AddRT01Jobs";
inline constexpr char kBeatMainLoop[] = "Hauptschleife!";

// Runs the controller on platform with the process's arguments; returns
// the exit code.
int RunController(Platform& platform, int argc, const char* const* argv);

class Controller {
 public:
  Controller(Platform& platform, const CommandLine& command_line, const Config& config);

  // Start-up, main loop, shutdown. Returns the exit code.
  int Run();

 private:
  // Start-up steps up to the first pass. false: the controller ends at once
  // (no shutdown sequence).
  // False when the controller ends before its first pass (exit_code_ says
  // how).
  bool StartUp();
  // Cluster mode: joins the nodes; false when the controller must end.
  bool JoinNodes();
  // What only the first node keeps, taken up by a node that becomes first:
  // the built-in permanent jobs, the portal job and the daily and interval
  // jobs.
  void RegisterSharedJobs();
  // The end of every stop: flag file and pass state gone, the pool told.
  void FinishStop();
  // One pass of the main loop, without its end: whether it reached the
  // database and supervised the running jobs.
  PassOutcome RunPass();
  // Keeps the pass state file in step: written when the outcome changes
  // and once a minute.
  void RecordPass(PassOutcome outcome);
  // End of pass: loop timestamp, commit point, forced heartbeat. false when
  // the service did not answer.
  bool EndOfPass();
  void Shutdown();
  // Once a minute (and in the first pass) DYE's modification time is set
  // to now: a controller that hangs leaves it to age.
  void KeepFlagFileCurrent();

  // The commit point: every statement takes effect on its own.
  int Commit() { return 0; }
  // The credentials from the connection file.
  void ReadCredentials();
  // Pass step 1. false: the database is unreachable and the pass ends.
  bool CheckDatabase();

  Platform& platform_;
  CommandLine command_line_;
  Config config_;
  Logs logs_;
  Heartbeat heartbeat_;
  Session session_;
  JobTable jobs_;
  Credentials credentials_;
  LivenessCheck liveness_;
  MessagePool pool_;
  DiskMonitor disk_monitor_;
  ProcessManager processes_;
  PermanentJobs permanent_jobs_;
  PeriodicJobs periodic_jobs_;
  ScheduledJobs scheduled_jobs_;
  SystemJobs system_jobs_;
  JobStarts starts_;
  // Cluster mode only.
  std::unique_ptr<ClusterNode> node_;

  bool multiservices_ = false;
  int exit_code_ = 0;
  std::string schema_;
  std::string db_system_;
  std::string db_product_;

  std::string loop_timestamp_;
  bool db_state_ = true;
  int32_t db_failures_ = 0;
  OnceEvery flag_refresh_{kFlagRefreshSeconds * 1000};
  bool pass_recorded_ = false;
  PassState pass_state_;
  // Every 10 seconds, so that the counters a scrape reads are that fresh;
  // at once when the outcome changes.
  OnceEvery pass_state_refresh_{kPassStateRefreshSeconds * 1000};
};

}  // namespace kvs
