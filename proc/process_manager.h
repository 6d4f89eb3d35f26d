// Launching, supervising and terminating job processes. Owns the managed
// process table with its per-pass snapshot, the running-job list and the
// running count; writes each start and end into the job row. Processes are
// created and inspected through Platform and ended with the external kill
// command; the controller never holds a process handle.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>

#include "db/job_table.h"
#include "db/node_rules.h"
#include "diag/log_file.h"
#include "diag/pass_state.h"
#include "msg/message_pool.h"
#include "platform/platform.h"
#include "proc/process_identities.h"
#include "proc/process_table.h"
#include "proc/service_link.h"

namespace kvs {

// Launch results.
inline constexpr int kLaunchStarted = 1;
inline constexpr int kLaunchRowUpdateFailed = 88;
inline constexpr int kLaunchTooManyAttempts = 89;
inline constexpr int kLaunchCreateFailed = 90;
// Not started because the process table or the running-job list has no
// room; the row stays waiting. Callers stop starting jobs in this pass.
inline constexpr int kLaunchNoRoom = 87;
// Cluster mode: another node claimed the row first; nothing was started.
inline constexpr int kLaunchClaimedElsewhere = 86;

inline constexpr char kLogStartFailed[] = "Start PGM: %s Cmd: %s fehlgeschlagen!\n";
inline constexpr char kMsgStartFailed[] = "Der Job %s konnte nicht gestartet werden!";
inline constexpr char kLogClaimFailed[] = "Start PGM: %s Fehler beim Belegen fuer Knoten %s RC: %ld\n";
inline constexpr char kLogStartFailedUpdate[] = "Start PGM: %s Fehler Update Kvs500Job(2) RC: %ld\n";
inline constexpr char kLogStarted[] = "Start PGM: %s Cmd: %s\n";
inline constexpr char kLogStartedUpdateFailed[] =
    "Start PGM: %s Cmd: %s Fehler Update Kvs500Job RC: %ld\n";
inline constexpr char kLogUndoKillFailed[] =
    "Start PGM: %s ProcessID %d laeuft nach kill weiter und ist nicht eingetragen!\n";
inline constexpr char kLogPidReuseUpdateFailed[] =
    "- Update JobStatus: %s CheckProcessID! Fehler RC: %ld\n";
inline constexpr char kLogTableFull[] =
    "Start PGM: %s nicht gestartet: Prozesstabelle voll (1024 Eintraege)!\n";
inline constexpr char kLogListFull[] =
    "Start PGM: %s nicht gestartet: Liste der laufenden Jobs voll (5000 Zeichen)!\n";
inline constexpr char kLogRuntimeExceeded[] =
    "END PGM: PGM %s wird wegen Laufzeitueberschreitung beendet!\n";
inline constexpr char kMsgRuntimeExceeded[] =
    "Programm %s wird wegen Laufzeit\xFC" "berschreitung abgebrochen!";
inline constexpr char kLogUpdateExceeded[] = "Update CheckProcessTime(1): %s Fehler RC: %ld\n";
inline constexpr char kLogUpdateEnded[] = "Update CheckProcessTime(2): %s Fehler RC: %ld\n";
inline constexpr char kLogSupervisionOff[] =
    "Info: Laufzeit\xFC" "berwachung vor Uhrzeitumstellung deaktiviert.\n";
inline constexpr char kLogSupervisionOn[] =
    "Info: Laufzeit\xFC" "berwachung nach Uhrzeitumstellung aktiviert.\n";
inline constexpr char kLogProcessEnded[] = "Prozess beendet: %s ProcessID %d\n";
inline constexpr char kLogJobTakenAway[] =
    "Job %s ProcessID %d wurde von einem anderen Knoten uebernommen und wird beendet!\n";
inline constexpr char kLogNoProcessInfo[] = "Keine Prozessinformationen vorhanden. Error: %ld!\n";
inline constexpr char kLogNoProcessName[] =
    "Der Prozessname konnte nicht ermittelt werden. Error: %ld!\n";
inline constexpr char kLogNoProcessPath[] =
    "Der Prozesspfad konnte nicht ermittelt werden. Error: %ld!\n";
inline constexpr char kLogNotTerminated[] = "Prozess wurde nicht beendet: %s (PID: %ld) Pfad: %s!\n";
inline constexpr char kLogKillFailed[] =
    "Prozess laeuft nach kill weiter: %s ProcessID %d, Status bleibt 01!\n";
inline constexpr char kLogLoadOpenFailed[] =
    "RTY01Jobs einlesen: Open Cursor! Fehler RC: %ld, SQLCode: %ld\n-   SQLState: %s\n-   "
    "SQLMsg: %s\n";
inline constexpr char kLogLoadFetchFailed[] =
    "RTY01Jobs einlesen: Fetch Cursor! Fehler RC: %ld, SQLCode: %ld\n-   SQLState: %s\n-   "
    "SQLMsg: %s\n";
inline constexpr char kLogLoadNoPid[] =
    "RTY01Jobs einlesen: Job %s %s ohne Prozessnummer (JOBNUM '%s') wird als beendet "
    "markiert!\n";
inline constexpr char kLogLoadListFull[] =
    "RTY01Jobs einlesen: Liste der laufenden Jobs voll (5000 Zeichen)! Keine Starts in "
    "diesem Durchlauf.\n";

// Termination reasons.
inline constexpr int kReasonServiceGone = 11;
inline constexpr int kReasonDatabaseLost = 12;

// The process id in a JOBNUM text (leading digits); 0 when there is none
// or it does not fit 32 bits.
uint32_t ParseProcessId(const char* jobnum);

// Whether a local time lies in the early morning of a clock change: March
// or October, Sunday, day 25 or later, 01:00:00 to 05:59:59.
bool InClockChangeWindow(const CivilTime& local);

class ProcessManager {
 public:
  ProcessManager(Platform& platform, Logs& logs, JobTable& jobs, MessagePool& pool,
                 ServiceLink& link, std::string own_dir, bool multiservices);

  // Start of a pass's job work: the snapshot takes the entries in use of
  // the table (when it holds a complete reload), the table, the running-job
  // list and the running count are cleared.
  void BeginPass();

  // GetKvProcs: reloads the jobs in state "01" into the table, builds the
  // running-job list, sets the running count. 1 success, 0 failure.
  int GetKvProcs();

  // Looks at every recorded process: ended ones get "98", those over
  // their JOBMRT are killed and get "99" once they are gone. One that
  // outlives its kill stays "01" and is tried again after a pause that
  // grows with each try; its line is logged at the first try and then once
  // an hour while it lasts. A job whose program exec'd another keeps
  // running under the new name.
  void Supervise();

  // Starts a job: kLaunchStarted, kLaunchRowUpdateFailed,
  // kLaunchTooManyAttempts, kLaunchCreateFailed or kLaunchNoRoom.
  // JOBCMD, JOBDA1, JOBKE2, JOBURV, JOBRTY and JOBMRT come from job; a row
  // with more than 10 start_attempts is not started. JOBSDA is the new
  // process's creation time as the system dates it (the moment the start
  // began when the process has ended before it could be dated).
  // exclusive_beside: for an exclusive job, the run types that may run
  // beside it (a node claims its row only while no other runs).
  int Launch(const JobRecord& job, int32_t start_attempts,
             const SqlList* exclusive_beside = nullptr);

  // Ends every process of the table and of the snapshot (each once) and
  // marks its row "99"; a process that outlives its kill keeps "01".
  // Reason 12 sends a heartbeat after each entry. The snapshot holds the
  // last table that was loaded in full, however many reloads failed since.
  void TerminateAll(int reason);
  // Ends a leftover process of a permanent program.
  void TerminateByName(uint32_t pid, const std::string& program_file);

  // Whether dir (of a process's executable) lies in the own directory.
  bool InOwnDirectory(const std::string& dir) const;
  // Starts "kill <pid>" or "kill <name>"; its outcome is not checked.
  void StartKill(const std::string& target);
  // Whether info shows the process of the job in e: alive, neither the
  // controller nor its parent, and the very process its launch recorded
  // (by the identity kept for this boot), whatever program it runs now.
  // Without a record, the names decide, as far as JOBNAM holds; the reason
  // is logged once for each job.
  bool IsJobsProcess(const ProcessInfo& info, const ManagedProcess& e);
  // Whether the job's process (pid as its row names it) was started since
  // the machine's boot: by its record, else by its start JOBSDA.
  bool StartedInThisBoot(const char* jobda1, const char* jobke2, uint32_t pid,
                         const char* jobsda);
  // Keeps the identities of the jobs' processes in the file at path from
  // now on (read once here), so that a restart finds them again.
  void KeepIdentities(const std::string& path) { identities_.Open(path); }
  ProcessIdentities& identities() { return identities_; }
  // Starts, ends and run times since the controller's start.
  RunCounters& counters() { return counters_; }
  // The controller's own process or its parent, which are never ended.
  bool IsControllerOrParent(uint32_t pid);

  int32_t running_count() const { return running_count_; }
  RunningList& running_list() { return running_list_; }
  // Cluster mode: the run types of the other nodes' running jobs, read by
  // GetKvProcs (whose running list holds their JOBURV too).
  const std::vector<std::string>& others_running_types() const { return others_running_types_; }
  ProcessTable& table() { return table_; }
  ProcessTable& snapshot() { return snapshot_; }

 private:
  void ReuseCheck(uint32_t new_pid);
  // The steps of a launch. A free entry when the table and the running
  // list have room for job, else nullptr (logged).
  ManagedProcess* RoomFor(const JobRecord& job);
  // Cluster mode: takes the row for this node before it is started. 0, or
  // the launch's result when it must not start.
  int Claim(const JobRecord& job, const SqlList* exclusive_beside);
  // Tells the node's rules which processes it runs (cluster mode).
  void PublishOwnProcesses();
  // Cluster mode: the other nodes' running jobs into the running list.
  bool ReadOthersRunning();
  // A start that failed: logged, posted, the row "90" with one more attempt.
  int RecordFailedStart(const JobRecord& job, int32_t start_attempts);
  // The new process's name as JOBNAM holds it ("unknown" when it has none
  // yet); *created becomes its creation time when the system dates it, and
  // *identity its identity when it can be read.
  std::string ProbeName(uint32_t pid, std::string* created, std::string* identity);
  // The entry of the started job (its pid set).
  void FillEntry(const JobRecord& job, const std::string& name, const std::string& created,
                 ManagedProcess* entry);
  // Writes the start into the row; a start that cannot be written is undone.
  int RecordStart(const JobRecord& job, ManagedProcess* entry);
  void MeasureRunTime(int64_t age_seconds, ManagedProcess* entry);
  // How long the job's process has run: from the steady clock at its
  // launch when it is the recorded process, else as the system tells.
  int64_t AgeSeconds(const ProcessInfo& info, const ManagedProcess& e);
  // After a complete reload: the records of jobs that no longer run go.
  void ForgetEndedIdentities();
  // The row's JOBNAM follows a job whose process now runs another program.
  void FollowName(const ProcessInfo& info, ManagedProcess* entry);
  // Starts the kill command for the entry's process, waits for the
  // command to end (a few seconds at most) and then looks again until the
  // process is gone, for about a second at most. true when it has ended.
  bool KillAndConfirm(const ManagedProcess& entry);
  // Whether the process of entry is the job's and may be ended by this
  // controller (not a system program, in multiservices mode one of the
  // own directory).
  bool MayTerminate(const ProcessInfo& info, const ManagedProcess& entry);
  // Cluster mode, after a complete reload: a job of the last table whose
  // row no longer runs for this node was taken over by another node while
  // this one stood still (a paused machine) or was changed from outside.
  // Nothing supervises it now and its run type may start it elsewhere, so
  // its process is ended; its row is left as it is.
  void EndTakenJobs();
  // Ends the process of an entry over its run time, or tries again once
  // its pause has passed. true when the process has ended.
  bool EndOverdue(const ManagedProcess& entry);
  // Drops the retries of processes the table no longer follows.
  void ForgetKillRetries();
  // Writes the end of e's job: state and JOBEDA now; counted with its run
  // time.
  int WriteEnd(ManagedProcess* e, JobState state);
  // How long e's job ran, as far as known; -1 when not.
  int64_t RunSeconds(const ManagedProcess& e);
  void CountCause(EndCause reason) { ++counters_.by_reason[static_cast<size_t>(reason)]; }
  // The row update of e's job with state and the entry's columns.
  int WriteRow(const ManagedProcess& e, JobState state);
  // Terminates one entry under terminate-all's rules. true when a process
  // was ended.
  bool TerminateEntry(ManagedProcess* entry, EndCause reason);

  Platform& platform_;
  Logs& logs_;
  JobTable& jobs_;
  MessagePool& pool_;
  ServiceLink& link_;
  std::string own_dir_;
  bool multiservices_;

  ProcessIdentities identities_{platform_, logs_};
  RunCounters counters_;
  // Jobs whose missing identity was logged (key, TAB, pid).
  std::set<std::string> told_by_name_;
  ProcessTable table_;
  ProcessTable snapshot_;
  RunningList running_list_;
  std::vector<std::string> others_running_types_;
  int32_t running_count_ = 0;
  bool supervision_on_ = true;
  // Whether the table holds a complete reload (the snapshot takes only such).
  bool table_loaded_ = false;
  // A process over its run time that outlived its kill: when it is tried
  // again and when its line is logged again (steady clock).
  struct KillRetry {
    int64_t next_try_ms = 0;
    int64_t pause_ms = 0;
    int64_t next_log_ms = 0;
  };
  // By process id, job key and start, so a later job under the same id is
  // another process. Only processes of the table are kept: at most the
  // entries of two passes.
  std::map<std::string, KillRetry> kill_retries_;
};

}  // namespace kvs
