#include "msg/disk_monitor.h"

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "diag/test_logs.h"
#include "gtest/gtest.h"
#include "platform/fake_platform.h"

namespace kvs {
namespace {

namespace fs = std::filesystem;

constexpr uint64_t kMB = 1048576;

// A monitor whose posts fail (the session is never connected) and so land
// in a fallback file in a scratch directory, where the test reads them.
class DiskMonitorTest : public testing::Test {
 protected:
  DiskMonitorTest() {
    pool_.SetFallbackFile((dir_ / "JOBCTLMSG.log").string());
    std::string error;
    EXPECT_TRUE(pool_.CreateRecord(&error));
  }

  void Reset() {
    logs_.Clear();
    fs::remove(dir_ / "JOBCTLMSG.log");
  }

  // The monitor's own main-log lines, without time stamps; the pool's
  // lines are left out.
  std::vector<std::string> MonitorLog() {
    std::vector<std::string> out;
    for (const std::string& text : Lines(logs_.MainTexts())) {
      if (text.rfind("Laufwerk", 0) == 0 || text.rfind("Fehler bei der ", 0) == 0) {
        out.push_back(text);
      }
    }
    return out;
  }

  // The texts posted, as they stand in MSGTXT behind date and time.
  std::vector<std::string> Posted() {
    std::vector<std::string> out;
    const std::string head = "',   0, '";
    for (const std::string& line : Lines(ReadText(dir_ / "JOBCTLMSG.log"))) {
      size_t begin = line.find(head);
      size_t end = line.find("',  '", begin);
      if (begin == std::string::npos || end == std::string::npos) {
        ADD_FAILURE() << line;
        continue;
      }
      out.push_back(line.substr(begin + head.size() + 20, end - begin - head.size() - 20));
    }
    return out;
  }

  ScratchDir scratch_{"kvs_disk_"};
  fs::path dir_ = scratch_.path();
  FakePlatform platform_;
  TestLogs logs_{platform_, dir_};
  Session session_{logs_};
  MessagePool pool_{platform_, logs_, session_};
};

// Catches a wrong second drive, the limit compared with <= or in other
// units, MB rounded up, a failed query stopping the check, drive C given
// in lower case checked twice, and a missing directory going on with
// garbage.
TEST_F(DiskMonitorTest, DrivesChecked) {
  struct Case {
    std::string dir;
    std::map<std::string, uint64_t> free;
    std::vector<std::string> log;
    std::vector<std::string> posted;
  };
  const Case cases[] = {
      {"D:\\KVS\\bin",
       {{"D", 900 * kMB}, {"C", 5000 * kMB}},
       {"Laufwerk: D:\\! Anzahl Laufwerke: 2", "Laufwerk: D:\\! Anzahl Durchlauf: 0",
        "Laufwerk: C:\\! Anzahl Durchlauf: 1"},
       {"Auf Laufwerk D:\\ sind nur noch 900 MB frei verf\xFCgbar!"}},
      {"C:\\KVS",
       {{"C", 10 * kMB}},
       {"Laufwerk: C:\\! Anzahl Laufwerke: 1", "Laufwerk: C:\\! Anzahl Durchlauf: 0"},
       {"Auf Laufwerk C:\\ sind nur noch 10 MB frei verf\xFCgbar!"}},
      // Windows ignores the case of the letter: drive C is checked once.
      {"c:\\kvs",
       {{"c", 500 * kMB}, {"C", 500 * kMB}},
       {"Laufwerk: c:\\! Anzahl Laufwerke: 1", "Laufwerk: c:\\! Anzahl Durchlauf: 0"},
       {"Auf Laufwerk c:\\ sind nur noch 500 MB frei verf\xFCgbar!"}},
      {"E:\\",
       {{"E", 1000 * kMB}, {"C", 1000 * kMB - 1}},
       {"Laufwerk: E:\\! Anzahl Laufwerke: 2", "Laufwerk: E:\\! Anzahl Durchlauf: 0",
        "Laufwerk: C:\\! Anzahl Durchlauf: 1"},
       {"Auf Laufwerk C:\\ sind nur noch 999 MB frei verf\xFCgbar!"}},
      {"D:\\KVS",
       {{"C", kMB - 1}},
       {"Laufwerk: D:\\! Anzahl Laufwerke: 2", "Laufwerk: D:\\! Anzahl Durchlauf: 0",
        "Fehler bei der Speicherplatz\xFC" "berpr\xFC" "fung Laufwerk D:\\!",
        "Laufwerk: C:\\! Anzahl Durchlauf: 1"},
       {"Auf Laufwerk C:\\ sind nur noch 0 MB frei verf\xFCgbar!"}},
      {"", {{"C", 0}}, {"Fehler bei der Laufwerksermittlung! RC: 0"}, {}},
      {"D:\\" + std::string(258, 'x'), {{"C", 0}}, {"Fehler bei der Laufwerksermittlung! RC: 261"},
       {}},
  };
  for (const Case& c : cases) {
    Reset();
    platform_.current_dir = c.dir;
    platform_.disk_free_bytes = c.free;
    DiskMonitor monitor(platform_, logs_, pool_);
    monitor.Check();
    EXPECT_EQ(MonitorLog(), c.log) << c.dir;
    EXPECT_EQ(Posted(), c.posted) << c.dir;
  }
}

// Catches checks more often than every four hours, the interval off by
// one second, a failed check retried at once, and checks that fall silent
// while the clock is set back or come early when it is set forward.
TEST_F(DiskMonitorTest, OneCheckEveryFourHours) {
  DiskMonitor monitor(platform_, logs_, pool_);
  platform_.disk_free_bytes = {{"C", 5000 * kMB}};
  struct Step {
    int64_t advance;
    int64_t wall_step;  // the clock set forward or back before the check
    const char* dir;
    const char* log;  // "" when nothing is checked
  };
  const Step steps[] = {
      {0, 0, "", "Fehler bei der Laufwerksermittlung! RC: 0"},
      {0, 0, "C:\\KVS", ""},
      {14399, 0, "C:\\KVS", ""},
      {1, 0, "C:\\KVS", "Laufwerk: C:\\! Anzahl Laufwerke: 1"},
      {14399, 0, "C:\\KVS", ""},
      {1, 0, "C:\\KVS", "Laufwerk: C:\\! Anzahl Laufwerke: 1"},
      {14400, -86400, "C:\\KVS", "Laufwerk: C:\\! Anzahl Laufwerke: 1"},
      {60, 86400, "C:\\KVS", ""},
  };
  int64_t elapsed = 0;
  for (const Step& s : steps) {
    Reset();
    platform_.AdvanceSeconds(s.advance);
    platform_.StepWallClock(s.wall_step);
    elapsed += s.advance;
    platform_.current_dir = s.dir;
    monitor.Check();
    std::vector<std::string> log = MonitorLog();
    EXPECT_EQ(log.empty() ? "" : log.front(), s.log) << elapsed;
  }
}

}  // namespace
}  // namespace kvs
