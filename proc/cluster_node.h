// Cluster mode: a controller that shares its job table with others, each a
// node with a name of its own (KNOTEN). All of it lives here:
//   - the name: each start of a node is an instance, and one instance at
//     a time holds a name (its status row says which);
//   - the lease: a thread of its own, with a database session of its own,
//     renews the status row every KNOTENTIMEOUT / 4 whatever the pass does;
//   - the watchdog: another thread ends the node's own jobs, without the
//     database, once no renewal has succeeded for KNOTENTIMEOUT / 2, when
//     others took the node over, or when another instance took its name;
//     the others take a node over only after a whole KNOTENTIMEOUT of
//     silence, so its jobs have ended before anyone starts them again;
//   - the pass's view of the others (Watch): the first live node by name
//     does the shared upkeep (and registers what only the leader keeps
//     when it becomes first), silent nodes are taken over, and rows that no
//     node owns are taken over by the leader after a time-out of watching;
//   - the rows: a row is claimed before its start, written only while it is
//     still the node's, and the upkeep writes only rows that do not run;
//   - the clean stop: the status row is marked left.
// The pass remains the one thread that starts and supervises jobs; the
// lease thread touches only the status row, the watchdog only processes.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "db/job_table.h"
#include "db/node_rules.h"
#include "db/session.h"
#include "diag/log_file.h"
#include "msg/message_pool.h"
#include "platform/platform.h"

namespace kvs {

// A node refused or displaced by another instance of its name.
inline constexpr int kExitNodeInUse = 2;

inline constexpr char kLogNodeInUse[] =
    "Knoten %s laeuft bereits (Instanz %s, zuletzt %s UTC): dieser Jobcontroller startet nicht!\n";
inline constexpr char kMsgNodeInUse[] =
    "Knoten %s laeuft bereits auf einem anderen Jobcontroller => dieser startet nicht!";
inline constexpr char kLogNodeJoinFailed[] = "Knoten %s konnte sich nicht anmelden! RC: %ld\n";
inline constexpr char kLogNodeDisplaced[] =
    "Knoten %s gehoert jetzt Instanz %s: keine Jobstarts mehr, eigene Jobs beendet, der "
    "Jobcontroller endet!\n";
inline constexpr char kMsgNodeDisplaced[] =
    "Knoten %s wird von einem anderen Jobcontroller betrieben => dieser endet!";
inline constexpr char kLogLeaseLapsed[] =
    "Knoten %s: Statussatz seit %lld ms nicht erneuert => %ld eigene Jobs beendet!\n";
inline constexpr char kLogLeaseTakenOver[] =
    "Knoten %s wurde von anderen Knoten uebernommen => %ld eigene Jobs beendet!\n";
inline constexpr char kLogLeaseRenewFailed[] = "Knoten %s: Statussatz nicht erneuert! RC: %ld\n";
inline constexpr char kLogLeaseRenewed[] = "Knoten %s: Statussatz wieder erneuert!\n";
inline constexpr char kLogNodeTakenOver[] =
    "Knoten %s ist seit %s (UTC) still: %lld laufende Jobs auf 99 gesetzt, ihre Laufarten starten "
    "sie neu!\n";
inline constexpr char kMsgNodeTakenOver[] =
    "Knoten %s antwortet nicht mehr => %lld seiner Jobs werden auf anderen Knoten neu gestartet!";
inline constexpr char kLogNodesUnread[] = "Knoten konnten nicht gelesen werden! RC: %ld\n";
inline constexpr char kLogUnownedTakenOver[] =
    "Job %s %s laeuft unter keinem Knoten ('%s'): auf 99 gesetzt, seine Laufart startet ihn "
    "neu!\n";
inline constexpr char kLogLeaderDuties[] = "Knoten %s uebernimmt die gemeinsamen Aufgaben!\n";
inline constexpr char kLogChildrenNotBound[] =
    "Knoten %s: Jobs koennen nicht an den Jobcontroller gebunden werden, er startet nicht! "
    "Error: %ld\n";
inline constexpr char kLogNodeLeaveFailed[] = "Knoten %s konnte sich nicht abmelden! RC: %ld\n";

// Which silent nodes may be taken over. A node's status row must look old
// by the database server's clock and must also have stayed the same for
// the time-out on this node's own steady clock: a step of the server's
// clock makes every row look old at once, but live nodes write theirs again
// within a quarter of it. A node that has just started, or could not read
// the rows for half a time-out (its own outage, when no node could write),
// watches for one time-out before it takes anyone over.
class SilenceWatch {
 public:
  // Called once for each reading, before MayTakeOver.
  void BeginReading(int64_t now_ms, int64_t timeout_ms);
  // Called for every node of the reading. False once the node is settled
  // until its row changes.
  bool MayTakeOver(const NodeStatus& node, int64_t now_ms, int64_t timeout_ms);
  // The node's rows are taken over (by this node or, as found since, by
  // another): no more statements for it while its row stays as it is.
  void Settle(const std::string& name) { seen_[name].settled = true; }
  // Whether the readings have gone on without a gap since a time-out.
  bool Watched(int64_t now_ms, int64_t timeout_ms) const {
    return watching_since_ms_ >= 0 && now_ms - watching_since_ms_ >= timeout_ms;
  }

 private:
  int64_t last_reading_ms_ = -1;
  int64_t watching_since_ms_ = -1;
  struct Seen {
    std::string jobsda;
    int64_t since_ms = 0;
    bool settled = false;
  };
  std::map<std::string, Seen> seen_;
};

// The lease's state as both threads and the pass see it.
struct LeaseState {
  std::atomic<int64_t> renewed_ms{0};   // steady clock, the start of the last renewal
  std::atomic<bool> displaced{false};   // another instance holds the name
  std::atomic<bool> stop{false};
};

class ClusterNode final : public NodeRules {
 public:
  // record_path: where this node keeps the instance it started last, so
  // that a restart after a crash knows its own predecessor.
  ClusterNode(Platform& platform, Logs& logs, MessagePool& pool, JobTable& jobs, std::string name,
              int32_t timeout_seconds, std::string record_path);
  ~ClusterNode() override;
  ClusterNode(const ClusterNode&) = delete;
  ClusterNode& operator=(const ClusterNode&) = delete;

  // Start-up, before any job is looked at: takes the name for a new
  // instance. 0, kExitNodeInUse (a live node holds the name; said in the
  // main log and the pool) or the failure code of the status row.
  [[nodiscard]] int Join();
  // Starts the lease and the watchdog, the lease with a session of its own.
  void StartLease(const Credentials& credentials, const std::string& db_system,
                  int32_t sql_timeout_seconds);
  // Each pass (and once at start-up): reads the nodes, takes over silent
  // ones and rows no node owns, and settles who does the shared upkeep.
  void Watch();
  // True once, in the first pass in which this node became first since
  // start-up: it registers what only the leader keeps.
  bool BecameLeader();
  // Another instance holds the name: the pass stops here, said once in
  // the main log and the pool; the controller ends with kExitNodeInUse
  // without touching a row.
  bool Displaced();
  // A clean stop, after the jobs were ended: stops the lease and marks the
  // status row left.
  void Leave();

  // The lease and the watchdog, one step each, as their threads take them
  // (tests take them on the fake platform). session: the lease's own.
  void RenewStep(Session& session);
  void WatchdogStep();

  const std::string& instance() const { return instance_; }

  // NodeRules.
  const std::string& name() const override { return name_; }
  SqlStatement OwnRunningRows(JobState state) const override;
  SqlStatement OwnRowUpdate(const JobRecord& row) const override;
  SqlStatement UpkeepWrite(SqlStatement write) const override;
  int Claim(JobTable& jobs, const JobRecord& job, const SqlList* exclusive_beside) const override;
  int ReadOthersRunning(JobTable& jobs,
                        std::vector<std::pair<std::string, std::string>>* others) const override;
  bool RunsElsewhere(const JobRecord& row) const override;
  bool SharesTable() const override { return true; }
  bool SharedDuties() const override { return shared_duties_; }
  bool MayStartJobs() const override;
  void PublishOwnProcesses(std::vector<OwnProcess> processes) override;
  bool EndedWithoutDatabase(uint32_t pid) override;

 private:
  // Ends every process of the last published list that is still the
  // recorded one; how many.
  long EndOwnProcesses();
  void TakeOverSilent(const NodeStatus& node);
  void TakeOverUnowned(const std::vector<NodeStatus>& nodes, int64_t now_ms, int64_t timeout_ms);
  // This node's status row among nodes; nullptr when it has none.
  const NodeStatus* OwnStatus(const std::vector<NodeStatus>& nodes) const;
  // The instance this directory started last, when its process is gone.
  std::string DeadPredecessor();
  void WriteRecord();
  void StopThreads();
  int64_t HalfTimeoutMs() const { return timeout_seconds_ * 500LL; }

  Platform& platform_;
  Logs& logs_;
  MessagePool& pool_;
  JobTable& jobs_;
  const std::string name_;
  const int32_t timeout_seconds_;
  const std::string record_path_;
  std::string instance_;

  SilenceWatch silence_;
  bool shared_duties_ = false;
  bool leader_ = false;
  bool leader_since_start_up_ = false;
  bool became_leader_ = false;
  bool displaced_told_ = false;
  struct Unowned {
    std::string jobusr;
    std::string jobsda;
    int64_t since_ms = 0;
  };
  std::map<std::string, Unowned> unowned_;

  LeaseState lease_;
  std::mutex own_lock_;
  std::vector<OwnProcess> own_;
  std::set<uint32_t> ended_;  // of own_, by the lease or the watchdog
  bool lapse_told_ = false;      // watchdog thread only
  bool renew_failed_ = false;    // lease thread only
  int64_t next_renewal_ms_ = 0;  // lease thread only
  std::thread lease_thread_;
  std::thread watchdog_thread_;
};

}  // namespace kvs
