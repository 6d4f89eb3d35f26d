#include <fstream>
#include <string>
#include <vector>

#include "core/connection_file.h"
#include "db/test_database.h"
#include "gtest/gtest.h"
#include "tools/job_commands.h"

namespace kvs {
namespace {

using Strings = std::vector<std::string>;

constexpr char kDa1[] = "20260101000000";
// A row as "[JOBSTS] JOBSTV JOBNRT", "<none>" when it is gone.
constexpr char kShape[] =
    "CONCAT('[', COALESCE(JOBSTS, 'NULL'), '] ', COALESCE(JOBSTV, 'NULL'), ' ', COALESCE(JOBNRT, "
    "'-'))";

// kvsjobstat retry and rerun with a program directory of their own on the
// private MariaDB. The clock stands on 2026-01-05 10:00.
class JobCommandSqlTest : public DatabaseTest {
 protected:
  void SetUp() override {
    DatabaseTest::SetUp();
    if (HasFatalFailure()) return;
    Sql("DELETE FROM KVSYSTEM.KVS200MSG");
    platform_.SetLocalTime(2026, 1, 5, 10, 0, 0);
    // A folder below the scratch one: the pool's fallback file lies in
    // ..\korvaline_php\log from it.
    std::filesystem::create_directories(bin_);
    std::ofstream(bin_ / "KVSJOBCTL.INI") << "[JOBATR]\nKVSINI=.\\conn.ini\n";
    platform_.own_path = (bin_ / "kvsjobstat").string();
    ConnectionFile("MYSQL", TestCredentials().data_source);
  }
  void TearDown() override {
    (void)session_.Execute(TestStatement("DELETE FROM KVSYSTEM.KVS200MSG"));
  }

  void ConnectionFile(const std::string& db_system, const std::string& dsn) {
    const Credentials c = TestCredentials();
    const std::string file = (bin_ / "conn.ini").string();
    std::filesystem::remove(file);
    const Strings keys[] = {
        {"DATABASE", dsn}, {"LOGIN", c.user}, {"PASS", c.password}, {"DB_SYSTEM", db_system}};
    int32_t number = 0;
    for (const Strings& kv : keys) {
      ASSERT_EQ(0, WriteConnectionRecord(file, "KVS", ++number, kv[0], kv[1]));
    }
  }
  // sts and nrt are SQL literals.
  void Job(const std::string& ke2, const std::string& rty, const std::string& sts, int stv,
           const std::string& nrt = "NULL") {
    Put("JOBDA1, JOBKE2, JOBRTY, JOBSTS, JOBSTV, JOBNRT, JOBCMD",
        std::string("'") + kDa1 + "', '" + ke2 + "', '" + rty + "', " + sts + ", " +
            std::to_string(stv) + ", " + nrt + ", 'run.exe'");
  }
  std::string Row(const std::string& ke2) {
    return Value(std::string("SELECT ") + kShape +
                 " AS v FROM KVSYSTEM.KVS500JOB WHERE JOBKE2 = '" + ke2 + "'");
  }
  // The pool's text about the job ke2.
  std::string Pool(const std::string& ke2) {
    return Value("SELECT MSGTXT AS v FROM KVSYSTEM.KVS200MSG WHERE MSGTXT LIKE '%/" + ke2 + " %'");
  }
  int Run(const Strings& args) {
    error_.clear();
    platform_.console.clear();
    // Each run a process of its own, which draws message ids of its own.
    ++platform_.own_pid;
    return RunJobCommand(platform_, args, &error_);
  }

  std::filesystem::path bin_ = dir_ / "bin";
  std::string error_;
};

// Catches a command that changes a row it should leave (running, within
// its attempts, ended where the pass restarts or renews it, a run type
// the controller never starts, a 97 of a calendar job), one that leaves a
// row it should change (a failed start, used-up attempts in a blank, 00
// or ended state, a 00 its run type never starts, an ended 01/05/03/07),
// the wrong waiting state written ("00" for a queue job, blank for a
// planned one), attempts or JOBNRT not set or set where they are not
// changed, the boundary of 10 attempts, an exit code or line that does not
// name the change or the reason, and a change not logged or not posted to
// the pool under the controller's sender.
TEST_F(JobCommandSqlTest, EachStateChangedOrRefused) {
  const struct {
    const char* command;
    const char* ke2;
    const char* rty;
    const char* sts;
    int stv;
    const char* nrt;
    int rc;
    const char* row;   // after the command
    const char* line;  // after "kvsjobstat COMMAND: Job KEY "
  } cases[] = {
      {"retry", "R1", "01", "'90'", 1, "NULL", 0, "[  ] 0 -",
       "(Laufart 01) geaendert: JOBSTS 90 -> leer, JOBSTV 1 -> 0"},
      {"retry", "R2", "05", "'90'", 3, "NULL", 0, "[  ] 0 -",
       "(Laufart 05) geaendert: JOBSTS 90 -> leer, JOBSTV 3 -> 0"},
      {"retry", "R3", "07", "'90'", 1, "'20260105080000'", 0, "[00] 0 20260105080000",
       "(Laufart 07) geaendert: JOBSTS 90 -> 00, JOBSTV 1 -> 0"},
      {"retry", "R4", "01", "NULL", 11, "NULL", 0, "[  ] 0 -",
       "(Laufart 01) geaendert: JOBSTS leer -> leer, JOBSTV 11 -> 0"},
      {"retry", "R5", "01", "'  '", 11, "NULL", 0, "[  ] 0 -",
       "(Laufart 01) geaendert: JOBSTS leer -> leer, JOBSTV 11 -> 0"},
      {"retry", "R6", "05", "'00'", 11, "NULL", 0, "[  ] 0 -",
       "(Laufart 05) geaendert: JOBSTS 00 -> leer, JOBSTV 11 -> 0"},
      {"retry", "R7", "04", "'98'", 11, "NULL", 0, "[  ] 0 -",
       "(Laufart 04) geaendert: JOBSTS 98 -> leer, JOBSTV 11 -> 0"},
      {"retry", "R8", "09", "'00'", 12, "NULL", 0, "[  ] 0 -",
       "(Laufart 09) geaendert: JOBSTS 00 -> leer, JOBSTV 12 -> 0"},
      {"retry", "R9", "01", "'00'", 0, "NULL", 0, "[  ] 0 -",
       "(Laufart 01) geaendert: JOBSTS 00 -> leer, JOBSTV 0 -> 0"},
      {"retry", "RA", "01", "NULL", 10, "NULL", 8, "[NULL] 10 -",
       "(Laufart 01, Status leer, 10 Startversuche) wartet schon auf seinen Start: nichts "
       "geaendert"},
      {"retry", "RB", "04", "'98'", 10, "NULL", 8, "[98] 10 -",
       "(Laufart 04, Status 98, 10 Startversuche) hat weder einen fehlgeschlagenen Start noch "
       "verbrauchte Startversuche: nichts geaendert"},
      {"retry", "RC", "01", "'01'", 1, "NULL", 8, "[01] 1 -",
       "(Laufart 01, Status 01, 1 Startversuche) laeuft: nichts geaendert"},
      {"retry", "RD", "04", "'01'", 11, "NULL", 8, "[01] 11 -",
       "(Laufart 04, Status 01, 11 Startversuche) laeuft: nichts geaendert"},
      {"retry", "RE", "03", "'00'", 11, "'20260105080000'", 8, "[00] 11 20260105080000",
       "(Laufart 03, Status 00, 11 Startversuche) wartet schon auf seinen Start: nichts geaendert"},
      {"retry", "RF", "06", "'90'", 1, "NULL", 8, "[90] 1 -",
       "(Laufart 06, Status 90, 1 Startversuche) wird vom Jobcontroller nicht gestartet: nichts "
       "geaendert"},
      {"retry", "RG", "01", "'98'", 11, "NULL", 8, "[98] 11 -",
       "(Laufart 01, Status 98, 11 Startversuche) hat weder einen fehlgeschlagenen Start noch "
       "verbrauchte Startversuche: nichts geaendert"},
      {"rerun", "U1", "01", "'98'", 1, "NULL", 0, "[  ] 0 -",
       "(Laufart 01) geaendert: JOBSTS 98 -> leer, JOBSTV 1 -> 0"},
      {"rerun", "U2", "05", "'99'", 5, "NULL", 0, "[  ] 0 -",
       "(Laufart 05) geaendert: JOBSTS 99 -> leer, JOBSTV 5 -> 0"},
      {"rerun", "U3", "03", "'98'", 1, "'20260105080000'", 0, "[00] 1 20260105100000",
       "(Laufart 03) geaendert: JOBSTS 98 -> 00, JOBNRT 20260105080000 -> 20260105100000"},
      {"rerun", "U4", "03", "'97'", 0, "'20260105170000'", 0, "[00] 0 20260105100000",
       "(Laufart 03) geaendert: JOBSTS 97 -> 00, JOBNRT 20260105170000 -> 20260105100000"},
      {"rerun", "U5", "07", "'99'", 0, "NULL", 0, "[00] 0 20260105100000",
       "(Laufart 07) geaendert: JOBSTS 99 -> 00, JOBNRT leer -> 20260105100000"},
      {"rerun", "U6", "07", "'97'", 0, "NULL", 8, "[97] 0 -",
       "(Laufart 07, Status 97, 0 Startversuche) ist nicht beendet (98 oder 99): nichts geaendert"},
      {"rerun", "U7", "01", "'90'", 1, "NULL", 8, "[90] 1 -",
       "(Laufart 01, Status 90, 1 Startversuche) hat einen fehlgeschlagenen Start (90): dafuer ist "
       "retry da: nichts geaendert"},
      {"rerun", "U8", "01", "NULL", 0, "NULL", 8, "[NULL] 0 -",
       "(Laufart 01, Status leer, 0 Startversuche) wartet schon auf seinen Start: nichts "
       "geaendert"},
      {"rerun", "U9", "04", "'98'", 1, "NULL", 8, "[98] 1 -",
       "(Laufart 04, Status 98, 1 Startversuche) startet nach jedem Ende von selbst wieder: nichts "
       "geaendert"},
      {"rerun", "UA", "08", "'98'", 1, "'20260105080000'", 8, "[98] 1 20260105080000",
       "(Laufart 08, Status 98, 1 Startversuche) wird nach jedem Lauf vom Jobcontroller geloescht "
       "und neu angelegt: nichts geaendert"},
      {"rerun", "UB", "03", "'01'", 1, "'20260105080000'", 8, "[01] 1 20260105080000",
       "(Laufart 03, Status 01, 1 Startversuche) laeuft: nichts geaendert"},
      {"rerun", "UC", "99", "'  '", 0, "NULL", 8, "[  ] 0 -",
       "(Laufart 99, Status leer, 0 Startversuche) wird vom Jobcontroller nicht gestartet: "
       "nichts geaendert"},
  };
  // Every change writes another JOBSTS or JOBSTV, so a data source that
  // counts only changed rows finds the row as well.
  for (const char* dsn : {"KVS_TEST_DSN", "KVS_TEST_DSN_CHANGED_ROWS"}) {
    ConnectionFile("MYSQL", TestEnv(dsn));
    Sql("DELETE FROM KVSYSTEM.KVS500JOB");
    Sql("DELETE FROM KVSYSTEM.KVS200MSG");
    std::filesystem::remove(bin_ / "KVSJOBSTAT.LOG");
    std::string changes;
    int changed = 0;
    for (const auto& c : cases) {
      Job(c.ke2, c.rty, c.sts, c.stv, c.nrt);
      const std::string key = std::string(kDa1) + "/" + c.ke2;
      EXPECT_EQ(c.rc, Run({c.command, key})) << dsn << " " << c.ke2 << ": " << error_;
      EXPECT_EQ(c.row, Row(c.ke2)) << c.ke2;
      const std::string line =
          "kvsjobstat " + std::string(c.command) + ": Job " + key + " " + c.line + "\n";
      EXPECT_EQ(c.rc == 0 ? line : "", platform_.console) << c.ke2;
      EXPECT_EQ(c.rc == 0 ? "" : line, error_) << c.ke2;
      if (c.rc == 0) changes += line, ++changed;
    }
    EXPECT_EQ(changes, LogTexts(bin_ / "KVSJOBSTAT.LOG"));
    EXPECT_EQ(std::to_string(changed), Value("SELECT COUNT(*) AS v FROM KVSYSTEM.KVS200MSG WHERE "
                                             "MSGSRC = 'KVSJOBSTR' AND MSGCAT = 'WARNHINWEISE'"));
    EXPECT_EQ(
        "05.01.2026 10:00:00 Job 20260101000000/R1 vom Bediener fuer einen neuen Start "
        "zurueckgesetzt!",
        Pool("R1"));
    EXPECT_EQ(
        "05.01.2026 10:00:00 Job 20260101000000/U5 vom Bediener fuer einen neuen Lauf "
        "zurueckgesetzt!",
        Pool("U5"));
    // No row: its own exit code, nothing posted.
    EXPECT_EQ(7, Run({"rerun", std::string(kDa1) + "/NONE"}));
    EXPECT_EQ("kvsjobstat rerun: Job 20260101000000/NONE nicht gefunden\n", error_);
    EXPECT_EQ(std::to_string(changed), Value("SELECT COUNT(*) AS v FROM KVSYSTEM.KVS200MSG"));
  }
}

// Catches --dry-run changing the row or posting, and a dialect's statement
// that differs from what the command would run (the statement shown is
// the one sent, the state and attempts read in its condition).
TEST_F(JobCommandSqlTest, DryRunShowsTheStatementOfEitherDialect) {
  Job("D1", "01", "'90'", 2);
  Job("D2", "03", "'98'", 0, "'20260105080000'");
  for (const char* db_system : {"MSSQL", "MYSQL"}) {
    ConnectionFile(db_system, TestCredentials().data_source);
    EXPECT_EQ(0, Run({"retry", "--dry-run", "20260101000000/D1"})) << db_system << error_;
    EXPECT_EQ(
        "kvsjobstat retry --dry-run: Job 20260101000000/D1 (Laufart 01) wuerde geaendert: "
        "JOBSTS 90 -> leer, JOBSTV 2 -> 0\n"
        "UPDATE KVSYSTEM.KVS500JOB SET JOBSTS = '  ', JOBSTV = 0 WHERE JOBDA1 = "
        "'20260101000000' AND JOBKE2 = 'D1' AND JOBSTS = '90' AND COALESCE(JOBSTV, 0) = 2\n",
        platform_.console)
        << db_system;
    EXPECT_EQ(0, Run({"--dry-run", "rerun", "20260101000000/D2"})) << db_system << error_;
    EXPECT_EQ(
        "kvsjobstat rerun --dry-run: Job 20260101000000/D2 (Laufart 03) wuerde geaendert: "
        "JOBSTS 98 -> 00, JOBNRT 20260105080000 -> 20260105100000\n"
        "UPDATE KVSYSTEM.KVS500JOB SET JOBSTS = '00', JOBNRT = '20260105100000' WHERE JOBDA1 "
        "= '20260101000000' AND JOBKE2 = 'D2' AND JOBSTS = '98' AND COALESCE(JOBSTV, 0) = 0\n",
        platform_.console)
        << db_system;
  }
  EXPECT_EQ("[90] 2 -", Row("D1"));
  EXPECT_EQ("[98] 0 20260105080000", Row("D2"));
  EXPECT_EQ("0", Value("SELECT COUNT(*) AS v FROM KVSYSTEM.KVS200MSG"));
  EXPECT_EQ("", LogTexts(bin_ / "KVSJOBSTAT.LOG"));
}

// Catches a command that writes over a row a pass (or another operator)
// changed after it was read: a start, one more failed attempt, a delete.
// The statement must change nothing, the command say so in its output
// and log with what it had read, exit with its own code and post nothing.
TEST_F(JobCommandSqlTest, RowChangedBetweenReadAndUpdate) {
  const struct {
    const char* command;
    const char* ke2;
    const char* rty;
    const char* sts;
    int stv;
    const char* meanwhile;
    const char* row;
    const char* read;
  } cases[] = {
      {"retry", "C1", "01", "'90'", 1,
       "UPDATE KVSYSTEM.KVS500JOB SET JOBSTS = '01' WHERE JOBKE2 = 'C1'", "[01] 1 -",
       "Status 90, 1 Startversuche"},
      {"retry", "C2", "04", "'90'", 11,
       "UPDATE KVSYSTEM.KVS500JOB SET JOBSTV = 12 WHERE JOBKE2 = 'C2'", "[90] 12 -",
       "Status 90, 11 Startversuche"},
      {"retry", "C3", "01", "NULL", 11,
       "UPDATE KVSYSTEM.KVS500JOB SET JOBSTS = '90' WHERE JOBKE2 = 'C3'", "[90] 11 -",
       "Status leer, 11 Startversuche"},
      {"rerun", "C4", "07", "'99'", 0, "DELETE FROM KVSYSTEM.KVS500JOB WHERE JOBKE2 = 'C4'",
       "<none>", "Status 99, 0 Startversuche"},
  };
  std::string lines;
  for (const auto& c : cases) {
    Job(c.ke2, c.rty, c.sts, c.stv);
    StatusOptions options;
    options.command =
        std::string(c.command) == "retry" ? StatusCommand::kRetry : StatusCommand::kRerun;
    options.jobda1 = kDa1;
    options.jobke2 = c.ke2;
    CommandRow row;
    ASSERT_EQ(0, ReadCommandRow(session_, options, &row)) << c.ke2;
    Sql(c.meanwhile);
    std::string output, error;
    EXPECT_EQ(9, PutJobBack(platform_, session_, logs_, (dir_ / "JOBCTLMSG.log").string(), options,
                            row, &output, &error))
        << c.ke2;
    const std::string line = "kvsjobstat " + std::string(c.command) + ": Job " + kDa1 + "/" +
                             c.ke2 +
                             " wurde seit dem Lesen geaendert oder geloescht (gelesen: " + c.read +
                             "): nichts geaendert\n";
    EXPECT_EQ(line, error) << c.ke2;
    EXPECT_EQ("", output) << c.ke2;
    EXPECT_EQ(c.row, Row(c.ke2)) << c.ke2;
    lines += line;
  }
  EXPECT_EQ(lines, LogText());
  EXPECT_EQ("0", Value("SELECT COUNT(*) AS v FROM KVSYSTEM.KVS200MSG"));
}

}  // namespace
}  // namespace kvs
