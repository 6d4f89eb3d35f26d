// What the tests of starting jobs share: the controlling service, which
// records every heartbeat ("force " before the label of a forced one) and
// answers while answer is set, and the job a test asks to start.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "db/job_table.h"
#include "proc/service_link.h"

namespace kvs {

class RecordingLink : public ServiceLink {
 public:
  int Beat(bool force, const char* status) override {
    beats.push_back(std::string(force ? "force " : "") + status);
    return answer ? 1 : 0;
  }
  bool answer = true;
  std::vector<std::string> beats;
};

// A job to start: JOBCMD, JOBDA1, JOBKE2, JOBURV and JOBMRT.
inline JobRecord ToStart(const std::string& cmd, const std::string& da1, const std::string& ke2,
                         const std::string& urv, int32_t mrt) {
  JobRecord job;
  SetField(job.jobcmd, cmd);
  SetField(job.jobda1, da1);
  SetField(job.jobke2, ke2);
  SetField(job.joburv, urv);
  job.jobmrt = mrt;
  return job;
}

}  // namespace kvs
