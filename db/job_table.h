// The job table KVSYSTEM.KVS500JOB: the job record (one full row in
// memory) and every statement on the table that is not owned by a run
// type. Statement texts are built by pure functions (so both dialects can
// be checked text for text) and run through the Session.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "db/job_codes.h"
#include "db/session.h"

namespace kvs {

class NodeRules;

// One full row. Texts are terminated and at most their column width long.
struct JobRecord {
  char jobda1[15] = {};
  char jobke2[33] = {};
  char joburv[257] = {};
  char jobcmd[257] = {};
  char jobcdi[257] = {};
  char jobprm[513] = {};
  char jobrus[129] = {};
  int32_t jobmrt = 0;
  char jobrty[3] = {};
  int32_t jobpri = 0;
  int32_t jobdls = 0;
  char jobdlt[15] = {};
  char jobbem[257] = {};
  char jobscd[11] = {};
  char jobsts[3] = {};
  char jobnam[65] = {};
  char jobusr[129] = {};
  char jobnum[9] = {};
  char jobsda[15] = {};
  char jobeda[15] = {};
  char jobnrt[15] = {};
  int32_t jobstv = 0;
};

// Copies text into a fixed field, cut to fit and terminated.
template <size_t N>
void SetField(char (&field)[N], std::string_view text) {
  size_t n = text.size() < N - 1 ? text.size() : N - 1;
  text.copy(field, n);
  field[n] = '\0';
}
template <size_t N, typename Kind>
void SetField(char (&field)[N], JobCode<Kind> code) {
  SetField(field, std::string_view(code.text()));
}

// Keys of the status job row.
inline constexpr char kStatusJobDa1[] = "99999999999999";
inline constexpr char kStatusJobKe2[] = "JOBSTARTER STATUSJOB";
inline constexpr char kStatusJobUrv[] = "STATUSJOB";

// ---- Statement texts ------------------------------------------------------

SqlStatement TextOpenRunningJobs(JobState state);
SqlStatement TextOpenRunType(RunType run_type);
SqlStatement TextUpdateStatusJob(const std::string& state, const std::string& jobda1,
                                 const std::string& jobke2);
SqlStatement TextInsertShortJob(const std::string& jobda1, const std::string& jobke2,
                                const std::string& joburv, const std::string& jobcmd,
                                int32_t jobmrt, RunType jobrty);
SqlStatement TextDeleteJob(const std::string& jobda1, const std::string& jobke2);
// SQL Server as the suite has always run it; on MySQL a form with the same
// rule (rows of run type 01 created before the day 30 days back; the
// portal request job stays).
SqlStatement TextCleanupOldQueueJobs(Dialect dialect);
SqlStatement TextRescheduleJob(const JobRecord& job);
SqlStatement TextResetPermanentStartAttempts();
SqlStatement TextInsertSystemJob(const JobRecord& job);
SqlStatement TextInsertFullJob(const JobRecord& job);
SqlStatement TextRearmPortalJob(const JobRecord& job);
SqlStatement TextRearmPortalJobMonthly(const JobRecord& job);
// JOBSTS, JOBNAM, JOBUSR, JOBNUM, JOBSDA, JOBEDA and JOBSTV of the row.
SqlStatement TextUpdateJobRow(const JobRecord& row);
// The same, only while the row runs under node: a row taken over from it
// (or claimed by another node since) is not written.
SqlStatement TextUpdateOwnJobRow(const JobRecord& row, const std::string& node);
// A write to one row (a statement ending in its key), only while the row
// does not run.
SqlStatement TextWhileIdle(const SqlStatement& write);

// ---- Several controllers on one table ----------------------------------------
// A node (a controller with a KNOTEN name) keeps the status row
// kStatusJobDa1 / kNodeKeyPrefix + name, its JOBSDA the database server's
// time in UTC (its own clock and its zone's changes do not count), its
// JOBNAM the instance that holds the name (a new one at each start), its
// JOBSTS NULL while it runs, "99" once taken over, "98" once it left. A
// row it starts carries its name in JOBUSR.

inline constexpr char kNodeKeyPrefix[] = "JOBSTARTER ";
inline constexpr char kNodeStatusUrv[] = "KNOTEN";

struct NodeStatus {
  std::string name;
  std::string jobsda;   // UTC, YYYYMMDDhhmmss
  bool silent = false;  // past the time-out on the server's clock
  // Its running rows were set to "99" by another node (status row "99");
  // it writes its row anew when it runs again.
  bool taken_over = false;
  std::string now = {};  // the server's UTC time as it read the row
  bool left = false;     // stopped orderly (status row "98")
  std::string instance = {};
};

// A running row and who runs it, as the leader watches rows no node owns.
struct RunningOwner {
  std::string jobda1;
  std::string jobke2;
  std::string jobusr;
  std::string jobsda;
};

// Whether name (a JOBUSR or a status row's node) names node, as the
// database compares keys: without regard to case, trailing blanks aside.
bool SameNodeName(std::string_view name, std::string_view node);

SqlStatement TextOpenRunningJobsOfNode(JobState state, const std::string& node);
// JOBURV and JOBRTY of the running rows of every other node.
SqlStatement TextOpenOthersRunning(const std::string& node);
SqlStatement TextInsertNodeStatus(Dialect dialect, const std::string& node,
                                  const std::string& instance);
// Every node's name, JOBSDA, 1 when it has been silent longer than
// timeout_seconds (0 otherwise), 1 when it was taken over, the server's
// UTC time (to tell the row's age by the same clock), 1 when it left and
// its instance, by name.
SqlStatement TextReadNodes(Dialect dialect, int32_t timeout_seconds);
// The status row taken for instance, only while it still names
// seen_instance (as read): of two starts under one name one wins.
SqlStatement TextJoinNode(Dialect dialect, const std::string& node, const std::string& instance,
                          const std::string& seen_instance);
// The lease: JOBSDA written while the row names instance and is neither
// taken over nor left.
SqlStatement TextRenewNode(Dialect dialect, const std::string& node, const std::string& instance);
// Back after a take-over: the mark cleared while the row names instance.
SqlStatement TextRejoinNode(Dialect dialect, const std::string& node, const std::string& instance);
// A clean stop: the row marked left while it names instance.
SqlStatement TextLeaveNode(Dialect dialect, const std::string& node, const std::string& instance);
// JOBDA1, JOBKE2, JOBUSR and JOBSDA of every running row.
SqlStatement TextOpenRunningOwners();
// One running row set to "99", only while it still runs as read.
SqlStatement TextTakeOverRow(const RunningOwner& row);
// Takes a selected row for node: state "01" and JOBUSR node, only while the
// row is still in the state it was selected in. Moving it out of that state
// is what keeps a second node's claim of the same row from succeeding. A
// row with a JOBURV is claimed only while no row of that JOBURV runs; with
// exclusive_beside (an exclusive job), only while no row runs but of those
// run types.
SqlStatement TextClaimJob(const JobRecord& job, const std::string& node,
                          const SqlList* exclusive_beside = nullptr);
// A dead node's running rows set to "99", so that their run types' own
// rules start them again.
SqlStatement TextTakeOverJobs(const std::string& node);
// Marks a node's status row taken over, only while it is silent and not
// marked yet.
SqlStatement TextMarkNodeTakenOver(Dialect dialect, const std::string& node,
                                   int32_t timeout_seconds);

// ---- Operations -----------------------------------------------------------

class JobTable {
 public:
  explicit JobTable(Session& session);

  // Cursor over the rows in state (always running), run type 06 left out.
  // Fetch delivers JOBDA1, JOBKE2, JOBURV, JOBRTY, JOBSTS, JOBNAM, JOBUSR,
  // JOBNUM, JOBSDA, JOBEDA, JOBMRT, JOBSTV into *job.
  // Only the rows its rules call its own.
  [[nodiscard]] int OpenRunningJobs(JobState state);
  [[nodiscard]] int FetchRunningJob(JobRecord* job);
  int CloseRunningJobs();
  // Cursor over the rows of one run type (always 04), same outputs.
  [[nodiscard]] int OpenRunType(RunType run_type);
  [[nodiscard]] int FetchRunType(JobRecord* job);
  int CloseRunType();

  // Runs a next-job selection (the run types' own, built with their
  // rules) and delivers JOBDA1, JOBKE2, JOBURV, JOBCMD, JOBMRT, JOBRTY,
  // JOBSTS, JOBSDA, JOBEDA, JOBSTV of its first row. 0 found, 100 none
  // (*job untouched), -1 for an empty text (a dialect without the
  // selection), else the failure code.
  [[nodiscard]] int NextJob(const SqlStatement& text, JobRecord* job);

  // 100 when the status row is missing.
  [[nodiscard]] int UpdateStatusJob(const std::string& state, const std::string& jobda1,
                                    const std::string& jobke2);
  [[nodiscard]] int InsertShortJob(const std::string& jobda1, const std::string& jobke2,
                                   const std::string& joburv, const std::string& jobcmd,
                                   int32_t jobmrt, RunType jobrty);
  [[nodiscard]] int DeleteJob(const std::string& jobda1, const std::string& jobke2);
  [[nodiscard]] int CleanupOldQueueJobs();
  // 100 when the row is missing.
  [[nodiscard]] int RescheduleJob(const JobRecord& job);
  // The same by the upkeep, under the condition its rules set (100 also
  // when that kept the row from being written).
  [[nodiscard]] int RescheduleIdleJob(const JobRecord& job);
  [[nodiscard]] int ResetPermanentStartAttempts();
  [[nodiscard]] int InsertSystemJob(const JobRecord& job);
  [[nodiscard]] int InsertFullJob(const JobRecord& job);
  [[nodiscard]] int RearmPortalJob(const JobRecord& job);
  [[nodiscard]] int RearmPortalJobMonthly(const JobRecord& job);
  // The row update written at the start and end of a process.
  [[nodiscard]] int UpdateJobRow(const JobRecord& row);
  // A row this controller claimed and runs, written under the condition
  // its rules set.
  [[nodiscard]] int UpdateOwnJobRow(const JobRecord& row);

  // What this controller decides about rows others may share; the only
  // controller on its table unless set (rules must outlive the table).
  void set_rules(NodeRules* rules) { rules_ = rules; }
  NodeRules& rules() const { return *rules_; }

  // ---- Cluster mode: the statements of ClusterNode ----
  // 0 claimed, 100 another node was first (or a condition of the claim
  // failed), else the failure code.
  [[nodiscard]] int ClaimJob(const JobRecord& job, const std::string& node,
                             const SqlList* exclusive_beside);
  // JOBURV and JOBRTY of every running row of the other nodes, into
  // *others as pairs. 0 or the failure code.
  [[nodiscard]] int ReadOthersRunning(const std::string& node,
                                      std::vector<std::pair<std::string, std::string>>* others);
  // Marks the status row of node (as ReadNodes read it) taken over and
  // sets its running rows to "99" (*rows how many). 0; 100 when there was
  // nothing to do (another node marked it first, or it has written its row
  // again since); else the failure code.
  [[nodiscard]] int TakeOver(const NodeStatus& node, int32_t timeout_seconds, int64_t* rows);
  // Every node's status row, by name. 0 or the failure code.
  [[nodiscard]] int ReadNodes(int32_t timeout_seconds, std::vector<NodeStatus>* nodes);
  // Every running row with who runs it. 0 or the failure code.
  [[nodiscard]] int ReadRunningOwners(std::vector<RunningOwner>* rows);

  Session& session() { return session_; }

 private:
  NodeRules* rules_;
  int FetchStatusColumns(CursorSlot slot, JobRecord* job);
  Session& session_;
};

}  // namespace kvs
