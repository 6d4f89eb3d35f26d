#include "diag/flag_file.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "diag/pass_state.h"
#include "diag/test_logs.h"
#include "gtest/gtest.h"
#include "platform/test_util.h"
#include "platform/fake_platform.h"

namespace kvs {
namespace {

namespace fs = std::filesystem;

constexpr char kStamp[] = "2026-01-05 08:00:00  ";

class FlagFileTest : public ::testing::Test {
 protected:
  std::string MainLog() const { return logs_.MainText(); }

  ScratchWorkDir dir_;
  FakePlatform fake_;
  TestLogs logs_{fake_, dir_.path()};
};

// Catches an existing flag file being truncated or reported as a failure,
// and a delete not removing the file.
TEST_F(FlagFileTest, CreateTwiceKeepsContentThenDelete) {
  CreateFlagFile(logs_, "DYE");
  ASSERT_TRUE(fs::exists(dir_.File("DYE")));
  { std::ofstream(dir_.File("DYE")) << "Inhalt"; }
  CreateFlagFile(logs_, "DYE");
  EXPECT_EQ(ReadText(dir_.File("DYE")), "Inhalt");
  DeleteFlagFile(logs_, "DYE");
  EXPECT_FALSE(fs::exists(dir_.File("DYE")));
  EXPECT_EQ(MainLog(), std::string(kStamp) + "Flag-Datei DYE wurde erstellt.\n" + kStamp +
                           "Flag-Datei DYE wurde erstellt.\n" + kStamp +
                           "Flag-Datei DYE wurde geloescht.\n");
}

// Catches a refresh that does not set the given time (one second off, or
// the file system's own clock), that creates a missing flag file, and a
// missing file read as having a time.
TEST_F(FlagFileTest, RefreshSetsTheTimeOfAnExistingFileOnly) {
  int64_t time = 0;
  EXPECT_FALSE(RefreshFlagFile("DYE", 1767600000));
  EXPECT_FALSE(fs::exists(dir_.File("DYE")));
  EXPECT_FALSE(FlagFileTime("DYE", &time));
  CreateFlagFile(logs_, "DYE");
  for (int64_t now : {int64_t{1767600000}, int64_t{1767600059}, int64_t{946684800}}) {
    ASSERT_TRUE(RefreshFlagFile("DYE", now));
    ASSERT_TRUE(FlagFileTime("DYE", &time));
    EXPECT_EQ(now, time);
  }
}

// Catches failure paths logged as success or with a wrong errno.
TEST_F(FlagFileTest, FailuresLogErrno) {
  DeleteFlagFile(logs_, "DYE");
  CreateFlagFile(logs_, "missing\\DYE");
  EXPECT_EQ(MainLog(),
            std::string(kStamp) + "Flag-Datei DYE konnte nicht geloescht werden. errno = 2\n" +
                kStamp + "Flag-Datei missing\\DYE kann nicht erstellt werden. errno = 2\n");
  EXPECT_FALSE(fs::exists(dir_.File("missing")));
}

// Catches an overrun of the 1024-character line buffer by a long name: the
// line is cut to 1023 characters.
TEST_F(FlagFileTest, LongNameIsCutWithTheLine) {
  const std::string name(2000, 'n');
  DeleteFlagFile(logs_, name);
  const std::string line = "Flag-Datei " + name;
  EXPECT_EQ(MainLog(), kStamp + line.substr(0, 1023));
}

// Catches counters lost between the controller and kvsjobstat: a run
// time counted in the wrong bucket, a counter written but not read back,
// an older controller's one-line file not read at all, and a line of a
// counter this reader does not know (a newer controller's) refused.
TEST(PassStateTest, CountersGoThroughTheFile) {
  PassState state;
  state.since = "20261209080000";
  RunCounters& c = state.counters;
  c.started = 1796803200;
  c.passes = 7;
  c.starts["01"] = 3;
  c.starts["04"] = 1;
  c.failed_starts = 2;
  c.ended = 4;
  c.terminated = 1;
  c.by_reason[static_cast<size_t>(EndCause::kRunTime)] = 1;
  c.database_outages = 1;
  for (int64_t seconds : {0, 1, 2, 86400, 86401, -1}) c.AddRunTime(seconds);
  EXPECT_EQ(c.run_time_buckets[0], 2u);   // up to 1 s
  EXPECT_EQ(c.run_time_buckets[1], 1u);   // up to 10 s
  EXPECT_EQ(c.run_time_buckets[11], 1u);  // up to a day
  EXPECT_EQ(c.run_time_buckets[12], 1u);  // over a day
  EXPECT_EQ(c.run_time_count, 5u);
  EXPECT_EQ(c.run_time_sum, 172804u);

  PassState read;
  ASSERT_TRUE(ParsePassState(FormatPassState(state) + "newer_counter 5\nnot a counter line\n",
                             &read));
  EXPECT_EQ(FormatPassState(read), FormatPassState(state));
  ASSERT_TRUE(ParsePassState("DB 20261209080000 -\n", &read));
  EXPECT_EQ(read.counters.passes, 0u);
  EXPECT_EQ(read.outcome, PassOutcome::kDatabaseDown);
}

}  // namespace
}  // namespace kvs
