// The controller's own jobs and housekeeping: server clean-up, the export
// job, the portal request job with its per-pass re-arm, the daily and
// interval system jobs, and the interrupted-download check.
#pragma once

#include <string>
#include <vector>

#include "db/job_table.h"
#include "diag/log_file.h"
#include "platform/platform.h"
#include "proc/process_manager.h"

namespace kvs {

struct RegistrationLines;

inline constexpr char kTransferFolder[] = "..\\transfer\\ClockBridge\\";
inline constexpr char kTransferFlagFile[] = "xfer.running";

inline constexpr char kLogExportInsert[] = "Insert RT01Job(1): KOR EXPORT! RC: %ld\n";
inline constexpr char kLogPortalInsert[] = "SQLInsertNewJob(): ESP VERARBEITUNG! RC: %ld\n";
inline constexpr char kLogDailyRegister[] = "- Daily Systemjob eintragen!\n";
inline constexpr char kLogReminderDelete[] =
    "- Fehler beim Loeschen des Erinnerungsmailjobs! RC: %ld\n";
inline constexpr char kLogDailyInsert[] = "- Fehler beim Anlegen des daily Systemjobs! RC: %ld\n";
inline constexpr char kLogDailyInserted[] = "- Der daily Systemjob wurde eingetragen!\n";
inline constexpr char kLogDailyUpdate2[] = "- Fehler beim Update des daily Systemjobs! RC: %ld\n";
inline constexpr char kLogDailyUpdate1[] = "- Fehler beim Update des daily Systemjob! RC: %d\n";
inline constexpr char kLogIntervalRegister[] = "- Intervall Systemjob eintragen!\n";
inline constexpr char kLogIntervalInsert[] =
    "- Fehler beim Anlegen des Intervall Systemjobs! RC: %ld\n";
inline constexpr char kLogIntervalInserted[] = "- Der Intervall Systemjob wurde eingetragen!\n";
inline constexpr char kLogIntervalUpdate2[] =
    "- Fehler beim Update des Intervall Systemjobs! RC: %ld\n";
inline constexpr char kLogIntervalUpdate1[] = "- Fehler beim Update des Intervall Systemjob! RC: %d\n";
inline constexpr char kLogSystemJobRunning[] =
    "- %s laeuft noch und wird nicht neu eingeplant!\n";
inline constexpr char kLogDailyRanToday[] =
    "- %s lief heute bereits (Start %s) und wird nicht neu eingeplant!\n";
inline constexpr char kLogMonthlyRearm[] = "SQLStartESPDeleteJob: Updatefehler! RC: %ld\n";
inline constexpr char kLogRearm[] = "SQLStartESPJob: Updatefehler! RC: %ld\n";
inline constexpr char kLogDownloadCount[] = "Fehler in SQLCountUnfinishedDnlJobs! RC: %ld\n";
inline constexpr char kLogDownloadsInterrupted[] =
    "Info: Anzahl der unterbrochener Downloads: %ld.\n";
inline constexpr char kLogNewExport[] = "Info: Es wird ein neuer Datenexport initiiert.\n";

// The download count text.
SqlStatement TextCountUnfinishedDownloads();
// Today's date of t followed by the daily job time (hhmmss).
std::string DailyNextRun(Platform& platform, int64_t t, const std::string& daily_time);
// Whether the stamp last_start (JOBSDA) lies at or after the stamp
// todays_run, as civil date and time; false when either is no valid
// stamp (never started).
bool StartedSince(const std::string& last_start, const std::string& todays_run);
// The JOBSTS and JOBSDA of one row by its key.
SqlStatement TextReadLastStart(const JobRecord& job);
// Whether the month of the loop timestamp is after that of the last
// re-arm (an empty stamp is before every month).
bool NewRearmMonth(const std::string& loop_timestamp, const std::string& last_rearm);

class SystemJobs {
 public:
  SystemJobs(Platform& platform, Logs& logs, JobTable& jobs, ProcessManager& processes,
             std::vector<std::string> transfer_files, bool multiservices)
      : platform_(platform),
        logs_(logs),
        jobs_(jobs),
        processes_(processes),
        transfer_files_(std::move(transfer_files)),
        multiservices_(multiservices) {}

  // The transfer folder of this server, and with shared (the only
  // controller on its table, or the node that does the shared upkeep) the
  // old queue rows.
  void CleanupServer(bool shared = true);
  void RegisterExportJob();
  // The export job queued, then KeepPortalJob.
  void RegisterPortalJob();
  // The portal request job's row (inserted when missing) and what its
  // per-pass re-arm needs.
  void KeepPortalJob();
  void RegisterDailyAndIntervalJobs(const std::string& daily_time);
  void CheckPortalProcessing(const std::string& loop_timestamp);
  void CheckInterruptedDownloads(const std::string& db_system);

 private:
  // Updates a system job of run type 03, inserting it when it is missing.
  // ran_since: the JOBSDA of a run since the planned time that ended; the
  // row keeps the next run it has.
  void RegisterRescheduled(const JobRecord& job, const RegistrationLines& lines,
                           bool drop_reminder_job, const std::string& ran_since = "");
  // Whether the row of job is in state "01" after supervision: a run of an
  // earlier start of the controller that still runs and that the first
  // pass follows.
  bool StillRunning(const JobRecord& job);

  Platform& platform_;
  Logs& logs_;
  JobTable& jobs_;
  ProcessManager& processes_;
  std::vector<std::string> transfer_files_;
  bool multiservices_;
  JobRecord portal_;
  std::string last_rearm_;
};

}  // namespace kvs
