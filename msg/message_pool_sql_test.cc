#include "msg/message_pool.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/connection_file.h"
#include "core/controller.h"
#include "core/test_pass_platform.h"
#include "db/test_database.h"
#include "gtest/gtest.h"
#include "platform/test_util.h"
#include "platform/tool_support.h"

namespace kvs {
namespace {

namespace fs = std::filesystem;

// 2026-03-02 10:15:30, the time of every post unless a test moves on.
constexpr int64_t kTime = 1772446530;

// The fake clock, with durations on the real steady clock, moved on by
// skipped_ms.
struct RealSteadyPlatform : FakePlatform {
  int64_t SteadyMs() override {
    return skipped_ms + std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now().time_since_epoch())
                            .count();
  }
  int64_t skipped_ms = 0;
};

// The pool on the private MariaDB with an empty message table, its main
// log and fallback file in a scratch directory.
class MessagePoolSqlTest : public DatabaseTest {
 protected:
  void SetUp() override {
    DatabaseTest::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_EQ(0, session_.Execute(TestStatement("DELETE FROM KVSYSTEM.KVS200MSG")));
    platform_.SetLocalTime(2026, 3, 2, 10, 15, 30);
    pool_.SetFallbackFile(Fallback().string());
    std::string error;
    ASSERT_TRUE(pool_.CreateRecord(&error)) << error;
  }
  void TearDown() override {
    // The next tests need the server whatever happened here.
    if (server_stopped_) MariaDb("start");
  }

  fs::path Fallback() const { return dir_ / "JOBCTLMSG.log"; }
  std::string MainLog() const { return logs_.MainText(); }
  std::string Count() { return Value("SELECT COUNT(*) AS v FROM KVSYSTEM.KVS200MSG"); }
  std::string Text(const std::string& uid) {
    return Value("SELECT MSGTXT AS v FROM KVSYSTEM.KVS200MSG WHERE MSGUID = '" + uid + "'");
  }

  void MariaDb(const char* verb) {
    ASSERT_EQ(0, MariaDbServer(verb)) << verb;
    server_stopped_ = std::string(verb) == "stop";
  }

  MessagePool pool_{platform_, logs_, session_};
  bool server_stopped_ = false;
};

// Catches a sender field written to the wrong column, MSGTXT without its
// stamp, and a value changed on its way: the quote (doubled in the
// statement, single in the row), the percent sign, the backslash (no
// escape on MySQL) and the Windows-1252 byte \xFC.
TEST_F(MessagePoolSqlTest, PostedMessageIsARow) {
  const std::string text = "Auf Laufwerk D:\\ sind 5% frei, Job 'X' verf\xFCgbar!";
  pool_.Post(text);
  const std::string uid = "177244653019331";  // kTime, process 500, first draw
  EXPECT_EQ(Value("SELECT CONCAT_WS('|', MSGUID, MSGTNR, MSGLNK, MSGMOD, MSGSRC, MSGSCH, "
                  "MSGCAT, MSGADR, MSGBER, MSGPRI, MSGTYP, MSGBRK, MSGVAL, MSGDBG, MSGMND, "
                  "MSGLIZ, MSGTIN, MSGSTS, MSGERF) AS v FROM KVSYSTEM.KVS200MSG"),
            uid +
                "|0||main|KVSJOBSTR|KVSYSTEM|WARNHINWEISE|GEN|QUELBAR|0|1||1||99999|99999|"
                "20260302101530|0|SYSTEM");
  EXPECT_EQ(Text(uid), "02.03.2026 10:15:30 " + text);
  // One byte per character: \xFC is stored as itself, not re-encoded.
  EXPECT_EQ(Value("SELECT OCTET_LENGTH(MSGTXT) AS v FROM KVSYSTEM.KVS200MSG"),
            std::to_string(20 + text.size()));
  EXPECT_EQ(Count(), "1");
  EXPECT_EQ(MainLog(), "");
  EXPECT_FALSE(fs::exists(Fallback()));
}

// Catches MySQL's duplicate key (1062) taken as delivered (the message
// would be lost) or as a failure (it would go to the fallback file):
// the post draws a new id and the message arrives under it.
TEST_F(MessagePoolSqlTest, DuplicateIdOnPostDrawsNewId) {
  IdGenerator ids;
  ids.Seed(IdSeed(kTime, platform_.own_pid, platform_.SteadyMs()));
  const std::string taken = std::to_string(kTime) + std::to_string(ids.Next());
  const std::string next = std::to_string(kTime) + std::to_string(ids.Next());
  ASSERT_EQ(0, session_.Execute(TestStatement("INSERT INTO KVSYSTEM.KVS200MSG (MSGUID, MSGTXT) VALUES ('" +
                                taken + "', 'alt')")));
  pool_.Post("Neu");
  EXPECT_EQ(Text(taken), "alt");
  EXPECT_EQ(Text(next), "02.03.2026 10:15:30 Neu");
  EXPECT_EQ(Count(), "2");
  EXPECT_EQ(MainLog(), "");
  EXPECT_FALSE(fs::exists(Fallback()));
}

// Catches a message lost while the database is down, and the fallback file
// not imported (or not deleted) once it is back.
TEST_F(MessagePoolSqlTest, OutageGoesThroughFallbackFile) {
  MariaDb("stop");
  ASSERT_FALSE(HasFatalFailure());
  pool_.Post("Datenbankverbindung unterbrochen => Jobs werden beendet!");
  const std::string waiting = ReadText(Fallback());
  ASSERT_EQ(waiting.find('\n'), waiting.size() - 1) << waiting;
  const std::string statement = waiting.substr(0, waiting.size() - 1);
  const std::string t0 = "2026-03-02 10:15:30  ";
  EXPECT_EQ(MainLog(),
            t0 + "Fehler beim Schreiben in den Nachrichten-Pool(Msg)! SQL: " + statement +
                "!\n" + t0 + "Nachricht (Msg) in Temporaerdatei JOBCTLMSG.log gestellt! SQL: " +
                statement + "!\n");

  MariaDb("start");
  ASSERT_FALSE(HasFatalFailure());
  const Credentials c = TestCredentials();
  ASSERT_EQ(0, session_.Connect(c.user, c.password, c.data_source));
  platform_.AdvanceSeconds(60);
  const std::string before = MainLog();
  pool_.Post("Datenbankverbindung wiederhergestellt => Neustart der Jobs!");
  const std::string t1 = "2026-03-02 10:16:30  ";
  EXPECT_EQ(MainLog().substr(before.size()),
            t1 + "Nachricht fuer den Nachrichten-Pool! SQL: " + statement + "!\n" + t1 +
                "Nachricht wurde in den Nachrichtenpool uebertragen!\n" + t1 +
                "Anzahl Nachrichten gelesen: 1. Davon eingepflegt: 1!\n" + t1 +
                "Temporaerdatei JOBCTLMSG.log geloescht!\n");
  EXPECT_FALSE(fs::exists(Fallback()));
  EXPECT_EQ(Value("SELECT GROUP_CONCAT(MSGTXT ORDER BY MSGTIN SEPARATOR '|') AS v FROM "
                  "KVSYSTEM.KVS200MSG"),
            "02.03.2026 10:15:30 Datenbankverbindung unterbrochen => Jobs werden beendet!|"
            "02.03.2026 10:16:30 Datenbankverbindung wiederhergestellt => Neustart der Jobs!");
}

// Catches a line already in the pool (MySQL 1062) counted as failed, which
// would keep the file for ever, and a refused line run or kept instead of
// moved to JOBCTLMSG.rej.
TEST_F(MessagePoolSqlTest, ImportCountsDuplicatesAsImported) {
  STRNACHRICHT record;
  FillControllerSender(&record);
  record.MSGTXT = "schon da";
  IdGenerator ids;
  std::string error;
  const std::string present = BuildInsert(platform_, record, kTime, &ids, &error).text();
  ASSERT_NE("", present) << error;
  const std::string broken = "INSERT INTO KVSYSTEM.KVS200MSG (MSGUID) VALUES ('2";
  ASSERT_EQ(0, session_.Execute(TestStatement(present)));
  const std::string t = "2026-03-02 10:15:30  ";
  const std::string dup_log = t + "Nachricht fuer den Nachrichten-Pool! SQL: " + present + "!\n" +
                              t + "Eintrag existiert bereits.! RC: 1062!\n";
  struct Case {
    std::string content;
    std::string log;
    std::string rejected;
  };
  const Case cases[] = {
      {present + "\n" + broken + "\n",
       dup_log + t +
           "Zeile 2 ist keine Nachricht des Jobcontrollers und wurde nach JOBCTLMSG.rej "
           "verschoben!\n" +
           t + "Anzahl Nachrichten gelesen: 2. Davon eingepflegt: 1!\n" + t +
           "Temporaerdatei JOBCTLMSG.log geloescht!\n",
       broken + "\n"},
      {present + "\n",
       dup_log + t + "Anzahl Nachrichten gelesen: 1. Davon eingepflegt: 1!\n" + t +
           "Temporaerdatei JOBCTLMSG.log geloescht!\n",
       broken + "\n"},
  };
  for (const Case& c : cases) {
    fs::remove(dir_ / "KVSJOBCTL.LOG");
    std::ofstream(Fallback(), std::ios::binary) << c.content;
    pool_.ImportFallbackFile();
    EXPECT_EQ(MainLog(), c.log);
    EXPECT_FALSE(fs::exists(Fallback()));
    EXPECT_EQ(ReadText(dir_ / "JOBCTLMSG.rej"), c.rejected);
    EXPECT_EQ(Count(), "1");
  }
}

// Catches a locked message table holding up the pass: an import that tries
// every line (each waits a whole time-out) and posts that each try again,
// and an import that goes on, or starts, while the table rests after a
// first statement that did arrive, but only after a wait for the lock.
// Within about one time-out the import stops at its first line and the
// posts go straight to the fallback file; once the table is free again
// every message arrives exactly once.
TEST_F(MessagePoolSqlTest, LockedTableHoldsUpNoPass) {
  STRNACHRICHT record;
  FillControllerSender(&record);
  IdGenerator ids;
  std::string error, waiting;
  for (const char* text : {"alt 1", "alt 2"}) {
    record.MSGTXT = std::string("02.03.2026 10:14:30 ") + text;
    waiting += BuildInsert(platform_, record, kTime - 60, &ids, &error).text() + "\n";
  }
  std::ofstream(Fallback(), std::ios::binary) << waiting;
  const Credentials c = TestCredentials();
  Session holder(logs_);
  holder.SetDbSystem("MYSQL");
  ASSERT_EQ(0, holder.Connect(c.user, c.password, c.data_source));
  ASSERT_EQ(0, holder.Execute(TestStatement("LOCK TABLES KVSYSTEM.KVS200MSG WRITE")));
  session_.SetQueryTimeout(2);
  ASSERT_EQ(0, session_.Connect(c.user, c.password, c.data_source));
  RealSteadyPlatform clock;
  clock.SetLocalTime(2026, 3, 2, 10, 15, 30);
  MessagePool pool(clock, logs_, session_);
  pool.SetFallbackFile(Fallback().string());
  ASSERT_TRUE(pool.CreateRecord(&error));

  const auto start = std::chrono::steady_clock::now();
  for (const char* text : {"eins", "zwei", "drei"}) pool.Post(text);
  // Within twice the time-out, as the issue bounds it.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(4000));
  std::vector<std::string> lines;
  std::istringstream file(ReadText(Fallback()));
  for (std::string line; std::getline(file, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0] + "\n" + lines[1] + "\n", waiting);
  const std::string t = "2026-03-02 10:15:30  ";
  std::string log = t + "Nachricht fuer den Nachrichten-Pool! SQL: " + lines[0] + "!\n" + t +
                    "Fehler beim Schreiben in den Nachrichten-Pool! RC: 1969!\n" + t +
                    "Anzahl Nachrichten gelesen: 1. Davon eingepflegt: 0!\n" + t +
                    "0 von 1 Nachrichten eingepflegt. Datei nicht geloescht!\n";
  for (size_t i = 2; i < lines.size(); ++i) {
    log += t + "Nachrichten-Pool zu langsam und noch 4 s ausgesetzt!\n" + t +
           "Nachricht (Msg) in Temporaerdatei JOBCTLMSG.log gestellt! SQL: " + lines[i] + "!\n";
  }
  // Twice the time-out the statement took: 4 s, 5 s when it ended late.
  std::string actual = MainLog();
  for (size_t at = 0; (at = actual.find(" noch 5 s", at)) != std::string::npos; ++at) {
    actual[at + 6] = '4';
  }
  EXPECT_EQ(actual, log);

  ASSERT_EQ(0, holder.Execute(TestStatement("UNLOCK TABLES")));
  clock.skipped_ms = 5000;  // the rest is over

  // The lock is taken once more and given up a second after the import's
  // first statement began to wait for it: that statement arrives, but
  // slowly, and the table rests again. The next lines wait for the end of
  // that rest too, not only for the end of one after a failure.
  fs::remove(dir_ / "KVSJOBCTL.LOG");
  ASSERT_EQ(0, holder.Execute(TestStatement("LOCK TABLES KVSYSTEM.KVS200MSG WRITE")));
  session_.SetQueryTimeout(10);  // the wait is to end well inside the bound
  ASSERT_EQ(0, session_.Execute(TestStatement("SET SESSION max_statement_time = 10")));
  std::thread release([&] {
    const SqlStatement waiting_insert = TestStatement(
        "SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE INFO LIKE "
        "'INSERT INTO KVSYSTEM.KVS200MSG %'");
    int32_t inserts = 0;
    for (int i = 0; i < 200 && inserts == 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      EXPECT_EQ(0, holder.QueryRow(waiting_insert, {ColumnBinding::Long(&inserts)}));
    }
    EXPECT_EQ(1, inserts);
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    EXPECT_EQ(0, holder.Execute(TestStatement("UNLOCK TABLES")));
  });
  pool.DeliverAfterRest();
  release.join();
  const std::string still_waiting =
      lines[1] + "\n" + lines[2] + "\n" + lines[3] + "\n" + lines[4] + "\n";
  const std::string slow_import = t + "Nachricht fuer den Nachrichten-Pool! SQL: " + lines[0] +
                                  "!\n" + t +
                                  "Nachricht wurde in den Nachrichtenpool uebertragen!\n" + t +
                                  "Anzahl Nachrichten gelesen: 1. Davon eingepflegt: 1!\n" + t +
                                  "1 von 1 Nachrichten eingepflegt. Datei nicht geloescht!\n";
  EXPECT_EQ(ReadText(Fallback()), still_waiting);
  EXPECT_EQ(MainLog(), slow_import);
  // Still resting (twice the second it took): nothing is tried.
  pool.DeliverAfterRest();
  pool.ImportFallbackFile();
  EXPECT_EQ(ReadText(Fallback()), still_waiting);
  EXPECT_EQ(MainLog(), slow_import);
  clock.skipped_ms += 3000;  // that rest is over as well

  // What waited out the rest goes with the next pass, not only with the
  // next post.
  pool.DeliverAfterRest();
  EXPECT_FALSE(fs::exists(Fallback()));
  pool.Post("vier");
  EXPECT_FALSE(fs::exists(Fallback()));
  EXPECT_EQ(Value("SELECT GROUP_CONCAT(SUBSTRING(MSGTXT, 21) ORDER BY MSGTXT SEPARATOR '|') "
                  "AS v FROM KVSYSTEM.KVS200MSG"),
            "alt 1|alt 2|drei|eins|vier|zwei");
}

// Catches what a rest of the message table sent to the fallback file
// waiting there for the next post, which may come hours later, instead of
// going with the next pass. The controller posts its start while another
// program holds the table locked; the lock is gone before the first pass,
// which delivers the message without any post.
TEST_F(MessagePoolSqlTest, NextPassDeliversWhatWaitedOutTheRest) {
  const fs::path prog = dir_ / "bin";
  const fs::path fallback = dir_ / "korvaline_php" / "log" / "JOBCTLMSG.log";
  fs::create_directories(prog);
  fs::create_directories(fallback.parent_path());
  std::ofstream(prog / "KVSJOBCTL.INI") << "[JOBATR]\nDBGLOG=1\nSQLTIMEOUT=1\n";
  const Credentials c = TestCredentials();
  const std::pair<const char*, std::string> values[] = {
      {"DATABASE", c.data_source}, {"SCHEMA", "KVSYSTEM."}, {"LOGIN", c.user},
      {"PASS", c.password},        {"DB_SYSTEM", "MYSQL"}};
  int32_t number = 0;
  for (const auto& [key, value] : values) {
    ASSERT_EQ(0, WriteConnectionRecord((prog / "KORVALINE.INI").string(), "KVSJOB", ++number,
                                       key, value));
  }
  Session holder(logs_);
  holder.SetDbSystem("MYSQL");
  ASSERT_EQ(0, holder.Connect(c.user, c.password, c.data_source));
  ASSERT_EQ(0, holder.Execute(TestStatement("LOCK TABLES KVSYSTEM.KVS200MSG WRITE")));

  PassPlatform fake;
  fake.own_path = (prog / "KVSJOBSTR").string();
  fake.debug_log = prog / "KVSJOBDBG.LOG";
  fake.default_pipe_answer = {0, "OK"};
  const std::string started = "Der Jobcontroller wurde gestartet!";
  // At each beat: the lines waiting in the fallback file with the start,
  // and the start's rows in the pool.
  std::vector<std::string> seen;
  fake.at_main_beat = [&](int beat) {
    if (beat == 1) {
      EXPECT_EQ(0, holder.Execute(TestStatement("UNLOCK TABLES")));
    } else {
      fake.QueuePipeAnswer({kErrFileNotFound, ""});
    }
    const std::string file = ReadText(fallback);
    size_t waiting = 0;
    for (size_t at = 0; (at = file.find(started, at)) != std::string::npos; ++at) ++waiting;
    seen.push_back(std::to_string(waiting) + " waiting, " +
                   Value("SELECT COUNT(*) AS v FROM KVSYSTEM.KVS200MSG WHERE MSGTXT LIKE '% " +
                         started + "'") +
                   " in the pool");
  };
  {
    WorkingDir program_directory(prog);
    const char* argv[] = {"KVSJOBSTR"};
    EXPECT_EQ(0, RunController(fake, 1, argv));
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"1 waiting, 0 in the pool",
                                            "0 waiting, 1 in the pool"}));
  EXPECT_FALSE(fs::exists(fallback));
}

}  // namespace
}  // namespace kvs
