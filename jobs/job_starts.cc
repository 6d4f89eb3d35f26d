#include "jobs/job_starts.h"

#include "diag/text.h"

namespace kvs {

bool JobStarts::RunPass(const std::string& loop_timestamp) {
  exclusive_waiting_ = false;
  if (!jobs_.rules().MayStartJobs()) return true;
  for (const RunTypeRule& rule : kRunTypeRules) {
    if (!RunUpkeep(rule.upkeep, rule, loop_timestamp) || !Start(rule)) return false;
  }
  return true;
}

bool JobStarts::RunUpkeep(Upkeep upkeep, const RunTypeRule& rule,
                          const std::string& loop_timestamp) {
  if (!jobs_.rules().SharedDuties()) return true;
  switch (upkeep) {
    case Upkeep::kNone:
      return true;
    case Upkeep::kPortalCheck:
      system_.CheckPortalProcessing(loop_timestamp);
      return true;
    case Upkeep::kUpdate03:
      if (periodic_.Update03() != 0) return true;
      logs_.Main(kErrUpdate03);
      return false;
    case Upkeep::kReschedule07:
      scheduled_.Reschedule07();
      if (link_.Beat(false, "CheckKvs500Job07 Beginn") != 0) return true;
      logs_.Main(rule.error);
      return false;
    case Upkeep::kExpandDayEnd:
      (void)scheduled_.ExpandDayEnd();
      return true;
  }
  return true;
}

int JobStarts::Select(const RunTypeRule& rule, JobRecord* job) {
  Session& session = jobs_.session();
  int rc = jobs_.NextJob(TextNextJob(rule, session.dialect(), TimestampNow(platform_),
                                     processes_.running_list().ForSelection()),
                         job);
  if (rc == 0 || rc == 100) return rc;
  const SqlError& e = session.error();
  const long code = static_cast<long>(session.GetLastSQLError());
  if (rule.select_failed_first != nullptr) logs_.Main(rule.select_failed_first);
  logs_.Main(rule.select_failed_names_rc
                 ? StrFormat(rule.select_failed, static_cast<long>(rc), code, e.sqlstate, e.message)
                 : StrFormat(rule.select_failed, code, e.sqlstate, e.message));
  logs_.Main(rule.select_error);
  return rc;
}

bool JobStarts::Retire(const JobRecord& job) {
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

const SqlList& JobStarts::BesideExclusive() {
  if (beside_exclusive_.empty()) {
    beside_exclusive_.Append(SqlText(kRunTypeNeverStarted));
    for (const RunTypeRule& rule : kRunTypeRules) {
      if (rule.runs_beside_exclusive) beside_exclusive_.Append(SqlText(rule.run_type));
    }
  }
  return beside_exclusive_;
}

int32_t JobStarts::RunningBesideExclusive() {
  int32_t n = 0;
  for (const ManagedProcess& e : processes_.table().entries()) {
    if (e.pid != 0) n += HoldsExclusive(e.jobrty);
  }
  // An exclusive job waits for the jobs of every node.
  for (const std::string& jobrty : processes_.others_running_types()) {
    n += HoldsExclusive(jobrty.c_str());
  }
  return n;
}

bool JobStarts::ExclusiveWaits(const JobRecord& job) {
  // The pass that finds it waiting starts nothing else, whether it starts
  // or not; once it runs, the other run types start again.
  exclusive_waiting_ = true;
  if (RunningBesideExclusive() == 0) {
    waiting_logged_.clear();
    return false;
  }
  const std::string key = std::string(job.jobda1) + "#" + job.jobke2;
  if (key != waiting_logged_) logs_.Main(StrFormat(kLogExclusiveWaits, job.jobcmd));
  waiting_logged_ = key;
  return true;
}

bool JobStarts::Start(const RunTypeRule& rule) {
  if (rule.selection.empties_running_list) processes_.running_list().SetEmptyMarker();
  if (rule.held_by_exclusive && exclusive_waiting_) return true;
  // The exclusive run type selects once a pass, the others until no row
  // is left.
  bool again = true;
  while (again && (!rule.bounded_by_max_jobs || processes_.running_count() < max_jobs_)) {
    again = !rule.exclusive;
    JobRecord job;
    int rc = Select(rule, &job);
    if (rc == 100) {
      if (rule.exclusive) waiting_logged_.clear();
      break;
    }
    if (rc != 0) return false;
    if (rule.retires_used_up && job.jobstv > kMaxStartAttempts) {
      if (Retire(job)) continue;
      // The same row would come back at once: this pass starts no more.
      logs_.Main(rule.error);
      return false;
    }
    if (rule.exclusive && ExclusiveWaits(job)) break;
    int launched = processes_.Launch(job, rule.passes_start_attempts ? job.jobstv : 0,
                                     rule.exclusive ? &BesideExclusive() : nullptr);
    if (launched == kLaunchRowUpdateFailed) {
      logs_.Main(rule.error);
      return false;
    }
    if (launched == kLaunchNoRoom) break;
    if (launched == kLaunchClaimedElsewhere) {
      // Taken by another node, or its JOBURV runs there since the reload:
      // either way that JOBURV runs, and the next selection must not bring
      // the row back.
      if (!processes_.running_list().Add(job.joburv)) break;
      continue;
    }
    if (rule.beat_label != nullptr && link_.Beat(false, rule.beat_label) == 0) {
      if (!rule.missed_beat_ends_pass) break;
      logs_.Main(rule.error);
      return false;
    }
  }
  return true;
}

}  // namespace kvs
