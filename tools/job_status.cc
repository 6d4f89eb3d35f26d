// kvsjobstat: the controller's health, one complete reading and the run.
#include "tools/job_status.h"

#include <cstdio>
#include <filesystem>
#include <utility>

#include "core/config.h"
#include "core/connection_file.h"
#include "diag/flag_file.h"
#include "diag/log_file.h"
#include "diag/text.h"
#include "platform/civil_time.h"
#include "platform/tool_support.h"
#include "msg/message_pool.h"
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

}  // namespace

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
  const std::string today = StrFormat("%04d%02d%02d", now.year, now.month, now.day);
  status->controller = CheckController(platform, setup.program_dir);
  int rc = kStatusExitOk;
  const Credentials& c = setup.credentials;
  if (!session.connected() && session.Connect(c.user, c.password, c.data_source) != 0) {
    status->database_error = StrFormat(kErrConnect, c.data_source.c_str(), c.user.c_str());
    rc = kStatusExitConnectFailed;
  } else if (ReadJobStatus(session, setup.run_type, today, status) != 0) {
    rc = kStatusExitQueryFailed;
    // A lost connection fails every statement: the next read connects
    // anew.
    (void)session.Disconnect();
  }
  // The tool's own failure wins, unless the controller reports the same
  // outage: then what a monitor needs to hear is the controller's state.
  if ((rc == kStatusExitOk || status->controller.state == ControllerState::kDatabaseDown) &&
      !ControllerCurrent(status->controller)) {
    rc = kStatusExitNotRunning;
  }
  status->fallback = ReadFallbackFile(setup.fallback_path);
  return rc;
}

int RunJobStatus(Platform& platform, const std::vector<std::string>& args, std::string* error,
                 const std::function<bool()>& stop, bool utf8_console) {
  StatusOptions options;
  if (ParseStatusOptions(args, &options, error) != 0) {
    *error += kStatusUsage;
    return kStatusExitUsage;
  }
  if (options.help) {
    platform.Print(kStatusUsage);
    return kStatusExitOk;
  }
  StatusSetup setup;
  int rc = LoadStatusSetup(platform, options, &setup, error);
  if (rc != kStatusExitOk) return rc;

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
    const StatusLook look = [&](JobStatus* status, CivilTime* now) {
      *now = platform.ToLocal(platform.Now());
      (void)CollectStatus(platform, session, setup, *now, status);
      hide_login(status);
    };
    return ServeStatusPage(platform, options.serve, look, setup.program_dir,
                           setup.credentials.data_source, setup.run_type, error, stop);
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
      frame += FormatHealthText(status.controller) + "\n";
      frame += StrFormat(kStatusHeader, LocalText(now).c_str(),
                         setup.credentials.data_source.c_str());
      if (!options.run_type.empty()) {
        frame += StrFormat(kStatusHeaderType, options.run_type.c_str());
      }
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
