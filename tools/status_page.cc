#include "tools/status_page.h"

#include <algorithm>
#include <map>
#include <memory>
#include <string_view>
#include <vector>

#include "diag/text.h"
#include "jobs/run_types.h"
#include "msg/message_pool.h"
#include "tools/job_commands.h"
#include "tools/job_status_render.h"

namespace kvs {

namespace {

constexpr char kHealthPath[] = "/health";
constexpr char kMetricsPath[] = "/metrics";
constexpr int64_t kHourSeconds = 3600;

// One metric: its HELP and TYPE lines and its samples.
std::string Metric(const char* name, const char* help, const std::string& samples,
                   const char* type = "gauge") {
  return std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n" +
         samples;
}

constexpr char kPageStyle[] =
    "body{font:15px/1.4 system-ui,sans-serif;margin:0;color:#1d1d1f;background:#f2f2f5}"
    "header{padding:12px 16px;color:#fff}header.ok{background:#1e7b34}"
    "header.look{background:#9a5b00}header.fault{background:#b00020}"
    "h1{font-size:1.5em;margin:0 0 4px}header p{margin:2px 0}.meta{font-size:.85em;opacity:.9}"
    "main{padding:2px 10px 8px}ul.problems{margin:10px 0;padding:8px 12px 8px 28px;"
    "background:#fff;border-left:4px solid #9a5b00;border-radius:6px}"
    "section{background:#fff;border-radius:8px;margin:10px 0;padding:6px 12px 10px;"
    "box-shadow:0 1px 2px rgba(0,0,0,.12)}h2{font-size:1.05em;margin:6px 0}"
    ".scroll{overflow-x:auto}table{border-collapse:collapse;width:100%}"
    "th,td{text-align:left;padding:4px 8px;border-bottom:1px solid #e3e3e8;white-space:nowrap;"
    "vertical-align:top}th{font-weight:600;color:#48484d}td.num{text-align:right;"
    "font-variant-numeric:tabular-nums}td.wrap{white-space:normal;word-break:break-word;"
    "min-width:14em}tr.near td{background:#fff0c2}meter{width:5em;vertical-align:middle;"
    "margin-left:6px}.error{color:#b00020;margin:4px 0}.none{color:#6e6e73;margin:4px 0}"
    "footer{padding:0 16px 16px;color:#55555a;font-size:.85em}"
    // A phone gets each row as lines of "label: value" instead of columns
    // to scroll.
    "@media (max-width:640px){thead{display:none}table,tbody,tr,td{display:block}"
    "tr{border-bottom:1px solid #e3e3e8;padding:4px 0}td,td.num{border:0;padding:1px 4px;"
    "text-align:left;white-space:normal;min-width:0}td::before{content:attr(data-label) \": \";"
    "color:#6e6e73}}";

// Text for an HTML text node or a quoted attribute value.
std::string Html(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        // Control characters are no text; a blank keeps the words apart.
        out += static_cast<unsigned char>(c) < 0x20 ? ' ' : c;
    }
  }
  return out;
}

struct Cell {
  std::string html;  // already escaped
  const char* css = "";
};

Cell Text(const std::string& value, const char* css = "") { return {Html(value), css}; }

// A section: its title with the row count, its list's failures, then the
// table or "(keine)".
std::string Section(const char* title, const JobStatus& status, StatusSection section,
                    const std::vector<const char*>& headers,
                    const std::vector<std::vector<Cell>>& rows,
                    const std::vector<bool>& near = {}, bool failures = true) {
  std::string html = "<section><h2>" + Html(title) + " (" + std::to_string(rows.size()) + ")</h2>";
  bool failed = false;
  for (const ListFailure& f : status.failures) {
    if (!failures || f.section != section) continue;
    html += "<p class=\"error\">" + Html(f.text) + "</p>";
    failed = true;
  }
  if (rows.empty()) {
    if (!failed) html += "<p class=\"none\">(keine)</p>";
    return html + "</section>\n";
  }
  html += "<div class=\"scroll\"><table><thead><tr>";
  for (const char* h : headers) html += "<th>" + Html(h) + "</th>";
  html += "</tr></thead><tbody>\n";
  for (size_t r = 0; r < rows.size(); ++r) {
    html += r < near.size() && near[r] ? "<tr class=\"near\">" : "<tr>";
    for (size_t i = 0; i < rows[r].size() && i < headers.size(); ++i) {
      const Cell& cell = rows[r][i];
      html += std::string("<td") + (*cell.css ? std::string(" class=\"") + cell.css + "\"" : "") +
              " data-label=\"" + Html(headers[i]) + "\">" + cell.html + "</td>";
    }
    html += "</tr>\n";
  }
  return html + "</tbody></table></div></section>\n";
}

std::string FallbackText(const FallbackFileState& fallback) {
  const std::string state =
      fallback.exists ? StrFormat(kFallbackPresent, static_cast<long>(fallback.lines))
                      : std::string(kFallbackAbsent);
  return RightTrim(StrFormat(kFallbackLine, kFallbackMessageFile, state.c_str()));
}

long NearLimitCount(const JobStatus& status, const CivilTime& now) {
  long n = 0;
  for (const StatusJob& job : status.running) {
    int64_t run = 0;
    n += RunSeconds(job.jobsda, now, &run) && NearRunTimeLimit(run, job.jobmrt);
  }
  return n;
}

// Nodes of the cluster that are neither live nor stopped orderly.
long SilentNodeCount(const JobStatus& status) {
  return static_cast<long>(
      std::count_if(status.nodes.begin(), status.nodes.end(), [](const StatusNode& n) {
        return n.state != NodeState::kLive && n.state != NodeState::kLeft;
      }));
}

bool IsWordChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '$';
}

// Whether text ends with one of the words a driver names a login with.
bool EndsWithLoginWord(std::string_view text) {
  for (std::string_view word : {"user ", "login ", "principal "}) {
    if (text.size() < word.size()) continue;
    const std::string_view tail = text.substr(text.size() - word.size());
    bool same = true;
    for (size_t i = 0; i < word.size() && same; ++i) {
      const char c = tail[i];
      same = (c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c) == word[i];
    }
    if (same) return true;
  }
  return false;
}

// A label value in quotes, escaped as the exposition format wants it.
std::string MetricLabel(std::string_view value) {
  // The rows' texts are Windows-1252; a scrape is UTF-8 throughout.
  std::string out = "\"";
  for (char c : Utf8FromWindows1252(value)) {
    if (c == '\\' || c == '"') out += '\\';
    out += c == '\n' ? std::string("\\n") : std::string(1, c);
  }
  return out + "\"";
}

// The controller's counters since its start, read from its pass state
// file: counters, and the run times of its ended jobs as a histogram.
std::string CounterMetrics(const RunCounters& c, const std::string& node) {
  const std::string plain = node.empty() ? "" : "{" + node + "}";
  const std::string with = node.empty() ? "" : node + ",";
  auto one = [&](const char* name, const char* help, uint64_t value) {
    return Metric(name, help, std::string(name) + plain + " " + std::to_string(value) + "\n",
                  "counter");
  };
  std::string text = Metric(
      "kvs_controller_start_time_seconds",
      "When the controller started (seconds since 1970): its counters count from then.",
      "kvs_controller_start_time_seconds" + plain + " " + std::to_string(c.started) + "\n");
  text += one("kvs_passes_total", "Passes of the main loop.", c.passes);
  std::string starts;
  for (const auto& [type, n] : c.starts) {
    starts += "kvs_job_starts_total{" + with + "run_type=" + MetricLabel(type) + "} " +
              std::to_string(n) + "\n";
  }
  text += Metric("kvs_job_starts_total", "Jobs started, by run type.", starts, "counter");
  text += one("kvs_job_start_failures_total", "Job processes that could not be created (90).",
              c.failed_starts);
  text += Metric("kvs_job_ends_total", "Job ends written, by state (98 ended, 99 ended by the controller).",
                 "kvs_job_ends_total{" + with + "state=\"98\"} " + std::to_string(c.ended) +
                     "\nkvs_job_ends_total{" + with + "state=\"99\"} " +
                     std::to_string(c.terminated) + "\n",
                 "counter");
  std::string causes;
  for (size_t r = 0; r < c.by_reason.size(); ++r) {
    causes += "kvs_job_kills_total{" + with + "cause=\"" +
              EndCauseWord(static_cast<EndCause>(r)) + "\"} " + std::to_string(c.by_reason[r]) +
              "\n";
  }
  text += Metric("kvs_job_kills_total",
                 "Job processes the controller ended, by cause (run_time, database_lost, "
                 "service_gone, taken_over).",
                 causes, "counter");
  text += one("kvs_database_outages_total", "Times the database was lost.", c.database_outages);
  std::string histogram;
  uint64_t below = 0;
  for (size_t b = 0; b < c.run_time_buckets.size(); ++b) {
    below += c.run_time_buckets[b];
    histogram += "kvs_job_run_seconds_bucket{" + with + "le=\"" + RunTimeBucketBound(b) + "\"} " +
                 std::to_string(below) + "\n";
  }
  histogram += "kvs_job_run_seconds_sum" + plain + " " + std::to_string(c.run_time_sum) + "\n";
  histogram += "kvs_job_run_seconds_count" + plain + " " + std::to_string(c.run_time_count) + "\n";
  return text + Metric("kvs_job_run_seconds", "Run times of the jobs that ended.", histogram,
                       "histogram");
}

std::string HostPort(const ServeAddress& where) {
  const bool v6 = where.address.find(':') != std::string::npos;
  return (v6 ? "[" + where.address + "]" : where.address) + ":" + std::to_string(where.port);
}

}  // namespace

bool ParseServeAddress(const std::string& text, ServeAddress* out) {
  ServeAddress where;
  std::string port = text;
  if (!text.empty() && text[0] == '[') {
    const size_t close = text.find("]:");
    if (close == std::string::npos) return false;
    where.address = text.substr(1, close - 1);
    port = text.substr(close + 2);
  } else if (const size_t colon = text.rfind(':'); colon != std::string::npos) {
    where.address = text.substr(0, colon);
    port = text.substr(colon + 1);
    // An IPv6 address without brackets cannot say where its port starts.
    if (where.address.find(':') != std::string::npos) return false;
  }
  if (where.address.empty() || port.empty() || port.size() > 5) return false;
  if (!AllDigits(port)) return false;
  where.port = LeadingInt(port);
  if (where.port < 1 || where.port > 65535) return false;
  *out = where;
  return true;
}

std::string HideLoginName(std::string_view text, std::string_view login) {
  static constexpr char kHidden[] = "***";
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (c == '\'' || c == '"' || c == '`') {
      const size_t close = text.find(c, i + 1);
      if (close != std::string_view::npos && close > i + 1) {
        const std::string_view inner = text.substr(i + 1, close - i - 1);
        const bool account = close + 1 < text.size() && text[close + 1] == '@';
        if (account || EndsWithLoginWord(text.substr(0, i)) || (!login.empty() && inner == login)) {
          out += c;
          out += kHidden;
          out += c;
          i = close + 1;
          continue;
        }
      }
    }
    if (!login.empty() && text.compare(i, login.size(), login) == 0 &&
        (i == 0 || !IsWordChar(text[i - 1])) &&
        (i + login.size() == text.size() || !IsWordChar(text[i + login.size()]))) {
      out += kHidden;
      i += login.size();
      continue;
    }
    out += c;
    ++i;
  }
  return out;
}

PageVerdict JudgePage(const JobStatus& status, const CivilTime& now) {
  if (!StatusHealthy(status) || !status.database_error.empty() || !status.failures.empty()) {
    return PageVerdict::kFault;
  }
  if (!status.stuck.empty() || status.fallback.exists || NearLimitCount(status, now) > 0 ||
      SilentNodeCount(status) > 0) {
    return PageVerdict::kLook;
  }
  return PageVerdict::kOk;
}

std::string RenderStatusPage(const JobStatus& status, const CivilTime& now,
                             const std::string& data_source, const std::string& run_type) {
  static const char* const kVerdictCss[] = {"ok", "look", "fault"};
  static const char* const kVerdictText[] = {kPageVerdictOk, kPageVerdictLook, kPageVerdictFault};
  const int verdict = static_cast<int>(JudgePage(status, now));
  const std::string stand = StrFormat("%04d-%02d-%02d %02d:%02d:%02d", now.year, now.month,
                                      now.day, now.hour, now.minute, now.second);
  std::string meta = StrFormat(kPageStand, stand.c_str(), data_source.c_str());
  if (!run_type.empty()) meta += StrFormat(kStatusHeaderType, run_type.c_str());
  meta += MaxJobsText(status);
  meta += StrFormat(kPageRefresh, kPageRefreshSeconds);

  std::string html =
      "<!DOCTYPE html>\n<html lang=\"de\"><head><meta charset=\"utf-8\">"
      "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
      "<meta http-equiv=\"refresh\" content=\"" + std::to_string(kPageRefreshSeconds) + "\">"
      "<title>" + Html(kVerdictText[verdict]) + " - Jobcontroller</title><style>" + kPageStyle +
      "</style></head>\n<body><header class=\"" + kVerdictCss[verdict] + "\"><h1>" +
      Html(kVerdictText[verdict]) + "</h1><p id=\"health\">" + Html(HealthText(status)) + "</p>" +
      (status.watched_node.empty() ? ""
                                   : "<p>" + Html(FormatHealthText(status.controller)) + "</p>") +
      "<p class=\"meta\">" + Html(meta) + "</p></header>\n<main>";

  std::vector<std::string> problems;
  if (!status.database_error.empty()) {
    problems.push_back(StrFormat(kPageDatabase, status.database_error.c_str()));
  }
  for (const ListFailure& f : status.failures) problems.push_back(f.text);
  if (!status.stuck.empty()) {
    problems.push_back(StrFormat(kPageStuckCount, static_cast<long>(status.stuck.size())));
  }
  if (const long near = NearLimitCount(status, now); near > 0) {
    problems.push_back(StrFormat(kPageNearLimit, near));
  }
  if (status.fallback.exists) problems.push_back(kPageFallback);
  if (const long silent = SilentNodeCount(status); silent > 0) {
    problems.push_back(StrFormat(kPageNodesSilent, silent));
  }
  if (!problems.empty()) {
    html += "<ul class=\"problems\">";
    for (const std::string& p : problems) html += "<li>" + Html(p) + "</li>";
    html += "</ul>\n";
  }

  // Without a connection no list was read: the problem above says why.
  if (status.database_error.empty()) {
    std::vector<std::vector<Cell>> rows;
    std::vector<bool> near;
    // A cluster's nodes first; a single controller has none.
    for (const StatusNode& node : status.nodes) {
      rows.push_back({Text(node.name), Text(NodeAgeText(node), "num"),
                      Text(std::to_string(node.running), "num"), Text(NodeStateText(node.state))});
      near.push_back(node.state != NodeState::kLive);
    }
    if (!rows.empty() ||
        std::any_of(status.failures.begin(), status.failures.end(),
                    [](const ListFailure& f) { return f.section == StatusSection::kNodes; })) {
      html += Section(kTitleNodes, status, StatusSection::kNodes,
                      {"Knoten", "Alter (s)", "Laufend", "Zustand"}, rows, near);
    }
    rows.clear();
    near.clear();
    for (const StatusJob& job : status.running) {
      int64_t run = 0;
      const bool known = RunSeconds(job.jobsda, now, &run);
      std::string time = Html(known ? FormatDuration(run) : "?");
      if (known && job.jobmrt > 0) {
        time += "<meter min=\"0\" max=\"" + std::to_string(job.jobmrt) + "\" high=\"" +
                std::to_string(static_cast<int64_t>(job.jobmrt) * 9 / 10) + "\" value=\"" +
                std::to_string(run < 0 ? 0 : run) + "\"></meter>";
      }
      near.push_back(known && NearRunTimeLimit(run, job.jobmrt));
      rows.push_back({Text(job.jobrty), Text(job.jobke2), Text(job.jobnam), Text(job.jobnum, "num"),
                      Text(FormatStamp(job.jobsda)), {time, "num"},
                      Text(job.jobmrt > 0 ? FormatDuration(job.jobmrt) : "-", "num")});
    }
    html += Section(kTitleRunning, status, StatusSection::kRunning,
                    {"RT", "JOBKE2", "Programm", "PID", "Gestartet", "Laufzeit", "Max."}, rows,
                    near);
    rows.clear();
    for (const StatusJob& job : status.waiting) {
      rows.push_back({Text(job.jobrty), Text(job.jobke2), Text(job.jobda1), Text(OrDash(job.jobsts)),
                      Text(StartText(job)), Text(std::to_string(job.jobstv), "num")});
    }
    html += Section(kTitleWaiting, status, StatusSection::kWaiting,
                    {"RT", "JOBKE2", "JOBDA1", "Status", "Start ab", "Versuche"}, rows);
    rows.clear();
    // The page stays read-only: it shows the command that puts a job back.
    for (const StatusJob& job : status.stuck) {
      rows.push_back({Text(job.jobrty), Text(job.jobke2), Text(job.jobda1), Text(OrDash(job.jobsts)),
                      Text(ReasonText(job), "wrap"), Text(OrDash(CommandHint(job)), "wrap")});
    }
    html += Section(kTitleStuck, status, StatusSection::kStuck,
                    {"RT", "JOBKE2", "JOBDA1", "Status", "Grund", "Befehl"}, rows);
    rows.clear();
    for (const StatusJob* job : NextRuns(status)) {
      int64_t left = 0;
      const bool known = StampLeft(job->next, now, &left);
      rows.push_back({Text(FormatStamp(job->next)), Text(known ? FormatDuration(left) : "?", "num"),
                      Text(job->jobrty), Text(job->jobke2), Text(OrDash(job->joburv)),
                      Text(OrDash(job->jobcmd), "wrap")});
    }
    html += Section(kTitleNext, status, StatusSection::kWaiting,
                    {"NEXT", "LEFT", "RT", "JOBKE2", "JOBURV", "JOBCMD"}, rows, {}, false);
    rows.clear();
    for (const StatusJob& job : status.ended) {
      rows.push_back({Text(FormatStamp(job.ended_at)), Text(job.jobrty), Text(job.jobke2),
                      Text(OrDash(job.jobsts)), Text(EndedRunTime(job), "num"),
                      Text(EndText(job), "wrap"), Text(OrDash(job.joburv)),
                      Text(OrDash(job.jobcmd), "wrap")});
    }
    html += Section(kTitleEnded, status, StatusSection::kEnded,
                    {"Beendet", "RT", "JOBKE2", "Status", "Laufzeit", "Grund", "JOBURV", "JOBCMD"},
                    rows);
    rows.clear();
    for (const PoolMessage& m : status.messages) {
      std::string time, body;
      ShownMessage(m, &time, &body);
      rows.push_back({Text(time), Text(body, "wrap")});
    }
    html += Section(kTitleMessages, status, StatusSection::kMessages, {"Zeit", "Text"}, rows);
  }
  html += "</main><footer>" + Html(FallbackText(status.fallback)) + "</footer></body></html>\n";
  return Utf8FromWindows1252(html);
}

std::string RenderMetrics(const JobStatus& status, const CivilTime& now) {
  const ControllerHealth& c = status.controller;
  std::string text = Metric("kvs_controller_up",
                            "Whether the controller runs and its passes complete (1) or not (0).",
                            std::string("kvs_controller_up ") +
                                (ControllerCurrent(c) ? "1" : "0") + "\n");
  // Without DYE there is no age to tell: the series is left out.
  text += Metric("kvs_controller_flag_file_age_seconds",
                 "Seconds since the controller last refreshed its flag file DYE.",
                 c.flag_file ? "kvs_controller_flag_file_age_seconds " +
                                   std::to_string(c.flag_age_seconds) + "\n"
                             : "");
  text += Metric("kvs_max_jobs", "MAXJOBS of the controller's KVSJOBCTL.INI.",
                 "kvs_max_jobs " + std::to_string(status.max_jobs) + "\n");
  text += Metric("kvs_build_info", "The release of kvsjobstat and the database's dialect.",
                 "kvs_build_info{version=" + MetricLabel(KVS_VERSION) +
                     ",dialect=" + MetricLabel(status.db_system) + "} 1\n");
  if (!status.nodes.empty()) {
    std::string age, running, up;
    for (const StatusNode& node : status.nodes) {
      const std::string label = "{node=" + MetricLabel(node.name) + "} ";
      if (node.age_seconds >= 0) {
        age += "kvs_node_status_age_seconds" + label + std::to_string(node.age_seconds) + "\n";
      }
      running += "kvs_node_jobs_running" + label + std::to_string(node.running) + "\n";
      up += "kvs_node_up" + label + (node.state == NodeState::kLive ? "1" : "0") + "\n";
    }
    text +=
        Metric("kvs_node_status_age_seconds",
               "Seconds since the node last wrote its status row, by the database's clock.", age);
    text += Metric("kvs_node_jobs_running", "Jobs running (state 01) the node started.", running);
    text +=
        Metric("kvs_node_up",
               "Whether the node wrote its status row within KNOTENTIMEOUT (1) or not (0).", up);
  }
  // With KNOTEN every series of the jobs names the node that reads them.
  const std::string node = status.own_node.empty() ? "" : "node=" + MetricLabel(status.own_node);
  const std::string node_label = node.empty() ? "" : node + ",";
  if (c.pass_known && c.pass.counters.started != 0) text += CounterMetrics(c.pass.counters, node);
  if (c.pass_known && !c.pass.last_complete.empty()) {
    int64_t ago = 0;
    if (RunSeconds(c.pass.last_complete, now, &ago)) {
      text += Metric("kvs_last_complete_pass_age_seconds",
                     "Seconds since the controller's last complete pass.",
                     "kvs_last_complete_pass_age_seconds " + std::to_string(ago) + "\n");
    }
  }
  const bool read = status.database_error.empty() && status.failures.empty();
  text += Metric("kvs_job_lists_read", "Whether every job list could be read (1) or not (0).",
                 std::string("kvs_job_lists_read ") + (read ? "1" : "0") + "\n");
  // A list that could not be read gives no count rather than a false 0.
  if (!read) return text;
  struct Counts {
    int64_t running = 0, waiting = 0, stuck = 0, ended = 0;
  };
  std::map<std::string, Counts> by_type;
  for (const RunTypeRule& rule : kRunTypeRules) by_type[rule.run_type.text()];
  for (const StatusJob& j : status.running) ++by_type[j.jobrty].running;
  for (const StatusJob& j : status.waiting) ++by_type[j.jobrty].waiting;
  for (const StatusJob& j : status.stuck) ++by_type[j.jobrty].stuck;
  for (const StatusJob& j : status.ended) {
    int64_t ago = 0;
    if (RunSeconds(j.ended_at, now, &ago) && ago >= 0 && ago < kHourSeconds) ++by_type[j.jobrty].ended;
  }
  const auto series = [&](const char* name, int64_t Counts::*field) {
    std::string lines;
    for (const auto& [type, counts] : by_type) {
      lines += std::string(name) + "{" + node_label + "run_type=" + MetricLabel(type) + "} " +
               std::to_string(counts.*field) + "\n";
    }
    return lines;
  };
  text += Metric("kvs_jobs_running", "Jobs running (state 01) by run type.",
                 series("kvs_jobs_running", &Counts::running));
  text += Metric("kvs_jobs_waiting", "Jobs the pass will start once due and free, by run type.",
                 series("kvs_jobs_waiting", &Counts::waiting));
  text += Metric("kvs_jobs_needing_someone",
                 "Jobs that start again only after someone acts, by run type.",
                 series("kvs_jobs_needing_someone", &Counts::stuck));
  text += Metric("kvs_jobs_ended_last_hour",
                 "Rows of ended jobs whose last end lies in the last hour, by run type (a job "
                 "that ended many times counts once; kvs_job_ends_total counts every end).",
                 series("kvs_jobs_ended_last_hour", &Counts::ended));
  int64_t oldest = -1;
  for (const StatusJob& j : status.waiting) {
    int64_t age = 0;
    if (RunSeconds(j.jobda1, now, &age) && age > oldest) oldest = age;
  }
  text += Metric("kvs_oldest_waiting_job_age_seconds",
                 "Seconds since the oldest waiting job was registered (its JOBDA1); 0 when none "
                 "waits.",
                 "kvs_oldest_waiting_job_age_seconds" + (node.empty() ? "" : "{" + node + "}") +
                     " " + std::to_string(oldest < 0 ? 0 : oldest) + "\n");
  return text;
}

HttpReply AnswerStatusRequest(Platform& platform, const std::string& path, const StatusLook& look,
                              const std::string& program_dir, const std::string& data_source,
                              const std::string& run_type, const std::string& login,
                              const NodeLook& node_look) {
  HttpReply reply;
  if (path == kHealthPath && node_look) {
    // The watched node: its status row, from a recent reading or read now.
    JobStatus status;
    node_look(platform, &status);
    reply.status = StatusHealthy(status) ? 200 : 503;
    reply.body = Utf8FromWindows1252(HealthText(status)) + "\n";
    return reply;
  }
  if (path == kHealthPath) {
    // The controller alone: a monitor's answer needs no database.
    const ControllerHealth health = CheckController(platform, program_dir);
    reply.status = ControllerCurrent(health) ? 200 : 503;
    reply.body = Utf8FromWindows1252(FormatHealthText(health)) + "\n";
    return reply;
  }
  if (path != "/" && path != "/status.json" && path != kMetricsPath) {
    reply.status = 404;
    reply.body = kPageNotFound;
    return reply;
  }
  JobStatus status;
  CivilTime now;
  look(&status, &now);
  status.database_error = HideLoginName(status.database_error, login);
  for (ListFailure& f : status.failures) f.text = HideLoginName(f.text, login);
  if (path == kMetricsPath) {
    reply.content_type = kMetricsContentType;
    reply.body = RenderMetrics(status, now);
  } else if (path == "/") {
    reply.content_type = "text/html; charset=utf-8";
    reply.body = RenderStatusPage(status, now, data_source, run_type);
  } else {
    reply.content_type = "application/json";
    reply.body = FormatStatusJson(status, now);
  }
  return reply;
}

int ServeStatusPage(Platform& platform, const std::string& address, const StatusLook& look,
                    const std::string& program_dir, const std::string& data_source,
                    const std::string& run_type, std::string* error,
                    const std::function<bool()>& stop, const std::string& login,
                    const NodeLook& node_look) {
  ServeAddress where;
  if (!ParseServeAddress(address, &where)) {
    *error = kErrServeValue;
    return kStatusExitUsage;
  }
  HttpServer server;
  if (server.Bind(where.address, where.port) != 0) {
    *error = StrFormat(kErrServeBind, where.address.c_str(), where.port);
    return kStatusExitServeFailed;
  }
  platform.Print(StrFormat(kServeListening, HostPort(where).c_str()));
  // The health answer runs beside the page on a thread of its own; the
  // real platform keeps state of its looks at processes, so it gets one
  // of its own.
  const std::unique_ptr<Platform> health_platform = CreatePlatform();
  const int rc = server.Serve(
      [&](const std::string& path) {
        Platform& answering = path == kHealthPath ? *health_platform : platform;
        return AnswerStatusRequest(answering, path, look, program_dir, data_source, run_type, login,
                                   node_look);
      },
      stop, {kHealthPath});
  if (rc != 0) {
    *error = kErrServeFailed;
    return kStatusExitServeFailed;
  }
  return kStatusExitOk;
}

}  // namespace kvs
