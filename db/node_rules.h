// What a controller decides about the rows that other controllers may share
// with it: which running rows are its own, how it takes a row before a
// start, under which condition it writes a row, which duties are its and
// whether it may start jobs at all. The pass, supervision and start-up ask
// these questions and nothing else about other controllers.
//
// SoleController is the only controller on its table, deciding as the
// controller always has. A node of several (KNOTEN set) is ClusterNode
// (proc/cluster_node.h), which keeps all of cluster mode in one place.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "db/job_codes.h"
#include "db/job_table.h"
#include "db/sql_value.h"

namespace kvs {

// A process this controller runs, as its launch recorded it.
struct OwnProcess {
  uint32_t pid = 0;
  std::string identity;
};

class NodeRules {
 public:
  virtual ~NodeRules() = default;

  // The node's name; "" for the only controller on its table.
  virtual const std::string& name() const = 0;
  // The running rows it supervises (run type 06 left out).
  virtual SqlStatement OwnRunningRows(JobState state) const = 0;
  // The start or end of one of its jobs written into the row.
  virtual SqlStatement OwnRowUpdate(const JobRecord& row) const = 0;
  // A write of the 03/07 upkeep (a statement ending in its row's key) to
  // a row it read as not running.
  virtual SqlStatement UpkeepWrite(SqlStatement write) const = 0;
  // Takes a selected row before its start: 0 taken, 100 taken or blocked
  // elsewhere meanwhile, else the failure code. exclusive_beside: for an
  // exclusive job, the run types that may run beside it.
  [[nodiscard]] virtual int Claim(JobTable& jobs, const JobRecord& job,
                                  const SqlList* exclusive_beside) const = 0;
  // JOBURV and JOBRTY of the rows other controllers run. 0 or the failure
  // code.
  [[nodiscard]] virtual int ReadOthersRunning(
      JobTable& jobs, std::vector<std::pair<std::string, std::string>>* others) const = 0;
  // Whether row runs under another controller: its to check and to end.
  virtual bool RunsElsewhere(const JobRecord& row) const = 0;
  // Whether others share the table: a row of its own may be taken from it
  // (its job is then ended), a job's row is written ended as soon as its
  // process is found foreign, and a registered row may be there already.
  virtual bool SharesTable() const = 0;
  // Whether it does the upkeep that one controller does for all in this
  // pass (cleanup, registrations, rescheduling, day-end, portal).
  virtual bool SharedDuties() const = 0;
  // Whether it may start jobs now.
  virtual bool MayStartJobs() const = 0;
  // The processes it runs, after every change, for ending them when the
  // database cannot be reached.
  virtual void PublishOwnProcesses(std::vector<OwnProcess> processes) { (void)processes; }
  // Whether it ended process pid of that list itself, without the
  // database: its end is then written as terminated, as an outage's is.
  // Asked once for each process found ended.
  virtual bool EndedWithoutDatabase(uint32_t pid) {
    (void)pid;
    return false;
  }
};

// The only controller on its table.
class SoleController final : public NodeRules {
 public:
  const std::string& name() const override { return name_; }
  SqlStatement OwnRunningRows(JobState state) const override;
  SqlStatement OwnRowUpdate(const JobRecord& row) const override;
  SqlStatement UpkeepWrite(SqlStatement write) const override { return write; }
  int Claim(JobTable&, const JobRecord&, const SqlList*) const override { return 0; }
  int ReadOthersRunning(JobTable&,
                        std::vector<std::pair<std::string, std::string>>*) const override {
    return 0;
  }
  bool RunsElsewhere(const JobRecord&) const override { return false; }
  bool SharesTable() const override { return false; }
  bool SharedDuties() const override { return true; }
  bool MayStartJobs() const override { return true; }

 private:
  std::string name_;
};

}  // namespace kvs
