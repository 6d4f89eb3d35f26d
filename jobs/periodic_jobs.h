// Periodic jobs (run type 03): the job list read and the rescheduling pass
// at most once a minute (time plan, daily time, interval). Which rows are
// due is the run-type table's (jobs/run_types.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "db/job_table.h"
#include "diag/log_file.h"
#include "platform/civil_time.h"
#include "platform/once_every.h"
#include "platform/platform.h"

namespace kvs {

inline constexpr char kLogJob03UpdateFailed[] = "- Fehler Job03 updaten RC: %ld\n";
inline constexpr int64_t kUpdate03IntervalSeconds = 60;

// One active row of a time plan: minutes after midnight.
struct PlanWindow {
  int32_t start = 0;  // inclusive
  int32_t end = 0;    // exclusive
  int32_t interval = 0;
};

// What a rule decided for a job.
struct Reschedule {
  bool changed = false;
  std::string jobsts;
  std::string jobnrt;
};

// Weekday number of the plans: Monday 1 .. Sunday 7.
int32_t PlanWeekday(const CivilTime& t);
// "YYYYMMDD" of t plus days (calendar arithmetic, carrying into month and
// year).
std::string DatePlusDays(const CivilTime& t, int days);

// The rules as pure functions of the row, the window (nullptr: none), the
// settings and the local time now. Times are compared and counted as the
// wall-clock texts they are stored as, so the hour repeated or skipped by a
// daylight-saving change never plans a run at or before now.
Reschedule TimePlanRule(const JobRecord& job, const PlanWindow* window, const CivilTime& now);
// Plans the next occurrence of daily_time after now.
Reschedule DailyRule(const JobRecord& job, const std::string& daily_time, const CivilTime& now);
// Plans an ended run interval_minutes after now, the first pass after its
// end. after_cycle is the local time interval_minutes after now as the
// clock runs (ToLocal of the instant): the later of the two texts is
// planned, so a cycle across the hour March skips is not cut short, and one
// across the hour October repeats is never planned in it (it ends an hour
// late instead of starting again at once).
Reschedule IntervalRule(const JobRecord& job, int32_t interval_minutes, const CivilTime& now,
                        const CivilTime& after_cycle);

// Statement texts.
// unplanned_only: only the rows without a planned JOBNRT that do not rest
// in "97".
SqlStatement TextReadJobList(RunType run_type, bool unplanned_only = false);
SqlStatement TextPlanWindow(int32_t jobdls, const std::string& plan_key, int32_t weekday,
                           int32_t minute);

class PeriodicJobs {
 public:
  PeriodicJobs(Platform& platform, Logs& logs, JobTable& jobs, std::string daily_time,
               int32_t interval_minutes)
      : platform_(platform),
        logs_(logs),
        jobs_(jobs),
        daily_time_(std::move(daily_time)),
        interval_minutes_(interval_minutes) {}

  // Appends every row of run_type to *list (rows read so far on failure).
  void ReadJobList(RunType run_type, std::vector<JobRecord>* list,
                   bool unplanned_only = false);
  // The rescheduling pass, at most once every 60 seconds; in between only
  // the rows without a planned JOBNRT, which are not started before it is
  // planned. Always 1.
  int Update03();

 private:
  bool LookupWindow(const JobRecord& job, const CivilTime& now, PlanWindow* window);

  Platform& platform_;
  Logs& logs_;
  JobTable& jobs_;
  std::string daily_time_;
  int32_t interval_minutes_;
  OnceEvery full_update_{kUpdate03IntervalSeconds * 1000};
};

}  // namespace kvs
