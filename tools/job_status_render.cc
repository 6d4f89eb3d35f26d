// kvsjobstat: the text and JSON forms of a reading.
#include "tools/job_status_render.h"

#include <algorithm>

#include "diag/text.h"
#include "jobs/run_types.h"
#include "msg/message_pool.h"
#include "platform/civil_time.h"
#include "tools/job_commands.h"

namespace kvs {

namespace {

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
    case StuckReason::kNotDue:
      return "not_due";
    case StuckReason::kMaxJobs:
      return "max_jobs";
    case StuckReason::kSameKey:
      return "same_joburv";
    case StuckReason::kExclusiveWaiting:
      return "exclusive_waiting";
    case StuckReason::kWaitsForRunning:
      return "waits_for_running";
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
    case StuckReason::kNeverPicked: {
      // The run types that take ended rows again say so.
      const RunTypeRule* rule = RuleOfField(job.jobrty.c_str());
      const bool restarts = rule != nullptr && rule->selection.takes == Takes::kEnded;
      return StrFormat(restarts ? kReasonNeverPicked : kReasonNeverPickedBlank, job.jobrty.c_str());
    }
    case StuckReason::kOutsideWindow:
      return kReasonOutsideWindow;
    case StuckReason::kScheduleGone:
      return kReasonScheduleGone;
    case StuckReason::kNotDue:
      return StrFormat(kReasonNotDue, FormatStamp(job.next).c_str());
    case StuckReason::kMaxJobs:
      return StrFormat(kReasonMaxJobs, job.holder.c_str());
    case StuckReason::kSameKey:
      return StrFormat(kReasonSameKey, job.joburv.c_str(), job.holder.c_str());
    case StuckReason::kExclusiveWaiting:
      return StrFormat(kReasonExclusiveWaiting, job.holder.c_str());
    case StuckReason::kWaitsForRunning:
      return StrFormat(kReasonWaitsForRunning, job.holder.c_str());
    default:
      return "";
  }
}

std::string StartText(const StatusJob& job) {
  if (job.reason != StuckReason::kNone && job.reason != StuckReason::kNotDue) {
    return ReasonText(job);
  }
  return job.next.empty() ? kStartAtOnce : FormatStamp(job.next);
}

std::string MaxJobsText(const JobStatus& status) {
  if (!status.database_error.empty()) return "";
  for (const ListFailure& f : status.failures) {
    if (f.section == StatusSection::kRunning) return "";
  }
  return StrFormat(kStatusHeaderMaxJobs, static_cast<long>(status.max_jobs),
                   static_cast<long>(status.running_count));
}

std::string EndText(const StatusJob& job) {
  switch (job.end) {
    case EndReason::kTerminated:
      return kEndedTerminated;
    case EndReason::kRunTimeLimit:
      return StrFormat(kEndedRunTime, FormatDuration(job.jobmrt).c_str());
    case EndReason::kDatabaseLost:
      return kEndedDatabaseLost;
    case EndReason::kServiceGone:
      return kEndedServiceGone;
    case EndReason::kStartFailed:
      return kEndedStartFailed;
    default:
      return kEndedNormally;
  }
}

std::vector<const StatusJob*> NextRuns(const JobStatus& status) {
  std::vector<const StatusJob*> next;
  for (const StatusJob& job : status.waiting) {
    if (job.next.size() == 14 && AllDigits(job.next)) next.push_back(&job);
  }
  std::stable_sort(next.begin(), next.end(),
                   [](const StatusJob* a, const StatusJob* b) { return a->next < b->next; });
  return next;
}

void ShownMessage(const PoolMessage& m, std::string* time, std::string* text) {
  std::string stamp;
  if (SplitStampedText(m.msgtxt, &stamp, text)) {
    *time = FormatStamp(stamp);
  } else {
    *time = FormatStamp(m.msgtin);
    *text = m.msgtxt;
  }
}

std::string OrDash(const std::string& s) { return s.empty() ? "-" : s; }

const char* NodeStateText(NodeState state) {
  switch (state) {
    case NodeState::kLive:
      return kNodeLive;
    case NodeState::kDead:
      return kNodeDead;
    case NodeState::kLeft:
      return kNodeLeft;
    default:
      return kNodeTakenOver;
  }
}

std::string NodeAgeText(const StatusNode& node) {
  return node.age_seconds < 0 ? "?" : std::to_string(node.age_seconds);
}

namespace {

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

unsigned CodePoint(unsigned char b) {
  return b >= 0x80 && b < 0xA0 ? kWindows1252High[b - 0x80] : b;
}

}  // namespace

bool StampLeft(const std::string& stamp, const CivilTime& now, int64_t* seconds) {
  if (!RunSeconds(stamp, now, seconds)) return false;
  *seconds = -*seconds;
  return true;
}

std::string EndedRunTime(const StatusJob& job) {
  CivilTime end;
  int64_t run = 0;
  if (job.jobeda.size() != 14 || !CivilFromStamp(job.jobeda.c_str(), &end) ||
      !RunSeconds(job.jobsda, end, &run)) {
    return "-";
  }
  return FormatDuration(run);
}

std::string LocalText(const CivilTime& t) {
  return StrFormat("%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute,
                   t.second);
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
    // A cluster's nodes first; a single controller has none.
    for (const StatusNode& node : status.nodes) {
      rows.push_back(
          {node.name, NodeAgeText(node), std::to_string(node.running), NodeStateText(node.state)});
    }
    const std::vector<std::string> node_failures = FailuresOf(status, StatusSection::kNodes);
    if (!rows.empty() || !node_failures.empty()) {
      text += Section(kTitleNodes, node_failures, {"Knoten", "Alter (s)", "Laufend", "Zustand"},
                      {false, true, true, false}, rows);
    }
    rows.clear();
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
    // Beside each the command that puts it back, where one does.
    for (const StatusJob& job : status.stuck) {
      rows.push_back({job.jobrty, job.jobke2, job.jobda1, OrDash(job.jobsts), ReasonText(job),
                      OrDash(CommandHint(job))});
    }
    text += Section(kTitleStuck, FailuresOf(status, StatusSection::kStuck),
                    {"RT", "JOBKE2", "JOBDA1", "Status", "Grund", "Befehl"}, {}, rows);
    rows.clear();
    for (const StatusJob* job : NextRuns(status)) {
      int64_t left = 0;
      const bool known = StampLeft(job->next, now, &left);
      rows.push_back({FormatStamp(job->next), known ? FormatDuration(left) : "?", job->jobrty,
                      job->jobke2, OrDash(job->joburv), OrDash(job->jobcmd)});
    }
    text += Section(kTitleNext, {}, {"NEXT", "LEFT", "RT", "JOBKE2", "JOBURV", "JOBCMD"},
                    {false, true}, rows);
    rows.clear();
    for (const StatusJob& job : status.ended) {
      rows.push_back({FormatStamp(job.ended_at), job.jobrty, job.jobke2, OrDash(job.jobsts),
                      EndedRunTime(job), EndText(job), OrDash(job.joburv), OrDash(job.jobcmd)});
    }
    text += Section(kTitleEnded, FailuresOf(status, StatusSection::kEnded),
                    {"Beendet", "RT", "JOBKE2", "Status", "Laufzeit", "Grund", "JOBURV", "JOBCMD"},
                    {false, false, false, false, true}, rows);
    rows.clear();
    for (const PoolMessage& m : status.messages) {
      std::string time, body;
      ShownMessage(m, &time, &body);
      rows.push_back({time, body});
    }
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
  static const char* const kStateCodes[] = {"running",       "stale",   "no_flag_file",
                                            "not_running",   "no_pass", "database_down",
                                            "reload_failing"};
  std::string json =
      "{" + field("time", LocalText(now)) + ",\"controller\":{" +
      field("state", kStateCodes[static_cast<int>(c.state)]) +
      ",\"current\":" + (ControllerCurrent(c) ? "true" : "false") +
      ",\"pid\":" + (c.pid != 0 ? std::to_string(c.pid) : "null") +
      ",\"flag_file\":" + (c.flag_file ? "true" : "false") +
      ",\"flag_age_seconds\":" + (c.flag_file ? std::to_string(c.flag_age_seconds) : "null") + "," +
      field("program", c.program) + "," + field("text", FormatHealthText(c)) + "}";
  std::vector<std::string> errors;
  if (!status.database_error.empty()) {
    errors.push_back("{" + field("list", "database") + "," + field("text", status.database_error) +
                     "}");
  }
  static const char* const kListCodes[] = {"running",  "waiting", "stuck",
                                           "messages", "ended",   "nodes"};
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
                    field("text", ReasonText(job)) + "," + field("holder", job.holder) + "," +
                    field("joburv", job.joburv) + "," + field("jobcmd", job.jobcmd) + "}");
  }
  json += "," + array("waiting", items);
  items.clear();
  for (const StatusJob& job : status.stuck) {
    items.push_back("{" + field("jobrty", job.jobrty) + "," + field("jobke2", job.jobke2) + "," +
                    field("jobda1", job.jobda1) + "," + field("jobsts", job.jobsts) + "," +
                    number("jobstv", job.jobstv) + "," + field("reason", ReasonCode(job.reason)) +
                    "," + field("text", ReasonText(job)) + "," +
                    field("command", CommandHint(job)) + "}");
  }
  json += "," + array("stuck", items);
  items.clear();
  for (const PoolMessage& m : status.messages) {
    std::string time, body;
    ShownMessage(m, &time, &body);
    items.push_back("{" + field("time", time) + "," + field("text", body) + "}");
  }
  json += "," + array("messages", items);
  json += std::string(",\"fallback\":{\"exists\":") + (status.fallback.exists ? "true" : "false") +
          "," + number("lines", status.fallback.lines) + "}";
  json += "," + number("max_jobs", status.max_jobs) + "," +
          number("running_count", status.running_count);
  items.clear();
  for (const StatusJob& job : status.ended) {
    const std::string run = EndedRunTime(job);
    items.push_back("{" + field("ended", FormatStamp(job.ended_at)) + "," +
                    field("jobrty", job.jobrty) + "," + field("jobke2", job.jobke2) + "," +
                    field("jobsts", job.jobsts) + "," + field("run_time", run == "-" ? "" : run) +
                    "," + field("text", EndText(job)) + "," + field("joburv", job.joburv) + "," +
                    field("jobcmd", job.jobcmd) + "}");
  }
  json += "," + array("ended", items);
  items.clear();
  for (const StatusJob* job : NextRuns(status)) {
    int64_t left = 0;
    const bool known = StampLeft(job->next, now, &left);
    items.push_back("{" + field("next", FormatStamp(job->next)) +
                    ",\"left_seconds\":" + (known ? std::to_string(left) : "null") + "," +
                    field("jobrty", job->jobrty) + "," + field("jobke2", job->jobke2) + "," +
                    field("joburv", job->joburv) + "," + field("jobcmd", job->jobcmd) + "}");
  }
  json += "," + array("next", items);
  items.clear();
  static const char* const kNodeStateCodes[] = {"live", "dead", "taken_over", "left"};
  for (const StatusNode& node : status.nodes) {
    items.push_back(
        "{" + field("name", node.name) + "," + field("status_row", FormatStamp(node.jobsda)) +
        ",\"age_seconds\":" + (node.age_seconds < 0 ? "null" : std::to_string(node.age_seconds)) +
        "," + number("running", node.running) + "," +
        field("state", kNodeStateCodes[static_cast<int>(node.state)]) + "}");
  }
  if (!items.empty()) json += "," + array("nodes", items);
  if (!status.watched_node.empty()) {
    json += ",\"node\":{" + field("name", status.watched_node) +
            ",\"healthy\":" + (StatusHealthy(status) ? "true" : "false") + "," +
            field("text", HealthText(status)) + "}";
  }
  json += "}\n";
  return json;
}

}  // namespace kvs
