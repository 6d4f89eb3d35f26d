#include "msg/message_pool.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "db/test_database.h"
#include "gtest/gtest.h"
#include "platform/tool_support.h"

namespace kvs {
namespace {

namespace fs = std::filesystem;

std::string ReadText(const fs::path& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

fs::path MakeScratchDir() {
  std::random_device random;
  fs::path dir = fs::temp_directory_path() /
                 ("kvs_msgsql_" + std::to_string(random()) + "_" +
                  std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
  fs::create_directories(dir);
  return dir;
}

// 2026-03-02 10:15:30, the time of every post unless a test moves on.
constexpr int64_t kTime = 1772446530;

// The pool on the private MariaDB with an empty message table, its main
// log and fallback file in a scratch directory.
class MessagePoolSqlTest : public DatabaseTest {
 protected:
  void SetUp() override {
    DatabaseTest::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_EQ(0, session_.Execute("DELETE FROM KVSYSTEM.KVS200MSG"));
    platform_.SetLocalTime(2026, 3, 2, 10, 15, 30);
    pool_.SetFallbackFile(Fallback().string());
    std::string error;
    ASSERT_TRUE(pool_.CreateRecord(&error)) << error;
  }
  void TearDown() override {
    // The next tests need the server whatever happened here.
    if (server_stopped_) MariaDb("start");
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  fs::path Fallback() const { return dir_ / "JOBCTLMSG.log"; }
  std::string MainLog() const { return ReadText(dir_ / "KVSJOBCTL.LOG"); }
  std::string Count() { return Value("SELECT COUNT(*) AS v FROM KVSYSTEM.KVS200MSG"); }
  std::string Text(const std::string& uid) {
    return Value("SELECT MSGTXT AS v FROM KVSYSTEM.KVS200MSG WHERE MSGUID = '" + uid + "'");
  }

  void MariaDb(const char* verb) {
    int exit_code = -1;
    ASSERT_EQ(0, RunAndWait("bash " + TestEnv("KVS_TEST_MARIADB_SCRIPT") + " " + verb + " " +
                                TestEnv("KVS_TEST_MARIADB_DIR"),
                            &exit_code));
    ASSERT_EQ(0, exit_code) << verb;
    server_stopped_ = std::string(verb) == "stop";
  }

  fs::path dir_ = MakeScratchDir();
  Logs pool_logs_{platform_,
                  (dir_ / "KVSJOBCTL.LOG").string(),
                  (dir_ / "KVSJOBCTL.BAK").string(),
                  (dir_ / "KVSJOBDBG.LOG").string(),
                  (dir_ / "KVSJOBDBG.BAK").string(),
                  5000000,
                  false};
  MessagePool pool_{platform_, pool_logs_, session_};
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
  ASSERT_EQ(0, session_.Execute("INSERT INTO KVSYSTEM.KVS200MSG (MSGUID, MSGTXT) VALUES ('" +
                                taken + "', 'alt')"));
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
  const std::string present = BuildInsert(platform_, record, kTime, &ids, &error);
  ASSERT_NE("", present) << error;
  const std::string broken = "INSERT INTO KVSYSTEM.KVS200MSG (MSGUID) VALUES ('2";
  ASSERT_EQ(0, session_.Execute(present));
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

}  // namespace
}  // namespace kvs
