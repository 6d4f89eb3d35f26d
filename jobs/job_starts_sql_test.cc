#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "db/test_database.h"
#include "gtest/gtest.h"
#include "jobs/job_starts.h"
#include "platform/test_util.h"
#include "proc/cluster_node.h"
#include "proc/test_service_link.h"

namespace kvs {
namespace {

using Strings = std::vector<std::string>;

// Whole passes (reload, supervision, every run type's starts) on the
// private MariaDB with processes on the fake platform; MAXJOBS 5, the clock
// on 2026-01-05 08:00:00.
class PassSqlTest : public DatabaseTest {
 protected:
  void SetUp() override {
    DatabaseTest::SetUp();
    platform_.SetLocalTime(2026, 1, 5, 8, 0, 0);
  }
  // A waiting row: JOBKE2 and JOBURV (unless given) are the program's name.
  void Put(const std::string& run_type, const std::string& program, const std::string& nrt = "NULL",
           std::string urv = "") {
    if (urv.empty()) urv = program;
    DatabaseTest::Put("JOBDA1, JOBKE2, JOBURV, JOBCMD, JOBRTY, JOBSTS, JOBNRT, JOBSTV, JOBDLS",
                      "'20260101000000', '" + program + "', '" + urv + "', '" + program + "', '" +
                          run_type + "', NULL, " + nrt + ", 0, 3");
  }
  // One pass as the controller makes it (complete: its starts went to
  // the end); the programs it started.
  Strings Pass(bool complete = true) {
    const size_t before = platform_.launches.size();
    processes_.BeginPass();
    EXPECT_EQ(1, processes_.GetKvProcs());
    processes_.Supervise();
    EXPECT_EQ(complete, starts_.RunPass("20260105080000"));
    return Strings(platform_.launches.begin() + static_cast<long>(before),
                   platform_.launches.end());
  }

  RecordingLink link_;
  MessagePool pool_{platform_, logs_, session_};
  ProcessManager processes_{platform_, logs_, jobs_, pool_, link_, "C:\\KVS\\bin\\", false};
  PeriodicJobs periodic_{platform_, logs_, jobs_, "060000", 60};
  ScheduledJobs scheduled_{platform_, logs_, jobs_, periodic_, link_};
  SystemJobs system_{platform_, logs_, jobs_, processes_, {}, false};
  JobStarts starts_{platform_, logs_, jobs_, processes_, periodic_, scheduled_, system_, link_, 5};
};

// A node of a cluster on the shared table: its own rules, pool, processes
// and starts (MAXJOBS 2), its passes taken by the test; time-out 60 s.
struct Node {
  Node(FakePlatform& platform, Logs& logs, Session& session, const char* name)
      : jobs(session),
        pool(platform, logs, session),
        node(platform, logs, pool, jobs, name, 60, ""),
        processes(platform, logs, jobs, pool, link, "C:\\KVS\\bin\\", false),
        periodic(platform, logs, jobs, "060000", 60),
        scheduled(platform, logs, jobs, periodic, link),
        system(platform, logs, jobs, processes, {}, false),
        starts(platform, logs, jobs, processes, periodic, scheduled, system, link, 2) {
    jobs.set_rules(&node);
  }
  // A pass as the controller makes it, with the lease's renewal when due;
  // the programs it started.
  Strings Pass(FakePlatform& platform) {
    const size_t before = platform.launches.size();
    node.RenewStep(jobs.session());
    node.Watch();
    processes.BeginPass();
    EXPECT_EQ(1, processes.GetKvProcs());
    processes.Supervise();
    EXPECT_TRUE(starts.RunPass("20260105080000"));
    return Strings(platform.launches.begin() + static_cast<long>(before), platform.launches.end());
  }
  JobTable jobs;
  RecordingLink link;
  MessagePool pool;
  ClusterNode node;
  ProcessManager processes;
  PeriodicJobs periodic;
  ScheduledJobs scheduled;
  SystemJobs system;
  JobStarts starts;
};

// Two nodes on one table, their passes taking turns. Catches a row started
// by both (a claim that does not keep the second node out), a node that
// counts the other's jobs towards its MAXJOBS or supervises them, two jobs
// of one JOBURV running on different nodes, a row without its node's name,
// and a dead node's permanent job not started again after the take-over.
TEST_F(PassSqlTest, TwoNodesStartEachRowOnce) {
  Node a(platform_, logs_, session_, "a"), b(platform_, logs_, session_, "b");
  ASSERT_EQ(0, a.node.Join());
  ASSERT_EQ(0, b.node.Join());
  Put("04", "perm");
  Put("01", "k1", "NULL", "u");
  Put("01", "k2", "NULL", "u");
  for (const char* program : {"q1", "q2", "q3", "q4", "q5"}) Put("01", program);

  // b selected k1 as a did, but a claimed it first: b starts nothing and
  // says nothing.
  JobRecord k1;
  ASSERT_EQ(0, jobs_.NextJob(TextNextJob(*RuleOf(kRunTypeQueue), Dialect::kMysql,
                                         "20260105080000", SqlList()),
                             &k1));
  EXPECT_EQ((Strings{"perm", "k1"}), a.Pass(platform_));
  const std::string log_before = LogText();
  EXPECT_EQ(kLaunchClaimedElsewhere, b.processes.Launch(k1, 0));
  EXPECT_EQ(log_before, LogText());
  // MAXJOBS 2 a node: a's jobs do not count for b, but a's JOBURV holds k2
  // (in a's own pass that ends k1 too: the list is the one of the reload).
  EXPECT_EQ((Strings{"q1", "q2"}), b.Pass(platform_));
  EXPECT_EQ(Strings{}, a.Pass(platform_));
  platform_.EndProcess(platform_.PidOf("k1"));
  platform_.EndProcess(platform_.PidOf("q1"));
  EXPECT_EQ((Strings{"q3"}), a.Pass(platform_));
  EXPECT_EQ((Strings{"k2"}), b.Pass(platform_));
  EXPECT_EQ("k1 98 a / k2 01 b / perm 01 a / q1 98 b / q2 01 b / q3 01 a / q4 -- - / q5 -- -",
            Rows("CONCAT_WS(' ', JOBKE2, COALESCE(JOBSTS, '--'), COALESCE(NULLIF(JOBUSR, ''), "
                 "'-'))",
                 "JOBDA1 <> '99999999999999'"));

  // a stands still past its time-out: its permanent job has died, its queue
  // job runs on. b takes them over and starts the permanent job again (the
  // queue job ends as terminated); a, going on, ends the queue job that is
  // no longer its own and leaves both rows to b.
  platform_.EndProcess(platform_.PidOf("perm"));
  ASSERT_EQ(0, session_.Execute(TestStatement(
                   "UPDATE KVSYSTEM.KVS500JOB SET JOBSDA = '20260101000000' WHERE JOBKE2 = "
                   "'JOBSTARTER a'")));
  int64_t rows = 0;
  ASSERT_EQ(0, b.jobs.TakeOver({"a", "20260101000000", true, false}, 60, &rows));
  EXPECT_EQ(2, rows);
  EXPECT_EQ((Strings{"perm"}), b.Pass(platform_));
  const uint32_t q3 = platform_.PidOf("q3");
  EXPECT_EQ((Strings{"kill " + std::to_string(q3), "q4", "q5"}), a.Pass(platform_));
  EXPECT_FALSE(platform_.InspectProcess(q3).opened);
  EXPECT_NE(std::string::npos,
            LogText().find(StrFormat(kLogJobTakenAway, "q3", static_cast<int>(q3))));
  EXPECT_EQ("perm 01 b / q3 99 a",
            Rows("CONCAT_WS(' ', JOBKE2, JOBSTS, JOBUSR)", "JOBKE2 IN ('perm', 'q3')"));

  // b stops right after its permanent job ended on its own: no row of b's
  // stays "01" to block the job until a take-over.
  platform_.EndProcess(platform_.PidOf("perm"));
  b.processes.TerminateAll(kReasonServiceGone);
  EXPECT_EQ("perm 98 b", Rows("CONCAT_WS(' ', JOBKE2, JOBSTS, JOBUSR)", "JOBKE2 = 'perm'"));

  // a claims a row of JOBURV x between b's reload and b's starts: b's
  // claim of the other row of x is refused, and the pass goes on without
  // selecting that row again and again (it would never end).
  Put("01", "x1", "NULL", "x");
  Put("01", "x2", "NULL", "x");
  Put("01", "y1");
  b.processes.BeginPass();
  ASSERT_EQ(1, b.processes.GetKvProcs());
  b.processes.Supervise();
  JobRecord x1;
  SetField(x1.jobda1, "20260101000000");
  SetField(x1.jobke2, "x1");
  SetField(x1.joburv, "x");
  ASSERT_EQ(0, a.jobs.ClaimJob(x1, "a", nullptr));
  const size_t launched = platform_.launches.size();
  EXPECT_TRUE(b.starts.RunPass("20260105080000"));
  EXPECT_EQ(
      (Strings{"perm", "y1"}),
      Strings(platform_.launches.begin() + static_cast<long>(launched), platform_.launches.end()));
}

// One node's life beside another. Catches a second start under a live
// node's name (settings copied), shared duties on a node that is not
// first, a lapsed lease whose jobs run on, that starts more or calls its
// jobs ended of themselves, a node taken over whose jobs run on, a node
// that goes on once another instance holds its name, a clean stop taken
// for a silent node, a leader that does not take up the duties, and rows
// no node owns left in "01" for ever.
TEST_F(PassSqlTest, NodesHoldTheirNamesAndLeases) {
  Sql("DELETE FROM KVSYSTEM.KVS200MSG");
  Node a(platform_, logs_, session_, "a"), b(platform_, logs_, session_, "b");
  ASSERT_EQ(0, a.node.Join());
  ASSERT_EQ(0, b.node.Join());
  const Dialect dialect = session_.dialect();
  auto alive = [&](const char* program) {
    return platform_.InspectProcess(platform_.PidOf(program)).opened;
  };
  auto logged = [&](const std::string& line) { return LogText().find(line) != std::string::npos; };
  Put("01", "q1");
  Put("01", "q2");
  EXPECT_EQ((Strings{"q1", "q2"}), a.Pass(platform_));
  EXPECT_EQ(Strings{}, b.Pass(platform_));
  EXPECT_TRUE(a.node.SharedDuties());
  EXPECT_FALSE(b.node.SharedDuties());

  // A copy of a's settings (names compare without case): refused, and a's
  // row and jobs are as they were.
  Node copy(platform_, logs_, session_, "A");
  const std::string row_of_a = Rows("CONCAT_WS(' ', JOBNAM, JOBSDA)", "JOBKE2 = 'JOBSTARTER a'");
  std::string no_record;
  ASSERT_TRUE(copy.pool.CreateRecord(&no_record)) << no_record;
  EXPECT_EQ(kExitNodeInUse, copy.node.Join());
  EXPECT_TRUE(logged("Knoten A laeuft bereits (Instanz " + a.node.instance() + ", zuletzt "));
  EXPECT_EQ("1", Value("SELECT COUNT(*) AS v FROM KVSYSTEM.KVS200MSG WHERE MSGTXT LIKE '%" +
                       StrFormat(kMsgNodeInUse, "A") + "'"));
  EXPECT_EQ(row_of_a, Rows("CONCAT_WS(' ', JOBNAM, JOBSDA)", "JOBKE2 = 'JOBSTARTER a'"));
  EXPECT_TRUE(alive("q1") && alive("q2"));

  // a cannot renew for half its time-out: its watchdog ends its jobs and
  // it starts none until it renews again.
  platform_.AdvanceSeconds(31);
  a.node.WatchdogStep();
  EXPECT_FALSE(alive("q1") || alive("q2"));
  EXPECT_TRUE(
      logged("Knoten a: Statussatz seit 31000 ms nicht erneuert => 2 eigene Jobs beendet!\n"));
  EXPECT_FALSE(a.node.MayStartJobs());
  Put("01", "q3");
  a.node.RenewStep(session_);
  EXPECT_EQ((Strings{"q3"}), a.Pass(platform_));
  // Their rows say they were cut short, as after an outage.
  EXPECT_EQ("q1 99 / q2 99", Rows("CONCAT_WS(' ', JOBKE2, JOBSTS)", "JOBKE2 IN ('q1', 'q2')"));

  // Taken over meanwhile: its job ends as soon as the lease finds out, and
  // the node is back.
  Sql("UPDATE KVSYSTEM.KVS500JOB SET JOBSTS = '99' WHERE JOBKE2 IN ('JOBSTARTER a', 'q3')");
  platform_.AdvanceSeconds(16);
  a.node.RenewStep(session_);
  EXPECT_FALSE(alive("q3"));
  EXPECT_TRUE(logged("Knoten a wurde von anderen Knoten uebernommen => 1 eigene Jobs beendet!\n"));
  EXPECT_EQ("-", Rows("COALESCE(JOBSTS, '-')", "JOBKE2 = 'JOBSTARTER a'"));

  // Another instance took the name while a was cut off: a ends its jobs,
  // starts none and leaves every row alone.
  Put("01", "q4");
  EXPECT_EQ((Strings{"q4"}), a.Pass(platform_));
  ASSERT_EQ(0, session_.Execute(TextJoinNode(dialect, "a", "other", a.node.instance())));
  platform_.AdvanceSeconds(16);
  a.node.RenewStep(session_);
  EXPECT_FALSE(alive("q4"));
  EXPECT_TRUE(a.node.Displaced() && !a.node.MayStartJobs());
  EXPECT_TRUE(
      logged("Knoten a gehoert jetzt Instanz other: keine Jobstarts mehr, eigene Jobs "
             "beendet, der Jobcontroller endet!\n"));

  // The other instance stops cleanly: b becomes first without a take-over
  // and takes up the duties; q4's row, left "01" under a node that left,
  // and a row of a controller from before cluster mode are taken over once
  // b has watched them for a time-out.
  ASSERT_EQ(0, session_.Execute(TextLeaveNode(dialect, "a", "other")));
  DatabaseTest::Put("JOBDA1, JOBKE2, JOBURV, JOBCMD, JOBRTY, JOBSTS, JOBUSR, JOBSDA",
                    "'20260101000000', 'old', 'old', 'old', '01', '01', '', '20251231235959'");
  EXPECT_EQ(Strings{}, b.Pass(platform_));
  EXPECT_TRUE(b.node.SharedDuties() && b.node.BecameLeader() && !b.node.BecameLeader());
  EXPECT_TRUE(logged("Knoten b uebernimmt die gemeinsamen Aufgaben!\n"));
  for (int pass = 0; pass < 3; ++pass) {
    EXPECT_EQ("old 01 / q4 01", Rows("CONCAT_WS(' ', JOBKE2, JOBSTS)", "JOBKE2 IN ('old', 'q4')"));
    platform_.AdvanceSeconds(25);
    EXPECT_EQ(Strings{}, b.Pass(platform_));
  }
  EXPECT_EQ("old 99 / q4 99", Rows("CONCAT_WS(' ', JOBKE2, JOBSTS)", "JOBKE2 IN ('old', 'q4')"));
  EXPECT_TRUE(logged("Job 20260101000000 old laeuft unter keinem Knoten (''): auf 99 gesetzt"));
  EXPECT_TRUE(logged("Job 20260101000000 q4 laeuft unter keinem Knoten ('a'): auf 99 gesetzt"));
  EXPECT_FALSE(logged("still:"));
}

// Catches the run types started out of order, a queue job started beyond
// MAXJOBS when the running jobs are permanent ones, and a permanent job
// held to MAXJOBS.
TEST_F(PassSqlTest, RunTypesInPassOrderAndMaxJobs) {
  for (const char* program : {"p1", "p2", "p3", "p4", "p5"}) Put("04", program);
  Put("09", "r9");
  Put("08", "d8", "'20260105070000'");
  Put("07", "c7", "'20260105070000'");
  Put("03", "t3", "'20260105070000'");
  Put("01", "q1");
  EXPECT_EQ((Strings{"p1", "p2", "p3", "p4", "p5", "t3", "c7", "d8", "r9"}), Pass());
  EXPECT_EQ(Strings{}, Pass());
}

// Catches an exclusive job started beside running jobs or held back by a
// permanent one, the other run types started while it waits or kept back
// once it runs, its waiting told in every pass, queue jobs started beyond
// MAXJOBS, two jobs of one JOBURV started together, and a pass that stops
// starting queue jobs once it has retired a used-up one ahead of them.
TEST_F(PassSqlTest, ExclusiveJobWaitsForAllButPermanentAndRestartJobs) {
  Put("04", "daemon");
  Put("01", "a01");
  ASSERT_EQ(0, session_.Execute(TestStatement(
                   "UPDATE KVSYSTEM.KVS500JOB SET JOBSTV = 11 WHERE JOBKE2 = 'a01'")));
  Put("01", "q1");
  Put("01", "q2");
  EXPECT_EQ((Strings{"daemon", "q1", "q2"}), Pass());
  Put("05", "x5");
  Put("04", "p4");
  Put("01", "q3");
  Put("03", "t3", "'20260105070000'");
  Put("09", "r9");
  EXPECT_EQ(Strings{}, Pass());
  EXPECT_TRUE(starts_.exclusive_waiting());
  EXPECT_EQ(Strings{}, Pass());
  platform_.EndProcess(1001);
  platform_.EndProcess(1002);
  EXPECT_EQ(Strings{"x5"}, Pass());
  Put("01", "q4", "NULL", "q3");
  Put("01", "q5");
  Put("01", "q6");
  EXPECT_EQ((Strings{"p4", "q3", "q5", "t3", "r9"}), Pass());
  EXPECT_EQ(
      "Start PGM: daemon Cmd: daemon\nStart PGM: a01 nicht gestartet: mehr als 10 "
      "Startversuche! Status 90.\nStart PGM: q1 Cmd: q1\nStart PGM: q2 Cmd: q2\nStart PGM: x5 "
      "wartet als exklusiver Job, bis ausser RunType 04 und 09 kein Job mehr laeuft!\nStart "
      "PGM: x5 Cmd: x5\nStart PGM: p4 Cmd: p4\nStart PGM: q3 Cmd: q3\nStart PGM: q5 Cmd: "
      "q5\nStart PGM: t3 Cmd: t3\nStart PGM: r9 Cmd: r9\n",
      LogText());
}

// Rows whose programs are missing, their start attempts used up to the
// eleventh, pass by pass: run types 04 and 09 try again at once, 01 once;
// a row already at eleven is not started, and a queue row at eleven is
// retired ("90"), also under a key with a quote and a backslash. Catches a
// row tried without bound or given up before its eleventh attempt, its
// attempts spread over passes, a used-up row started, and a used-up row
// whose "90" cannot be written selected again and again within one pass
// instead of ending the pass and trying once a pass.
TEST_F(PassSqlTest, StartAttemptsEndWithTheEleventh) {
  platform_.missing_programs = {"run"};
  struct Row {
    const char* run_type;
    const char* key;
    const char* sts;
    int stv;
    int tries;  // in the first pass
  };
  const Row rows[] = {
      {"04", "p-new", "NULL", 0, 11},  {"04", "p-ten", "'90'", 10, 1},
      {"04", "p-used", "'90'", 11, 0}, {"01", "q-new", "NULL", 0, 1},
      {"01", "q-ten", "NULL", 10, 1},  {"01", "q-used", "NULL", 11, 0},
      {"01", "q'\\", "'  '", 11, 0},   {"09", "r-new", "NULL", 0, 11},
  };
  Strings tried;
  for (const Row& r : rows) {
    DatabaseTest::Put("20260101000000", SqlQuote(r.key), r.run_type, r.sts, r.stv);
    tried.insert(tried.end(), r.tries, std::string("run ") + r.key);
  }
  EXPECT_EQ(tried, Pass());
  EXPECT_EQ(Strings{}, Pass());
  EXPECT_EQ(
      "p-new|90|11 / p-ten|90|11 / p-used|90|11 / q'\\|90|11 / q-new|90|1 / q-ten|90|11 / "
      "q-used|90|11 / r-new|90|11",
      Rows("CONCAT(JOBKE2, '|', JOBSTS, '|', JOBSTV)"));
  std::string failed;
  for (const std::string& command : tried) {
    failed += "Start PGM: " + command + " Cmd:  fehlgeschlagen!\n";
  }
  const std::string used_up = " nicht gestartet: mehr als 10 Startversuche! Status 90.\n";
  // 04, then 01 in key order, then 09.
  EXPECT_EQ(failed.substr(0, failed.find("Start PGM: run q-new")) + "Start PGM: run q'\\" +
                used_up + "Start PGM: run q-new Cmd:  fehlgeschlagen!\n" +
                "Start PGM: run q-ten Cmd:  fehlgeschlagen!\nStart PGM: run q-used" + used_up +
                failed.substr(failed.find("Start PGM: run r-new")),
            LogText());

  // A used-up row whose "90" the database refuses: the pass ends at it,
  // the row behind it waits, and the next pass tries once more.
  struct DropTrigger {
    Session& session;
    ~DropTrigger() {
      (void)session.Execute(TestStatement("DROP TRIGGER IF EXISTS KVSYSTEM.KVS_TEST_REFUSE_90"));
    }
  } drop{session_};
  Sql("DROP TRIGGER IF EXISTS KVSYSTEM.KVS_TEST_REFUSE_90");
  Sql("CREATE TRIGGER KVSYSTEM.KVS_TEST_REFUSE_90 BEFORE UPDATE ON "
      "KVSYSTEM.KVS500JOB FOR EACH ROW IF NEW.JOBKE2 = 'stuck' AND NEW.JOBSTS = '90' THEN "
      "SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = 'refused'; END IF");
  DatabaseTest::Put("20260101000000", "stuck", "01", "NULL", 11);
  DatabaseTest::Put("20260101000000", "waits", "01", "NULL", 0);
  logs_.Clear();
  // The trigger's error (1644), as the update returns it.
  const std::string refused = "Start PGM: run stuck" + used_up +
                              "Start PGM: run stuck Status 90 konnte nicht geschrieben werden! "
                              "RC: 1644\nFehler bei der Verarbeitung der Jobs mit RunType "
                              "01!\n";
  EXPECT_EQ(Strings{}, Pass(false));
  EXPECT_EQ(refused, LogText());
  EXPECT_EQ(Strings{}, Pass(false));
  EXPECT_EQ(refused + refused, LogText());
  Sql("DROP TRIGGER KVSYSTEM.KVS_TEST_REFUSE_90");
  EXPECT_EQ(Strings{"run waits"}, Pass());
  EXPECT_EQ("stuck|90|11 / waits|90|1",
            Rows("CONCAT(JOBKE2, '|', JOBSTS, '|', JOBSTV)", "JOBKE2 IN ('stuck', 'waits')"));
}

// Minutes of a Monday morning, pass by pass on the fake clock: a time-plan
// job (03) with a window of three one-minute slots from 08:00, the daily
// and interval system jobs, a calendar job (07) due at 08:02 every day and
// the day-end job (08) of the main client at 08:01. Each process ends a
// few seconds after its start. Catches a plan read on the wrong weekday or
// minute, a pass that plans too early or never, a "97" job started, a job
// started before its time or not at all, a system job not planned anew
// from the settings after its run (daily: tomorrow at the daily time,
// interval: now plus the cycle), a calendar job not planned for tomorrow
// at its schedule time, and a day-end row not replaced by tomorrow's.
TEST_F(PassSqlTest, PeriodicAndScheduledJobsThroughTheMinutes) {
  for (const char* table : {"KVS139TPL", "KVS800SCD", "KVS112MND"}) {
    Sql(std::string("DELETE FROM KVSYSTEM.") + table);
  }
  Sql("INSERT INTO KVSYSTEM.KVS139TPL VALUES ('PLAN', 1, 480, 483, 1, 1)");
  DatabaseTest::Put("JOBDA1, JOBKE2, JOBURV, JOBCMD, JOBRTY, JOBDLS, JOBSCD, JOBNRT, JOBSTV",
                    "'20260105000001', 'PLAN', 'u-plan', 'plan.exe', '03', 0, 'PLAN', '', 0");
  system_.RegisterDailyAndIntervalJobs("060000");
  Sql("INSERT INTO KVSYSTEM.KVS800SCD (SCDLIZ, SCDMND, SCDNAM, SCDSBE, SCDART, "
      "SCDTYP, SCDTAG, SCDDTM, SCDUHR, SCDDWH, SCDBIS) VALUES ('00001', '00002', 'Daily', "
      "'Team', 1, 2, NULL, '2026-01-05', '08:02:00', 'Taeglich', NULL)");
  DatabaseTest::Put("JOBDA1, JOBKE2, JOBURV, JOBCMD, JOBRTY, JOBSTS, JOBNRT, JOBSTV",
                    "'20260105000002', 'Daily#Team#00001#00002', 'u-cal', 'cal.exe', '07', "
                    "'00', '20260105080200', 0");
  Sql("INSERT INTO KVSYSTEM.KVS112MND (MNDNUM, MNDSCH, MNDKON, MNDT01) VALUES "
      "(1, 'KORVALINE', 0, 481)");
  const std::string row = "CONCAT_WS('|', JOBKE2, COALESCE(JOBSTS, 'NULL'), JOBNRT)";
  std::map<std::string, int64_t> started;  // pid -> start second
  Strings seen;
  // Passes every 5 seconds up to 08:04:00.
  for (int second = 0; second <= 240; second += 5) {
    if (second > 0) platform_.AdvanceSeconds(5);
    for (auto it = started.begin(); it != started.end();) {
      if (second - it->second >= 5) {
        platform_.EndProcess(static_cast<uint32_t>(std::stoul(it->first)));
        it = started.erase(it);
      } else {
        ++it;
      }
    }
    const size_t before = platform_.launches.size();
    (void)Pass();
    for (size_t i = before; i < platform_.launches.size(); ++i) {
      started[std::to_string(1000 + i)] = second;
    }
    const std::string now = Rows(row);
    if (seen.empty() || seen.back().substr(seen.back().find(' ') + 1) != now) {
      seen.push_back(std::to_string(second) + " " + now);
    }
  }
  // Second of the pass, then every row as KEY|JOBSTS|JOBNRT.
  const std::string d = "DAILY SYSTEMJOB|", i = "INTERVALL SYSTEMJOB|", p = "PLAN|",
                    c = "Daily#Team#00001#00002|", e = "DYE+D00|";
  EXPECT_EQ((Strings{
                "0 " + d + "01|20260105060000 / " + i + "01|20260105080000 / " + p +
                    "01|20260105080000 / " + c + "00|20260105080200 / " + e + "NULL|20260105080100",
                "5 " + d + "98|20260105060000 / " + i + "98|20260105080000 / " + p +
                    "98|20260105080000 / " + c + "00|20260105080200 / " + e + "NULL|20260105080100",
                "60 " + d + "00|20260106060000 / " + i + "00|20260105090100 / " + p +
                    "00|20260105080200 / " + c + "00|20260105080200 / " + e + "01|20260105080100",
                "65 " + d + "00|20260106060000 / " + i + "00|20260105090100 / " + p +
                    "00|20260105080200 / " + c + "00|20260105080200 / " + e + "NULL|20260106080100",
                "120 " + d + "00|20260106060000 / " + i + "00|20260105090100 / " + p +
                    "01|20260105080200 / " + c + "01|20260105080200 / " + e + "NULL|20260106080100",
                "125 " + d + "00|20260106060000 / " + i + "00|20260105090100 / " + p +
                    "98|20260105080200 / " + c + "00|20260106080200 / " + e + "NULL|20260106080100",
                "180 " + d + "00|20260106060000 / " + i + "00|20260105090100 / " + p +
                    "97|20260105080200 / " + c + "00|20260106080200 / " + e + "NULL|20260106080100",
            }),
            seen);
  for (const char* table : {"KVS139TPL", "KVS800SCD", "KVS112MND"}) {
    Sql(std::string("DELETE FROM KVSYSTEM.") + table);
  }
}

// The run types' selections on the private MariaDB, each row laid down by
// plain SQL.
class SelectionSqlTest : public DatabaseTest {
 protected:
  void Clear() { ASSERT_EQ(0, session_.Execute(TestStatement("DELETE FROM KVSYSTEM.KVS500JOB"))); }
  int Next(RunType run_type, const SqlList& running_list, JobRecord* job) {
    return jobs_.NextJob(
        TextNextJob(*RuleOf(run_type), session_.dialect(), "20260105080000", running_list), job);
  }
};

// Catches the run type 04 selection restarting a job that failed 11 times,
// or not restarting one that ended, failed or was terminated.
TEST_F(SelectionSqlTest, PermanentJobByStateAndAttempts) {
  struct Case {
    const char* sts;
    int stv;
    const char* urv;
    bool selected;
  };
  const Case cases[] = {
      {"'90'", 10, "'p'", true},  {"'98'", 0, "'p'", true},   {"'99'", 10, "'p'", true},
      {"NULL", 0, "'p'", true},   {"'  '", 1, "'p'", true},   {"'90'", 11, "'p'", false},
      {"'99'", 12, "'p'", false}, {"NULL", 11, "'p'", false}, {"'01'", 0, "'p'", false},
      {"'89'", 0, "'p'", false},  {"'98'", 0, "'a'", false},  {"'98'", 0, "NULL", true},
  };
  for (const Case& c : cases) {
    Clear();
    Put("20260101000000", "PERM", "04", c.sts, c.stv, c.urv);
    Put("20250101000000", "OTHER TYPE", "01", "NULL", 0);
    JobRecord job;
    const int rc = Next(kRunTypePermanent, ListOf({"a", "b"}), &job);
    EXPECT_EQ(rc, c.selected ? 0 : 100) << c.sts << " " << c.stv << " " << c.urv;
    if (rc == 0) {
      EXPECT_STREQ(job.jobke2, "PERM");
    }
  }
}

// Catches a running or finished row started again, the wrong order, a
// NULL JOBURV excluded by NOT IN, a job started twice beside itself, and a
// running JOBURV with a quote, a backslash or a percent sign not excluded
// (or breaking the statement).
TEST_F(SelectionSqlTest, QueueJobIsOldestWaitingNotRunning) {
  struct Row {
    const char* da1;
    const char* ke2;
    const char* rty;
    const char* sts;
    const char* urv;
  };
  struct Case {
    const char* what;
    std::vector<Row> rows;
    std::initializer_list<std::string> list;
    const char* expected;  // "" for no row
  };
  const Case cases[] = {
      {"running, ended and other run types are skipped",
       {{"20260101000000", "RUNNING", "01", "'01'", "NULL"},
        {"20260101000001", "ENDED", "01", "'98'", "NULL"},
        {"20260101000002", "WAITING 00", "01", "'00'", "NULL"},
        {"20260101000003", "PERMANENT", "04", "NULL", "NULL"},
        {"20260102000000", "B", "01", "NULL", "NULL"}},
       {},
       "B"},
      {"oldest by JOBDA1",
       {{"20260102000000", "A", "01", "NULL", "NULL"},
        {"20260101000000", "Z", "01", "'  '", "NULL"}},
       {},
       "Z"},
      {"then by JOBKE2",
       {{"20260101000000", "Z", "01", "NULL", "NULL"},
        {"20260101000000", "M", "01", "'  '", "NULL"}},
       {},
       "M"},
      {"JOBURV in the list is skipped",
       {{"20260101000000", "A", "01", "NULL", "'a'"}, {"20260102000000", "B", "01", "NULL", "'c'"}},
       {"a", "b"},
       "B"},
      {"NULL JOBURV is never excluded",
       {{"20260101000000", "A", "01", "NULL", "NULL"}},
       {"a", "b"},
       "A"},
      {"NULL JOBURV with the empty list", {{"20260101000000", "A", "01", "'  '", "NULL"}}, {}, "A"},
      {"all blocked", {{"20260101000000", "A", "01", "NULL", "'b'"}}, {"a", "b"}, ""},
  };
  for (const Case& c : cases) {
    Clear();
    for (const Row& r : c.rows) Put(r.da1, r.ke2, r.rty, r.sts, 0, r.urv);
    JobRecord job;
    const int rc = Next(kRunTypeQueue, ListOf(c.list), &job);
    EXPECT_EQ(rc, *c.expected ? 0 : 100) << c.what;
    EXPECT_STREQ(job.jobke2, c.expected) << c.what;
  }
  for (const std::string value :
       {"it's", "C:\\jobs\\", "100%", "%s%d", "M\xFCller", "'", "\\", "a\\'b", "''"}) {
    Clear();
    Put("20260101000000", "V", "01", "NULL", 0, "'" + SqlQuote(value) + "'");
    JobRecord job;
    EXPECT_EQ(Next(kRunTypeQueue, ListOf({"other"}), &job), 0) << value;
    EXPECT_EQ(job.joburv, value);
    EXPECT_EQ(Next(kRunTypeQueue, ListOf({"other", value}), &job), 100)
        << value << ": " << session_.error().message;
  }
}

// Catches an exclusive job started before its earliest start (or the
// MySQL date format passed with doubled percent signs, which never matches).
TEST_F(SelectionSqlTest, ExclusiveJobWaitsForItsStart) {
  struct Case {
    const char* dlt;
    const char* sts;
    bool selected;
  };
  const Case cases[] = {
      {"NULL", "NULL", true},
      {"'20000101000000'", "'  '", true},
      {"'29991231235959'", "NULL", false},
      {"NULL", "'01'", false},
  };
  for (const Case& c : cases) {
    Clear();
    Put("20260101000000", "EXCL", "05", c.sts, 0, "NULL", c.dlt);
    JobRecord job;
    EXPECT_EQ(Next(kRunTypeExclusive, ListOf({}), &job), c.selected ? 0 : 100)
        << c.dlt << " " << c.sts;
  }
}

}  // namespace
}  // namespace kvs
