#include "proc/process_manager.h"

#include <algorithm>
#include <cstdlib>
#include <set>
#include <unordered_map>
#include <utility>

#include "diag/text.h"
#include "platform/civil_time.h"

namespace kvs {

namespace {

constexpr int kNameProbeAttempts = 50;
constexpr int kNameProbeSleepMs = 100;
constexpr int kKillPauseMs = 50;
// How long the kill command is given to act before its outcome is judged.
constexpr int kKillWaitMs = 5000;
// Looks after a kill before a process counts as having outlived it.
constexpr int kKillLooks = 20;
// Pauses before a process that outlived its kill is tried again: doubled
// after each try, up to the longest.
constexpr int64_t kKillRetryFirstPauseMs = 10000;
constexpr int64_t kKillRetryLongestPauseMs = 600000;
// A process that keeps outliving its kill is logged again after this.
constexpr int64_t kKillFailedLogMs = 3600000;
constexpr int kTerminatePauseMs = 100;
// Room of JOBNAM without its terminator.
constexpr size_t kJobNameChars = sizeof(JobRecord::jobnam) - 1;

bool IsProgram(const std::string& name, const char* program) { return EqualsNoCase(name, program); }

// The name a process is compared under: its base name, or "unknown" when
// it was opened but its module could not be read.
std::string ComparedName(const ProcessInfo& info) {
  return info.has_name ? info.base_name : std::string("unknown");
}

// A program name as the row holds it: lower case, cut to JOBNAM's room.
std::string JobName(const std::string& name) {
  return ToLowerAscii(name.substr(0, std::min(name.size(), kJobNameChars)));
}

// Whether a live name is the recorded one, compared as far as JOBNAM holds
// (a longer name is cut in the row) and without regard to case.
bool SameJobName(const std::string& live, const char* recorded) {
  return JobName(live) == JobName(RightTrim(recorded));
}

// A broken-down time counted as if it were UTC, in seconds since 1970.
int64_t CivilSeconds(const CivilTime& c) {
  return DayNumber(c.year, c.month, c.day) * 86400 + c.hour * 3600 + c.minute * 60 + c.second;
}

// The latest instant that a local time stamp names: two in the hour that
// the change to winter time repeats, none in the hour that the change to
// summer time skips (then the one the offset before it gives). Each is
// found from the zone's offset a day before, at and a day after the stamp,
// which brackets any change near it.
int64_t LatestInstantOf(Platform& platform, const CivilTime& stamp) {
  const int64_t local = CivilSeconds(stamp);
  int64_t latest = local - (CivilSeconds(platform.ToLocal(local)) - local);
  bool named = false;
  for (int64_t probe : {local - 86400, local, local + 86400}) {
    const int64_t instant = local - (CivilSeconds(platform.ToLocal(probe)) - probe);
    if (CivilSeconds(platform.ToLocal(instant)) != local) continue;
    latest = named ? std::max(latest, instant) : instant;
    named = true;
  }
  return latest;
}

// The key of a process's kill retries: id, job key and start.
std::string RetryKey(const ManagedProcess& e) {
  return StrFormat("%u|%s|%s|%s", e.pid, e.jobda1, e.jobke2, e.jobsda);
}

}  // namespace

uint32_t ParseProcessId(const char* jobnum) {
  // 64 bits: long has 32 on Windows, too few for every 32-bit id.
  const long long pid = std::strtoll(jobnum, nullptr, 10);
  return pid > 0 && pid <= static_cast<long long>(UINT32_MAX) ? static_cast<uint32_t>(pid) : 0;
}

bool InClockChangeWindow(const CivilTime& t) {
  return (t.month == 3 || t.month == 10) && t.weekday == 0 && t.day >= 25 && t.hour >= 1 &&
         t.hour <= 5;
}

ProcessManager::ProcessManager(Platform& platform, Logs& logs, JobTable& jobs,
                               MessagePool& pool, ServiceLink& link, std::string own_dir,
                               bool multiservices)
    : platform_(platform),
      logs_(logs),
      jobs_(jobs),
      pool_(pool),
      link_(link),
      own_dir_(std::move(own_dir)),
      multiservices_(multiservices) {}

void ProcessManager::BeginPass() {
  // A failed reload leaves the table empty or cut short; the snapshot
  // keeps the last whole one, so terminating all still finds every job.
  if (table_loaded_) snapshot_.CopyInUse(table_);
  table_loaded_ = false;
  table_.Clear();
  running_list_.Clear();
  running_count_ = 0;
}

bool ProcessManager::InOwnDirectory(const std::string& dir) const {
  // Without a directory of its own every path would contain it, and the
  // processes of other installations would count as this one's.
  return !own_dir_.empty() && dir.find(own_dir_) != std::string::npos;
}

void ProcessManager::StartKill(const std::string& target) {
  uint32_t pid = 0;
  (void)platform_.StartProcess("kill " + target, &pid);
}

bool ProcessManager::IsControllerOrParent(uint32_t pid) {
  // A crafted row must not make the controller end itself or its service.
  return pid == platform_.OwnProcessId() || pid == platform_.ParentProcessId();
}

bool ProcessManager::IsJobsProcess(const ProcessInfo& info, const ManagedProcess& e) {
  if (!info.opened || IsControllerOrParent(e.pid)) return false;
  // The identity its launch recorded tells the job's own process from any
  // other under the same id, whatever the clocks did since.
  const RecordedProcess* recorded = identities_.Find(e.jobda1, e.jobke2, e.pid);
  if (recorded != nullptr && !info.identity.empty() &&
      platform_.IdentityOfThisBoot(recorded->identity)) {
    return recorded->identity == info.identity;
  }
  const std::string told = ProcessIdentities::Key(e.jobda1, e.jobke2) + StrFormat("\t%u", e.pid);
  if (told_by_name_.insert(told).second) {
    logs_.Main(StrFormat(kLogIdentityMissing, e.jobda1, e.jobke2, static_cast<int>(e.pid),
                         identities_.WhyMissing(e.jobda1, e.jobke2, e.pid, info.identity)));
  }
  return SameJobName(ComparedName(info), e.jobnam);
}

bool ProcessManager::StartedInThisBoot(const char* jobda1, const char* jobke2, uint32_t pid,
                                       const char* jobsda) {
  if (const RecordedProcess* recorded = identities_.Find(jobda1, jobke2, pid)) {
    return platform_.IdentityOfThisBoot(recorded->identity);
  }
  CivilTime start;
  if (!CivilFromStamp(jobsda, &start)) return false;
  // The steady clock counts from boot.
  return LatestInstantOf(platform_, start) >= platform_.Now() - platform_.SteadyMs() / 1000;
}

void ProcessManager::ForgetEndedIdentities() {
  std::set<std::string> running;
  for (const ManagedProcess& e : table_.entries()) {
    if (e.pid != 0) running.insert(ProcessIdentities::Key(e.jobda1, e.jobke2));
  }
  std::vector<std::pair<std::string, RecordedProcess>> dropped;
  identities_.KeepOnly(running, &dropped);
  // A job whose row was taken from this node while it was away (its
  // controller dead, its process not): ended now, if it still runs.
  if (jobs_.rules().SharesTable()) {
    for (const auto& [jobke2, process] : dropped) {
      if (platform_.EndProcessIfSame(process.pid, process.identity) <= 0) continue;
      logs_.Main(StrFormat(kLogJobTakenAway, jobke2.c_str(), static_cast<int>(process.pid)));
      CountCause(EndCause::kTakenOver);
    }
  }
  PublishOwnProcesses();
  for (auto it = told_by_name_.begin(); it != told_by_name_.end();) {
    it = running.count(it->substr(0, it->rfind('\t'))) ? std::next(it) : told_by_name_.erase(it);
  }
}

void ProcessManager::FollowName(const ProcessInfo& info, ManagedProcess* e) {
  if (!info.has_name || info.base_name.empty() || SameJobName(info.base_name, e->jobnam)) {
    return;
  }
  SetField(e->jobnam, JobName(info.base_name));
  // A failed update is tried again in the next pass: the row's name still
  // differs then.
  (void)WriteRow(*e, kStateRunning);
}

bool ProcessManager::KillAndConfirm(const ManagedProcess& e) {
  uint32_t kill_pid = 0;
  if (platform_.StartProcess(StrFormat("kill %u", e.pid), &kill_pid) == 0) {
    // A kill command that is slow to start (a loaded machine, a scanner
    // looking at it) has not acted yet: it is judged once it has ended.
    for (int waited = 0; waited < kKillWaitMs && platform_.InspectProcess(kill_pid).opened;
         waited += kKillPauseMs) {
      platform_.SleepMs(kKillPauseMs);
    }
  }
  for (int look = 0; look < kKillLooks; ++look) {
    platform_.SleepMs(kKillPauseMs);
    if (!IsJobsProcess(platform_.InspectProcess(e.pid), e)) return true;
  }
  return false;
}

bool ProcessManager::EndOverdue(const ManagedProcess& e) {
  const std::string key = RetryKey(e);
  auto retry = kill_retries_.find(key);
  if (retry != kill_retries_.end() && platform_.SteadyMs() < retry->second.next_try_ms) {
    return false;
  }
  if (retry == kill_retries_.end()) {
    logs_.Main(StrFormat(kLogRuntimeExceeded, e.jobnam));
    pool_.Post(StrFormat(kMsgRuntimeExceeded, e.jobnam));
  }
  if (KillAndConfirm(e)) {
    if (retry != kill_retries_.end()) kill_retries_.erase(retry);
    return true;
  }
  const int64_t now = platform_.SteadyMs();
  bool log = false;
  if (retry == kill_retries_.end()) {
    retry = kill_retries_.emplace(key, KillRetry{}).first;
    retry->second.pause_ms = kKillRetryFirstPauseMs;
    log = true;
  } else {
    retry->second.pause_ms = std::min(retry->second.pause_ms * 2, kKillRetryLongestPauseMs);
    log = now >= retry->second.next_log_ms;
  }
  retry->second.next_try_ms = now + retry->second.pause_ms;
  if (log) {
    logs_.Main(StrFormat(kLogKillFailed, e.jobnam, static_cast<int>(e.pid)));
    retry->second.next_log_ms = now + kKillFailedLogMs;
  }
  return false;
}

void ProcessManager::ForgetKillRetries() {
  if (kill_retries_.empty()) return;
  std::set<std::string> followed;
  for (const ManagedProcess& e : table_.entries()) {
    if (e.pid != 0) followed.insert(RetryKey(e));
  }
  for (auto at = kill_retries_.begin(); at != kill_retries_.end();) {
    at = followed.count(at->first) ? std::next(at) : kill_retries_.erase(at);
  }
}

int ProcessManager::WriteEnd(ManagedProcess* e, JobState state) {
  SetField(e->jobeda, TimestampNow(platform_));
  ++(state == kStateTerminated ? counters_.terminated : counters_.ended);
  counters_.AddRunTime(RunSeconds(*e));
  return WriteRow(*e, state);
}

int64_t ProcessManager::RunSeconds(const ManagedProcess& e) {
  if (const RecordedProcess* recorded = identities_.Find(e.jobda1, e.jobke2, e.pid)) {
    const int64_t ms = platform_.SteadyMs() - recorded->started_steady_ms;
    if (ms >= 0) return ms / 1000;
  }
  // Measured in this pass; an entry that ended before it was measured
  // has no run time.
  return e.elapsed_seconds > 0 ? e.elapsed_seconds : -1;
}

int ProcessManager::WriteRow(const ManagedProcess& e, JobState state) {
  // Only the columns of the update are filled; the whole row lives on the
  // stack for as long as the statement is built.
  JobRecord row;
  SetField(row.jobda1, e.jobda1);
  SetField(row.jobke2, e.jobke2);
  SetField(row.jobsts, state);
  SetField(row.jobnam, e.jobnam);
  SetField(row.jobusr, e.jobusr);
  SetField(row.jobnum, e.jobnum);
  SetField(row.jobsda, e.jobsda);
  SetField(row.jobeda, e.jobeda);
  row.jobstv = e.jobstv;
  return jobs_.UpdateOwnJobRow(row);
}

// ---- GetKvProcs -----------------------------------------------------------

int ProcessManager::GetKvProcs() {
  int rc = jobs_.OpenRunningJobs(kStateRunning);
  if (rc != 0) {
    const SqlError& e = jobs_.session().error();
    logs_.Main(StrFormat(kLogLoadOpenFailed, static_cast<long>(rc), static_cast<long>(e.native),
                         e.sqlstate, e.message));
    return 0;
  }
  int filled = 0;
  while (filled < kMaxProcesses) {
    JobRecord row;
    rc = jobs_.FetchRunningJob(&row);
    if (rc == 100) break;
    if (rc != 0) {
      const SqlError& e = jobs_.session().error();
      logs_.Main(StrFormat(kLogLoadFetchFailed, static_cast<long>(rc),
                           static_cast<long>(e.native), e.sqlstate, e.message));
      jobs_.CloseRunningJobs();
      return 0;
    }
    // The table was cleared for the reload: the entries follow each other.
    ManagedProcess* slot = table_.FreeEntry();
    if (slot == nullptr) break;
    ManagedProcess& entry = *slot;
    entry = ManagedProcess{};
    SetField(entry.jobda1, row.jobda1);
    SetField(entry.jobke2, row.jobke2);
    SetField(entry.joburv, row.joburv);
    SetField(entry.jobrty, row.jobrty);
    SetField(entry.jobnam, RightTrim(row.jobnam));
    SetField(entry.jobusr, row.jobusr);
    SetField(entry.jobnum, RightTrim(row.jobnum));
    SetField(entry.jobsda, row.jobsda);
    SetField(entry.jobeda, row.jobeda);
    entry.jobmrt = row.jobmrt;
    entry.jobstv = row.jobstv;
    const uint32_t pid = ParseProcessId(entry.jobnum);
    if (pid == 0) {
      // A running row without a process id can never be followed or
      // ended; it would hold a place of MAXJOBS and its key for ever.
      (void)WriteEnd(&entry, kStateEnded);
      logs_.Main(StrFormat(kLogLoadNoPid, entry.jobda1, entry.jobke2, entry.jobnum));
      entry = ManagedProcess{};
      continue;
    }
    entry.pid = pid;
    const bool was_full = running_list_.full();
    if (!running_list_.Add(entry.joburv) && !was_full) logs_.Main(kLogLoadListFull);
    ++filled;
  }
  jobs_.CloseRunningJobs();
  running_count_ = filled;
  EndTakenJobs();
  if (!ReadOthersRunning()) return 0;
  // Only now: the jobs taken away above were still told by their records.
  ForgetEndedIdentities();
  table_loaded_ = true;
  return 1;
}

void ProcessManager::EndTakenJobs() {
  if (!jobs_.rules().SharesTable()) return;
  // By process id: a lookup for each of up to 1,024 entries a pass.
  std::unordered_map<uint32_t, const ManagedProcess*> reloaded;
  for (const ManagedProcess& now : table_.entries()) reloaded.emplace(now.pid, &now);
  for (ManagedProcess& e : snapshot_.entries()) {
    if (e.pid == 0) continue;
    const auto same = reloaded.find(e.pid);
    if (same != reloaded.end() && std::strcmp(same->second->jobda1, e.jobda1) == 0 &&
        std::strcmp(same->second->jobke2, e.jobke2) == 0) {
      continue;
    }
    // Ended on its own since, or not ours to end: nothing to do. The row
    // is no longer this node's to write, whatever happens to the process.
    if (MayTerminate(platform_.InspectProcess(e.pid), e)) {
      logs_.Main(StrFormat(kLogJobTakenAway, e.jobnam, static_cast<int>(e.pid)));
      CountCause(EndCause::kTakenOver);
      if (!KillAndConfirm(e)) {
        logs_.Main(StrFormat(kLogKillFailed, e.jobnam, static_cast<int>(e.pid)));
      }
    }
    e.pid = 0;
  }
}

void ProcessManager::PublishOwnProcesses() {
  if (!jobs_.rules().SharesTable()) return;
  std::vector<OwnProcess> own;
  for (const ManagedProcess& e : table_.entries()) {
    // The day-end program is left to finish, as an outage leaves it.
    if (e.pid == 0 || IsProgram(e.jobnam, "dayend.exe")) continue;
    if (const RecordedProcess* r = identities_.Find(e.jobda1, e.jobke2, e.pid)) {
      own.push_back({e.pid, r->identity});
    }
  }
  jobs_.rules().PublishOwnProcesses(std::move(own));
}

bool ProcessManager::ReadOthersRunning() {
  others_running_types_.clear();
  std::vector<std::pair<std::string, std::string>> others;
  const int rc = jobs_.rules().ReadOthersRunning(jobs_, &others);
  if (rc != 0) {
    const SqlError& e = jobs_.session().error();
    logs_.Main(StrFormat(kLogLoadOpenFailed, static_cast<long>(rc), static_cast<long>(e.native),
                         e.sqlstate, e.message));
    return false;
  }
  // Another node's job keeps its JOBURV from starting here as well.
  for (const auto& [joburv, jobrty] : others) {
    const bool was_full = running_list_.full();
    if (!running_list_.Add(joburv.c_str()) && !was_full) logs_.Main(kLogLoadListFull);
    others_running_types_.push_back(jobrty);
  }
  return true;
}

// ---- Launch ---------------------------------------------------------------

void ProcessManager::ReuseCheck(uint32_t new_pid) {
  // Every entry: supervision frees entries anywhere in the table, so the
  // running ones are not all below the running count.
  for (ManagedProcess& e : table_.entries()) {
    // An entry in use is a running job: each end frees its entry.
    if (e.pid != new_pid) continue;
    // The job recorded here has ended and its id went to the new process.
    int rc = WriteEnd(&e, kStateEnded);
    if (rc != 0) {
      logs_.Main(StrFormat(kLogPidReuseUpdateFailed, e.jobnam, static_cast<long>(rc)));
    }
    // The entry no longer follows a process of its own: left with the id,
    // a later termination in this pass would end the new job under the old
    // job's row.
    e.pid = 0;
    --running_count_;
  }
}

int ProcessManager::Launch(const JobRecord& job, int32_t start_attempts,
                           const SqlList* exclusive_beside) {
  if (start_attempts > kMaxStartAttempts) return kLaunchTooManyAttempts;
  const std::string command_line = job.jobcmd;
  ManagedProcess* entry = RoomFor(job);
  if (entry == nullptr) return kLaunchNoRoom;
  if (int claimed = Claim(job, exclusive_beside); claimed != 0) return claimed;
  const std::string start_time = TimestampNow(platform_);
  const int64_t started_steady_ms = platform_.SteadyMs();
  uint32_t pid = 0;
  if (platform_.StartProcess(command_line, &pid) != 0) {
    return RecordFailedStart(job, start_attempts);
  }
  ReuseCheck(pid);
  // The reuse check may not take entries, so the free one is still free.
  // A freed entry still holds the fields of its last job; none of them
  // may be written back into this job's row.
  *entry = ManagedProcess{};
  entry->pid = pid;
  std::string created = start_time;
  std::string identity;
  const std::string name = ProbeName(pid, &created, &identity);
  FillEntry(job, name, created, entry);
  // Before the row says "01": a controller that dies between the two
  // leaves a record without a row rather than a row without a record.
  identities_.Record(job.jobda1, job.jobke2, {pid, identity, started_steady_ms});
  const int started = RecordStart(job, entry);
  PublishOwnProcesses();
  return started;
}

ManagedProcess* ProcessManager::RoomFor(const JobRecord& job) {
  // Refused before anything is created: a process without an entry would
  // be started again in every pass, and a job whose key is missing from
  // the list could run twice.
  ManagedProcess* entry = table_.FreeEntry();
  if (entry == nullptr) {
    logs_.Main(StrFormat(kLogTableFull, job.jobcmd));
    return nullptr;
  }
  if (!running_list_.CanAdd(job.joburv)) {
    logs_.Main(StrFormat(kLogListFull, job.jobcmd));
    return nullptr;
  }
  return entry;
}

int ProcessManager::Claim(const JobRecord& job, const SqlList* exclusive_beside) {
  const int rc = jobs_.rules().Claim(jobs_, job, exclusive_beside);
  if (rc == 0) return 0;
  // Taken by a node that selected it in the same moment: not ours to say.
  if (rc == 100) return kLaunchClaimedElsewhere;
  logs_.Main(
      StrFormat(kLogClaimFailed, job.jobcmd, jobs_.rules().name().c_str(), static_cast<long>(rc)));
  return kLaunchRowUpdateFailed;
}

int ProcessManager::RecordFailedStart(const JobRecord& job, int32_t start_attempts) {
  logs_.Main(StrFormat(kLogStartFailed, job.jobcmd, ""));
  pool_.Post(StrFormat(kMsgStartFailed, job.jobcmd));
  ++counters_.failed_starts;
  JobRecord failed;
  SetField(failed.jobda1, job.jobda1);
  SetField(failed.jobke2, job.jobke2);
  SetField(failed.jobsts, kStateStartFailed);
  SetField(failed.jobusr, jobs_.rules().name());
  failed.jobstv = start_attempts + 1;
  int rc = jobs_.UpdateOwnJobRow(failed);
  if (rc != 0) {
    logs_.Main(StrFormat(kLogStartFailedUpdate, job.jobcmd, static_cast<long>(rc)));
    return kLaunchRowUpdateFailed;
  }
  return kLaunchCreateFailed;
}

std::string ProcessManager::ProbeName(uint32_t pid, std::string* created,
                                      std::string* identity) {
  std::string name = "unknown";
  // The job's start is the moment the system dates the process: a slow
  // creation (a long search of the path, a scanner) must not make the
  // job's own process look created after its start.
  for (int attempt = 0; attempt < kNameProbeAttempts; ++attempt) {
    ProcessInfo info = platform_.InspectProcess(pid);
    if (info.has_creation_time) *created = Timestamp14(platform_, info.creation_time);
    if (!info.identity.empty()) *identity = info.identity;
    if (info.has_name && !info.base_name.empty()) {
      name = info.base_name;
      break;
    }
    // A process that has already ended never gets a name; waiting would
    // stall the pass and the heartbeat for every short job.
    if (!info.opened) break;
    platform_.SleepMs(kNameProbeSleepMs);
  }
  return JobName(name);
}

void ProcessManager::FillEntry(const JobRecord& job, const std::string& name,
                               const std::string& created, ManagedProcess* entry) {
  SetField(entry->jobda1, job.jobda1);
  SetField(entry->jobke2, job.jobke2);
  SetField(entry->joburv, job.joburv);
  SetField(entry->jobrty, job.jobrty);
  SetField(entry->jobnam, name);
  SetField(entry->jobnum, StrFormat("%d", static_cast<int>(entry->pid)));
  SetField(entry->jobsda, created);
  // Which node runs the job; empty for the only controller on its table.
  SetField(entry->jobusr, jobs_.rules().name());
  entry->jobmrt = job.jobmrt;
  // As the row says once the update below succeeds.
  entry->jobstv = 1;
}

int ProcessManager::RecordStart(const JobRecord& job, ManagedProcess* entry) {
  int rc = WriteRow(*entry, kStateRunning);
  running_list_.Add(job.joburv);
  if (rc != 0) {
    logs_.Main(StrFormat(kLogStartedUpdateFailed, job.jobcmd, entry->jobnam,
                         static_cast<long>(rc)));
    // A process left running here would be started again by the next pass.
    if (!KillAndConfirm(*entry)) {
      logs_.Main(StrFormat(kLogUndoKillFailed, job.jobcmd, static_cast<int>(entry->pid)));
    }
    return kLaunchRowUpdateFailed;
  }
  logs_.Main(StrFormat(kLogStarted, job.jobcmd, entry->jobnam));
  ++counters_.starts[job.jobrty];
  ++running_count_;
  return kLaunchStarted;
}

// ---- Supervision ----------------------------------------------------------

void ProcessManager::MeasureRunTime(int64_t age_seconds, ManagedProcess* entry) {
  const int64_t now = platform_.Now();
  if (InClockChangeWindow(platform_.ToLocal(now))) {
    if (supervision_on_) {
      logs_.Main(kLogSupervisionOff);
      supervision_on_ = false;
    }
    entry->elapsed_seconds = 0;
    return;
  }
  if (!supervision_on_) {
    logs_.Main(kLogSupervisionOn);
    supervision_on_ = true;
  }
  // The age on the steady clock: a step of the wall clock neither ends a
  // job early nor lets it run on.
  int64_t elapsed = age_seconds;
  if (elapsed > INT32_MAX) elapsed = INT32_MAX;
  if (elapsed < INT32_MIN) elapsed = INT32_MIN;
  entry->elapsed_seconds = static_cast<int32_t>(elapsed);
  platform_.SleepMs(0);
}

int64_t ProcessManager::AgeSeconds(const ProcessInfo& info, const ManagedProcess& e) {
  // From the steady clock at the start, which every controller of this
  // boot reads alike: where the system dates a process by the wall clock
  // (Windows), a step while no controller ran would count in the run time.
  const RecordedProcess* recorded = identities_.Find(e.jobda1, e.jobke2, e.pid);
  if (recorded == nullptr || recorded->identity != info.identity) return info.age_seconds;
  const int64_t age_ms = platform_.SteadyMs() - recorded->started_steady_ms;
  return age_ms >= 0 ? age_ms / 1000 : info.age_seconds;
}

void ProcessManager::Supervise() {
  for (ManagedProcess& e : table_.entries()) {
    if (e.pid == 0) continue;
    ProcessInfo info = platform_.InspectProcess(e.pid);
    const bool ended = !IsJobsProcess(info, e);
    // Measured whenever dated: a process whose module cannot be read
    // (another user's, a setuid program) is held to its limit too.
    if (!ended && info.has_creation_time) MeasureRunTime(AgeSeconds(info, e), &e);
    if (!ended) FollowName(info, &e);
    // A negative run time (clock set back) is not over any limit.
    bool exceeded = !ended && e.jobmrt > 0 && e.elapsed_seconds > e.jobmrt;
    if (!ended && !exceeded) continue;
    // One that outlives its kill keeps "01" and its entry.
    if (exceeded && !EndOverdue(e)) continue;
    if (exceeded) CountCause(EndCause::kRunTime);
    // Ended by its node's watchdog while the database was away.
    const bool cut = ended && jobs_.rules().EndedWithoutDatabase(e.pid);
    if (cut) CountCause(EndCause::kDatabaseLost);
    int rc = WriteEnd(&e, exceeded || cut ? kStateTerminated : kStateEnded);
    if (rc != 0) {
      logs_.Main(StrFormat(exceeded ? kLogUpdateExceeded : kLogUpdateEnded, e.jobnam,
                           static_cast<long>(rc)));
    }
    e.pid = 0;
    --running_count_;
  }
  ForgetKillRetries();
}

// ---- Termination ----------------------------------------------------------

bool ProcessManager::MayTerminate(const ProcessInfo& info, const ManagedProcess& e) {
  const std::string base = ComparedName(info);
  bool terminate = IsJobsProcess(info, e) && !IsProgram(base, "svchost.exe");
  if (terminate && multiservices_) {
    const std::string dir = SplitPath(info.has_path ? info.full_path : "").dir;
    terminate = InOwnDirectory(dir) && !IsProgram(base, "cmd.exe");
  }
  return terminate;
}

bool ProcessManager::TerminateEntry(ManagedProcess* e, EndCause reason) {
  const ProcessInfo info = platform_.InspectProcess(e->pid);
  if (!MayTerminate(info, *e)) {
    // A node ends no job it has left running in "01": ended on its own
    // meanwhile, its row says so, or it would block its JOBURV on every
    // node until the take-over, which would call it terminated.
    if (jobs_.rules().SharesTable() && !IsJobsProcess(info, *e)) (void)WriteEnd(e, kStateEnded);
    e->pid = 0;
    return false;
  }
  // The day-end program is left to finish; its row is marked all the same.
  // A process that outlives its kill keeps "01" and its entry, so the
  // next reload follows it again.
  if (!IsProgram(e->jobnam, "dayend.exe") && !KillAndConfirm(*e)) {
    logs_.Main(StrFormat(kLogKillFailed, e->jobnam, static_cast<int>(e->pid)));
    return false;
  }
  (void)WriteEnd(e, kStateTerminated);
  CountCause(reason);
  logs_.Main(StrFormat(kLogProcessEnded, e->jobnam, static_cast<int>(e->pid)));
  e->pid = 0;
  platform_.SleepMs(kTerminatePauseMs);
  return true;
}

void ProcessManager::TerminateAll(int reason) {
  // The current table holds the jobs of the last pass, launches included;
  // the snapshot may still hold entries the last pass dropped. Each
  // process is ended once.
  std::set<uint32_t> seen;
  for (ProcessTable* table : {&table_, &snapshot_}) {
    for (ManagedProcess& e : table->entries()) {
      if (e.pid == 0) continue;
      if (!seen.insert(e.pid).second) {
        e.pid = 0;
        continue;
      }
      TerminateEntry(&e, reason == kReasonDatabaseLost ? EndCause::kDatabaseLost
                                                        : EndCause::kServiceGone);
      if (reason == kReasonDatabaseLost) (void)link_.Beat(false, "KillAllProcs");
    }
  }
}

void ProcessManager::TerminateByName(uint32_t pid, const std::string& program_file) {
  if (!multiservices_) {
    if (!program_file.empty()) StartKill(program_file);
    return;
  }
  if (program_file.empty() || pid == 0) return;
  ProcessInfo info = platform_.InspectProcess(pid);
  if (info.has_path && IsControllerOrParent(pid)) {
    logs_.Main(StrFormat(kLogNotTerminated, info.base_name.c_str(), static_cast<long>(pid),
                         info.full_path.c_str()));
    return;
  }
  if (!info.has_module) {
    logs_.Main(StrFormat(kLogNoProcessInfo, static_cast<long>(info.error)));
    return;
  }
  if (!info.has_name) {
    logs_.Main(StrFormat(kLogNoProcessName, static_cast<long>(info.error)));
    return;
  }
  if (!info.has_path) {
    logs_.Main(StrFormat(kLogNoProcessPath, static_cast<long>(info.error)));
    return;
  }
  const std::string dir = SplitPath(info.full_path).dir;
  if (EqualsNoCase(program_file, info.base_name) && InOwnDirectory(dir) &&
      !IsProgram(program_file, "svchost.exe") && !IsProgram(program_file, "cmd.exe")) {
    StartKill(StrFormat("%ld", static_cast<long>(pid)));
    return;
  }
  logs_.Main(StrFormat(kLogNotTerminated, info.base_name.c_str(), static_cast<long>(pid),
                       info.full_path.c_str()));
}

}  // namespace kvs
