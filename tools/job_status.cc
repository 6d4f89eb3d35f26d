// kvsjobstat: the controller's health, one complete reading and the run.
#include "tools/job_status.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <tuple>
#include <utility>

#include "core/config.h"
#include "core/connection_file.h"
#include "core/controller.h"
#include "db/job_table.h"
#include "diag/flag_file.h"
#include "diag/log_file.h"
#include "diag/text.h"
#include "jobs/run_types.h"
#include "msg/message_pool.h"
#include "platform/civil_time.h"
#include "platform/command_line.h"
#include "platform/tool_support.h"
#include "proc/process_manager.h"
#include "tools/job_status_queries.h"
#include "tools/job_status_render.h"
#include "tools/status_page.h"

namespace kvs {

namespace {

constexpr char kControllerProgram[] = "KVSJOBSTR";
// Ctrl-C is noticed between slices of the wait.
constexpr int kWatchSliceMs = 200;

// A path of the INI file or the controller's constants, relative to the
// program directory unless it names a root or a drive. Resolved here rather
// than through the working directory, which a test platform leaves alone.
std::string InProgramDir(const std::string& program_dir, const std::string& path) {
  if (!path.empty() && (path[0] == '\\' || path[0] == '/')) return path;
  if (path.size() >= 2 && path[1] == ':') return path;
  return program_dir + path;
}

// Seconds from the stamp from to the stamp to (both YYYYMMDDhhmmss);
// false when either is no such stamp.
bool StampSeconds(const std::string& from, const std::string& to, int64_t* seconds) {
  CivilTime t;
  return to.size() == 14 && CivilFromStamp(to.c_str(), &t) && RunSeconds(from, t, seconds);
}

// A job row in memory as the pass's selection sees it.
JobRecord RowOf(const StatusJob& job, const RunTypeRule& rule) {
  JobRecord row;
  SetField(row.jobrty, job.jobrty);
  SetField(row.jobsts, job.jobsts);
  SetField(row.joburv, job.joburv);
  row.jobstv = job.jobstv;
  if (rule.selection.due == Due::kEarliestStart) SetField(row.jobdlt, job.next);
  if (rule.selection.due == Due::kNextRun) SetField(row.jobnrt, job.next);
  return row;
}

// The program a job runs as once the pass starts it, as the launch names
// it: its command's program, base name in lower case; its JOBKE2 without a
// command.
std::string ProgramOf(const StatusJob& job) {
  const std::vector<std::string> words = SplitCommandLine(job.jobcmd);
  if (words.empty() || words[0].empty()) return job.jobke2;
  const std::string& program = words[0];
  const size_t slash = program.find_last_of("\\/");
  return ToLowerAscii(slash == std::string::npos ? program : program.substr(slash + 1));
}

// Where the pass tries a row: its run type's place in the pass, then its
// JOBDA1 and JOBKE2.
std::tuple<size_t, std::string, std::string> PassOrder(const StatusJob& job) {
  size_t place = 0;
  while (place < kRunTypeRules.size() && !kRunTypeRules[place].run_type.In(job.jobrty.c_str())) {
    ++place;
  }
  return {place, job.jobda1, job.jobke2};
}

// A pool message that the controller ended all its jobs: posted at most
// this long before a job's end was written (every termination after it
// takes its pause).
constexpr int64_t kTerminationWindowSeconds = 300;

// Whether day holds text, posted from kTerminationWindowSeconds before
// the stamp end up to it.
bool PostedBefore(const std::vector<PoolMessage>& day, const std::string& text,
                  const std::string& end) {
  for (const PoolMessage& m : day) {
    std::string stamp, body;
    if (!SplitStampedText(m.msgtxt, &stamp, &body) || body != text) continue;
    int64_t gap = 0;
    if (StampSeconds(stamp, end, &gap) && gap >= 0 && gap <= kTerminationWindowSeconds) {
      return true;
    }
  }
  return false;
}

}  // namespace

// ---- Reasons ------------------------------------------------------------------

bool SplitStampedText(const std::string& msgtxt, std::string* stamp, std::string* text) {
  // "DD.MM.YYYY hh:mm:ss text"
  static constexpr char kShape[] = "99.99.9999 99:99:99 ";
  const size_t n = sizeof kShape - 1;
  if (msgtxt.size() < n) return false;
  for (size_t i = 0; i < n; ++i) {
    const char c = msgtxt[i];
    if (kShape[i] == '9' ? (c < '0' || c > '9') : c != kShape[i]) return false;
  }
  *stamp = msgtxt.substr(6, 4) + msgtxt.substr(3, 2) + msgtxt.substr(0, 2) + msgtxt.substr(11, 2) +
           msgtxt.substr(14, 2) + msgtxt.substr(17, 2);
  *text = msgtxt.substr(n);
  return true;
}

void DecideWaitReasons(JobStatus* status, const std::string& now) {
  // The jobs that keep an exclusive job waiting, the jobs MAXJOBS counts
  // and the running-job list with the program under each key: first the
  // running jobs, then those the walk starts.
  int64_t holding = 0;
  for (const StatusJob& r : status->running) holding += HoldsExclusive(r.jobrty.c_str());
  int64_t counted = status->running_count;
  std::vector<std::pair<std::string, std::string>> keys;
  for (const StatusJob& r : status->running) {
    if (!r.joburv.empty()) keys.emplace_back(r.joburv, r.jobnam);
  }
  const auto holder_of = [&keys](const std::string& key) -> const std::string* {
    if (key.empty()) return nullptr;
    for (const auto& [k, program] : keys) {
      if (k == key) return &program;
    }
    return nullptr;
  };
  const StatusJob* exclusive = nullptr;
  for (const RunTypeRule& rule : kRunTypeRules) {
    if (rule.selection.empties_running_list) keys.clear();
    for (StatusJob& job : status->waiting) {
      if (!rule.run_type.In(job.jobrty.c_str())) continue;
      if (job.reason == StuckReason::kOutsideWindow) continue;
      job.reason = StuckReason::kNone;
      job.holder.clear();
      if (!SelectionTakes(rule, RowOf(job, rule), now)) {
        job.reason = StuckReason::kNotDue;
        continue;
      }
      // A waiting exclusive job keeps the pass from even selecting.
      if (rule.held_by_exclusive && exclusive != nullptr) {
        job.reason = StuckReason::kExclusiveWaiting;
        job.holder = exclusive->jobke2;
        continue;
      }
      // The exclusive run type's statement asks the running-job list only
      // of a row with a JOBDLT.
      const bool keyed = !(rule.exclusive && job.next.empty());
      if (const std::string* program = keyed ? holder_of(job.joburv) : nullptr) {
        job.reason = StuckReason::kSameKey;
        job.holder = *program;
        continue;
      }
      if (rule.exclusive && holding > 0) {
        // The first one the selection takes holds back the others.
        if (exclusive == nullptr) exclusive = &job;
        job.reason = StuckReason::kWaitsForRunning;
        job.holder = std::to_string(holding);
        continue;
      }
      if (rule.bounded_by_max_jobs && counted >= status->max_jobs) {
        job.reason = StuckReason::kMaxJobs;
        job.holder = StrFormat(kMaxJobsInUse, static_cast<long>(counted),
                               static_cast<long>(status->max_jobs));
        continue;
      }
      // It starts, and runs for the rows after it.
      ++counted;
      holding += HoldsExclusive(job.jobrty.c_str());
      if (!job.joburv.empty()) keys.emplace_back(job.joburv, ProgramOf(job));
    }
  }
}

void DecideEndReasons(std::vector<StatusJob>* ended, const std::vector<PoolMessage>& day) {
  // The times of each text, newest first, and how many of them are given
  // out.
  std::map<std::string, std::pair<std::vector<std::string>, size_t>> posted;
  for (const PoolMessage& m : day) {
    std::string stamp, body;
    if (SplitStampedText(m.msgtxt, &stamp, &body)) posted[body].first.push_back(stamp);
  }
  for (auto& [text, times] : posted) {
    std::sort(times.first.begin(), times.first.end(), std::greater<>());
  }
  // A failed start's message names its command line alone: the row the
  // pass tried last gets the newest one.
  std::vector<StatusJob*> failed;
  for (StatusJob& job : *ended) {
    if (kStateStartFailed.In(job.jobsts.c_str())) failed.push_back(&job);
  }
  std::stable_sort(failed.begin(), failed.end(), [](const StatusJob* a, const StatusJob* b) {
    return PassOrder(*a) > PassOrder(*b);
  });
  for (StatusJob* job : failed) {
    job->end = EndReason::kStartFailed;
    // The row keeps no time of a failed start.
    job->ended_at.clear();
    auto it = posted.find(StrFormat(kMsgStartFailed, job->jobcmd.c_str()));
    if (it == posted.end() || it->second.second >= it->second.first.size()) continue;
    job->ended_at = it->second.first[it->second.second++];
  }
  std::vector<StatusJob> kept;
  for (StatusJob job : *ended) {
    if (kStateStartFailed.In(job.jobsts.c_str())) {
      if (job.ended_at.empty()) continue;
    } else if (kStateTerminated.In(job.jobsts.c_str())) {
      job.ended_at = job.jobeda;
      // Its own row tells a run-time end. The pool's message names only
      // the program, which other runs share (every php job), so it tells
      // nothing of this one. The supervision ends a job after more than
      // JOBMRT seconds, but JOBSDA and JOBEDA drop their fractions.
      int64_t run = 0;
      if (job.jobmrt > 0 && StampSeconds(job.jobsda, job.jobeda, &run) && run >= job.jobmrt) {
        job.end = EndReason::kRunTimeLimit;
      } else if (PostedBefore(day, kMsgDbLost, job.jobeda)) {
        job.end = EndReason::kDatabaseLost;
      } else if (PostedBefore(day, kMsgServiceGone, job.jobeda)) {
        job.end = EndReason::kServiceGone;
      } else {
        job.end = EndReason::kTerminated;
      }
    } else {
      job.ended_at = job.jobeda;
      job.end = EndReason::kEnded;
    }
    kept.push_back(job);
  }
  std::stable_sort(kept.begin(), kept.end(),
                   [](const StatusJob& a, const StatusJob& b) { return a.ended_at > b.ended_at; });
  *ended = std::move(kept);
}

// ---- The controller -----------------------------------------------------------

ControllerState JudgeController(const ControllerHealth& h) {
  if (h.pid == 0) return ControllerState::kNotRunning;
  if (!h.flag_file) return ControllerState::kNoFlagFile;
  // A file from the future (a clock set back) is taken as current; the
  // next refresh puts it right.
  if (h.flag_age_seconds > kFlagFileStaleSeconds) return ControllerState::kStale;
  if (!h.pass_known || h.pass_age_seconds > kFlagFileStaleSeconds) return ControllerState::kNoPass;
  switch (h.pass.outcome) {
    case PassOutcome::kDatabaseDown:
      return ControllerState::kDatabaseDown;
    case PassOutcome::kReloadFailed:
      return ControllerState::kReloadFailing;
    case PassOutcome::kComplete:
      break;
  }
  return ControllerState::kRunning;
}

ControllerHealth CheckController(Platform& platform, const std::string& program_dir) {
  namespace fs = std::filesystem;
  ControllerHealth health;
  health.program = program_dir + kControllerProgram;
  int64_t stamp = 0;
  health.flag_file = FlagFileTime(program_dir + kFlagFileName, &stamp);
  if (health.flag_file) health.flag_age_seconds = platform.Now() - stamp;
  health.pass_known = ReadPassState(program_dir + kPassStateFileName, &health.pass, &stamp);
  if (health.pass_known) health.pass_age_seconds = platform.Now() - stamp;
  // Same file, not same spelling: links, case and separators may differ.
  const fs::path dir(NativePath(program_dir));
  std::vector<ProcessEntry> processes;
  if (ListProcesses(&processes) == 0) {
    for (const ProcessEntry& p : processes) {
      const std::string name = ToUpperAscii(p.base_name);
      if (name != kControllerProgram && name != std::string(kControllerProgram) + ".EXE") continue;
      const ProcessInfo info = platform.InspectProcess(p.pid);
      if (!info.opened || !info.has_path) continue;
      // The same file as the program of that name in the directory.
      std::error_code ec;
      if (fs::equivalent(fs::path(info.full_path), dir / p.base_name, ec)) {
        health.pid = p.pid;
        break;
      }
    }
  }
  health.state = JudgeController(health);
  return health;
}

bool ControllerCurrent(const ControllerHealth& health) {
  return health.state == ControllerState::kRunning;
}

std::string FormatHealthText(const ControllerHealth& health) {
  const unsigned long pid = health.pid;
  switch (health.state) {
    case ControllerState::kRunning:
      return StrFormat(kHealthRunning, pid, FormatDuration(health.flag_age_seconds).c_str());
    case ControllerState::kStale:
      return StrFormat(kHealthStale, pid, FormatDuration(health.flag_age_seconds).c_str());
    case ControllerState::kNoFlagFile:
      return StrFormat(kHealthNoFlagFile, pid);
    case ControllerState::kNoPass:
      return StrFormat(kHealthNoPass, pid, FormatDuration(kFlagFileStaleSeconds).c_str());
    case ControllerState::kDatabaseDown:
      return StrFormat(kHealthDatabaseDown, pid, FormatStamp(health.pass.since).c_str());
    case ControllerState::kReloadFailing:
      return StrFormat(kHealthReloadFailing, pid, FormatStamp(health.pass.since).c_str());
    default:
      return StrFormat(kHealthNotRunning, health.program.c_str()) +
             (health.flag_file ? kHealthLeftover : "");
  }
}

// ---- Nodes --------------------------------------------------------------------

const StatusNode* FindNode(const JobStatus& status, const std::string& name) {
  for (const StatusNode& node : status.nodes) {
    if (SameNodeName(node.name, name)) return &node;
  }
  return nullptr;
}

bool StatusHealthy(const JobStatus& status) {
  if (status.watched_node.empty()) return ControllerCurrent(status.controller);
  const StatusNode* node = FindNode(status, status.watched_node);
  return status.nodes_read && node != nullptr && node->state == NodeState::kLive;
}

std::string HealthText(const JobStatus& status) {
  if (status.watched_node.empty()) return FormatHealthText(status.controller);
  const char* name = status.watched_node.c_str();
  if (!status.nodes_read) return StrFormat(kNodeHealthUnread, name);
  const StatusNode* node = FindNode(status, status.watched_node);
  if (node == nullptr) return StrFormat(kNodeHealthAbsent, name);
  const std::string age = node->age_seconds < 0 ? "?" : FormatDuration(node->age_seconds);
  switch (node->state) {
    case NodeState::kLive:
      return StrFormat(kNodeHealthLive, node->name.c_str(), age.c_str());
    case NodeState::kDead:
      return StrFormat(kNodeHealthDead, node->name.c_str(), age.c_str(),
                       static_cast<long>(status.node_timeout_seconds));
    case NodeState::kLeft:
      return StrFormat(kNodeHealthLeft, node->name.c_str(), age.c_str());
    default:
      return StrFormat(kNodeHealthTakenOver, node->name.c_str(), age.c_str());
  }
}

// ---- The tool -----------------------------------------------------------------

int LoadStatusSetup(Platform& platform, const StatusOptions& options, StatusSetup* setup,
                    std::string* error) {
  // --dir: the settings and DYE of the controller there, as if kvsjobstat
  // lay beside it. Made absolute first, since reading the settings changes
  // the working directory.
  std::string exe = platform.OwnExecutablePath();
  if (!options.program_dir.empty()) {
    std::error_code ec;
    const std::filesystem::path dir = std::filesystem::absolute(options.program_dir, ec);
    if (ec || !std::filesystem::is_directory(dir, ec)) {
      *error = kErrDirValue;
      return kStatusExitUsage;
    }
    exe = (dir / "kvsjobstat").string();
  }
  const Config config = ReadConfigOf(platform, exe, false);
  setup->program_dir = config.program_dir;
  setup->run_type = options.run_type;
  setup->log_size_limit = config.log_size_limit;
  setup->max_jobs = config.max_jobs;
  setup->own_node = config.node_name;
  setup->node_timeout_seconds = config.node_timeout_seconds;
  setup->node = options.node;
  // The lookups read "" from a file they cannot open; say which it is.
  const std::string file = InProgramDir(config.program_dir, config.connection_file);
  if (!FileExists(file)) {
    *error = StrFormat(kErrConnectionFile, config.connection_file.c_str());
    return kStatusExitNoDataSource;
  }
  // As the controller reads them.
  const ConnectionSettings settings = ReadConnectionSettings(file);
  const Credentials& credentials = setup->credentials = settings.credentials;
  setup->db_system = settings.db_system;
  if (credentials.data_source.empty()) {
    *error = StrFormat(kErrNoDataSource, config.connection_file.c_str());
    return kStatusExitNoDataSource;
  }
  if (DialectOf(setup->db_system) == Dialect::kUnknown) {
    *error = StrFormat(kErrDbSystem, setup->db_system.c_str());
    return kStatusExitNoDataSource;
  }
  // The session would refuse them with a line in the log; say it here.
  const std::pair<const char*, const std::string*> params[] = {
      {"DATABASE", &credentials.data_source},
      {"LOGIN", &credentials.user},
      {"PASS", &credentials.password}};
  for (const auto& [key, value] : params) {
    if (value->size() > kConnectParamCapacity - 1) {
      *error = StrFormat(kErrParamTooLong, key);
      return kStatusExitNoDataSource;
    }
  }
  setup->log_path = InProgramDir(config.program_dir, kStatusLogFile);
  setup->fallback_path = InProgramDir(config.program_dir, kFallbackMessageFile);
  return kStatusExitOk;
}

int CollectStatus(Platform& platform, Session& session, const StatusSetup& setup,
                  const CivilTime& now, JobStatus* status) {
  const std::string stamp = StrFormat("%04d%02d%02d%02d%02d%02d", now.year, now.month, now.day,
                                      now.hour, now.minute, now.second);
  status->controller = CheckController(platform, setup.program_dir);
  status->max_jobs = setup.max_jobs;
  status->db_system = setup.db_system;
  status->own_node = setup.own_node;
  status->node_timeout_seconds = setup.node_timeout_seconds;
  status->watched_node = setup.node;
  int rc = kStatusExitOk;
  const Credentials& c = setup.credentials;
  if (!session.connected() && session.Connect(c.user, c.password, c.data_source) != 0) {
    status->database_error = StrFormat(kErrConnect, c.data_source.c_str(), c.user.c_str());
    rc = kStatusExitConnectFailed;
  } else if (ReadJobStatus(session, setup.run_type, stamp, status) != 0) {
    rc = kStatusExitQueryFailed;
    // A lost connection fails every statement: the next read connects
    // anew.
    (void)session.Disconnect();
  }
  // The tool's own failure wins, unless the controller reports the same
  // outage: then what a monitor needs to hear is the controller's state.
  // A watched node's state is known only from the database.
  const bool outage =
      setup.node.empty() && status->controller.state == ControllerState::kDatabaseDown;
  if ((rc == kStatusExitOk || outage) && !StatusHealthy(*status)) rc = kStatusExitNotRunning;
  status->fallback = ReadFallbackFile(setup.fallback_path);
  return rc;
}

int CollectNodes(Session& session, const StatusSetup& setup, JobStatus* status) {
  status->node_timeout_seconds = setup.node_timeout_seconds;
  status->watched_node = setup.node;
  const Credentials& c = setup.credentials;
  if (!session.connected() && session.Connect(c.user, c.password, c.data_source) != 0) {
    return kStatusExitConnectFailed;
  }
  if (ReadNodeList(session, status) != 0) {
    (void)session.Disconnect();
    return kStatusExitQueryFailed;
  }
  return StatusHealthy(*status) ? kStatusExitOk : kStatusExitNotRunning;
}

int BeginStatusTool(Platform& platform, const std::vector<std::string>& args, std::string* error,
                    StatusOptions* options, StatusSetup* setup, bool* done) {
  *done = true;
  if (ParseStatusOptions(args, options, error) != 0) {
    *error += kStatusUsage;
    return kStatusExitUsage;
  }
  if (options->help) {
    platform.Print(kStatusUsage);
    return kStatusExitOk;
  }
  const int rc = LoadStatusSetup(platform, *options, setup, error);
  *done = rc != kStatusExitOk;
  return rc;
}

int RunJobStatus(Platform& platform, const std::vector<std::string>& args, std::string* error,
                 const std::function<bool()>& stop, bool utf8_console) {
  StatusOptions options;
  StatusSetup setup;
  bool done = false;
  int rc = BeginStatusTool(platform, args, error, &options, &setup, &done);
  if (done) return rc;

  // The session's rare log lines go to a log of this tool's own, never
  // into the controller's, which the controller rotates.
  Logs logs(platform, setup.log_path, BackupPathOf(setup.log_path), setup.log_path,
            BackupPathOf(setup.log_path), setup.log_size_limit, false);
  Session session(logs);
  session.SetDbSystem(setup.db_system);
  // What a page or a JSON reader gets keeps the login name to itself: the
  // driver's messages may quote it.
  const auto hide_login = [&setup](JobStatus* status) {
    if (!status->database_error.empty()) {
      status->database_error = StrFormat(kErrConnectServed, setup.credentials.data_source.c_str());
    }
    for (ListFailure& f : status->failures) f.text = HideLoginName(f.text, setup.credentials.user);
  };
  if (!options.serve.empty()) {
    // A served page waits for no statement longer than a monitor would.
    session.SetQueryTimeout(kServeStatementTimeoutSeconds);
    // The session serves one reading at a time: the page's, or with
    // --node the health answer's beside it. A health answer takes the
    // nodes of a reading younger than a page refresh, waiting for the one
    // in hand if need be, and reads them itself only when there is none.
    std::mutex reading;
    std::mutex cache;
    JobStatus last;
    int64_t last_at = 0;
    bool have_last = false;
    const auto keep = [&](const JobStatus& status, int64_t at) {
      const std::lock_guard<std::mutex> lock(cache);
      last.nodes = status.nodes;
      last.nodes_read = status.nodes_read;
      last_at = at;
      have_last = true;
    };
    const auto cached = [&](Platform& clock, JobStatus* status) {
      const std::lock_guard<std::mutex> lock(cache);
      const int64_t age = clock.Now() - last_at;
      if (!have_last || age < 0 || age >= kPageRefreshSeconds) return false;
      status->nodes = last.nodes;
      status->nodes_read = last.nodes_read;
      return true;
    };
    const StatusLook look = [&](JobStatus* status, CivilTime* now) {
      const std::lock_guard<std::mutex> lock(reading);
      *now = platform.ToLocal(platform.Now());
      (void)CollectStatus(platform, session, setup, *now, status);
      hide_login(status);
      keep(*status, platform.Now());
    };
    NodeLook node_look;
    if (!setup.node.empty()) {
      node_look = [&](Platform& clock, JobStatus* status) {
        status->node_timeout_seconds = setup.node_timeout_seconds;
        status->watched_node = setup.node;
        if (cached(clock, status)) return;
        const std::lock_guard<std::mutex> lock(reading);
        if (cached(clock, status)) return;
        (void)CollectNodes(session, setup, status);
        keep(*status, clock.Now());
      };
    }
    return ServeStatusPage(platform, options.serve, look, setup.program_dir,
                           setup.credentials.data_source, setup.run_type, error, stop, "",
                           node_look);
  }
  while (true) {
    const CivilTime now = platform.ToLocal(platform.Now());
    JobStatus status;
    rc = CollectStatus(platform, session, setup, now, &status);
    std::string frame;
    if (options.json) {
      // One object a line, so a watching reader can take them one by one.
      hide_login(&status);
      frame = FormatStatusJson(status, now);
    } else {
      if (options.watch_seconds > 0) frame = kClearScreen;
      // A watched node's line first: it is what the exit code tells.
      if (!options.node.empty()) frame += HealthText(status) + "\n";
      frame += FormatHealthText(status.controller) + "\n";
      frame +=
          StrFormat(kStatusHeader, LocalText(now).c_str(), setup.credentials.data_source.c_str());
      if (!options.run_type.empty()) {
        frame += StrFormat(kStatusHeaderType, options.run_type.c_str());
      }
      frame += MaxJobsText(status);
      frame += "\n\n";
      frame += FormatStatusText(status, now);
      if (utf8_console) frame = Utf8FromWindows1252(frame);
    }
    platform.Print(frame);
    if (options.watch_seconds == 0) {
      // The errors once more where a script looks for them.
      if (!status.database_error.empty()) *error += kErrPrefix + status.database_error + "\n";
      for (const ListFailure& f : status.failures) *error += kErrPrefix + f.text + "\n";
      return rc;
    }
    for (int waited = 0; waited < options.watch_seconds * 1000; waited += kWatchSliceMs) {
      if (stop && stop()) return rc;
      platform.SleepMs(kWatchSliceMs);
    }
    if (stop && stop()) return rc;
  }
}

}  // namespace kvs
