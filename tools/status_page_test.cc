#include "tools/status_page.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "platform/fake_platform.h"
#include "tools/http/http_client.h"
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
  status.controller.flag_age_seconds = 12;
  status.max_jobs = 3;
  status.running_count = 1;
  // JOBRTY, JOBKE2, JOBDA1, JOBSTS, JOBNAM, JOBNUM, JOBSDA, next, JOBMRT, JOBSTV.
  status.running.push_back({"01", "Q1", "", "01", "kvssleep", "815", "20240501115000", "", 3600,
                            1, StuckReason::kNone});
  return status;
}

// A live node with two running jobs and a silent one.
std::vector<StatusNode> TwoNodes() {
  return {{"a", "20240501095957", 3, 2, NodeState::kLive},
          {"b", "20240501095830", 90, 0, NodeState::kDead}};
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
      {"all well", [](JobStatus*) {}, PageVerdict::kOk,
       "<header class=\"ok\"><h1>Alles in Ordnung</h1>"},
      {"stuck job", [](JobStatus* s) { s->stuck.push_back(StatusJob()); }, PageVerdict::kLook,
       "<li>1 Job(s) starten erst nach einem Eingriff wieder</li>"},
      {"near limit", [](JobStatus* s) { s->running[0].jobmrt = 660; }, PageVerdict::kLook,
       "<tr class=\"near\">"},
      {"fallback file",
       [](JobStatus* s) {
         s->fallback = {true, 3};
       },
       PageVerdict::kLook, "<header class=\"look\"><h1>Bitte ansehen</h1>"},
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
       [](JobStatus* s) {
         s->failures.push_back({StatusSection::kMessages, "kaputt"});
       },
       PageVerdict::kFault, "<li>kaputt</li>"},
      {"node silent", [](JobStatus* s) { s->nodes = TwoNodes(); }, PageVerdict::kLook,
       "<li>1 Knoten still: Statuszeile \xC3\xA4lter als KNOTENTIMEOUT</li>"},
      {"node table", [](JobStatus* s) { s->nodes = TwoNodes(); }, PageVerdict::kLook,
       "<h2>Knoten (2)</h2>"},
      {"silent node marked", [](JobStatus* s) { s->nodes = TwoNodes(); }, PageVerdict::kLook,
       "<tr class=\"near\"><td data-label=\"Knoten\">b</td>"},
      {"watched node silent",
       [](JobStatus* s) { s->nodes = TwoNodes(), s->nodes_read = true, s->watched_node = "B"; },
       PageVerdict::kFault, "<p id=\"health\">Knoten b laeuft nicht: Statuszeile seit 0:01:30"},
      {"watched node live",
       [](JobStatus* s) {
         s->nodes = {TwoNodes()[0]}, s->nodes_read = true, s->watched_node = "a";
       },
       PageVerdict::kOk, "<p id=\"health\">Knoten a laeuft, Statuszeile vor 0:00:03 geschrieben"},
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
  // What a driver says on a refused statement or login names the account.
  const StatusLook refused = [&](JobStatus* status, CivilTime* now) {
    *status = Healthy();
    status->failures.push_back(
        {StatusSection::kWaiting, "42000: SELECT command denied to user 'kvs'@'localhost'"});
    *now = Noon();
  };
  for (const char* path : {"/", "/status.json"}) {
    const std::string body = AnswerStatusRequest(platform, path, refused, "/", "KVS", "", "kvs").body;
    EXPECT_NE(std::string::npos, body.find("denied to user ")) << path;
    EXPECT_EQ(std::string::npos, body.find("'kvs'")) << path;
  }
  const std::string dir = "/nonexistent/kvs/";
  const HttpReply health = AnswerStatusRequest(platform, "/health", look, dir, "KVS", "");
  EXPECT_EQ(503, health.status);
  EXPECT_EQ("Jobcontroller laeuft nicht: kein Prozess /nonexistent/kvs/KVSJOBSTR\n", health.body);
  EXPECT_EQ(404, AnswerStatusRequest(platform, "/status", look, dir, "KVS", "").status);
  // --node: the node's health from its look, 503 for a node not live or
  // not read.
  const struct {
    bool read;
    const char* node;
    int status;
    const char* body;
  } node_health[] = {
      {true, "A", 200, "Knoten a laeuft, Statuszeile vor 0:00:03 geschrieben\n"},
      {true, "b", 503,
       "Knoten b laeuft nicht: Statuszeile seit 0:01:30 nicht geschrieben (KNOTENTIMEOUT 60 s)\n"},
      {false, "a", 503, "Knoten a unbekannt: Statuszeilen nicht lesbar\n"},
  };
  for (const auto& n : node_health) {
    const NodeLook node_look = [&](Platform&, JobStatus* status) {
      status->watched_node = n.node;
      status->nodes_read = n.read;
      if (n.read) status->nodes = TwoNodes();
    };
    const HttpReply reply =
        AnswerStatusRequest(platform, "/health", look, dir, "KVS", "", "", node_look);
    EXPECT_EQ(n.status, reply.status) << n.body;
    EXPECT_EQ(n.body, reply.body);
  }
  EXPECT_EQ(0, looks);
  const HttpReply json = AnswerStatusRequest(platform, "/status.json", look, dir, "KVS", "");
  EXPECT_EQ("application/json", json.content_type);
  EXPECT_EQ(FormatStatusJson(Healthy(), Noon()), json.body);
  const HttpReply page = AnswerStatusRequest(platform, "/", look, dir, "KVS", "03");
  EXPECT_EQ(200, page.status);
  EXPECT_EQ("text/html; charset=utf-8", page.content_type);
  EXPECT_NE(std::string::npos, page.body.find("Stand 2024-05-01 12:00:00, Datenquelle KVS  Laufart "
                                              "03  MAXJOBS 3, laufend 1, neu alle 5 Sekunden"));
  EXPECT_EQ(2, looks);

  // /metrics: every run type of the pass with its counts, one ended
  // within the hour (the one at 10:59:59 is not), and without the job
  // counts once a list failed.
  const StatusLook metrics_look = [&](JobStatus* status, CivilTime* now) {
    ++looks;
    *status = Healthy();
    status->running[0].jobrty = "03";
    StatusJob job;
    job.jobrty = "01";
    status->waiting = {job, job};
    job.jobrty = "05";
    status->stuck = {job};
    job.jobrty = "06";
    job.ended_at = "20240501113000";
    status->ended = {job};
    job.jobrty = "01";
    job.ended_at = "20240501105959";
    status->ended.push_back(job);
    *now = Noon();
  };
  const HttpReply metrics = AnswerStatusRequest(platform, "/metrics", metrics_look, dir, "KVS", "");
  EXPECT_EQ(3, looks);
  EXPECT_EQ(200, metrics.status);
  EXPECT_EQ("text/plain; version=0.0.4; charset=utf-8", metrics.content_type);
  const std::string head =
      "# HELP kvs_controller_up Whether the controller runs and its passes complete (1) or not "
      "(0).\n"
      "# TYPE kvs_controller_up gauge\n"
      "kvs_controller_up 1\n"
      "# HELP kvs_controller_flag_file_age_seconds Seconds since the controller last refreshed its "
      "flag file DYE.\n"
      "# TYPE kvs_controller_flag_file_age_seconds gauge\n"
      "kvs_controller_flag_file_age_seconds 12\n"
      "# HELP kvs_max_jobs MAXJOBS of the controller's KVSJOBCTL.INI.\n"
      "# TYPE kvs_max_jobs gauge\n"
      "kvs_max_jobs 3\n"
      "# HELP kvs_build_info The release of kvsjobstat and the database's dialect.\n"
      "# TYPE kvs_build_info gauge\n"
      "kvs_build_info{version=\"" KVS_VERSION "\",dialect=\"\"} 1\n"
      "# HELP kvs_job_lists_read Whether every job list could be read (1) or not (0).\n"
      "# TYPE kvs_job_lists_read gauge\n";
  std::string expected = head + "kvs_job_lists_read 1\n";
  const struct {
    const char* name;
    const char* help;
    const char* counts;  // 01 03 04 05 06 07 08 09
  } series[] = {
      {"kvs_jobs_running", "Jobs running (state 01) by run type.", "01000000"},
      {"kvs_jobs_waiting", "Jobs the pass will start once due and free, by run type.", "20000000"},
      {"kvs_jobs_needing_someone", "Jobs that start again only after someone acts, by run type.",
       "00010000"},
      {"kvs_jobs_ended_last_hour",
       "Rows of ended jobs whose last end lies in the last hour, by run type (a job that ended "
       "many times counts once; kvs_job_ends_total counts every end).",
       "00001000"},
  };
  const char* const types[] = {"01", "03", "04", "05", "06", "07", "08", "09"};
  for (const auto& m : series) {
    expected += std::string("# HELP ") + m.name + " " + m.help + "\n# TYPE " + m.name + " gauge\n";
    for (int i = 0; i < 8; ++i) {
      expected += std::string(m.name) + "{run_type=\"" + types[i] + "\"} " + m.counts[i] + "\n";
    }
  }
  expected +=
      "# HELP kvs_oldest_waiting_job_age_seconds Seconds since the oldest waiting job was "
      "registered (its JOBDA1); 0 when none waits.\n"
      "# TYPE kvs_oldest_waiting_job_age_seconds gauge\n"
      "kvs_oldest_waiting_job_age_seconds 0\n";
  EXPECT_EQ(expected, metrics.body);
  JobStatus failed = Healthy();
  failed.failures.push_back({StatusSection::kEnded, "kaputt"});
  failed.controller.flag_file = false;
  failed.controller.state = ControllerState::kNoFlagFile;
  std::string without_dye = head + "kvs_job_lists_read 0\n";
  without_dye.replace(without_dye.find("kvs_controller_up 1"), 19, "kvs_controller_up 0");
  const std::string age = "kvs_controller_flag_file_age_seconds 12\n";
  without_dye.erase(without_dye.find(age), age.size());
  EXPECT_EQ(without_dye, RenderMetrics(failed, Noon()));
  // Each node's gauges before the job counts; an unknown age left out.
  failed.nodes = TwoNodes();
  failed.nodes[1].age_seconds = -1;
  EXPECT_EQ(0u,
            RenderMetrics(failed, Noon())
                .find(without_dye.substr(0, without_dye.find("# HELP kvs_job_lists_read")) +
                      "# HELP kvs_node_status_age_seconds Seconds since the node last wrote its "
                      "status row, by the database's clock.\n"
                      "# TYPE kvs_node_status_age_seconds gauge\n"
                      "kvs_node_status_age_seconds{node=\"a\"} 3\n"
                      "# HELP kvs_node_jobs_running Jobs running (state 01) the node started.\n"
                      "# TYPE kvs_node_jobs_running gauge\n"
                      "kvs_node_jobs_running{node=\"a\"} 2\n"
                      "kvs_node_jobs_running{node=\"b\"} 0\n"
                      "# HELP kvs_node_up Whether the node wrote its status row within "
                      "KNOTENTIMEOUT (1) or not (0).\n"
                      "# TYPE kvs_node_up gauge\n"
                      "kvs_node_up{node=\"a\"} 1\n"
                      "kvs_node_up{node=\"b\"} 0\n"
                      "# HELP kvs_job_lists_read"));
}

// Catches a login name left in a driver's message: MySQL's account
// 'user'@'host', SQL Server's login and principal, the name itself when
// known; and a scrub that eats table or data source names that merely
// contain it.
TEST(StatusPageTest, DriverMessagesWithoutLoginName) {
  const struct {
    const char* text;
    const char* login;
    const char* expected;
  } cases[] = {
      {"Access denied for user 'kvs'@'localhost' (using password: YES)", "",
       "Access denied for user '***'@'localhost' (using password: YES)"},
      {"SELECT command denied to user 'kvs'@'10.0.0.%' for table `kvsystem`.`kvs500job`", "",
       "SELECT command denied to user '***'@'10.0.0.%' for table `kvsystem`.`kvs500job`"},
      {"[Microsoft][ODBC Driver 18]Login failed for user 'KVSJOB'.", "",
       "[Microsoft][ODBC Driver 18]Login failed for user '***'."},
      {"The server principal \"KVSJOB\" is not able to access the database", "",
       "The server principal \"***\" is not able to access the database"},
      {"Table 'KVSYSTEM.KVS500JOB' doesn't exist for kvs in kvs_db", "kvs",
       "Table 'KVSYSTEM.KVS500JOB' doesn't exist for *** in kvs_db"},
      {"Datenquelle 'KVS' nicht erreichbar", "", "Datenquelle 'KVS' nicht erreichbar"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.expected, HideLoginName(c.text, c.login)) << c.text;
}

// ---- The server -------------------------------------------------------------

// A server on a loopback port the system picks, served on a thread of its
// own until the fixture ends; "/" waits while the test holds it.
class HttpServerTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, server_.Bind("127.0.0.1", 0));
    serving_ = std::thread([this] {
      EXPECT_EQ(0, server_.Serve([this](const std::string& path) { return Answer(path); },
                                 [this] { return stop_.load(); }, {"/health"}));
    });
  }
  void TearDown() override {
    Release();
    stop_ = true;
    serving_.join();
  }
  HttpReply Answer(const std::string& path) {
    HttpReply reply;
    if (path == "/health") {
      reply.body = "well\n";
    } else if (path == "/") {
      std::unique_lock<std::mutex> guard(lock_);
      ++pages_;
      changed_.notify_all();
      changed_.wait_for(guard, std::chrono::seconds(20), [this] { return !hold_; });
      reply.body = std::string(1000, 'p');
    } else {
      reply.status = 404;
    }
    return reply;
  }
  void Release() {
    std::lock_guard<std::mutex> guard(lock_);
    hold_ = false;
    changed_.notify_all();
  }
  // The whole answer to a raw request, and whether the server closed.
  std::string Exchange(const std::string& request, bool* closed) {
    RawConnection c;
    if (c.Connect("127.0.0.1", server_.port()) != 0) return "no connection";
    (void)c.Send(request, 3000);
    return c.Receive(1 << 20, 5000, closed);
  }
  std::string Host() const { return "Host: 127.0.0.1:" + std::to_string(server_.port()) + "\r\n"; }

  HttpServer server_;
  std::thread serving_;
  std::atomic<bool> stop_{false};
  std::mutex lock_;
  std::condition_variable changed_;
  bool hold_ = false;
  int pages_ = 0;
};

// Catches a request the server answers that it must refuse (another
// method, a body, a foreign Host as DNS rebinding sends it, no Host, an
// oversized line or head, a version it does not speak), a refusal where
// an answer is due (a forwarded port, HEAD), an answer without the
// headers that keep a browser from running or framing it, a connection
// left open, and ranges that multiply the body.
TEST_F(HttpServerTest, AnswersAndRefusals) {
  const std::string host = Host();
  const struct {
    std::string request;
    const char* status;
    const char* contains;
  } cases[] = {
      {"GET /health?x=1 HTTP/1.1\r\n" + host + "\r\n", "200 OK",
       "\r\nContent-Length: 5\r\n\r\nwell\n"},
      {"HEAD /health HTTP/1.1\r\n" + host + "\r\n", "200 OK", "Content-Length: 5\r\n\r\n"},
      {"GET /health HTTP/1.0\r\nHost: localhost:9999\r\n\r\n", "200 OK", "well"},
      {"GET /nothing HTTP/1.1\r\n" + host + "\r\n", "404 Not Found", ""},
      {"POST /health HTTP/1.1\r\n" + host + "Content-Length: 5\r\n\r\nhello",
       "405 Method Not Allowed", "Allow: GET, HEAD\r\n"},
      {"GET /health HTTP/1.1\r\nHost: status.attacker.example:" +
           std::to_string(server_.port()) + "\r\n\r\n",
       "421 Misdirected Request", ""},
      {"GET /health HTTP/1.1\r\n\r\n", "400 Bad Request", ""},
      {"GET /health HTTP/1.1\r\n" + host + host + "\r\n", "400 Bad Request", ""},
      {"GET /health HTTP/1.1\r\n" + host + "Content-Length: 200000000\r\n\r\n",
       "413 Content Too Large", ""},
      {"GET /" + std::string(kHttpMaxRequestLine, 'a') + " HTTP/1.1\r\n" + host + "\r\n",
       "414 URI Too Long", ""},
      {"GET /health HTTP/1.1\r\n" + host + std::string(40000, 'X') + "\r\n\r\n",
       "431 Request Header Fields Too Large", ""},
      {"GET /health HTTP/2.0\r\n" + host + "\r\n", "505 HTTP Version Not Supported", ""},
      {"hello\r\n\r\n", "400 Bad Request", ""},
  };
  for (const auto& c : cases) {
    bool closed = false;
    const std::string answer = Exchange(c.request, &closed);
    const std::string label = c.request.substr(0, 60);
    EXPECT_EQ(0u, answer.find(std::string("HTTP/1.1 ") + c.status + "\r\n")) << label << answer;
    EXPECT_NE(std::string::npos, answer.find(c.contains)) << label << answer;
    for (const char* header : {"Content-Security-Policy: default-src 'none';",
                               "X-Frame-Options: DENY", "X-Content-Type-Options: nosniff",
                               "Cache-Control: no-store", "Connection: close"}) {
      EXPECT_NE(std::string::npos, answer.find(header)) << label;
    }
    EXPECT_TRUE(closed) << label;
  }
  // A Range of many overlapping parts gets the body once.
  std::string ranges = "Range: bytes=0-";
  while (ranges.size() < 4000) ranges += ",0-";
  bool closed = false;
  const std::string answer = Exchange("GET / HTTP/1.1\r\n" + host + ranges + "\r\n\r\n", &closed);
  EXPECT_EQ(0u, answer.find("HTTP/1.1 200 OK\r\n")) << answer.substr(0, 200);
  EXPECT_EQ(1000u, answer.size() - answer.find("\r\n\r\n") - 4);
}

// Catches a health answer that waits behind a page the database holds
// up, or behind forty clients that each send a byte a second and never
// finish (replaced as soon as one is cut, as an attack does); such clients
// kept for ever or told anything but 408; and page requests queued
// without bound.
TEST_F(HttpServerTest, HealthAnswersWhileThePageIsHeldUp) {
  hold_ = true;
  const std::string page = "GET / HTTP/1.1\r\n" + Host() + "\r\n";
  std::vector<RawConnection> waiting(kHttpMaxWaiting + 2);
  for (RawConnection& c : waiting) {
    ASSERT_EQ(0, c.Connect("127.0.0.1", server_.port()));
    ASSERT_EQ(0, c.Send(page, 1000));
  }
  {
    std::unique_lock<std::mutex> guard(lock_);
    ASSERT_TRUE(changed_.wait_for(guard, std::chrono::seconds(5), [this] { return pages_ == 1; }));
  }
  std::atomic<bool> slow_started{false}, slow_done{false};
  std::atomic<int> cut{0}, cut_otherwise{0};
  std::thread slowloris([&] {
    std::vector<RawConnection> slow(40);
    std::vector<std::string> got(slow.size());
    for (RawConnection& c : slow) (void)c.Connect("127.0.0.1", server_.port());
    slow_started = true;
    while (!slow_done) {
      for (size_t i = 0; i < slow.size(); ++i) {
        bool closed = false;
        got[i] += slow[i].Receive(4096, 0, &closed);
        if (!closed) {
          (void)slow[i].Send("G", 100);
          continue;
        }
        ++(got[i].find("HTTP/1.1 408 ") == 0 ? cut : cut_otherwise);
        got[i].clear();
        slow[i] = RawConnection();
        (void)slow[i].Connect("127.0.0.1", server_.port());
      }
      std::this_thread::sleep_for(std::chrono::seconds(1));
    }
  });
  const auto Eventually = [](const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return done();
  };
  ASSERT_TRUE(Eventually([&] { return slow_started.load(); }));
  // Spread over more than the time a request may take, so some come while
  // the slow clients are cut and replaced. The page is let go after the
  // third, well before those waiting for it would be turned away.
  for (int i = 0; i < 10; ++i) {
    if (i == 3) Release();
    const auto asked = std::chrono::steady_clock::now();
    int status = 0;
    std::string body;
    EXPECT_EQ(0, HttpGet("127.0.0.1", server_.port(), "/health", 5, &status, &body)) << i;
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(1)) << i;
    EXPECT_EQ(200, status) << i;
    EXPECT_EQ("well\n", body) << i;
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
  }
  EXPECT_TRUE(Eventually([&] { return cut >= 40; })) << cut;
  slow_done = true;
  slowloris.join();
  EXPECT_EQ(0, cut_otherwise.load());

  // One page ran and kHttpMaxWaiting waited; the one after them was told at once.
  int busy = 0;
  int answered = 0;
  for (RawConnection& c : waiting) {
    bool closed = false;
    const std::string answer = c.Receive(4096, 5000, &closed);
    busy += answer.find("HTTP/1.1 503 ") == 0;
    answered += answer.find("HTTP/1.1 200 OK") == 0;
  }
  EXPECT_EQ(1, busy);
  EXPECT_EQ(kHttpMaxWaiting + 1, answered);
}

// Catches a server that holds more connections than its limit, or that
// turns a new request away (or leaves it unread) because idle connections,
// a port scan's, take every place, instead of letting the oldest go.
TEST_F(HttpServerTest, IdleClientsGiveWay) {
  std::vector<RawConnection> idle(kHttpMaxConnections);
  for (RawConnection& c : idle) ASSERT_EQ(0, c.Connect("127.0.0.1", server_.port()));
  const auto asked = std::chrono::steady_clock::now();
  int status = 0;
  std::string body;
  ASSERT_EQ(0, HttpGet("127.0.0.1", server_.port(), "/health", 5, &status, &body));
  EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(1));
  EXPECT_EQ(200, status);
  bool closed = false;
  EXPECT_EQ(0u, idle[0].Receive(4096, 2000, &closed).find("HTTP/1.1 503 "));
  EXPECT_TRUE(closed);
  EXPECT_EQ("", idle[1].Receive(4096, 0, &closed));
  EXPECT_FALSE(closed);
}

}  // namespace
}  // namespace kvs
