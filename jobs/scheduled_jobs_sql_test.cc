#include "jobs/scheduled_jobs.h"

#include "jobs/job_starts.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "db/test_database.h"
#include "gtest/gtest.h"
#include "platform/test_util.h"
#include "proc/test_service_link.h"

namespace kvs {
namespace {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

// The fake platform, unable to start one command line however often it is
// tried.
class LaunchFake : public FakePlatform {
 public:
  std::string missing;
  int StartProcess(const std::string& command_line, uint32_t* pid) override {
    if (command_line == missing) {
      launches.push_back(command_line);
      return kErrFileNotFound;
    }
    return FakePlatform::StartProcess(command_line, pid);
  }
};

constexpr char kDaily[] = "Daily#Team#00001#00002";

// Run types 07, 08 and 09 on the private MariaDB, processes on the fake
// platform, the main log in a scratch directory. The clock stands on
// Monday 2026-01-05 08:00:00.
class ScheduledJobsSqlTest : public DatabaseTest {
 protected:
  void SetUp() override {
    DatabaseTest::SetUp();
    if (HasFatalFailure()) return;
    for (const char* table : {"KVS800SCD", "KVS112MND", "KVS200MSG"}) {
      Sql(std::string("DELETE FROM KVSYSTEM.") + table);
    }
    pool_.SetFallbackFile((dir_ / "JOBCTLMSG.log").string());
    std::string error;
    ASSERT_TRUE(pool_.CreateRecord(&error)) << error;
    fake_.SetLocalTime(2026, 1, 5, 8, 0, 0);
  }
  // Leaves no schedule or client row to the controller of later tests.
  void TearDown() override {
    for (const char* table : {"KVS800SCD", "KVS112MND"}) {
      EXPECT_EQ(0, session_.Execute(TestStatement(std::string("DELETE FROM KVSYSTEM.") + table)));
    }
  }

  // A schedule row; tag, time and until are SQL literals.
  void Schedule(const std::string& nam, const std::string& liz, const std::string& mnd,
                int type, const std::string& tag, const std::string& time,
                const std::string& until) {
    Sql("INSERT INTO KVSYSTEM.KVS800SCD (SCDLIZ, SCDMND, SCDNAM, SCDSBE, SCDART, SCDTYP, "
        "SCDTAG, SCDDTM, SCDUHR, SCDDWH, SCDBIS) VALUES ('" + liz + "', '" + mnd + "', '" +
        nam + "', 'Team', 1, " + std::to_string(type) + ", " + tag + ", '2025-11-03', " + time +
        ", 'Woche', " + until + ")");
  }
  // A client row; times lists "MNDT01 = 600"-style assignments.
  void Client(int number, const std::string& name, int consolidated,
              const std::string& times = "") {
    Sql("INSERT INTO KVSYSTEM.KVS112MND (MNDNUM, MNDSCH, MNDKON) VALUES (" +
        std::to_string(number) + ", '" + name + "', " + std::to_string(consolidated) + ")");
    if (!times.empty()) {
      Sql("UPDATE KVSYSTEM.KVS112MND SET " + times + " WHERE MNDNUM = " +
          std::to_string(number));
    }
  }
  std::string DayEndRows() {
    return Rows("CONCAT_WS('|', JOBDA1, JOBKE2, COALESCE(JOBSTS, 'NULL'), JOBNRT)",
                "JOBRTY = '08'");
  }

  LaunchFake fake_;
  MessagePool pool_{fake_, logs_, session_};
  RecordingLink link_;
  ProcessManager manager_{fake_, logs_, jobs_, pool_, link_, "\\KVS\\bin\\", false};
  PeriodicJobs periodic_{fake_, logs_, jobs_, "060000", 60};
  ScheduledJobs scheduled_{fake_, logs_, jobs_, periodic_, link_};
  SystemJobs system_{fake_, logs_, jobs_, manager_, {}, false};
  JobStarts starts_{fake_, logs_, jobs_, manager_, periodic_, scheduled_, system_, link_, 10};
  // The starts of run type 09 as a pass makes them.
  bool Start09() { return starts_.Start(*RuleOf(kRunTypeRestart)); }
};

// ---- Calendar jobs (07) ---------------------------------------------------

// Catches the schedule read missing on MySQL (two error lines, no new
// run), the time of day not delivered as hhmmss with its leading zeros,
// the dates not read as YYYYMMDD numbers (a NULL end date taken as an end,
// an end date tomorrow taken as passed), the key parts matched against the
// wrong columns, the written row keeping its state or start attempts, a
// monthly job not on the day of SCDDTM (the 3rd), a job without a
// repetition set waiting on a JOBNRT that has passed (it would start again
// at once) or reported in every pass, and a job whose schedule is gone not
// deleted.
TEST_F(ScheduledJobsSqlTest, CalendarJobPlannedFromItsScheduleRow) {
  struct Case {
    const char* key;
    int type;  // 0: no schedule row under the key
    const char* tag;
    const char* time;
    const char* until;
    const char* jobeda;
    const char* row;  // JOBSTS|JOBNRT|JOBSTV afterwards, "" deleted
  };
  const Case cases[] = {
      {kDaily, 2, "NULL", "'06:30:00'", "NULL", "20260105060500", "00|20260106063000|0"},
      {"Late#Team#00001#00002", 2, "NULL", "'23:05:09'", "'2026-01-06'", "20260105060500",
       "00|20260106230509|0"},
      {"Over#Team#00001#00002", 2, "NULL", "'06:30:00'", "'2026-01-04'", "20260105060500",
       "98|20260105063000|1"},
      {"Monday#Team#00001#00002", 3, "'1'", "'07:00:00'", "NULL", "20260105060500",
       "00|20260112070000|0"},
      {"Monthly#Team#00001#00002", 4, "NULL", "'06:30:00'", "NULL", "20260105060500",
       "00|20260203063000|0"},
      {"Zero#Team#00001#00002", 9, "NULL", "'06:30:00'", "NULL", "20260105060500",
       "98|20260105063000|1"},
      {"Gone#Team#00001#00002", 0, "", "", "", "", ""},
      {"Gone#Team#00001#00002", 0, "", "", "", "20260105060500", "98|20260105063000|1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.key) + " " + c.jobeda);
    Sql("DELETE FROM KVSYSTEM.KVS500JOB");
    Sql("DELETE FROM KVSYSTEM.KVS800SCD");
    const std::string name = std::string(c.key).substr(0, std::string(c.key).find('#'));
    if (c.type != 0) Schedule(name, "00001", "00002", c.type, c.tag, c.time, c.until);
    // The same schedule for the key parts swapped must not be found.
    Schedule(name, "00002", "00001", 2, "NULL", "'05:00:00'", "NULL");
    Put("JOBDA1, JOBKE2, JOBRTY, JOBSTS, JOBSDA, JOBEDA, JOBNRT, JOBSTV",
        std::string("'20251101000000', '") + c.key + "', '07', '98', '20260105060000', '" +
            c.jobeda + "', '20260105063000', 1");
    JobRecord job;
    SetField(job.jobda1, "20251101000000");
    SetField(job.jobke2, c.key);
    SetField(job.jobsts, "98");
    SetField(job.jobsda, "20260105060000");
    SetField(job.jobeda, c.jobeda);
    SetField(job.jobnrt, "20260105063000");
    // Twice, as in two passes.
    EXPECT_EQ(1, scheduled_.RescheduleCalendarJob(job));
    EXPECT_EQ(1, scheduled_.RescheduleCalendarJob(job));
    EXPECT_EQ(c.row, Rows("CONCAT_WS('|', JOBSTS, JOBNRT, JOBSTV)", "JOBRTY = '07'"));
  }
  EXPECT_EQ(
      "Kalenderjob Zero#Team#00001#00002: Wiederholungsart 9 plant keinen weiteren Lauf, der "
      "Job bleibt beendet!\n",
      LogText());
}

// Catches a running row rescheduled (also with the re-arm flag), a flagged
// row rescheduled instead of set back with its JOBNRT, the flag left set,
// a failed start ("90") or a state from 11 to 89 taken as ended, state 91
// not taken as ended, and rows of another run type touched.
TEST_F(ScheduledJobsSqlTest, ReschedulePassTouchesOnlyEndedAndFlaggedRows) {
  Schedule("Daily", "00001", "00002", 2, "NULL", "'06:30:00'", "NULL");
  struct Case {
    const char* rty;
    const char* sts;
    const char* dls;
    const char* row;  // JOBSTS|JOBNRT|JOBSTV|JOBDLS afterwards
  };
  const Case cases[] = {
      {"07", "01", "1", "01|20260105063000|1|1"},
      {"07", "10", "1", "10|20260105063000|1|1"},
      {"07", "98", "1", "00|20260105063000|1|0"},
      {"07", "11", "1", "00|20260105063000|1|0"},
      {"07", "90", "0", "90|20260105063000|1|0"},
      {"07", "89", "0", "89|20260105063000|1|0"},
      {"07", "91", "0", "00|20260106063000|0|0"},
      {"07", "99", "NULL", "00|20260106063000|0|NULL"},
      {"07", "00", "0", "00|20260105063000|1|0"},
      {"03", "98", "1", "98|20260105063000|1|1"},
  };
  int serial = 0;
  for (const Case& c : cases) {
    Put("JOBDA1, JOBKE2, JOBRTY, JOBSTS, JOBDLS, JOBSDA, JOBEDA, JOBNRT, JOBSTV",
        "'202511010000" + std::to_string(10 + serial++) + "', '" + kDaily + "', '" + c.rty +
            "', '" + c.sts + "', " + c.dls +
            ", '20260105060000', '20260105060500', '20260105063000', 1");
  }
  scheduled_.Reschedule07();
  serial = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.rty) + " " + c.sts + " " + c.dls);
    EXPECT_EQ(c.row, Rows("CONCAT_WS('|', JOBSTS, JOBNRT, JOBSTV, COALESCE(JOBDLS, 'NULL'))",
                          "JOBDA1 = '202511010000" + std::to_string(10 + serial++) + "'"));
  }
  EXPECT_EQ("", LogText());
}

// ---- Day-end jobs (08) ----------------------------------------------------

// Catches the times taken from another client than "KORVALINE", a
// KORVALINE row without times (or a consolidated one) preferred to the
// first client by MNDNUM, the first client not chosen by MNDNUM, and rows
// deleted or created when no client has a time.
TEST_F(ScheduledJobsSqlTest, DayEndTimesOfTheMainOrFirstClient) {
  struct ClientRow {
    int number;
    const char* name;
    int consolidated;
    const char* times;
  };
  struct Case {
    const char* label;
    std::vector<ClientRow> clients;
    const char* rows;
  };
  // Before each case: a finished DYE+D00 of yesterday's 10:00 and a
  // waiting DYE+D07 for 09:00.
  const std::string untouched =
      "20260104080000|DYE+D00|98|20260104100000 / 20260104080000|DYE+D07|NULL|20260105090000";
  const Case cases[] = {
      {"main client",
       {{1, "OTHER", 0, "MNDT01 = 700"}, {5, "KORVALINE", 0, "MNDT01 = 600"}},
       "20260105080000|DYE+D00|NULL|20260105100000"},
      {"main client without times",
       {{1, "KORVALINE", 0, ""}, {3, "B", 0, "MNDT02 = 700"}, {2, "A", 0, "MNDD01 = 720"}},
       "20260105080000|DYE+_00|NULL|20260105120000"},
      {"consolidated main client",
       {{1, "KORVALINE", 1, "MNDT01 = 600"}, {2, "A", 0, "MNDT03 = 660"}},
       "20260105080000|DYE+D02|NULL|20260105110000"},
      {"no client with times", {{1, "KORVALINE", 0, ""}, {2, "A", 1, "MNDT01 = 600"}},
       untouched.c_str()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Sql("DELETE FROM KVSYSTEM.KVS500JOB");
    Sql("DELETE FROM KVSYSTEM.KVS112MND");
    for (const ClientRow& client : c.clients) {
      Client(client.number, client.name, client.consolidated, client.times);
    }
    Put("JOBDA1, JOBKE2, JOBURV, JOBCMD, JOBRTY, JOBSTS, JOBNRT, JOBSTV",
        "'20260104080000', 'DYE+D00', 'DayEnd', 'DayEnd.exe', '08', '98', '20260104100000', 1");
    Put("JOBDA1, JOBKE2, JOBURV, JOBCMD, JOBRTY, JOBSTS, JOBNRT, JOBSTV",
        "'20260104080000', 'DYE+D07', 'DayEnd', 'DayEnd.exe', '08', NULL, '20260105090000', 1");
    EXPECT_EQ(1, scheduled_.ExpandDayEnd());
    EXPECT_EQ(c.rows, DayEndRows());
  }
}

// Catches an inserted row with a wrong column (key, JOBURV, command, run
// type, start attempts, a state other than the default), a time equal to
// the current minute planned for today, rows duplicated in a later pass, a
// running row replaced, a finished row left or replaced for today, and a
// finished row deleted before its successor is in the table: when that
// insert fails, the 02:30 run that ends in the repeated October hour runs
// again at 02:30 standard time.
TEST_F(ScheduledJobsSqlTest, DayEndRowsInsertedAndReplacedAfterTheirRun) {
  Client(1, "KORVALINE", 0, "MNDT01 = 600, MNDD01 = 480");
  EXPECT_EQ(1, scheduled_.ExpandDayEnd());
  const std::string inserted =
      "20260105080000|DYE+D00|DayEnd|DayEnd.exe|08|NULL|1|0|20260105100000 / "
      "20260105080000|DYE+_00|DayEnd|DayEnd.exe /NODNL|08|NULL|1|0|20260106080000";
  const std::string columns =
      "CONCAT_WS('|', JOBDA1, JOBKE2, JOBURV, JOBCMD, JOBRTY, COALESCE(JOBSTS, 'NULL'), "
      "JOBSTV, JOBMRT, JOBNRT)";
  EXPECT_EQ(inserted, Rows(columns, "JOBRTY = '08'"));

  fake_.AdvanceSeconds(30);
  EXPECT_EQ(1, scheduled_.ExpandDayEnd());
  EXPECT_EQ(inserted, Rows(columns, "JOBRTY = '08'"));

  fake_.SetLocalTime(2026, 1, 5, 10, 0, 2);
  Sql("UPDATE KVSYSTEM.KVS500JOB SET JOBSTS = '01' WHERE JOBKE2 = 'DYE+D00'");
  EXPECT_EQ(1, scheduled_.ExpandDayEnd());
  EXPECT_EQ("20260105080000|DYE+D00|01|20260105100000 / "
            "20260105080000|DYE+_00|NULL|20260106080000",
            DayEndRows());

  fake_.SetLocalTime(2026, 1, 5, 10, 0, 5);
  Sql("UPDATE KVSYSTEM.KVS500JOB SET JOBSTS = '98' WHERE JOBKE2 = 'DYE+D00'");
  EXPECT_EQ(1, scheduled_.ExpandDayEnd());
  EXPECT_EQ("20260105080000|DYE+_00|NULL|20260106080000 / "
            "20260105100005|DYE+D00|NULL|20260106100000",
            DayEndRows());

  fake_.SetZone(FakePlatform::Zone::kCentralEurope);
  Sql("UPDATE KVSYSTEM.KVS112MND SET MNDT01 = 150, MNDD01 = 0");
  fake_.SetLocalTime(2027, 10, 30, 3, 15, 0);
  EXPECT_EQ(1, scheduled_.ExpandDayEnd());
  fake_.SetLocalTime(2027, 10, 31, 2, 30, 0);  // summer time
  EXPECT_TRUE(starts_.Start(*RuleOf(kRunTypeDayEnd)));
  fake_.AdvanceSeconds(45 * 60);  // 02:15 standard time
  Sql("UPDATE KVSYSTEM.KVS500JOB SET JOBSTS = '98' WHERE JOBKE2 = 'DYE+D00'");
  // A row of another run type holds the key of this pass's insert.
  Put("JOBDA1, JOBKE2, JOBRTY", "'20271031021500', 'DYE+D00', '03'");
  EXPECT_EQ(1, scheduled_.ExpandDayEnd());
  EXPECT_EQ("20271030031500|DYE+D00|98|20271031023000", DayEndRows());
  fake_.AdvanceSeconds(1);
  EXPECT_EQ(1, scheduled_.ExpandDayEnd());
  EXPECT_EQ("20271031021501|DYE+D00|NULL|20271101023000", DayEndRows());
  fake_.AdvanceSeconds(15 * 60);
  EXPECT_TRUE(starts_.Start(*RuleOf(kRunTypeDayEnd)));
  EXPECT_EQ(Strings{"DayEnd.exe"}, fake_.launches);
}

// Catches a time of 1440 minutes or more planned as hour 24 (or any
// row made for it), its line repeated in every pass, a changed value not
// reported again, and the slot of a /NODNL time not counted from 00.
TEST_F(ScheduledJobsSqlTest, DayEndTimeOfADayOrMoreIgnoredAndReportedOnce) {
  Client(1, "KORVALINE", 0, "MNDT01 = 1440, MNDT02 = 600, MNDD03 = 1500");
  EXPECT_EQ(1, scheduled_.ExpandDayEnd());
  EXPECT_EQ(1, scheduled_.ExpandDayEnd());
  const std::string lines =
      "Tagesabschluss: Zeit 1440 Minuten (Slot 00) ist keine gueltige Uhrzeit und wird "
      "ignoriert!\n"
      "Tagesabschluss: Zeit 1500 Minuten (Slot 02) ist keine gueltige Uhrzeit und wird "
      "ignoriert!\n";
  EXPECT_EQ(lines, LogText());
  EXPECT_EQ("20260105080000|DYE+D01|NULL|20260105100000", DayEndRows());

  Sql("UPDATE KVSYSTEM.KVS112MND SET MNDT01 = 1441");
  EXPECT_EQ(1, scheduled_.ExpandDayEnd());
  EXPECT_EQ(lines +
                "Tagesabschluss: Zeit 1441 Minuten (Slot 00) ist keine gueltige Uhrzeit und "
                "wird ignoriert!\n",
            LogText());
  EXPECT_EQ("20260105080000|DYE+D01|NULL|20260105100000", DayEndRows());
}

// ---- Run type 09 ------------------------------------------------------------

constexpr char k09Columns[] = "JOBDA1, JOBKE2, JOBURV, JOBCMD, JOBRTY, JOBSTS, JOBSTV";

// Catches a waiting ("00"), running or not yet failed state (89) taken as
// startable, an ended, failed ("90" with attempt 11 to come), blank or
// NULL state not started, a row with 11 attempts started, and the order
// not by JOBDA1.
TEST_F(ScheduledJobsSqlTest, Step09StartsEndedAndNewJobsOnly) {
  struct Case {
    const char* cmd;
    const char* sts;
    int stv;
    const char* urv;
  };
  const Case cases[] = {
      {"ended.exe", "'98'", 1, "'E'"},   {"waiting.exe", "'00'", 0, "'W'"},
      {"spent.exe", "'90'", 11, "'S'"},  {"new.exe", "NULL", 0, "NULL"},
      {"running.exe", "'01'", 1, "'R'"}, {"blank.exe", "'  '", 0, "'B'"},
      {"state89.exe", "'89'", 1, "'N'"}, {"tenth.exe", "'90'", 10, "'T'"},
  };
  int serial = 0;
  for (const Case& c : cases) {
    Put(k09Columns, "'202601050000" + std::to_string(10 + serial++) + "', 'K', " + c.urv +
                        ", '" + c.cmd + "', '09', " + c.sts + ", " + std::to_string(c.stv));
  }
  EXPECT_TRUE(Start09());
  EXPECT_EQ((Strings{"ended.exe", "new.exe", "blank.exe", "tenth.exe"}), fake_.launches);
  EXPECT_EQ("01 / 01 / 01 / 01", Rows("JOBSTS", "JOBCMD IN ('ended.exe', 'new.exe', 'blank.exe', "
                                          "'tenth.exe')"));
  EXPECT_TRUE(Start09());
  EXPECT_EQ(4u, fake_.launches.size());
}

// Catches a job whose program is missing tried only once per pass, more
// than eleven times, or selected again in a later pass, the step failing
// on it, and a job behind it not started in the same step.
TEST_F(ScheduledJobsSqlTest, Step09RetriesMissingProgramElevenTimes) {
  fake_.missing = "missing.exe";
  Put(k09Columns, "'20260105000001', 'M', 'M', 'missing.exe', '09', NULL, 0");
  Put(k09Columns, "'20260105000002', 'OK', 'OK', 'ok.exe', '09', '98', 0");
  EXPECT_TRUE(Start09());
  Strings expected(11, "missing.exe");
  expected.push_back("ok.exe");
  EXPECT_EQ(expected, fake_.launches);
  EXPECT_EQ("90|11", Rows("CONCAT_WS('|', JOBSTS, JOBSTV)", "JOBKE2 = 'M'"));
  std::string lines;
  for (int i = 0; i < 11; ++i) lines += "Start PGM: missing.exe Cmd:  fehlgeschlagen!\n";
  EXPECT_EQ(lines + "Start PGM: ok.exe Cmd: ok.exe\n", LogText());
  EXPECT_TRUE(Start09());
  EXPECT_EQ(12u, fake_.launches.size());
}

// Catches a job held back by the JOBURV of a job still running from an
// earlier pass, and two jobs with one JOBURV started in the same pass.
TEST_F(ScheduledJobsSqlTest, Step09HeldBackOnlyByJobsOfTheSamePass) {
  ASSERT_TRUE(manager_.running_list().Add("U"));
  Put(k09Columns, "'20260105000001', 'X', 'U', 'x.exe', '09', '98', 1");
  Put(k09Columns, "'20260105000002', 'V1', 'V', 'v1.exe', '09', NULL, 0");
  Put(k09Columns, "'20260105000003', 'V2', 'V', 'v2.exe', '09', NULL, 0");
  EXPECT_TRUE(Start09());
  EXPECT_EQ((Strings{"x.exe", "v1.exe"}), fake_.launches);
  EXPECT_TRUE(Start09());
  EXPECT_EQ((Strings{"x.exe", "v1.exe", "v2.exe"}), fake_.launches);
}

}  // namespace
}  // namespace kvs
