// The starts of a pass: each run type of the table in its order, after
// the work that comes before it, through one start loop. Holds the
// exclusive-job flag of the pass.
#pragma once

#include <cstdint>
#include <string>

#include "db/job_table.h"
#include "diag/log_file.h"
#include "jobs/periodic_jobs.h"
#include "jobs/run_types.h"
#include "jobs/scheduled_jobs.h"
#include "jobs/system_jobs.h"
#include "platform/platform.h"
#include "proc/process_manager.h"

namespace kvs {

class JobStarts {
 public:
  JobStarts(Platform& platform, Logs& logs, JobTable& jobs, ProcessManager& processes,
            PeriodicJobs& periodic, ScheduledJobs& scheduled, SystemJobs& system,
            ServiceLink& link, int32_t max_jobs)
      : platform_(platform),
        logs_(logs),
        jobs_(jobs),
        processes_(processes),
        periodic_(periodic),
        scheduled_(scheduled),
        system_(system),
        link_(link),
        max_jobs_(max_jobs) {}

  // Every run type of the table in pass order. false: an error line ended
  // the pass.
  bool RunPass(const std::string& loop_timestamp);
  // One run type's starts. false: an error line ended the pass.
  bool Start(const RunTypeRule& rule);

  // Whether an exclusive job waits in this pass.
  bool exclusive_waiting() const { return exclusive_waiting_; }

 private:
  bool RunUpkeep(Upkeep upkeep, const RunTypeRule& rule, const std::string& loop_timestamp);
  // Marks the pass as held by the exclusive job; true while jobs run that
  // keep it waiting (told once a job).
  bool ExclusiveWaits(const JobRecord& job);
  // 0 found, 100 none; otherwise the failure is logged.
  int Select(const RunTypeRule& rule, JobRecord* job);
  // Sets a row with used-up start attempts to "90"; false when the row
  // could not be written, so it would be selected again at once.
  bool Retire(const JobRecord& job);
  // Running jobs that keep an exclusive job waiting.
  int32_t RunningBesideExclusive();
  // Run type 06 and the run types that run beside an exclusive job.
  const SqlList& BesideExclusive();

  Platform& platform_;
  Logs& logs_;
  JobTable& jobs_;
  ProcessManager& processes_;
  PeriodicJobs& periodic_;
  ScheduledJobs& scheduled_;
  SystemJobs& system_;
  ServiceLink& link_;
  int32_t max_jobs_;
  bool exclusive_waiting_ = false;
  // The exclusive job whose waiting the log has told ("" none).
  std::string waiting_logged_;
  SqlList beside_exclusive_;
};

}  // namespace kvs
