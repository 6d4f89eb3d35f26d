#include "tools/job_status.h"

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/connection_file.h"
#include "gtest/gtest.h"
#include "platform/fake_platform.h"
#include "platform/test_util.h"
#include "tools/job_status_queries.h"
#include "tools/job_status_render.h"
#include "tools/status_page.h"

namespace kvs {
namespace {

namespace fs = std::filesystem;

CivilTime At(int year, int month, int day, int hour, int minute, int second) {
  CivilTime t;
  t.year = year, t.month = month, t.day = day, t.hour = hour, t.minute = minute, t.second = second;
  return t;
}

StatusJob Running(const char* rty, const char* ke2, const char* nam, const char* num,
                  const char* sda, int32_t mrt) {
  StatusJob job;
  job.jobrty = rty, job.jobke2 = ke2, job.jobnam = nam, job.jobnum = num, job.jobsda = sda;
  job.jobmrt = mrt;
  return job;
}

// Catches a run time counted across midnight, a month end or a leap day
// wrongly, hours wrapped at 24, the mark one second early or late at
// exactly 90 %, a mark without a limit, and a broken start taken for a time.
TEST(JobStatusTest, RunTimeAndMark) {
  struct Case {
    const char* jobsda;
    CivilTime now;
    int32_t jobmrt;
    const char* duration;  // "?" when unknown
    bool mark;
  };
  const Case cases[] = {
      {"20240501100000", At(2024, 5, 1, 10, 15, 0), 1000, "0:15:00", true},   // 900 s of 1000
      {"20240501100001", At(2024, 5, 1, 10, 15, 0), 1000, "0:14:59", false},  // 899 s
      {"20240501100000", At(2024, 5, 1, 10, 0, 9), 10, "0:00:09", true},      // 9 of 10
      {"20240501100000", At(2024, 5, 1, 10, 0, 8), 10, "0:00:08", false},
      {"20240229230000", At(2024, 3, 1, 1, 0, 0), 0, "2:00:00", false},      // leap day
      {"20231231235959", At(2024, 1, 2, 2, 0, 0), 0, "26:00:01", false},     // year end
      {"20240101000000", At(2024, 1, 4, 0, 0, 0), 100, "72:00:00", true},    // days
      {"20240501100500", At(2024, 5, 1, 10, 0, 0), 100, "-0:05:00", false},  // clock behind
      {"", At(2024, 5, 1, 10, 0, 0), 100, "?", false},
      {"2024050110000X", At(2024, 5, 1, 10, 0, 0), 100, "?", false},
  };
  for (const Case& c : cases) {
    int64_t seconds = 0;
    const bool known = RunSeconds(c.jobsda, c.now, &seconds);
    EXPECT_EQ(c.duration, known ? FormatDuration(seconds) : "?") << c.jobsda;
    EXPECT_EQ(c.mark, known && NearRunTimeLimit(seconds, c.jobmrt)) << c.jobsda;
  }
}

// Catches columns not aligned to their widest cell, numbers not right
// aligned, the mark in the wrong row, stamps shown raw, blank states and
// start times shown as nothing, an empty table without its "(keine)", and
// the fallback line missing its count.
TEST(JobStatusTest, TextTables) {
  JobStatus status;
  status.running = {Running("01", "KOR EXPORT", "export.exe", "4711", "20240501100000", 1000),
                    Running("04", "CLOCKBRIDGE", "cb.exe", "88", "20240430090000", 0)};
  StatusJob w1;
  w1.jobrty = "05", w1.jobke2 = "NACHT", w1.jobda1 = "20240501000000", w1.next = "20240501220000";
  StatusJob w2;
  w2.jobrty = "04", w2.jobke2 = "MAILER", w2.jobda1 = "20240101000000", w2.jobsts = "98";
  w2.jobstv = 3;
  status.waiting = {w1, w2};
  status.fallback = {true, 3};
  const std::string expected =
      "Laufende Jobs (2)\n"
      "RT  JOBKE2       Programm     PID  Gestartet            Laufzeit     Max.\n"
      "01  KOR EXPORT   export.exe  4711  2024-05-01 10:00:00   0:15:00  0:16:40  !\n"
      "04  CLOCKBRIDGE  cb.exe        88  2024-04-30 09:00:00  25:15:00        -\n"
      "\n"
      "Wartende Jobs (2)\n"
      "RT  JOBKE2  JOBDA1          Status  Start ab             Versuche\n"
      "05  NACHT   20240501000000  -       2024-05-01 22:00:00         0\n"
      "04  MAILER  20240101000000  98      sofort                      3\n"
      "\n"
      "Jobs, die erst nach einem Eingriff wieder starten (0)\n"
      "  (keine)\n"
      "\n"
      "N\xE4" "chste L\xE4" "ufe (1)\n"
      "NEXT                     LEFT  RT  JOBKE2  JOBURV  JOBCMD\n"
      "2024-05-01 22:00:00  11:45:00  05  NACHT   -       -\n"
      "\n"
      "In den letzten 24 Stunden beendete Jobs (0)\n"
      "  (keine)\n"
      "\n"
      "Letzte Meldungen des Jobcontrollers (0)\n"
      "  (keine)\n"
      "\n"
      "Ausweichdatei ..\\korvaline_php\\log\\JOBCTLMSG.log: vorhanden, 3 Zeilen\n";
  EXPECT_EQ(expected, FormatStatusText(status, At(2024, 5, 1, 10, 15, 0)));
}

// Catches a stuck reason shown without its detail (attempts, run type,
// end date), the schedule's end date raw, a 03 in 97 listed as needing
// someone instead of waiting for its window, a failed list hiding the
// others or its own rows, and messages out of their given order.
TEST(JobStatusTest, StuckWaitingFailuresAndMessages) {
  JobStatus status;
  StatusJob s1;
  s1.jobrty = "01", s1.jobke2 = "IMPORT", s1.jobda1 = "20240401000000", s1.jobsts = "90";
  s1.jobstv = 1, s1.reason = StuckReason::kStartFailed;
  StatusJob s2 = s1;
  s2.jobrty = "05", s2.jobsts = "00", s2.jobstv = 0, s2.reason = StuckReason::kNeverPicked;
  StatusJob s3 = s1;
  s3.jobrty = "07", s3.jobke2 = "Daily#Team#00001#00002", s3.jobsts = "98";
  s3.reason = StuckReason::kScheduleGone;
  StatusJob s4 = s1;
  s4.jobrty = "04", s4.jobsts = "98", s4.jobstv = 11, s4.reason = StuckReason::kAttemptsUsedUp;
  StatusJob s5 = s1;
  s5.jobrty = "09", s5.jobsts = "00", s5.jobstv = 0, s5.reason = StuckReason::kNeverPicked;
  status.stuck = {s1, s2, s3, s4, s5};
  StatusJob w = s1;
  w.jobrty = "03", w.jobsts = "97", w.jobstv = 0, w.next = "20240401080000";
  w.reason = StuckReason::kOutsideWindow;
  status.waiting = {w};
  status.failures = {{StatusSection::kStuck, "Abfrage auf KVSYSTEM.KVS800SCD fehlgeschlagen"},
                     {StatusSection::kRunning, "Abfrage auf KVSYSTEM.KVS500JOB fehlgeschlagen"}};
  status.messages = {{"20240501101500", "01.05.2024 10:15:00 Neu"},
                     {"20240501090000", "01.05.2024 09:00:00 Alt"}};
  const std::string expected =
      "Laufende Jobs (0)\n"
      "  Fehler: Abfrage auf KVSYSTEM.KVS500JOB fehlgeschlagen\n"
      "\n"
      "Wartende Jobs (1)\n"
      "RT  JOBKE2  JOBDA1          Status  Start ab                            Versuche\n"
      "03  IMPORT  20240401000000  97      wartet auf das n\xE4" "chste Zeitfenster         0\n"
      "\n"
      "Jobs, die erst nach einem Eingriff wieder starten (5)\n"
      "  Fehler: Abfrage auf KVSYSTEM.KVS800SCD fehlgeschlagen\n"
      "RT  JOBKE2                  JOBDA1          Status  Grund                              "
      "                Befehl\n"
      "01  IMPORT                  20240401000000  90      Start fehlgeschlagen, 1 Startversuche "
      "             kvsjobstat retry 20240401000000/IMPORT\n"
      "05  IMPORT                  20240401000000  00      Status 00: Laufart 05 startet nur leer"
      "             kvsjobstat retry 20240401000000/IMPORT\n"
      "07  Daily#Team#00001#00002  20240401000000  98      Terminplan in KVS800SCD fehlt         "
      "             -\n"
      "04  IMPORT                  20240401000000  98      11 Startversuche: ab 11 startet er "
      "nicht "
      "mehr      kvsjobstat retry 20240401000000/IMPORT\n"
      "09  IMPORT                  20240401000000  00      Status 00: Laufart 09 startet nur leer "
      "oder ab 90  kvsjobstat retry 20240401000000/IMPORT\n"
      "\n"
      "N\xE4" "chste L\xE4" "ufe (1)\n"
      "NEXT                       LEFT  RT  JOBKE2  JOBURV  JOBCMD\n"
      "2024-04-01 08:00:00  -722:15:00  03  IMPORT  -       -\n"
      "\n"
      "In den letzten 24 Stunden beendete Jobs (0)\n"
      "  (keine)\n"
      "\n"
      "Letzte Meldungen des Jobcontrollers (2)\n"
      "Zeit                 Text\n"
      "2024-05-01 10:15:00  Neu\n"
      "2024-05-01 09:00:00  Alt\n"
      "\n"
      "Ausweichdatei ..\\korvaline_php\\log\\JOBCTLMSG.log: nicht vorhanden\n";
  EXPECT_EQ(expected, FormatStatusText(status, At(2024, 5, 1, 10, 15, 0)));
  // Without a connection only the database line and the fallback file.
  JobStatus away;
  away.database_error = "Datenquelle 'KVS' nicht erreichbar oder Anmeldung als 'kvs' abgelehnt";
  EXPECT_EQ("Datenbank: Datenquelle 'KVS' nicht erreichbar oder Anmeldung als 'kvs' abgelehnt\n\n"
            "Ausweichdatei ..\\korvaline_php\\log\\JOBCTLMSG.log: nicht vorhanden\n",
            FormatStatusText(away, At(2024, 5, 1, 10, 15, 0)));
}

// Catches a controller without its process, without DYE or with a DYE
// older than two minutes taken as current (one second late or early), a
// DYE from a clock set back taken as stale, a controller whose passes do
// not complete (database away, running jobs not reloaded, no pass state
// or a stale one) taken as healthy, and the first line not naming PID,
// age, reason and since when, the program looked for or a leftover DYE.
TEST(JobStatusTest, ControllerHealth) {
  const struct {
    uint32_t pid;
    bool flag_file;
    int64_t age;
    const char* pass;  // the pass state file's line, nullptr when missing
    int64_t pass_age;
    ControllerState state;
    const char* line;
  } cases[] = {
      {4711, true, 120, "OK 20260105080000 20260105081500", 120, ControllerState::kRunning,
       "Jobcontroller laeuft (PID 4711), DYE vor 0:02:00 aktualisiert"},
      {4711, true, -3600, "OK 20260105080000 20260105081500", -3600, ControllerState::kRunning,
       "Jobcontroller laeuft (PID 4711), DYE vor -1:00:00 aktualisiert"},
      {4711, true, 121, "OK 20260105080000 20260105081500", 1, ControllerState::kStale,
       "Jobcontroller haengt (PID 4711): DYE seit 0:02:01 nicht aktualisiert"},
      {4711, false, 0, "OK 20260105080000 20260105081500", 1, ControllerState::kNoFlagFile,
       "Jobcontroller laeuft (PID 4711), aber ohne DYE: vor der ersten Datenbankverbindung, beim "
       "Beenden, oder DYE wurde geloescht"},
      {4711, true, 5, "DB 20260105080512 20260105080511", 30, ControllerState::kDatabaseDown,
       "Jobcontroller laeuft (PID 4711), aber Datenbank nicht erreichbar seit 2026-01-05 "
       "08:05:12: alle Jobs beendet"},
      {4711, true, 5, "FAIL 20260105080512 -", 30, ControllerState::kReloadFailing,
       "Jobcontroller laeuft (PID 4711), aber seine Durchlaeufe scheitern seit 2026-01-05 "
       "08:05:12: laufende Jobs nicht geladen"},
      {4711, true, 5, nullptr, 0, ControllerState::kNoPass,
       "Jobcontroller laeuft (PID 4711), aber ohne Durchlauf in den letzten 0:02:00"},
      {4711, true, 5, "OK 20260105080000 20260105081500", 121, ControllerState::kNoPass,
       "Jobcontroller laeuft (PID 4711), aber ohne Durchlauf in den letzten 0:02:00"},
      {4711, true, 5, "WHAT 20260105080000 -", 1, ControllerState::kNoPass,
       "Jobcontroller laeuft (PID 4711), aber ohne Durchlauf in den letzten 0:02:00"},
      {0, true, 5, "OK 20260105080000 20260105081500", 1, ControllerState::kNotRunning,
       "Jobcontroller laeuft nicht: kein Prozess /opt/kvs/bin/KVSJOBSTR, DYE ist vom letzten Lauf "
       "uebrig"},
      {0, false, 0, nullptr, 0, ControllerState::kNotRunning,
       "Jobcontroller laeuft nicht: kein Prozess /opt/kvs/bin/KVSJOBSTR"},
  };
  for (const auto& c : cases) {
    ControllerHealth health;
    health.pid = c.pid, health.flag_file = c.flag_file, health.flag_age_seconds = c.age;
    health.pass_known = c.pass != nullptr && ParsePassState(c.pass, &health.pass);
    health.pass_age_seconds = c.pass_age;
    health.program = "/opt/kvs/bin/KVSJOBSTR";
    health.state = JudgeController(health);
    EXPECT_EQ(c.state, health.state) << c.line;
    EXPECT_EQ(c.state == ControllerState::kRunning, ControllerCurrent(health)) << c.line;
    EXPECT_EQ(c.line, FormatHealthText(health));
  }
}

// Catches a quote or backslash left bare, control characters passed
// through, Windows-1252 read as Latin-1 (0x80 is the euro sign) or passed
// on as a raw byte, and DEL or plain ASCII escaped needlessly.
TEST(JobStatusTest, JsonEscaping) {
  const struct {
    std::string in;
    const char* out;
  } cases[] = {
      {"a\"b", "\"a\\\"b\""},
      {"C:\\KVS", "\"C:\\\\KVS\""},
      {"x\ny\r\tz", "\"x\\ny\\r\\tz\""},
      {std::string("\x01\x1f\b\f", 4), "\"\\u0001\\u001f\\b\\f\""},
      {std::string("\0", 1), "\"\\u0000\""},
      {"Pr\xFC"
       "fung",
       "\"Pr\\u00fcfung\""},
      {"\x80 \x9F \xA0 \xFF", "\"\\u20ac \\u0178 \\u00a0 \\u00ff\""},
      {"\x81\x7F", "\"\\u0081\x7F\""},
      {"plain 'text' /", "\"plain 'text' /\""},
  };
  for (const auto& c : cases) EXPECT_EQ(c.out, JsonString(c.in)) << c.out;
  // The same code page for a console that shows UTF-8.
  EXPECT_EQ("Pr\xC3\xBC" "fung \xE2\x82\xAC \xC2\x81 plain",
            Utf8FromWindows1252("Pr\xFC" "fung \x80 \x81 plain"));
}

// Catches a missing array or key, the controller's state or a failed list
// left out, run time and mark left out, a NULL run time written as a
// number, and the fallback object malformed.
TEST(JobStatusTest, Json) {
  JobStatus status;
  status.running = {Running("01", "A\"B", "a.exe", "1", "20240501100000", 1000),
                    Running("04", "C", "c.exe", "2", "", 0)};
  status.controller.state = ControllerState::kStale;
  status.controller.pid = 77, status.controller.flag_file = true;
  status.controller.flag_age_seconds = 300, status.controller.program = "C:\\KVS\\KVSJOBSTR";
  status.failures = {{StatusSection::kMessages, "Abfrage"}};
  const std::string expected =
      "{\"time\":\"2024-05-01 10:15:00\",\"controller\":{\"state\":\"stale\",\"current\":false,"
      "\"pid\":77,\"flag_file\":true,\"flag_age_seconds\":300,\"program\":\"C:"
      "\\\\KVS\\\\KVSJOBSTR\","
      "\"text\":\"Jobcontroller haengt (PID 77): DYE seit 0:05:00 nicht aktualisiert\"},"
      "\"errors\":[{\"list\":\"messages\",\"text\":\"Abfrage\"}],\"running\":["
      "{\"jobrty\":\"01\",\"jobke2\":\"A\\\"B\",\"jobnam\":\"a.exe\",\"jobnum\":\"1\","
      "\"started\":\"2024-05-01 10:00:00\",\"run_seconds\":900,\"jobmrt\":1000,"
      "\"near_limit\":true},"
      "{\"jobrty\":\"04\",\"jobke2\":\"C\",\"jobnam\":\"c.exe\",\"jobnum\":\"2\","
      "\"started\":\"\",\"run_seconds\":null,\"jobmrt\":0,\"near_limit\":false}],"
      "\"waiting\":[],\"stuck\":[],\"messages\":[],\"fallback\":{\"exists\":false,\"lines\":0},"
      "\"max_jobs\":0,\"running_count\":0,\"ended\":[],\"next\":[]}\n";
  EXPECT_EQ(expected, FormatStatusJson(status, At(2024, 5, 1, 10, 15, 0)));
}

// Catches a cluster's nodes missing from the text or JSON or shown for a
// single controller, an unknown age shown as a number, a state mixed up,
// and with --node: the local controller's health reported instead of the
// node's, a node not found for the case of its name, a dead, taken-over,
// absent or unread node counted as healthy.
TEST(JobStatusTest, NodesAndNodeHealth) {
  JobStatus status;
  status.nodes_read = true;
  status.node_timeout_seconds = 20;
  status.controller.pid = 1, status.controller.state = ControllerState::kRunning;
  status.nodes = {{"alpha", "20260105085957", 3, 2, NodeState::kLive},
                  {"beta", "20260105085930", 30, 1, NodeState::kDead},
                  {"gamma", "", -1, 0, NodeState::kTakenOver},
                  {"omega", "20260105085948", 12, 0, NodeState::kLeft}};
  const CivilTime now = At(2026, 1, 5, 10, 0, 0);
  const std::string text = FormatStatusText(status, now);
  EXPECT_EQ(0u, text.find("Knoten (4)\n"
                          "Knoten  Alter (s)  Laufend  Zustand\n"
                          "alpha           3        2  lebt\n"
                          "beta           30        1  still\n"
                          "gamma           ?        0  still, Jobs \xFC"
                          "bernommen\n"
                          "omega          12        0  beendet\n"
                          "\n"
                          "Laufende Jobs (0)\n"))
      << text;
  const std::string json = FormatStatusJson(status, now);
  EXPECT_NE(std::string::npos,
            json.find(",\"next\":[],\"nodes\":[{\"name\":\"alpha\",\"status_row\":\"2026-01-05 "
                      "08:59:57\",\"age_seconds\":3,\"running\":2,\"state\":\"live\"},{\"name\":"
                      "\"beta\",\"status_row\":\"2026-01-05 08:59:30\",\"age_seconds\":30,"
                      "\"running\":1,\"state\":\"dead\"},{\"name\":\"gamma\",\"status_row\":\"\","
                      "\"age_seconds\":null,\"running\":0,\"state\":\"taken_over\"},{\"name\":"
                      "\"omega\",\"status_row\":\"2026-01-05 08:59:48\",\"age_seconds\":12,"
                      "\"running\":0,\"state\":\"left\"}]}\n"))
      << json;
  EXPECT_EQ(std::string::npos, FormatStatusJson(JobStatus(), now).find("nodes"));
  EXPECT_EQ(std::string::npos, FormatStatusText(JobStatus(), now).find("Knoten"));

  const struct {
    const char* watched;
    bool read;
    bool healthy;
    const char* line;
  } cases[] = {
      {"", true, true, "Jobcontroller laeuft (PID 1), DYE vor 0:00:00 aktualisiert"},
      {"ALPHA", true, true, "Knoten alpha laeuft, Statuszeile vor 0:00:03 geschrieben"},
      {"beta", true, false,
       "Knoten beta laeuft nicht: Statuszeile seit 0:00:30 nicht geschrieben (KNOTENTIMEOUT 20 "
       "s)"},
      {"gamma", true, false,
       "Knoten gamma laeuft nicht: Statuszeile seit ? nicht geschrieben, seine Jobs wurden "
       "uebernommen"},
      {"omega", true, false, "Knoten omega laeuft nicht: vor 0:00:12 ordentlich beendet"},
      {"delta", true, false, "Knoten delta unbekannt: keine Statuszeile in der Jobtabelle"},
      {"alpha", false, false, "Knoten alpha unbekannt: Statuszeilen nicht lesbar"},
  };
  for (const auto& c : cases) {
    status.watched_node = c.watched;
    status.nodes_read = c.read;
    EXPECT_EQ(c.healthy, StatusHealthy(status)) << c.line;
    EXPECT_EQ(c.line, HealthText(status));
  }
  EXPECT_NE(std::string::npos,
            FormatStatusJson(status, now)
                .find(",\"node\":{\"name\":\"alpha\",\"healthy\":false,\"text\":\"Knoten alpha "
                      "unbekannt: Statuszeilen nicht lesbar\"}}\n"));
}

// Catches an option value taken from the next option, a run type that is
// no two digits, a watch interval out of range, and unknown options let
// through.
TEST(JobStatusTest, Options) {
  const struct {
    std::vector<std::string> args;
    int rc;
    const char* run_type;
    bool json;
    int32_t watch;
    const char* dir = "";
    const char* serve = "";  // "address port" as parsed
    const char* node = "";
  } cases[] = {
      {{}, 0, "", false, 0},
      {{"--dir", "/opt/kvs/bin", "--json"}, 0, "", true, 0, "/opt/kvs/bin"},
      {{"--dir"}, 2, "", false, 0},
      {{"--dir", ""}, 2, "", false, 0},
      {{"--type", "07", "--json"}, 0, "07", true, 0},
      {{"--watch", "5"}, 0, "", false, 5},
      {{"--watch", "3600"}, 0, "", false, 3600},
      {{"--watch", "3601"}, 2, "", false, 0},
      {{"--watch", "0"}, 2, "", false, 0},
      {{"--watch", "99999999999"}, 2, "", false, 0},
      {{"--watch"}, 2, "", false, 0},
      {{"--type", "7"}, 2, "", false, 0},
      {{"--type", "0'"}, 2, "", false, 0},
      {{"--type", "--json"}, 2, "", false, 0},
      {{"--verbose"}, 2, "", false, 0},
      {{"--serve", "8080", "--type", "01"}, 0, "01", false, 0, "", "127.0.0.1 8080"},
      {{"--serve", "0.0.0.0:65535"}, 0, "", false, 0, "", "0.0.0.0 65535"},
      {{"--serve", "[::1]:1"}, 0, "", false, 0, "", "::1 1"},
      {{"--serve", "::1:8080"}, 2, "", false, 0},
      {{"--serve", "65536"}, 2, "", false, 0},
      {{"--serve", "0"}, 2, "", false, 0},
      {{"--serve", ":8080"}, 2, "", false, 0},
      {{"--serve", "host:"}, 2, "", false, 0},
      {{"--serve"}, 2, "", false, 0},
      {{"--serve", "8080", "--json"}, 2, "", false, 0},
      {{"--watch", "5", "--serve", "8080"}, 2, "", false, 0},
      {{"--node", "Srv_2-b", "--serve", "8080"}, 0, "", false, 0, "", "127.0.0.1 8080", "Srv_2-b"},
      {{"--node", "srv 1"}, 2, "", false, 0},
      {{"--node", "abcdefghijklmnopq"}, 2, "", false, 0},
      {{"--node"}, 2, "", false, 0},
  };
  for (const auto& c : cases) {
    StatusOptions options;
    std::string error;
    const std::string label = c.args.empty() ? "(none)" : c.args[0] + " ...";
    ASSERT_EQ(c.rc, ParseStatusOptions(c.args, &options, &error)) << label;
    EXPECT_EQ(c.rc != 0, !error.empty()) << label;
    if (c.rc != 0) continue;
    EXPECT_EQ(c.run_type, options.run_type) << label;
    EXPECT_EQ(c.json, options.json) << label;
    EXPECT_EQ(c.watch, options.watch_seconds) << label;
    EXPECT_EQ(c.dir, options.program_dir) << label;
    EXPECT_EQ(c.node, options.node) << label;
    ServeAddress where;
    if (ParseServeAddress(options.serve, &where)) {
      EXPECT_EQ(c.serve, where.address + " " + std::to_string(where.port)) << label;
    } else {
      EXPECT_STREQ(c.serve, "") << label;
    }
  }
}

// A program directory of its own with KVSJOBCTL.INI and, when asked, a
// connection file.
class JobStatusRunTest : public testing::Test {
 protected:
  void SetUp() override {
    std::ofstream(dir_ / "KVSJOBCTL.INI") << "[JOBATR]\nMAXJOBS=3\n";
    platform_.own_path = (dir_ / "kvsjobstat.exe").string();
  }
  void Put(const std::string& key, const std::string& value) {
    static int32_t number = 0;
    ASSERT_EQ(0,
              WriteConnectionRecord((dir_ / "KORVALINE.INI").string(), "DB", ++number, key, value));
  }
  int Run(const std::vector<std::string>& args) {
    error_.clear();
    return RunJobStatus(platform_, args, &error_, [] { return false; });
  }

  ScratchDir scratch_{"kvs_jobstat_"};
  fs::path dir_ = scratch_.path();
  FakePlatform platform_;
  std::string error_;
};

// Catches the usage text missing after a usage error or on --help, and a
// missing or incomplete connection file taken for a connect failure (or
// tried at all: no ODBC call happens on these paths).
TEST_F(JobStatusRunTest, ExitCodesBeforeConnecting) {
  EXPECT_EQ(2, Run({"--type", "x"}));
  EXPECT_EQ(std::string(kErrTypeValue) + kStatusUsage, error_);
  EXPECT_EQ(0, Run({"--help"}));
  EXPECT_EQ(kStatusUsage, platform_.console);

  EXPECT_EQ(3, Run({}));
  EXPECT_EQ("kvsjobstat: Verbindungsdatei '.\\KORVALINE.INI' fehlt oder ist nicht lesbar\n",
            error_);
  Put("LOGIN", "kvs");
  EXPECT_EQ(3, Run({}));
  EXPECT_EQ("kvsjobstat: Verbindungsdatei '.\\KORVALINE.INI' nennt keine Datenquelle (DATABASE)\n",
            error_);
  Put("DATABASE", "KVSTEST");
  Put("DB_SYSTEM", "mysql");
  EXPECT_EQ(3, Run({}));
  EXPECT_EQ("kvsjobstat: DB_SYSTEM 'mysql' in der Verbindungsdatei ist weder MSSQL noch MYSQL\n",
            error_);
  Put("DB_SYSTEM", "MYSQL");
  Put("PASS", std::string(24, 'p'));
  EXPECT_EQ(3, Run({}));
  EXPECT_EQ("kvsjobstat: PASS in der Verbindungsdatei ist laenger als 23 Zeichen\n", error_);
}

// Catches a last line without its line end not counted, an empty file
// counted as one line, and a missing file reported as present.
TEST_F(JobStatusRunTest, FallbackFile) {
  const struct {
    const char* content;  // nullptr: no file
    bool exists;
    int64_t lines;
  } cases[] = {{nullptr, false, 0}, {"", true, 0},     {"\n", true, 1},
               {"a\nb\n", true, 2}, {"a\nb", true, 2}, {"a\r\nb\r\n", true, 2}};
  const fs::path file = dir_ / "JOBCTLMSG.log";
  for (const auto& c : cases) {
    fs::remove(file);
    if (c.content != nullptr) std::ofstream(file, std::ios::binary) << c.content;
    const FallbackFileState state = ReadFallbackFile(file.string());
    EXPECT_EQ(c.exists, state.exists) << (c.content ? c.content : "(none)");
    EXPECT_EQ(c.lines, state.lines) << (c.content ? c.content : "(none)");
  }
}

}  // namespace
}  // namespace kvs
