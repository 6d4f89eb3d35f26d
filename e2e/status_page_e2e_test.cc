// kvsjobstat --serve end to end: the real kvsjobstat beside a running
// controller, its page rendered by a real browser (headless Chromium),
// its health answer as a monitor sees it, through a killed controller and
// a stopped database.
#include <fstream>
#include <regex>
#include <string>

#include "e2e/e2e_fixture.h"
#include "tools/http/http_client.h"

namespace kvs {
namespace {

class StatusPageEndToEnd : public ControllerProcessTest {
 protected:
  void SetUp() override {
    ControllerProcessTest::SetUp();
    // Below the ephemeral ports of outgoing connections.
    port_ = 20000 + node_.instance % 12000;
  }
  // The HTTP status of path (0 when nothing answered) and its body.
  int Get(const std::string& path, std::string* body) {
    int status = 0;
    return HttpGet("127.0.0.1", port_, path, 10, &status, body) == 0 ? status : 0;
  }
  // The page as the browser's document after loading, and its screenshot.
  std::string Browse(const fs::path& screenshot) {
    int exit_code = -1;
    EXPECT_EQ(0, RunAndWait("bash -c \"timeout 60 chromium --headless --no-sandbox --disable-gpu "
                            "--hide-scrollbars --user-data-dir='" + (node_.root / "chromium").string() +
                                "' --window-size=1100,1000 --screenshot='" + screenshot.string() +
                                "' --dump-dom http://127.0.0.1:" + std::to_string(port_) +
                                "/ > '" + (node_.root / "dom.html").string() + "' 2> /dev/null\"",
                            &exit_code));
    EXPECT_EQ(0, exit_code) << "chromium (scripts/setup-deps installs it)";
    return ReadFile(node_.root / "dom.html");
  }
  int port_ = 0;
};

// Catches a page that is no document a browser renders as meant (the
// running job's row, its run time against the limit, the health line), a
// command line from the tables that becomes markup, a health answer that
// stays 200 when the controller is gone, and a server that stops
// answering when the database does; with --node, a health answer that
// does not follow the node's status row.
TEST_F(StatusPageEndToEnd, BrowserPageAndHealth) {
  fs::copy_file(build_dir_ / "kvsjobstat", dir_ / "kvsjobstat");
  WriteIni("MAXJOBS=1\n");
  InsertJob("HOSTILE", "u-hostile", "<script>alert(1)</script>", 0, "01");
  InsertJob("QUEUE", "u-queue", "kvssleep 300", 600, "01");
  InsertJob("NEXT", "u-next", "kvssleep 300", 600, "01");
  // An exclusive job due in an hour: the next runs list shows it.
  const CivilTime later = platform_real_->ToLocal(platform_real_->Now() + 3600);
  char dlt[32];
  char dlt_shown[32];
  std::snprintf(dlt, sizeof dlt, "%04d%02d%02d%02d%02d%02d", later.year, later.month, later.day,
                later.hour, later.minute, later.second);
  std::snprintf(dlt_shown, sizeof dlt_shown, "%04d-%02d-%02d %02d:%02d:%02d", later.year,
                later.month, later.day, later.hour, later.minute, later.second);
  InsertJob("LATER", "u-later", "kvssleep 5", 0, "05", ", JOBDLT", std::string(", '") + dlt + "'");
  Start(120);
  ASSERT_TRUE(Eventually([&] {
    return Column("HOSTILE", "JOBSTS") == "90" && Column("QUEUE", "JOBSTS") == "01";
  }, 15));
  uint32_t serve_pid = 0;
  ASSERT_EQ(0, platform_real_->StartProcess("bash -c \"cd '" + dir_.string() +
                                                "' && exec ./kvsjobstat --serve 127.0.0.1:" +
                                                std::to_string(port_) + " > serve.txt 2>&1\"",
                                            &serve_pid));
  std::string body;
  ASSERT_TRUE(Eventually([&] { return Get("/health", &body) == 200; }, 10))
      << body << ReadFile(dir_ / "serve.txt");
  const std::string health =
      "Jobcontroller laeuft (PID " + std::to_string(node_.controller_pid) + "), DYE vor ";
  EXPECT_EQ(0u, body.find(health)) << body;

  fs::create_directories(build_dir_ / "artefacts");
  const std::string dom = Browse(build_dir_ / "artefacts" / "status_page.png");
  EXPECT_TRUE(fs::file_size(build_dir_ / "artefacts" / "status_page.png") > 10000);
  const std::regex queue_row(
      "<tr><td data-label=\"RT\">01</td><td data-label=\"JOBKE2\">T-QUEUE</td><td "
      "data-label=\"Programm\">kvssleep</td><td class=\"num\" data-label=\"PID\">[0-9]+</td><td "
      "data-label=\"Gestartet\">[-0-9: ]+</td><td class=\"num\" data-label=\"Laufzeit\">"
      "0:0[0-9]:[0-9][0-9]<meter min=\"0\" max=\"600\" high=\"540\" value=\"[0-9]+\"></meter></td>"
      "<td class=\"num\" data-label=\"Max.\">0:10:00</td></tr>");
  EXPECT_TRUE(std::regex_search(dom, queue_row)) << dom;
  EXPECT_NE(std::string::npos, dom.find("<p id=\"health\">" + health)) << dom;
  EXPECT_NE(std::string::npos, dom.find(">T-NEXT</td>")) << dom;
  EXPECT_NE(std::string::npos, dom.find("<header class=\"look\"><h1>Bitte ansehen</h1>")) << dom;
  EXPECT_NE(std::string::npos,
            dom.find("Der Job &lt;script&gt;alert(1)&lt;/script&gt; konnte nicht gestartet "
                     "werden!</td>"))
      << dom;
  EXPECT_EQ(std::string::npos, dom.find("<script")) << dom;
  // Why NEXT waits, what ended, what comes next.
  for (const std::string& part :
       {std::string("MAXJOBS 1, laufend 1"), std::string(">MAXJOBS 1 von 1 belegt</td>"),
        std::string("<td class=\"wrap\" data-label=\"Grund\">Start fehlgeschlagen (90)</td>"),
        std::string("<td data-label=\"NEXT\">") + dlt_shown +
            "</td><td class=\"num\" data-label=\"LEFT\">"}) {
    EXPECT_NE(std::string::npos, dom.find(part)) << part << "\n" << dom;
  }
  EXPECT_EQ(200, Get("/metrics", &body));
  for (const char* line : {"\nkvs_controller_up 1\n", "\nkvs_max_jobs 1\n",
                           "\nkvs_jobs_running{run_type=\"01\"} 1\n",
                           "\nkvs_jobs_waiting{run_type=\"05\"} 1\n"}) {
    EXPECT_NE(std::string::npos, body.find(line)) << line << body;
  }
  // The controller's own counters, and a scrape that Prometheus reads
  // (promtool, from scripts/setup-deps) with a hostile run type and a node
  // named in Windows-1252.
  InsertJobRow("T-ODD", "u-odd", "kvssleep 1", 0, "\"\\", "'98'", ", JOBEDA",
               ", DATE_FORMAT(NOW(), '%Y%m%d%H%i%s')");
  Put("JOBDA1, JOBKE2, JOBURV, JOBRTY, JOBSDA",
      "'99999999999999', CONCAT('JOBSTARTER K', CHAR(228)), 'KNOTEN', '99', '20200101000000'");
  ASSERT_TRUE(Eventually([&] {
    return Get("/metrics", &body) == 200 &&
           body.find("\nkvs_job_starts_total{run_type=\"01\"} 1\n") != std::string::npos;
  }, 70)) << body;
  for (const char* part : {"\nkvs_passes_total ", "\nkvs_job_run_seconds_count ",
                           "{run_type=\"\\\"\\\\\"} 1\n",
                           "\nkvs_node_up{node=\"K\xc3\xa4\"} 0\n"}) {
    EXPECT_NE(std::string::npos, body.find(part)) << part << body;
  }
  std::ofstream(node_.root / "metrics.txt", std::ios::binary) << body;
  int promtool = -1;
  EXPECT_EQ(0, RunAndWait("bash -c \"promtool check metrics < '" +
                              (node_.root / "metrics.txt").string() + "' > '" +
                              (node_.root / "promtool.txt").string() + "' 2>&1\"",
                          &promtool));
  EXPECT_EQ(0, promtool) << ReadFile(node_.root / "promtool.txt") << body;
  EXPECT_EQ(200, Get("/status.json", &body));
  EXPECT_NE(std::string::npos, body.find("\"jobke2\":\"T-QUEUE\"")) << body;

  // --node: a node silent since long, then writing its status row again
  // (seen once the reading the answers share is 5 seconds old).
  Put("JOBDA1, JOBKE2, JOBURV, JOBRTY, JOBSDA",
      "'99999999999999', 'JOBSTARTER far', 'KNOTEN', '99', '20200101000000'");
  ++port_;
  uint32_t node_pid = 0;
  ASSERT_EQ(0, platform_real_->StartProcess("bash -c \"cd '" + dir_.string() +
                                                "' && exec ./kvsjobstat --node FAR --serve "
                                                "127.0.0.1:" +
                                                std::to_string(port_) + " > node.txt 2>&1\"",
                                            &node_pid));
  ASSERT_TRUE(Eventually([&] { return Get("/health", &body) == 503; }, 10))
      << body << ReadFile(dir_ / "node.txt");
  EXPECT_EQ(0u, body.find("Knoten far laeuft nicht: Statuszeile seit ")) << body;
  Sql("UPDATE KVSYSTEM.KVS500JOB SET JOBSDA = DATE_FORMAT(UTC_TIMESTAMP(), '%Y%m%d%H%i%s') "
      "WHERE JOBKE2 = 'JOBSTARTER far'");
  EXPECT_TRUE(Eventually([&] { return Get("/health", &body) == 200; }, 10)) << body;
  EXPECT_EQ(0u, body.find("Knoten far laeuft, Statuszeile vor 0:00:0")) << body;
  EXPECT_EQ(200, Get("/metrics", &body));
  EXPECT_NE(std::string::npos, body.find("\nkvs_node_up{node=\"far\"} 1\n")) << body;
  (void)TerminateProcessById(node_pid);
  --port_;

  ASSERT_EQ(0, TerminateProcessById(node_.controller_pid));
  ASSERT_TRUE(Eventually([&] { return !ControllerRunning(); }, 5));
  EXPECT_EQ(503, Get("/health", &body));
  EXPECT_EQ("Jobcontroller laeuft nicht: kein Prozess " + (dir_ / "KVSJOBSTR").string() +
                ", DYE ist vom letzten Lauf uebrig\n",
            body);

  // The first request after the stop finds the connection lost, the next
  // one no database.
  const std::string away = "<li>Datenbank: Datenquelle &#39;" + TestCredentials().data_source +
                           "&#39; nicht erreichbar oder Anmeldung abgelehnt</li>";
  MariaDb("stop");
  const bool said = Eventually([&] {
    return Get("/", &body) == 200 && body.find(away) != std::string::npos;
  }, 10);
  MariaDb("start");
  EXPECT_TRUE(said) << body;
  EXPECT_TRUE(platform_real_->InspectProcess(serve_pid).opened);
  session_.Disconnect();
  const Credentials c = TestCredentials();
  ASSERT_EQ(0, session_.Connect(c.user, c.password, c.data_source));
}

}  // namespace
}  // namespace kvs
