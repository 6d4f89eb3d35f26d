#include "tools/status_page.h"

#include <string>

#include "gtest/gtest.h"
#include "platform/fake_platform.h"
#include "tools/job_status_render.h"

namespace kvs {
namespace {

CivilTime Noon() {
  CivilTime t;
  t.year = 2024, t.month = 5, t.day = 1, t.hour = 12;
  return t;
}

JobStatus Healthy() {
  JobStatus status;
  status.controller.state = ControllerState::kRunning;
  status.controller.pid = 4711;
  status.controller.flag_file = true;
  // JOBRTY, JOBKE2, JOBDA1, JOBSTS, JOBNAM, JOBNUM, JOBSDA, next, JOBMRT, JOBSTV.
  status.running.push_back({"01", "Q1", "", "01", "kvssleep", "815", "20240501115000", "", 3600,
                            1, StuckReason::kNone});
  return status;
}

// Catches a value from the tables that reaches the page as markup: a job
// key, program name, command line in a pool message, date or failure text
// holding tags, quotes or an ampersand, and Windows-1252 text sent as
// bytes that are no UTF-8.
TEST(StatusPageTest, TableValuesShowAsText) {
  JobStatus status = Healthy();
  status.running[0].jobke2 = "<script>alert(1)</script>";
  status.running[0].jobnam = "\"><img src=x onerror=alert(1)>";
  status.stuck.push_back(
      {"01", "K'1", "2024<b>", "90", "", "", "", "", 0, 1, StuckReason::kStartFailed});
  status.messages.push_back(
      {"20240501115900", "Der Job <script>alert('x')</script> & co konnte nicht gestartet werden!"});
  status.messages.push_back({"20240501115800", "Pr\xFC" "fung"});
  status.failures.push_back({StatusSection::kWaiting, "SQLSTATE 42000: near '<iframe>'"});

  const std::string page = RenderStatusPage(status, Noon(), "KVS<DB>", "");
  for (const char* markup : {"<script", "<img", "<iframe", "<b>", "'x'", "KVS<DB>"}) {
    EXPECT_EQ(std::string::npos, page.find(markup)) << markup;
  }
  for (const char* text :
       {"<td data-label=\"JOBKE2\">&lt;script&gt;alert(1)&lt;/script&gt;</td>",
        "<td data-label=\"Programm\">&quot;&gt;&lt;img src=x onerror=alert(1)&gt;</td>",
        "<td data-label=\"JOBKE2\">K&#39;1</td>", "<td data-label=\"JOBDA1\">2024&lt;b&gt;</td>",
        "<td class=\"wrap\" data-label=\"Text\">Der Job &lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt; "
        "&amp; co konnte nicht gestartet werden!</td>",
        "<td class=\"wrap\" data-label=\"Text\">Pr\xC3\xBC" "fung</td>",
        "<p class=\"error\">SQLSTATE 42000: near &#39;&lt;iframe&gt;&#39;</p>",
        "Datenquelle KVS&lt;DB&gt;"}) {
    EXPECT_NE(std::string::npos, page.find(text)) << text;
  }
  // Nothing runs and nothing is fetched from elsewhere.
  for (const char* reference : {"<link", "://", "url("}) {
    EXPECT_EQ(std::string::npos, page.find(reference)) << reference;
  }
}

// Catches a page that looks well while the controller is gone, the
// database is away or a list failed, one that raises the alarm for a quiet
// table, a health answer of 200 without a running controller, and a
// request for another path answered with the page.
TEST(StatusPageTest, VerdictAndAnswers) {
  const struct {
    const char* label;
    void (*change)(JobStatus*);
    PageVerdict verdict;
    const char* heading;
  } cases[] = {
      {"all well", [](JobStatus*) {}, PageVerdict::kOk, "<header class=\"ok\"><h1>Alles in Ordnung</h1>"},
      {"stuck job", [](JobStatus* s) { s->stuck.push_back(StatusJob()); }, PageVerdict::kLook,
       "<li>1 Job(s) starten erst nach einem Eingriff wieder</li>"},
      {"near limit", [](JobStatus* s) { s->running[0].jobmrt = 660; }, PageVerdict::kLook,
       "<tr class=\"near\">"},
      {"fallback file", [](JobStatus* s) { s->fallback = {true, 3}; }, PageVerdict::kLook,
       "<header class=\"look\"><h1>Bitte ansehen</h1>"},
      {"not running", [](JobStatus* s) { s->controller.state = ControllerState::kNotRunning; },
       PageVerdict::kFault, "<header class=\"fault\"><h1>St\xC3\xB6rung</h1>"},
      {"stale", [](JobStatus* s) { s->controller.state = ControllerState::kStale; },
       PageVerdict::kFault, "Jobcontroller haengt (PID 4711)"},
      {"database away",
       [](JobStatus* s) {
         s->running.clear();
         s->database_error = "Datenquelle 'KVS' nicht erreichbar oder Anmeldung abgelehnt";
       },
       PageVerdict::kFault, "<li>Datenbank: Datenquelle &#39;KVS&#39; nicht erreichbar"},
      {"list failed",
       [](JobStatus* s) { s->failures.push_back({StatusSection::kMessages, "kaputt"}); },
       PageVerdict::kFault, "<li>kaputt</li>"},
  };
  for (const auto& c : cases) {
    JobStatus status = Healthy();
    c.change(&status);
    EXPECT_EQ(c.verdict, JudgePage(status, Noon())) << c.label;
    const std::string page = RenderStatusPage(status, Noon(), "KVS", "");
    EXPECT_NE(std::string::npos, page.find(c.heading)) << c.label << "\n" << page;
  }

  FakePlatform platform;
  int looks = 0;
  const StatusLook look = [&](JobStatus* status, CivilTime* now) {
    ++looks;
    *status = Healthy();
    *now = Noon();
  };
  const std::string dir = "/nonexistent/kvs/";
  const HttpReply health = AnswerStatusRequest(platform, "/health", look, dir, "KVS", "");
  EXPECT_EQ(503, health.status);
  EXPECT_EQ("Jobcontroller laeuft nicht: kein Prozess /nonexistent/kvs/KVSJOBSTR\n", health.body);
  EXPECT_EQ(404, AnswerStatusRequest(platform, "/status", look, dir, "KVS", "").status);
  EXPECT_EQ(0, looks);
  const HttpReply json = AnswerStatusRequest(platform, "/status.json", look, dir, "KVS", "");
  EXPECT_EQ("application/json", json.content_type);
  EXPECT_EQ(FormatStatusJson(Healthy(), Noon()), json.body);
  const HttpReply page = AnswerStatusRequest(platform, "/", look, dir, "KVS", "03");
  EXPECT_EQ(200, page.status);
  EXPECT_EQ("text/html; charset=utf-8", page.content_type);
  EXPECT_NE(std::string::npos, page.body.find("Stand 2024-05-01 12:00:00, Datenquelle KVS  Laufart "
                                              "03, neu alle 5 Sekunden"));
  EXPECT_EQ(2, looks);
}

}  // namespace
}  // namespace kvs
