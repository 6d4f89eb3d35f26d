#include "proc/process_manager.h"

#include <memory>
#include <string>
#include <vector>

#include "diag/test_logs.h"
#include "gtest/gtest.h"
#include "platform/fake_platform.h"
#include "proc/test_service_link.h"

namespace kvs {
namespace {

constexpr char kOwnDir[] = "\\KVS\\bin\\";
constexpr char kCommand[] = "C:\\KVS\\bin\\PortWatch.exe -q";

// A manager on the fake platform whose session never connected: every
// row update fails with -1, as when the database is gone. The logs lie in
// a scratch directory.
class ProcessManagerTest : public testing::Test {
 protected:
  ProcessManagerTest() { pool_.SetFallbackFile(scratch_.File("JOBCTLMSG.log")); }

  std::unique_ptr<ProcessManager> Manager(bool multiservices, const char* own_dir = kOwnDir) {
    return std::make_unique<ProcessManager>(fake_, logs_, jobs_, pool_, link_, own_dir,
                                            multiservices);
  }

  std::string LogTexts() { return logs_.MainTexts(); }
  void ClearLog() { logs_.Clear(); }

  ScratchDir scratch_{"kvs_proc_"};
  FakePlatform fake_;
  RecordingLink link_;
  TestLogs logs_{fake_, scratch_.path()};
  Session session_{logs_};
  JobTable jobs_{session_};
  MessagePool pool_{fake_, logs_, session_};
};

// Catches a refused start that still creates the process (it would run
// without an entry or unlisted and be started again) and the wrong refusal
// or log line: more than 10 attempts is refused silently, a full table and
// a full running list with their own lines.
TEST_F(ProcessManagerTest, LaunchRefusalsStartNothing) {
  struct Case {
    const char* what;
    bool fill_table;
    bool fill_list;
    int32_t jobstv;
    int result;
    std::string log;
  };
  const Case cases[] = {
      {"11 attempts", false, false, 11, kLaunchTooManyAttempts, ""},
      {"11 attempts, table full", true, false, 11, kLaunchTooManyAttempts, ""},
      {"table full", true, false, 0, kLaunchNoRoom,
       "Start PGM: C:\\KVS\\bin\\PortWatch.exe -q nicht gestartet: Prozesstabelle voll (1024 "
       "Eintraege)!\n"},
      {"list full", false, true, 0, kLaunchNoRoom,
       "Start PGM: C:\\KVS\\bin\\PortWatch.exe -q nicht gestartet: Liste der laufenden Jobs "
       "voll (5000 Zeichen)!\n"},
  };
  for (const Case& c : cases) {
    ClearLog();
    fake_.launches.clear();
    auto manager = Manager(false);
    if (c.fill_table) {
      while (ManagedProcess* e = manager->table().FreeEntry()) e->pid = 7;
    }
    if (c.fill_list) {
      ASSERT_TRUE(manager->running_list().Add(std::string(4997, 'x')));
    }
    const std::string list_before = manager->running_list().text();
    EXPECT_EQ(manager->Launch(ToStart(kCommand, "20260105070000", "JOB1", "PW", 0), c.jobstv),
              c.result)
        << c.what;
    EXPECT_TRUE(fake_.launches.empty()) << c.what;
    EXPECT_EQ(LogTexts(), c.log) << c.what;
    EXPECT_EQ(manager->running_count(), 0) << c.what;
    EXPECT_EQ(manager->running_list().text(), list_before) << c.what;
  }
}

// Catches a start whose row cannot be written that keeps running (the job
// would be started again with the next pass: also when the kill command is
// slow, or the process outlives it, which must then be said) or counts as
// running, and a failed start without its two lines: with the database
// gone each gives 88.
TEST_F(ProcessManagerTest, LaunchWithoutDatabaseIsUndone) {
  struct Case {
    const char* what;
    int fail_launch;
    int kill_takes_ms;
    bool survives_kill;
    std::vector<std::string> launches;
    std::string log;
  };
  const std::string not_written =
      "Start PGM: C:\\KVS\\bin\\PortWatch.exe -q Cmd: portwatch.exe Fehler Update Kvs500Job "
      "RC: -1\n";
  const Case cases[] = {
      {"started", 0, 0, false, {kCommand, "kill 1000"}, not_written},
      {"slow kill", 0, 1500, false, {kCommand, "kill 1000"}, not_written},
      {"outlives kill", 0, 0, true, {kCommand, "kill 1000"},
       not_written +
           "Start PGM: C:\\KVS\\bin\\PortWatch.exe -q ProcessID 1000 laeuft nach kill weiter "
           "und ist nicht eingetragen!\n"},
      {"not started", kErrFileNotFound, 0, false, {kCommand},
       "Start PGM: C:\\KVS\\bin\\PortWatch.exe -q Cmd:  fehlgeschlagen!\n"
       "Start PGM: C:\\KVS\\bin\\PortWatch.exe -q Fehler Update Kvs500Job(2) RC: -1\n"},
  };
  for (const Case& c : cases) {
    ClearLog();
    fake_.launches.clear();
    fake_.next_pid = 1000;
    fake_.fail_next_launch = c.fail_launch;
    fake_.kill_takes_ms = c.kill_takes_ms;
    fake_.launches_survive_kill = c.survives_kill;
    fake_.EndProcess(1000);
    auto manager = Manager(false);
    EXPECT_EQ(manager->Launch(ToStart(kCommand, "20260105070000", "JOB1", "PW", 0), 0),
              kLaunchRowUpdateFailed)
        << c.what;
    EXPECT_EQ(fake_.launches, c.launches) << c.what;
    EXPECT_EQ(LogTexts(), c.log) << c.what;
    EXPECT_EQ(manager->running_count(), 0) << c.what;
    EXPECT_EQ(fake_.InspectProcess(1000).opened, c.survives_kill) << c.what;
  }
}

// Catches a process taken for a job's by its time of day or its name alone:
// where the launch recorded the process's identity of this boot, that
// identity decides (a reused id under the same name is foreign, the job's
// process under another name after an exec is the job's); without a usable
// record the names decide, and why is logged once for each job.
TEST_F(ProcessManagerTest, JobsProcessIsTheOneItsLaunchRecorded) {
  struct Case {
    const char* what;
    const char* recorded;  // "" = no record
    uint32_t recorded_pid;
    const char* live;      // the live process's identity
    const char* live_name;
    bool jobs;
    const char* why;  // the reason logged, "" = none
  };
  const Case cases[] = {
      {"recorded", "boot-1/7", 7, "boot-1/7", "b.exe", true, ""},
      {"id reused, same name", "boot-1/7", 7, "boot-1/9", "a.exe", false, ""},
      {"no record, same name", "", 0, "boot-1/7", "A.EXE", true, "keine Prozesskennung eingetragen"},
      {"no record, other name", "", 0, "boot-1/7", "b.exe", false,
       "keine Prozesskennung eingetragen"},
      {"record of another id", "boot-1/7", 8, "boot-1/7", "a.exe", true,
       "keine Prozesskennung eingetragen"},
      {"record of an earlier boot", "boot-0/7", 7, "boot-1/7", "a.exe", true,
       "Prozesskennung aus einem frueheren Systemstart"},
      {"live identity unreadable", "boot-1/7", 7, "", "b.exe", false,
       "Prozesskennung des Prozesses nicht lesbar"},
  };
  int key = 0;
  for (const Case& c : cases) {
    auto manager = Manager(false);
    ManagedProcess e;
    e.pid = 7;
    SetField(e.jobda1, "20260105080000");
    SetField(e.jobke2, StrFormat("JOB%d", ++key));
    SetField(e.jobnam, "a.exe");
    if (*c.recorded) manager->identities().Record(e.jobda1, e.jobke2, {c.recorded_pid, c.recorded, 0});
    ProcessInfo info;
    info.opened = info.has_module = info.has_name = true;
    info.base_name = c.live_name;
    info.identity = c.live;
    ClearLog();
    for (int look = 0; look < 2; ++look) EXPECT_EQ(manager->IsJobsProcess(info, e), c.jobs) << c.what;
    const std::string why =
        *c.why ? StrFormat("Job 20260105080000 JOB%d ProcessID 7: %s, erkannt an Prozessnummer "
                           "und Programmname!\n", key, c.why)
               : "";
    EXPECT_EQ(LogTexts(), why) << c.what;
  }
}

// Catches a leftover process of another installation, a system program
// or a process that now runs another program being ended, a process of
// our own left running, and the wrong diagnostic line; in single mode the
// name goes to the kill command whatever the id.
TEST_F(ProcessManagerTest, TerminateByNameEndsOnlyOwnProcesses) {
  using P = FakePlatform::FakeProcess;
  struct Case {
    const char* what;
    bool multiservices;
    uint32_t pid;
    const char* name;
    bool exists;
    P process;
    std::vector<std::string> launches;
    std::string log;
  };
  const P own{"PortWatch.exe", "C:\\KVS\\bin\\PortWatch.exe"};
  const Case cases[] = {
      {"single, no such pid", false, 4711, "PortWatch.exe", false, {}, {"kill PortWatch.exe"}, ""},
      {"single, pid 0", false, 0, "PortWatch.exe", false, {}, {"kill PortWatch.exe"}, ""},
      {"single, no name", false, 4711, "", true, own, {}, ""},
      {"multi, own", true, 4711, "portwatch.exe", true, own, {"kill 4711"}, ""},
      {"multi, pid 0", true, 0, "PortWatch.exe", true, own, {}, ""},
      {"multi, no name", true, 4711, "", true, own, {}, ""},
      {"multi, unreadable", true, 4711, "PortWatch.exe", true,
       P{"PortWatch.exe", "C:\\KVS\\bin\\PortWatch.exe", 0, true, false}, {},
       "Keine Prozessinformationen vorhanden. Error: 5!\n"},
      {"multi, gone", true, 4711, "PortWatch.exe", false, {}, {},
       "Keine Prozessinformationen vorhanden. Error: 87!\n"},
      {"multi, other installation", true, 4711, "PortWatch.exe", true,
       P{"PortWatch.exe", "D:\\Other\\bin\\PortWatch.exe"}, {},
       "Prozess wurde nicht beendet: PortWatch.exe (PID: 4711) Pfad: "
       "D:\\Other\\bin\\PortWatch.exe!\n"},
      {"multi, other program", true, 4711, "PortWatch.exe", true,
       P{"Other.exe", "C:\\KVS\\bin\\Other.exe"}, {},
       "Prozess wurde nicht beendet: Other.exe (PID: 4711) Pfad: C:\\KVS\\bin\\Other.exe!\n"},
      {"multi, cmd.exe", true, 4711, "cmd.exe", true, P{"cmd.exe", "C:\\KVS\\bin\\cmd.exe"}, {},
       "Prozess wurde nicht beendet: cmd.exe (PID: 4711) Pfad: C:\\KVS\\bin\\cmd.exe!\n"},
      {"multi, svchost.exe", true, 4711, "SVCHOST.EXE", true,
       P{"svchost.exe", "C:\\KVS\\bin\\svchost.exe"}, {},
       "Prozess wurde nicht beendet: svchost.exe (PID: 4711) Pfad: C:\\KVS\\bin\\svchost.exe!\n"},
  };
  for (const Case& c : cases) {
    fake_.launches.clear();
    ClearLog();
    // Only this case's process exists.
    fake_.EndProcess(4711);
    if (c.exists) fake_.AddProcess(4711, c.process);
    Manager(c.multiservices)->TerminateByName(c.pid, c.name);
    EXPECT_EQ(fake_.launches, c.launches) << c.what;
    EXPECT_EQ(LogTexts(), c.log) << c.what;
  }
}

// Catches every process counted as the controller's own when its own
// directory is unknown (an empty directory is part of every path).
TEST_F(ProcessManagerTest, UnknownOwnDirectoryEndsNothingByName) {
  fake_.AddProcess(4711,
                   FakePlatform::FakeProcess{"PortWatch.exe", "C:\\KVS\\bin\\PortWatch.exe"});
  Manager(true, "")->TerminateByName(4711, "PortWatch.exe");
  EXPECT_TRUE(fake_.launches.empty());
  EXPECT_EQ(LogTexts(),
            "Prozess wurde nicht beendet: PortWatch.exe (PID: 4711) Pfad: "
            "C:\\KVS\\bin\\PortWatch.exe!\n");
}

// Catches a clock-change window on the wrong days or hours: only the
// early morning (01:00:00 to 05:59:59) of a Sunday from the 25th of March
// or October on suspends the run-time limit.
TEST(ClockChangeWindowTest, LastSundayMorningOfMarchAndOctober) {
  struct Case {
    int year, month, day, hour, minute, second;
    bool inside;
  };
  const Case cases[] = {
      {2025, 10, 26, 3, 30, 0, true},    // Sunday
      {2029, 3, 18, 3, 30, 0, false},    // Sunday, before the 25th
      {2029, 3, 25, 0, 30, 0, false},    // Sunday 25th, before 01:00
      {2029, 3, 25, 3, 30, 0, true},     // Sunday 25th
      {2026, 3, 29, 0, 59, 59, false},   // Sunday
      {2026, 3, 29, 1, 0, 0, true},
      {2026, 3, 29, 5, 59, 59, true},
      {2026, 3, 29, 6, 0, 0, false},
      {2025, 10, 25, 3, 0, 0, false},    // Saturday
      {2027, 10, 31, 3, 0, 0, true},     // Sunday 31st
      {2027, 10, 24, 3, 0, 0, false},    // Sunday 24th
      {2026, 4, 26, 3, 0, 0, false},     // Sunday in April
      {2025, 9, 28, 3, 0, 0, false},     // Sunday in September
  };
  FakePlatform fake;
  for (const Case& c : cases) {
    CivilTime t = fake.ToLocal(
        FakePlatform::ToEpoch(c.year, c.month, c.day, c.hour, c.minute, c.second));
    EXPECT_EQ(InClockChangeWindow(t), c.inside)
        << c.year << "-" << c.month << "-" << c.day << " " << c.hour << ":" << c.minute << ":"
        << c.second;
  }
}

}  // namespace
}  // namespace kvs

namespace kvs {
namespace {

// Catches a process id read through a 32-bit long (as on Windows), which
// turns every id into "none" or cuts large ones.
TEST(ParseProcessIdTest, DigitsThatFit32Bits) {
  struct Case {
    const char* jobnum;
    uint32_t pid;
  };
  const Case cases[] = {
      {"1234", 1234},   {"1234  ", 1234}, {"  7", 7},     {"12x", 12},
      {"404", 404},     {"4294967295", 4294967295u},      {"4294967296", 0},
      {"-1", 0},        {"0", 0},         {"", 0},        {"abc", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(c.pid, ParseProcessId(c.jobnum)) << c.jobnum;
}

}  // namespace
}  // namespace kvs
