// Permanent jobs (run type 04): the start-up check that ends leftover
// processes of known permanent programs and deletes their rows, the
// registration of the built-in daemons that are installed, and the start
// loop of every pass.
#pragma once

#include <cstdint>
#include <string>

#include "db/job_table.h"
#include "diag/log_file.h"
#include "platform/platform.h"
#include "proc/process_manager.h"

namespace kvs {

inline constexpr char kLogCheck04Open[] = "Check RT04Job: Open Cursor! RC: %ld\n";
inline constexpr char kLogCheck04Fetch[] = "Check RT04Job: Fetch Cursor! RC: %ld\n";
inline constexpr char kLogCheck04Delete[] = "- Delete Job (CheckRT04Jobs): %s! RC: %ld\n";
inline constexpr char kLogResetAttempts[] = "Update RT04Jobs: Startversuche zuruecksetzen! RC: %ld\n";
inline constexpr char kBeatCheck04Jobs[] = "CheckRT04Jobs";

// The program file a leftover process of JOBNAM belongs to ("%s" filled
// with the database product name), "unknown" rows give "" with
// *delete_only, and anything else "" (left alone).
std::string KnownPermanentProgram(const std::string& jobnam, const std::string& db_product,
                                  bool* delete_only);


class PermanentJobs {
 public:
  PermanentJobs(Logs& logs, JobTable& jobs, ProcessManager& processes, ServiceLink& link)
      : logs_(logs), jobs_(jobs), processes_(processes), link_(link) {}

  // Start-up: leftovers of known permanent programs ended and their rows
  // deleted, then the start attempts reset.
  void Check(const std::string& db_product);
  // Start-up: the installed built-in daemons as run type 04 rows.
  void RegisterBuiltIns();

 private:
  // Cluster mode: whether row is a job another node runs.
  bool OthersRunning(const JobRecord& row) const;
  Logs& logs_;
  JobTable& jobs_;
  ProcessManager& processes_;
  ServiceLink& link_;
};

}  // namespace kvs
