#include "proc/cluster_node.h"

#include <cstdlib>
#include <random>

#include "diag/text.h"

namespace kvs {

namespace {

// The watchdog looks this often; a renewal that is due is tried as often.
constexpr int kStepMs = 200;

// A new instance: 64 random bits and the start in UTC.
std::string NewInstance(Platform& platform) {
  std::random_device random;
  const uint64_t bits = (static_cast<uint64_t>(random()) << 32) ^ random();
  return StrFormat("%016llx-%s", static_cast<unsigned long long>(bits),
                   StampOf(platform.ToUtc(platform.Now())).c_str());
}

// Whether name is the name of one of nodes that has not left.
bool NamesLiveRow(const std::string& name, const std::vector<NodeStatus>& nodes) {
  const std::string trimmed = RightTrim(name);
  if (trimmed.empty()) return false;
  for (const NodeStatus& node : nodes) {
    if (!node.left && SameNodeName(trimmed, node.name)) return true;
  }
  return false;
}

}  // namespace

// ---- Silence ----------------------------------------------------------------

void SilenceWatch::BeginReading(int64_t now_ms, int64_t timeout_ms) {
  if (last_reading_ms_ >= 0 && now_ms - last_reading_ms_ > timeout_ms / 2) {
    seen_.clear();
    watching_since_ms_ = -1;
  }
  if (watching_since_ms_ < 0) watching_since_ms_ = now_ms;
  last_reading_ms_ = now_ms;
}

bool SilenceWatch::MayTakeOver(const NodeStatus& node, int64_t now_ms, int64_t timeout_ms) {
  auto [it, fresh] = seen_.try_emplace(node.name, Seen{node.jobsda, now_ms});
  if (!fresh && it->second.jobsda != node.jobsda) it->second = {node.jobsda, now_ms};
  return node.silent && !it->second.settled && now_ms - it->second.since_ms >= timeout_ms;
}

// ---- Life of the node -------------------------------------------------------

ClusterNode::ClusterNode(Platform& platform, Logs& logs, MessagePool& pool, JobTable& jobs,
                         std::string name, int32_t timeout_seconds, std::string record_path)
    : platform_(platform),
      logs_(logs),
      pool_(pool),
      jobs_(jobs),
      name_(std::move(name)),
      timeout_seconds_(timeout_seconds),
      record_path_(std::move(record_path)),
      instance_(NewInstance(platform)) {}

ClusterNode::~ClusterNode() { StopThreads(); }

const NodeStatus* ClusterNode::OwnStatus(const std::vector<NodeStatus>& nodes) const {
  for (const NodeStatus& node : nodes) {
    if (SameNodeName(node.name, name_)) return &node;
  }
  return nullptr;
}

std::string ClusterNode::DeadPredecessor() {
  std::string text;
  if (ReadWholeFile(record_path_, &text) != 0) return "";
  // "INSTANCE\tPID\tIDENTITY\n"
  std::vector<std::string> fields;
  text = RightTrim(text);
  for (size_t from = 0, tab; fields.size() < 3; from = tab + 1) {
    tab = text.find('\t', from);
    fields.push_back(text.substr(from, tab == std::string::npos ? tab : tab - from));
    if (tab == std::string::npos) break;
  }
  if (fields.size() != 3 || fields[0].empty()) return "";
  const uint32_t pid = static_cast<uint32_t>(std::strtoul(fields[1].c_str(), nullptr, 10));
  // Of an earlier boot, or of another machine that got a copy of this
  // directory: not known to be gone.
  if (!platform_.IdentityOfThisBoot(fields[2])) return "";
  if (platform_.InspectProcess(pid).identity == fields[2]) return "";
  return fields[0];
}

void ClusterNode::WriteRecord() {
  if (record_path_.empty()) return;
  const ProcessInfo self = platform_.InspectProcess(platform_.OwnProcessId());
  (void)ReplaceFileContent(
      record_path_,
      instance_ + "\t" + std::to_string(platform_.OwnProcessId()) + "\t" + self.identity + "\n");
}

int ClusterNode::Join() {
  Session& session = jobs_.session();
  const std::string predecessor = DeadPredecessor();
  // Two tries: a start under the same name in the same moment wins the
  // row first, and is then read as the live node it is.
  int rc = 0;
  for (int attempt = 0; attempt < 2; ++attempt) {
    std::vector<NodeStatus> nodes;
    rc = jobs_.ReadNodes(timeout_seconds_, &nodes);
    if (rc != 0) break;
    const NodeStatus* own = OwnStatus(nodes);
    const int64_t started_ms = platform_.SteadyMs();
    if (own == nullptr) {
      WriteRecord();
      rc = session.Execute(TextInsertNodeStatus(session.dialect(), name_, instance_));
      if (rc != 0 && session.IsDuplicateKey(rc)) continue;
    } else {
      const bool live = !own->silent && !own->taken_over && !own->left;
      if (live && !own->instance.empty() && own->instance != predecessor) {
        logs_.Main(
            StrFormat(kLogNodeInUse, name_.c_str(), own->instance.c_str(), own->jobsda.c_str()));
        pool_.Post(StrFormat(kMsgNodeInUse, name_.c_str()));
        return kExitNodeInUse;
      }
      // Before the row: a crash between the two leaves a record of an
      // instance the row never named, which counts for nothing.
      WriteRecord();
      rc = session.Execute(TextJoinNode(session.dialect(), name_, instance_, own->instance), true);
      if (rc == 100) continue;
    }
    if (rc == 0) lease_.renewed_ms = started_ms;
    break;
  }
  if (rc == 100 || (rc != 0 && session.IsDuplicateKey(rc))) {
    // Lost twice to another start: that one runs under the name.
    logs_.Main(StrFormat(kLogNodeInUse, name_.c_str(), "?", "?"));
    pool_.Post(StrFormat(kMsgNodeInUse, name_.c_str()));
    return kExitNodeInUse;
  }
  if (rc != 0) logs_.Main(StrFormat(kLogNodeJoinFailed, name_.c_str(), static_cast<long>(rc)));
  return rc;
}

void ClusterNode::StartLease(const Credentials& credentials, const std::string& db_system,
                             int32_t sql_timeout_seconds) {
  // A renewal that hangs is given up before the next one is due.
  int32_t timeout = timeout_seconds_ / 4;
  if (sql_timeout_seconds > 0 && sql_timeout_seconds < timeout) timeout = sql_timeout_seconds;
  if (timeout < 1) timeout = 1;
  lease_thread_ = std::thread([this, credentials, db_system, timeout] {
    Session session(logs_);
    session.SetDbSystem(db_system);
    session.SetQueryTimeout(timeout);
    while (!lease_.stop) {
      if (!session.connected() &&
          session.Connect(credentials.user, credentials.password, credentials.data_source) != 0) {
        renew_failed_ = true;
      }
      if (session.connected()) RenewStep(session);
      platform_.SleepMs(kStepMs);
    }
    (void)session.Disconnect();
  });
  watchdog_thread_ = std::thread([this] {
    while (!lease_.stop) {
      WatchdogStep();
      platform_.SleepMs(kStepMs);
    }
  });
}

void ClusterNode::StopThreads() {
  lease_.stop = true;
  if (lease_thread_.joinable()) lease_thread_.join();
  if (watchdog_thread_.joinable()) watchdog_thread_.join();
}

void ClusterNode::Leave() {
  StopThreads();
  if (lease_.displaced) return;
  Session& session = jobs_.session();
  const int rc = session.Execute(TextLeaveNode(session.dialect(), name_, instance_));
  if (rc != 0) logs_.Main(StrFormat(kLogNodeLeaveFailed, name_.c_str(), static_cast<long>(rc)));
}

bool ClusterNode::Displaced() {
  if (!lease_.displaced) return false;
  if (!displaced_told_) {
    displaced_told_ = true;
    pool_.Post(StrFormat(kMsgNodeDisplaced, name_.c_str()));
  }
  return true;
}

// ---- Lease and watchdog -----------------------------------------------------

void ClusterNode::RenewStep(Session& session) {
  const int64_t now_ms = platform_.SteadyMs();
  if (lease_.displaced || now_ms < next_renewal_ms_) return;
  int rc = session.Execute(TextRenewNode(session.dialect(), name_, instance_), true);
  if (rc == 100) {
    // Not as this instance left it: taken over, left, or another's.
    JobTable table(session);
    std::vector<NodeStatus> nodes;
    rc = table.ReadNodes(timeout_seconds_, &nodes);
    const NodeStatus* own = OwnStatus(nodes);
    if (rc == 0 && own != nullptr && own->instance != instance_) {
      lease_.displaced = true;
      (void)EndOwnProcesses();
      logs_.Main(StrFormat(kLogNodeDisplaced, name_.c_str(), own->instance.c_str()));
      return;
    }
    if (rc == 0 && own != nullptr && own->taken_over) {
      // Its rows run elsewhere by now: its processes end before it writes
      // its row again.
      logs_.Main(StrFormat(kLogLeaseTakenOver, name_.c_str(), EndOwnProcesses()));
    }
    if (rc == 0) {
      rc = own == nullptr
               ? session.Execute(TextInsertNodeStatus(session.dialect(), name_, instance_))
               : session.Execute(TextRejoinNode(session.dialect(), name_, instance_), true);
    }
  }
  if (rc != 0) {
    if (!renew_failed_) {
      logs_.Main(StrFormat(kLogLeaseRenewFailed, name_.c_str(), static_cast<long>(rc)));
    }
    renew_failed_ = true;
    // The next try on a new connection.
    (void)session.Disconnect();
    return;
  }
  if (renew_failed_) logs_.Main(StrFormat(kLogLeaseRenewed, name_.c_str()));
  renew_failed_ = false;
  lease_.renewed_ms = now_ms;
  next_renewal_ms_ = now_ms + timeout_seconds_ * 250LL;
}

void ClusterNode::WatchdogStep() {
  const int64_t silent_ms = platform_.SteadyMs() - lease_.renewed_ms;
  if (silent_ms < HalfTimeoutMs()) {
    lapse_told_ = false;
    return;
  }
  // Every step while the lease has lapsed: a job the pass launched just
  // before is ended as well.
  const long ended = EndOwnProcesses();
  if (lapse_told_ && ended == 0) return;
  lapse_told_ = true;
  logs_.Main(StrFormat(kLogLeaseLapsed, name_.c_str(), static_cast<long long>(silent_ms), ended));
}

long ClusterNode::EndOwnProcesses() {
  std::lock_guard<std::mutex> hold(own_lock_);
  long ended = 0;
  for (const OwnProcess& p : own_) {
    if (platform_.EndProcessIfSame(p.pid, p.identity) <= 0) continue;
    ended_.insert(p.pid);
    ++ended;
  }
  return ended;
}

void ClusterNode::PublishOwnProcesses(std::vector<OwnProcess> processes) {
  std::lock_guard<std::mutex> hold(own_lock_);
  own_ = std::move(processes);
  std::set<uint32_t> still;
  for (const OwnProcess& p : own_) {
    if (ended_.count(p.pid) != 0) still.insert(p.pid);
  }
  ended_.swap(still);
}

bool ClusterNode::EndedWithoutDatabase(uint32_t pid) {
  std::lock_guard<std::mutex> hold(own_lock_);
  return ended_.erase(pid) != 0;
}

bool ClusterNode::MayStartJobs() const {
  return !lease_.displaced && platform_.SteadyMs() - lease_.renewed_ms < HalfTimeoutMs();
}

// ---- The pass's view of the others ------------------------------------------

bool ClusterNode::BecameLeader() {
  const bool became = became_leader_;
  became_leader_ = false;
  return became;
}

void ClusterNode::Watch() {
  std::vector<NodeStatus> nodes;
  const int rc = jobs_.ReadNodes(timeout_seconds_, &nodes);
  // Unsure who is first, none does the shared upkeep.
  shared_duties_ = false;
  if (rc != 0) {
    logs_.Main(StrFormat(kLogNodesUnread, static_cast<long>(rc)));
    return;
  }
  const int64_t now_ms = platform_.SteadyMs();
  const int64_t timeout_ms = timeout_seconds_ * 1000LL;
  silence_.BeginReading(now_ms, timeout_ms);
  bool first = true;
  for (const NodeStatus& node : nodes) {
    const bool own = SameNodeName(node.name, name_);
    const bool dead = silence_.MayTakeOver(node, now_ms, timeout_ms);
    // A node that left is gone without a word: neither first nor silent.
    if (node.left && !own) continue;
    if (!node.silent || own) {
      if (first) shared_duties_ = own;
      first = false;
      continue;
    }
    // Silent by the server's clock only, so far: neither first nor dead.
    if (dead) TakeOverSilent(node);
  }
  const bool was_leader = leader_;
  leader_ = shared_duties_;
  // The first reading decides before the start-up's registrations; a node
  // that becomes first later registers then.
  if (leader_ && !was_leader && leader_since_start_up_) {
    became_leader_ = true;
    logs_.Main(StrFormat(kLogLeaderDuties, name_.c_str()));
  }
  leader_since_start_up_ = true;
  if (leader_) TakeOverUnowned(nodes, now_ms, timeout_ms);
}

void ClusterNode::TakeOverSilent(const NodeStatus& node) {
  int64_t rows = 0;
  const int taken = jobs_.TakeOver(node, timeout_seconds_, &rows);
  // Marked by another node, its rows looked at once more here: done.
  if (taken == 0 || (taken == 100 && node.taken_over)) silence_.Settle(node.name);
  if (taken != 0) return;
  logs_.Main(StrFormat(kLogNodeTakenOver, node.name.c_str(), node.jobsda.c_str(),
                       static_cast<long long>(rows)));
  pool_.Post(StrFormat(kMsgNodeTakenOver, node.name.c_str(), static_cast<long long>(rows)));
}

void ClusterNode::TakeOverUnowned(const std::vector<NodeStatus>& nodes, int64_t now_ms,
                                  int64_t timeout_ms) {
  std::vector<RunningOwner> rows;
  if (jobs_.ReadRunningOwners(&rows) != 0) return;
  std::set<std::string> still;
  for (const RunningOwner& row : rows) {
    if (NamesLiveRow(row.jobusr, nodes)) continue;
    const std::string key = RightTrim(row.jobda1) + "\t" + RightTrim(row.jobke2);
    still.insert(key);
    auto [it, fresh] = unowned_.try_emplace(key, Unowned{row.jobusr, row.jobsda, now_ms});
    if (!fresh && (it->second.jobusr != row.jobusr || it->second.jobsda != row.jobsda)) {
      it->second = {row.jobusr, row.jobsda, now_ms};
    }
    // Watched for a whole time-out, without a gap in this node's readings.
    if (now_ms - it->second.since_ms < timeout_ms || !silence_.Watched(now_ms, timeout_ms)) {
      continue;
    }
    int64_t changed = 0;
    if (jobs_.session().ExecuteCounted(TextTakeOverRow(row), &changed) != 0 || changed == 0) {
      continue;
    }
    logs_.Main(StrFormat(kLogUnownedTakenOver, RightTrim(row.jobda1).c_str(),
                         RightTrim(row.jobke2).c_str(), RightTrim(row.jobusr).c_str()));
  }
  for (auto it = unowned_.begin(); it != unowned_.end();) {
    it = still.count(it->first) ? std::next(it) : unowned_.erase(it);
  }
}

// ---- Rows -------------------------------------------------------------------

SqlStatement ClusterNode::OwnRunningRows(JobState state) const {
  return TextOpenRunningJobsOfNode(state, name_);
}

SqlStatement ClusterNode::OwnRowUpdate(const JobRecord& row) const {
  return TextUpdateOwnJobRow(row, name_);
}

SqlStatement ClusterNode::UpkeepWrite(SqlStatement write) const { return TextWhileIdle(write); }

int ClusterNode::Claim(JobTable& jobs, const JobRecord& job,
                       const SqlList* exclusive_beside) const {
  // Checked again at each start: the pass may have waited since its start.
  if (!MayStartJobs()) return 100;
  return jobs.ClaimJob(job, name_, exclusive_beside);
}

int ClusterNode::ReadOthersRunning(JobTable& jobs,
                                   std::vector<std::pair<std::string, std::string>>* others) const {
  return jobs.ReadOthersRunning(name_, others);
}

bool ClusterNode::RunsElsewhere(const JobRecord& row) const {
  return kStateRunning.In(RightTrim(row.jobsts).c_str()) && !SameNodeName(row.jobusr, name_);
}

}  // namespace kvs
