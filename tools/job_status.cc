#include "tools/job_status.h"

#include <cstdio>
#include <filesystem>
#include <utility>

#include "core/config.h"
#include "core/connection_file.h"
#include "core/controller.h"
#include "diag/flag_file.h"
#include "diag/log_file.h"
#include "diag/text.h"
#include "jobs/permanent_jobs.h"
#include "platform/civil_time.h"
#include "platform/tool_support.h"
#include "tools/status_page.h"

namespace kvs {

namespace {

constexpr char kControllerSource[] = "KVSJOBSTR";
constexpr char kControllerProgram[] = "KVSJOBSTR";
constexpr int32_t kMaxWatchSeconds = 3600;
// Ctrl-C is noticed between slices of the wait.
constexpr int kWatchSliceMs = 200;

constexpr char kColumns[] =
    "SELECT j.JOBRTY, j.JOBKE2, j.JOBDA1, j.JOBSTS, j.JOBNAM, j.JOBNUM, j.JOBSDA, ";
constexpr char kCounts[] = ", COALESCE(j.JOBMRT, 0), COALESCE(j.JOBSTV, 0) ";
constexpr char kFromJobs[] = "FROM KVSYSTEM.KVS500JOB j WHERE ";
constexpr char kBlankState[] = "(j.JOBSTS IS NULL OR j.JOBSTS = '  ')";
constexpr char kPlannedState[] = "(j.JOBSTS IS NULL OR j.JOBSTS = '  ' OR j.JOBSTS = '00')";
// As the controller picks 04 and 09: blank or ended, fewer than 11 attempts.
constexpr char kRestartable[] =
    "(j.JOBSTS IS NULL OR j.JOBSTS = '  ' OR j.JOBSTS >= '90') AND j.JOBSTV < 11";
constexpr char kDelayedStart[] = "COALESCE(j.JOBDLT, '')";
constexpr char kNextRun[] = "COALESCE(j.JOBNRT, '')";
constexpr char kByCreation[] = "j.JOBDA1, j.JOBKE2";
constexpr char kByNextRun[] = "j.JOBNRT, j.JOBDA1, j.JOBKE2";

// A run type waiting to start: its selection, the column of its earliest
// start and its order, as the controller's own selection of the run type.
struct WaitingRule {
  const char* run_type;
  const char* condition;
  const char* next;
  const char* order;
  StuckReason note = StuckReason::kNone;
};
// The order of a pass: exclusive, permanent, queue, periodic (planned,
// then those waiting for their next window), calendar, day-end, restart.
constexpr WaitingRule kWaitingRules[] = {
    {"05", kBlankState, kDelayedStart, kByCreation},
    {"04", kRestartable, "''", kByCreation},
    {"01", kBlankState, "''", kByCreation},
    {"03", kPlannedState, kNextRun, kByNextRun},
    {"03", "j.JOBSTS = '97'", "''", kByCreation, StuckReason::kOutsideWindow},
    {"07", kPlannedState, kNextRun, kByNextRun},
    {"08", kPlannedState, kNextRun, kByNextRun},
    {"09", kRestartable, "''", kByCreation},
};

std::string Quoted(const std::string& value) { return "'" + SqlQuote(value) + "'"; }

std::string TypeFilter(const std::string& run_type) {
  return run_type.empty() ? "" : " AND j.JOBRTY = " + Quoted(run_type);
}

bool Wanted(const std::string& run_type, const char* rule_type) {
  return run_type.empty() || run_type == rule_type;
}

std::string JobSelect(const std::string& next, const std::string& from_where) {
  return kColumns + next + kCounts + from_where;
}

// Reads the cursor's rows into *out. 0 or the failing result code.
int FetchJobs(Session& session, const StatusQuery& query, std::vector<StatusJob>* out) {
  int rc = session.OpenCursor(CursorSlot::kJobList, query.text);
  if (rc != 0) return rc;
  struct {
    char jobrty[3], jobke2[33], jobda1[15], jobsts[3], jobnam[65], jobnum[9], jobsda[15], next[15];
    int32_t jobmrt, jobstv;
  } row;
  const std::vector<ColumnBinding> columns = {ColumnBinding::Text(row.jobrty, sizeof row.jobrty),
                                              ColumnBinding::Text(row.jobke2, sizeof row.jobke2),
                                              ColumnBinding::Text(row.jobda1, sizeof row.jobda1),
                                              ColumnBinding::Text(row.jobsts, sizeof row.jobsts),
                                              ColumnBinding::Text(row.jobnam, sizeof row.jobnam),
                                              ColumnBinding::Text(row.jobnum, sizeof row.jobnum),
                                              ColumnBinding::Text(row.jobsda, sizeof row.jobsda),
                                              ColumnBinding::Text(row.next, sizeof row.next),
                                              ColumnBinding::Long(&row.jobmrt),
                                              ColumnBinding::Long(&row.jobstv)};
  while ((rc = session.FetchCursor(CursorSlot::kJobList, columns)) == 0) {
    StatusJob job;
    job.jobrty = RightTrimInPlace(row.jobrty);
    job.jobke2 = RightTrimInPlace(row.jobke2);
    job.jobda1 = RightTrimInPlace(row.jobda1);
    job.jobsts = RightTrimInPlace(row.jobsts);
    job.jobnam = RightTrimInPlace(row.jobnam);
    job.jobnum = RightTrimInPlace(row.jobnum);
    job.jobsda = RightTrimInPlace(row.jobsda);
    job.next = RightTrimInPlace(row.next);
    job.jobmrt = row.jobmrt;
    job.jobstv = row.jobstv;
    job.reason = query.reason;
    // The schedule join finds both kinds; only an existing row has an end date.
    if (job.reason == StuckReason::kScheduleGone && !job.next.empty()) {
      job.reason = StuckReason::kScheduleEnded;
    }
    out->push_back(job);
  }
  session.CloseCursor(CursorSlot::kJobList);
  return rc == 100 ? 0 : rc;
}

int FetchMessages(Session& session, Dialect dialect, std::vector<PoolMessage>* out) {
  int rc = session.OpenCursor(CursorSlot::kJobList, TextStatusMessages(dialect));
  if (rc != 0) return rc;
  char msgtin[15];
  char msgtxt[251];
  const std::vector<ColumnBinding> columns = {ColumnBinding::Text(msgtin, sizeof msgtin),
                                              ColumnBinding::Text(msgtxt, sizeof msgtxt)};
  while ((rc = session.FetchCursor(CursorSlot::kJobList, columns)) == 0) {
    out->push_back({RightTrimInPlace(msgtin), RightTrimInPlace(msgtxt)});
  }
  session.CloseCursor(CursorSlot::kJobList);
  return rc == 100 ? 0 : rc;
}

bool AllDigits(const std::string& s) {
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

int Number(const std::string& s, size_t at, size_t n) { return LeadingInt(s.substr(at, n)); }

const char* ReasonCode(StuckReason reason) {
  switch (reason) {
    case StuckReason::kStartFailed:
      return "start_failed";
    case StuckReason::kAttemptsUsedUp:
      return "attempts_used_up";
    case StuckReason::kNeverPicked:
      return "never_picked";
    case StuckReason::kOutsideWindow:
      return "outside_window";
    case StuckReason::kScheduleGone:
      return "schedule_gone";
    case StuckReason::kScheduleEnded:
      return "schedule_ended";
    default:
      return "";
  }
}

}  // namespace

std::string ReasonText(const StatusJob& job) {
  switch (job.reason) {
    case StuckReason::kStartFailed:
      return StrFormat(kReasonStartFailed, static_cast<long>(job.jobstv));
    case StuckReason::kAttemptsUsedUp:
      return StrFormat(kReasonAttemptsUsedUp, static_cast<long>(job.jobstv));
    case StuckReason::kNeverPicked:
      return StrFormat(kReasonNeverPicked, job.jobrty.c_str());
    case StuckReason::kOutsideWindow:
      return kReasonOutsideWindow;
    case StuckReason::kScheduleGone:
      return kReasonScheduleGone;
    case StuckReason::kScheduleEnded:
      return StrFormat(kReasonScheduleEnded, FormatStamp(job.next).c_str());
    default:
      return "";
  }
}

std::string StartText(const StatusJob& job) {
  return job.reason != StuckReason::kNone ? ReasonText(job)
         : job.next.empty()               ? kStartAtOnce
                                          : FormatStamp(job.next);
}

namespace {

std::string OrDash(const std::string& s) { return s.empty() ? "-" : s; }

std::string Title(const char* title, size_t count) {
  return std::string(title) + " (" + std::to_string(count) + ")\n";
}

// The failures of one list, each on a line of its own.
std::vector<std::string> FailuresOf(const JobStatus& status, StatusSection section) {
  std::vector<std::string> texts;
  for (const ListFailure& f : status.failures) {
    if (f.section == section) texts.push_back(f.text);
  }
  return texts;
}

// A failed statement shows under the title; the rows the other statements
// of the list found follow.
std::string Section(const char* title, const std::vector<std::string>& failures,
                    const std::vector<std::string>& headers, const std::vector<bool>& right,
                    const std::vector<std::vector<std::string>>& rows) {
  std::string text = Title(title, rows.size());
  for (const std::string& f : failures) text += StrFormat(kListError, f.c_str());
  if (!rows.empty()) {
    text += FormatTable(headers, right, rows);
  } else if (failures.empty()) {
    text += kStatusNone;
  }
  return text + "\n";
}

// Windows-1252 0x80..0x9F; the five unassigned bytes keep their value,
// as Windows converts them.
constexpr uint16_t kWindows1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

unsigned CodePoint(unsigned char b) { return b >= 0x80 && b < 0xA0 ? kWindows1252High[b - 0x80] : b; }

std::string LocalText(const CivilTime& t) {
  return StrFormat("%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute,
                   t.second);
}

// A path of the INI file or the controller's constants, relative to the
// program directory unless it names a root or a drive. Resolved here rather
// than through the working directory, which a test platform leaves alone.
std::string InProgramDir(const std::string& program_dir, const std::string& path) {
  if (!path.empty() && (path[0] == '\\' || path[0] == '/')) return path;
  if (path.size() >= 2 && path[1] == ':') return path;
  return program_dir + path;
}

}  // namespace

// ---- Options ------------------------------------------------------------------

int ParseStatusOptions(const std::vector<std::string>& args, StatusOptions* options,
                       std::string* error) {
  *options = StatusOptions();
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const bool has_value = i + 1 < args.size();
    if (arg == "--help" || arg == "-h") {
      options->help = true;
    } else if (arg == "--json") {
      options->json = true;
    } else if (arg == "--dir") {
      if (!has_value || args[i + 1].empty()) {
        *error = kErrDirValue;
        return kStatusExitUsage;
      }
      options->program_dir = args[++i];
    } else if (arg == "--type") {
      if (!has_value || args[i + 1].size() != 2 || !AllDigits(args[i + 1])) {
        *error = kErrTypeValue;
        return kStatusExitUsage;
      }
      options->run_type = args[++i];
    } else if (arg == "--watch") {
      const std::string value = has_value ? args[i + 1] : "";
      // LeadingInt saturates, so a long digit string is out of range too.
      const int32_t seconds = LeadingInt(value);
      if (value.empty() || value.size() > 4 || !AllDigits(value) || seconds < 1 ||
          seconds > kMaxWatchSeconds) {
        *error = kErrWatchValue;
        return kStatusExitUsage;
      }
      options->watch_seconds = seconds;
      ++i;
    } else if (arg == "--serve") {
      ServeAddress where;
      if (!has_value || !ParseServeAddress(args[i + 1], &where)) {
        *error = kErrServeValue;
        return kStatusExitUsage;
      }
      options->serve = args[++i];
    } else {
      *error = StrFormat(kErrUnknownOption, arg.c_str());
      return kStatusExitUsage;
    }
  }
  if (!options->serve.empty() && (options->json || options->watch_seconds > 0)) {
    *error = kErrServeCombined;
    return kStatusExitUsage;
  }
  return 0;
}

// ---- Statements ---------------------------------------------------------------

std::vector<StatusQuery> StatusQueries(Dialect dialect, const std::string& run_type,
                                       const std::string& today) {
  const std::string filter = TypeFilter(run_type);
  std::vector<StatusQuery> queries;
  queries.push_back(
      {StatusSection::kRunning, StuckReason::kNone, "KVS500JOB",
       JobSelect("''", std::string(kFromJobs) + "j.JOBSTS = '01' AND j.JOBRTY <> '06'" + filter +
                           " ORDER BY j.JOBSDA, j.JOBDA1, j.JOBKE2")});
  for (const WaitingRule& rule : kWaitingRules) {
    if (!Wanted(run_type, rule.run_type)) continue;
    queries.push_back(
        {StatusSection::kWaiting, rule.note, "KVS500JOB",
         JobSelect(rule.next, std::string(kFromJobs) + "j.JOBRTY = " + Quoted(rule.run_type) +
                                  " AND " + rule.condition + " ORDER BY " + rule.order)});
  }
  // 01, 05 and 07 are picked only while waiting, so one failed start is
  // final; 04 and 09 are tried again until their eleventh attempt, and
  // only when blank or ended.
  queries.push_back(
      {StatusSection::kStuck, StuckReason::kStartFailed, "KVS500JOB",
       JobSelect("''", std::string(kFromJobs) +
                           "j.JOBSTS = '90' AND j.JOBRTY IN ('01', '05', '07')" + filter +
                           " ORDER BY j.JOBRTY, j.JOBDA1, j.JOBKE2")});
  queries.push_back(
      {StatusSection::kStuck, StuckReason::kAttemptsUsedUp, "KVS500JOB",
       JobSelect("''", std::string(kFromJobs) +
                           "j.JOBRTY IN ('04', '09') AND j.JOBSTV >= 11 AND (j.JOBSTS IS NULL "
                           "OR j.JOBSTS <> '01')" +
                           filter + " ORDER BY j.JOBRTY, j.JOBDA1, j.JOBKE2")});
  queries.push_back(
      {StatusSection::kStuck, StuckReason::kNeverPicked, "KVS500JOB",
       JobSelect("''", std::string(kFromJobs) +
                           "j.JOBRTY IN ('04', '09') AND j.JOBSTS = '00' AND j.JOBSTV < 11" +
                           filter + " ORDER BY j.JOBRTY, j.JOBDA1, j.JOBKE2")});
  if (Wanted(run_type, "07")) {
    const bool mssql = dialect == Dialect::kMssql;
    const std::string key = mssql ? "s.SCDNAM + '#' + s.SCDSBE + '#' + s.SCDLIZ + '#' + s.SCDMND"
                                  : "CONCAT(s.SCDNAM, '#', s.SCDSBE, '#', s.SCDLIZ, '#', s.SCDMND)";
    const std::string until =
        mssql ? "CONVERT(CHAR(8), s.SCDBIS, 112)" : "DATE_FORMAT(s.SCDBIS, '%Y%m%d')";
    // A running calendar job shows among the running ones, one in 90
    // among the failed starts.
    queries.push_back(
        {StatusSection::kStuck, StuckReason::kScheduleGone, "KVS800SCD",
         JobSelect("COALESCE(" + until + ", '')",
                   "FROM KVSYSTEM.KVS500JOB j LEFT JOIN KVSYSTEM.KVS800SCD s ON " + key +
                       " = j.JOBKE2 WHERE j.JOBRTY = '07' AND (j.JOBSTS IS NULL OR j.JOBSTS "
                       "NOT IN ('01', '90')) AND (s.SCDNAM IS NULL OR s.SCDBIS < " +
                       Quoted(today) + ") ORDER BY " + kByCreation)});
  }
  return queries;
}

std::string TextStatusMessages(Dialect dialect) {
  const bool mssql = dialect == Dialect::kMssql;
  return std::string("SELECT ") + (mssql ? "TOP 10 " : "") +
         "COALESCE(MSGTIN, ''), COALESCE(MSGTXT, '') FROM KVSYSTEM.KVS200MSG WHERE MSGSRC = " +
         Quoted(kControllerSource) + " ORDER BY MSGTIN DESC, MSGUID DESC" +
         (mssql ? "" : " LIMIT 10");
}

// ---- Reading ------------------------------------------------------------------

int ReadJobStatus(Session& session, const std::string& run_type, const std::string& today,
                  JobStatus* status) {
  int first_rc = 0;
  auto fail = [&](StatusSection section, const char* table, int rc) {
    if (first_rc == 0) first_rc = rc;
    // One line a list: the statements after the first failing one mostly
    // fail for the same reason.
    for (const ListFailure& f : status->failures) {
      if (f.section == section) return;
    }
    const SqlError& e = session.error();
    // 42S02: the driver's word for a table that does not exist.
    const char* format = std::string(e.sqlstate) == "42S02" ? kErrQueryNoTable : kErrQuery;
    status->failures.push_back({section, StrFormat(format, table, e.sqlstate, e.message)});
  };
  for (const StatusQuery& query : StatusQueries(session.dialect(), run_type, today)) {
    std::vector<StatusJob>* rows = query.section == StatusSection::kRunning   ? &status->running
                                   : query.section == StatusSection::kWaiting ? &status->waiting
                                                                              : &status->stuck;
    std::vector<StatusJob> read;
    int rc = FetchJobs(session, query, &read);
    if (rc != 0) {
      fail(query.section, query.table, rc);
      continue;
    }
    rows->insert(rows->end(), read.begin(), read.end());
  }
  std::vector<PoolMessage> messages;
  int rc = FetchMessages(session, session.dialect(), &messages);
  if (rc != 0) {
    fail(StatusSection::kMessages, "KVS200MSG", rc);
  } else {
    status->messages = std::move(messages);
  }
  return first_rc;
}

FallbackFileState ReadFallbackFile(const std::string& path) {
  FallbackFileState state;
  std::FILE* f = std::fopen(NativePath(path).c_str(), "rb");
  if (f == nullptr) return state;
  state.exists = true;
  char buffer[4096];
  size_t n = 0;
  char last = '\n';
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) {
    for (size_t i = 0; i < n; ++i) {
      if (buffer[i] == '\n') ++state.lines;
    }
    last = buffer[n - 1];
  }
  std::fclose(f);
  if (last != '\n') ++state.lines;
  return state;
}

// ---- The controller -----------------------------------------------------------

ControllerState JudgeController(uint32_t pid, bool flag_file, int64_t flag_age_seconds) {
  if (pid == 0) return ControllerState::kNotRunning;
  if (!flag_file) return ControllerState::kNoFlagFile;
  // A DYE from the future (a clock set back) is taken as current; the
  // next refresh puts it right.
  return flag_age_seconds > kFlagFileStaleSeconds ? ControllerState::kStale
                                                  : ControllerState::kRunning;
}

ControllerHealth CheckController(Platform& platform, const std::string& program_dir) {
  namespace fs = std::filesystem;
  ControllerHealth health;
  health.program = program_dir + kControllerProgram;
  int64_t stamp = 0;
  health.flag_file = FlagFileTime(program_dir + kFlagFileName, &stamp);
  if (health.flag_file) health.flag_age_seconds = platform.Now() - stamp;
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
  health.state = JudgeController(health.pid, health.flag_file, health.flag_age_seconds);
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
    default:
      return StrFormat(kHealthNotRunning, health.program.c_str()) +
             (health.flag_file ? kHealthLeftover : "");
  }
}

// ---- Formatting ---------------------------------------------------------------

std::string FormatStamp(const std::string& stamp) {
  if (!AllDigits(stamp)) return stamp;
  if (stamp.size() == 8) {
    return stamp.substr(0, 4) + "-" + stamp.substr(4, 2) + "-" + stamp.substr(6, 2);
  }
  if (stamp.size() != 14) return stamp;
  return stamp.substr(0, 4) + "-" + stamp.substr(4, 2) + "-" + stamp.substr(6, 2) + " " +
         stamp.substr(8, 2) + ":" + stamp.substr(10, 2) + ":" + stamp.substr(12, 2);
}

std::string FormatDuration(int64_t seconds) {
  const uint64_t s =
      seconds < 0 ? 0 - static_cast<uint64_t>(seconds) : static_cast<uint64_t>(seconds);
  return (seconds < 0 ? "-" : "") + std::to_string(s / 3600) +
         StrFormat(":%02d:%02d", static_cast<int>(s / 60 % 60), static_cast<int>(s % 60));
}

bool RunSeconds(const std::string& jobsda, const CivilTime& now, int64_t* seconds) {
  if (jobsda.size() != 14 || !AllDigits(jobsda)) return false;
  const int64_t days = DayNumber(now.year, now.month, now.day) -
                       DayNumber(Number(jobsda, 0, 4), Number(jobsda, 4, 2), Number(jobsda, 6, 2));
  const int64_t then =
      Number(jobsda, 8, 2) * 3600 + Number(jobsda, 10, 2) * 60 + Number(jobsda, 12, 2);
  *seconds = days * 86400 + now.hour * 3600 + now.minute * 60 + now.second - then;
  return true;
}

bool NearRunTimeLimit(int64_t run_seconds, int32_t jobmrt) {
  return jobmrt > 0 && run_seconds * 10 >= static_cast<int64_t>(jobmrt) * 9;
}

std::string FormatTable(const std::vector<std::string>& headers, const std::vector<bool>& right,
                        const std::vector<std::vector<std::string>>& rows) {
  std::vector<size_t> widths(headers.size(), 0);
  auto measure = [&](const std::vector<std::string>& cells) {
    for (size_t i = 0; i < cells.size() && i < widths.size(); ++i) {
      if (cells[i].size() > widths[i]) widths[i] = cells[i].size();
    }
  };
  measure(headers);
  for (const auto& row : rows) measure(row);
  std::string text;
  auto line = [&](const std::vector<std::string>& cells) {
    std::string out;
    for (size_t i = 0; i < widths.size(); ++i) {
      const std::string cell = i < cells.size() ? cells[i] : "";
      const std::string pad(widths[i] - cell.size(), ' ');
      if (i > 0) out += "  ";
      out += i < right.size() && right[i] ? pad + cell : cell + pad;
    }
    text += RightTrim(out) + "\n";
  };
  line(headers);
  for (const auto& row : rows) line(row);
  return text;
}

std::string FormatStatusText(const JobStatus& status, const CivilTime& now) {
  std::string text;
  if (!status.database_error.empty()) {
    text = StrFormat(kDatabaseLine, status.database_error.c_str());
  } else {
    std::vector<std::vector<std::string>> rows;
    for (const StatusJob& job : status.running) {
      int64_t run = 0;
      const bool known = RunSeconds(job.jobsda, now, &run);
      rows.push_back({job.jobrty, job.jobke2, job.jobnam, job.jobnum, FormatStamp(job.jobsda),
                      known ? FormatDuration(run) : "?",
                      job.jobmrt > 0 ? FormatDuration(job.jobmrt) : "-",
                      known && NearRunTimeLimit(run, job.jobmrt) ? "!" : ""});
    }
    text += Section(kTitleRunning, FailuresOf(status, StatusSection::kRunning),
                    {"RT", "JOBKE2", "Programm", "PID", "Gestartet", "Laufzeit", "Max.", ""},
                    {false, false, false, true, false, true, true, false}, rows);
    rows.clear();
    for (const StatusJob& job : status.waiting) {
      rows.push_back({job.jobrty, job.jobke2, job.jobda1, OrDash(job.jobsts), StartText(job),
                      std::to_string(job.jobstv)});
    }
    text += Section(kTitleWaiting, FailuresOf(status, StatusSection::kWaiting),
                    {"RT", "JOBKE2", "JOBDA1", "Status", "Start ab", "Versuche"},
                    {false, false, false, false, false, true}, rows);
    rows.clear();
    for (const StatusJob& job : status.stuck) {
      rows.push_back({job.jobrty, job.jobke2, job.jobda1, OrDash(job.jobsts), ReasonText(job)});
    }
    text += Section(kTitleStuck, FailuresOf(status, StatusSection::kStuck),
                    {"RT", "JOBKE2", "JOBDA1", "Status", "Grund"}, {}, rows);
    rows.clear();
    for (const PoolMessage& m : status.messages) rows.push_back({FormatStamp(m.msgtin), m.msgtxt});
    text += Section(kTitleMessages, FailuresOf(status, StatusSection::kMessages), {"Zeit", "Text"},
                    {}, rows);
  }
  const std::string fallback =
      status.fallback.exists ? StrFormat(kFallbackPresent, static_cast<long>(status.fallback.lines))
                             : std::string(kFallbackAbsent);
  text += StrFormat(kFallbackLine, kFallbackMessageFile, fallback.c_str());
  return text;
}

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    const unsigned char b = static_cast<unsigned char>(c);
    switch (c) {
      case '"':
        out += "\\\"";
        continue;
      case '\\':
        out += "\\\\";
        continue;
      case '\b':
        out += "\\b";
        continue;
      case '\f':
        out += "\\f";
        continue;
      case '\n':
        out += "\\n";
        continue;
      case '\r':
        out += "\\r";
        continue;
      case '\t':
        out += "\\t";
        continue;
      default:
        break;
    }
    if (b < 0x20 || b >= 0x80) {
      out += StrFormat("\\u%04x", CodePoint(b));
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string Utf8FromWindows1252(std::string_view text) {
  std::string out;
  for (char c : text) {
    const unsigned code = CodePoint(static_cast<unsigned char>(c));
    if (code < 0x80) {
      out += c;
    } else if (code < 0x800) {
      out += static_cast<char>(0xC0 | (code >> 6));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | (code >> 12));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    }
  }
  return out;
}

std::string FormatStatusJson(const JobStatus& status, const CivilTime& now) {
  auto field = [](const char* name, const std::string& value) {
    return std::string("\"") + name + "\":" + JsonString(value);
  };
  auto number = [](const char* name, int64_t value) {
    return std::string("\"") + name + "\":" + std::to_string(value);
  };
  auto array = [](const char* name, const std::vector<std::string>& items) {
    std::string out = std::string("\"") + name + "\":[";
    for (size_t i = 0; i < items.size(); ++i) out += (i ? "," : "") + items[i];
    return out + "]";
  };
  std::vector<std::string> items;
  for (const StatusJob& job : status.running) {
    int64_t run = 0;
    const bool known = RunSeconds(job.jobsda, now, &run);
    items.push_back("{" + field("jobrty", job.jobrty) + "," + field("jobke2", job.jobke2) + "," +
                    field("jobnam", job.jobnam) + "," + field("jobnum", job.jobnum) + "," +
                    field("started", FormatStamp(job.jobsda)) +
                    ",\"run_seconds\":" + (known ? std::to_string(run) : "null") + "," +
                    number("jobmrt", job.jobmrt) + ",\"near_limit\":" +
                    (known && NearRunTimeLimit(run, job.jobmrt) ? "true" : "false") + "}");
  }
  const ControllerHealth& c = status.controller;
  static const char* const kStateCodes[] = {"running", "stale", "no_flag_file", "not_running"};
  std::string json =
      "{" + field("time", LocalText(now)) + ",\"controller\":{" +
      field("state", kStateCodes[static_cast<int>(c.state)]) +
      ",\"current\":" + (ControllerCurrent(c) ? "true" : "false") +
      ",\"pid\":" + (c.pid != 0 ? std::to_string(c.pid) : "null") +
      ",\"flag_file\":" + (c.flag_file ? "true" : "false") + ",\"flag_age_seconds\":" +
      (c.flag_file ? std::to_string(c.flag_age_seconds) : "null") + "," +
      field("program", c.program) + "," + field("text", FormatHealthText(c)) + "}";
  std::vector<std::string> errors;
  if (!status.database_error.empty()) {
    errors.push_back("{" + field("list", "database") + "," + field("text", status.database_error) +
                     "}");
  }
  static const char* const kListCodes[] = {"running", "waiting", "stuck", "messages"};
  for (const ListFailure& f : status.failures) {
    errors.push_back("{" + field("list", kListCodes[static_cast<int>(f.section)]) + "," +
                     field("text", f.text) + "}");
  }
  json += "," + array("errors", errors) + "," + array("running", items);
  items.clear();
  for (const StatusJob& job : status.waiting) {
    items.push_back("{" + field("jobrty", job.jobrty) + "," + field("jobke2", job.jobke2) + "," +
                    field("jobda1", job.jobda1) + "," + field("jobsts", job.jobsts) + "," +
                    field("start_at", FormatStamp(job.next)) + "," + number("jobstv", job.jobstv) +
                    "," + field("reason", ReasonCode(job.reason)) + "," +
                    field("text", ReasonText(job)) + "}");
  }
  json += "," + array("waiting", items);
  items.clear();
  for (const StatusJob& job : status.stuck) {
    items.push_back("{" + field("jobrty", job.jobrty) + "," + field("jobke2", job.jobke2) + "," +
                    field("jobda1", job.jobda1) + "," + field("jobsts", job.jobsts) + "," +
                    number("jobstv", job.jobstv) + "," + field("reason", ReasonCode(job.reason)) +
                    "," + field("text", ReasonText(job)) + "}");
  }
  json += "," + array("stuck", items);
  items.clear();
  for (const PoolMessage& m : status.messages) {
    items.push_back("{" + field("time", FormatStamp(m.msgtin)) + "," + field("text", m.msgtxt) +
                    "}");
  }
  json += "," + array("messages", items);
  json += std::string(",\"fallback\":{\"exists\":") + (status.fallback.exists ? "true" : "false") +
          "," + number("lines", status.fallback.lines) + "}}\n";
  return json;
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
  // As the controller reads them: empty section, record number 0.
  Credentials& credentials = setup->credentials;
  credentials.data_source = LookupConnectionValue("", "DATABASE", 0, file);
  credentials.user = LookupConnectionValue("", "LOGIN", 0, file);
  credentials.password = LookupConnectionValue("", "PASS", 0, file);
  setup->db_system = LookupConnectionValue("", "DB_SYSTEM", 0, file);
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
  if (rc == kStatusExitOk && !ControllerCurrent(status->controller)) rc = kStatusExitNotRunning;
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
  if (!options.serve.empty()) {
    // A served page waits for no statement longer than a monitor would.
    session.SetQueryTimeout(kServeStatementTimeoutSeconds);
    const StatusLook look = [&](JobStatus* status, CivilTime* now) {
      *now = platform.ToLocal(platform.Now());
      (void)CollectStatus(platform, session, setup, *now, status);
      // The same failure, without the login name.
      if (!status->database_error.empty()) {
        status->database_error =
            StrFormat(kErrConnectServed, setup.credentials.data_source.c_str());
      }
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
