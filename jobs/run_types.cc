#include "jobs/run_types.h"

#include "db/job_table.h"
#include "jobs/periodic_jobs.h"
#include "jobs/scheduled_jobs.h"

namespace kvs {

namespace {

std::string Next05(Dialect d, const std::string&, const SqlList& l) { return TextNextJob05(d, l); }
std::string Next04(Dialect d, const std::string&, const SqlList& l) { return TextNextJob04(d, l); }
std::string Next01(Dialect d, const std::string&, const SqlList& l) { return TextNextJob01(d, l); }
std::string Due03(Dialect, const std::string& now, const SqlList& l) {
  return TextDueJob(kRunTypePeriodic, now, l);
}
std::string Due07(Dialect, const std::string& now, const SqlList& l) {
  return TextDueJob(kRunTypeCalendar, now, l);
}
std::string Due08(Dialect, const std::string& now, const SqlList& l) {
  return TextDueJob(kRunTypeDayEnd, now, l);
}
std::string Next09(Dialect d, const std::string&, const SqlList& l) { return TextNextJob09(d, l); }

}  // namespace

const std::array<RunTypeRule, 7> kRunTypeRules = {{
    {.run_type = kRunTypeExclusive, .upkeep = Upkeep::kNone, .next_job = Next05,
     .failed_start_final = true,
     .exclusive = true, .retires_used_up = true, .passes_start_attempts = true,
     .select_failed = kLogSelect05Failed, .select_error = kErrSelect05, .error = kErrStart05},
    {.run_type = kRunTypePermanent, .upkeep = Upkeep::kNone, .next_job = Next04,
     .waiting = Waiting::kRestartable,
     .held_by_exclusive = true, .runs_beside_exclusive = true, .passes_start_attempts = true,
     .beat_label = "Start RT04Jobs", .select_failed = kLogSelect04Failed,
     .select_error = kErrRunType04, .error = kErrRunType04},
    {.run_type = kRunTypeQueue, .upkeep = Upkeep::kPortalCheck, .next_job = Next01,
     .failed_start_final = true,
     .held_by_exclusive = true, .bounded_by_max_jobs = true, .retires_used_up = true,
     .passes_start_attempts = true, .select_failed = kLogSelect01Failed,
     .select_error = kErrRunType01, .error = kErrRunType01},
    {.run_type = kRunTypePeriodic, .upkeep = Upkeep::kUpdate03, .next_job = Due03,
     .waiting = Waiting::kPlanned, .rests_outside_window = true,
     .held_by_exclusive = true, .select_failed = kLogReadJobFailed,
     .select_failed_names_rc = true, .select_error = kErrRunType03, .error = kErrRunType03},
    {.run_type = kRunTypeCalendar, .upkeep = Upkeep::kReschedule07, .next_job = Due07,
     .waiting = Waiting::kPlanned, .failed_start_final = true,
     .held_by_exclusive = true, .own_pass_only = true, .beat_label = "CheckKvs500Job07 Ende",
     .missed_beat_ends_pass = true, .select_failed_first = kLogError07,
     .select_failed = kLogReadJobFailed, .select_failed_names_rc = true,
     .select_error = kErrRunType07, .error = kErrRunType07},
    {.run_type = kRunTypeDayEnd, .upkeep = Upkeep::kExpandDayEnd, .next_job = Due08,
     .waiting = Waiting::kPlanned,
     .held_by_exclusive = true, .own_pass_only = true, .beat_label = "checkKvsJobs08",
     .missed_beat_ends_pass = true, .select_failed = kLogReadJobFailed,
     .select_failed_names_rc = true, .select_error = kErrRunType08, .error = kErrRunType08},
    {.run_type = kRunTypeRestart, .upkeep = Upkeep::kNone, .next_job = Next09,
     .waiting = Waiting::kRestartable,
     .held_by_exclusive = true, .runs_beside_exclusive = true, .passes_start_attempts = true,
     .own_pass_only = true, .beat_label = "checkKvsJobs09", .missed_beat_ends_pass = true,
     .select_failed = kLogReadJobFailed, .select_failed_names_rc = true,
     .select_error = kErrRunType09, .error = kErrRunType09},
}};

const RunTypeRule* RuleOf(RunType run_type) {
  for (const RunTypeRule& rule : kRunTypeRules) {
    if (rule.run_type == run_type) return &rule;
  }
  return nullptr;
}

}  // namespace kvs
