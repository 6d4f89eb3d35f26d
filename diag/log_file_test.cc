#include "diag/log_file.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "gtest/gtest.h"
#include "platform/test_util.h"
#include "platform/fake_platform.h"

namespace kvs {
namespace {

namespace fs = std::filesystem;

void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

constexpr char kStamp[] = "2026-03-01 09:05:07  ";

class LogFileTest : public ::testing::Test {
 protected:
  LogFileTest() { fake_.SetLocalTime(2026, 3, 1, 9, 5, 7); }
  LogFile Make(int64_t limit) {
    return LogFile(fake_, log_, bak_, limit, kMainLogLineCapacity, true);
  }

  ScratchDir dir_;
  FakePlatform fake_;
  std::string log_ = dir_.File("KVSJOBCTL.LOG");
  std::string bak_ = dir_.File("KVSJOBCTL.BAK");
};

// Catches a missing or doubled blank after the timestamp, an added newline,
// and a percent sign taken as a format directive.
TEST_F(LogFileTest, LineIsTimestampTwoBlanksAndTextAsIs) {
  LogFile log = Make(5000000);
  log.Write("100% fertig %s %d\n");
  log.Write("ohne Zeilenende");
  EXPECT_EQ(ReadText(log_), std::string(kStamp) + "100% fertig %s %d\n" + kStamp +
                                "ohne Zeilenende");
}

// Catches an off-by-one in the size comparison: a file of exactly the
// limit is still appended to, one byte more rotates before the line.
TEST_F(LogFileTest, RotatesOnlyAboveTheLimit) {
  struct Case {
    size_t existing_size;
    bool rotates;
  };
  const Case cases[] = {{999999, false}, {1000000, false}, {1000001, true}};
  for (const Case& c : cases) {
    const std::string existing(c.existing_size, 'x');
    WriteBytes(log_, existing);
    WriteBytes(bak_, "older backup");
    Make(1000000).Write("Zeile\n");
    const std::string line = std::string(kStamp) + "Zeile\n";
    if (c.rotates) {
      EXPECT_EQ(ReadText(log_), line);
      EXPECT_EQ(ReadText(bak_), existing);
    } else {
      EXPECT_EQ(ReadText(log_), existing + line) << c.existing_size;
      EXPECT_EQ(ReadText(bak_), "older backup");
    }
  }
}

// Catches the line after the boundary not rotating, and an older backup
// surviving the rotation.
TEST_F(LogFileTest, LineAfterReachingTheLimitRotates) {
  const std::string existing(1000000, 'x');
  WriteBytes(log_, existing);
  WriteBytes(bak_, "older backup");
  LogFile log = Make(1000000);
  log.Write("A\n");
  fake_.AdvanceSeconds(1);
  log.Write("B\n");
  EXPECT_EQ(ReadText(bak_), existing + kStamp + "A\n");
  EXPECT_EQ(ReadText(log_), "2026-03-01 09:05:08  B\n");
}

// Catches limit 0 being taken as "no limit": every write to a non-empty
// file rotates; and a negative limit rotating the fresh empty file over
// the backup, which would then hold nothing.
TEST_F(LogFileTest, ZeroOrNegativeLimitKeepsOneLine) {
  for (int64_t limit : {0, -5000000}) {
    std::remove(log_.c_str());
    std::remove(bak_.c_str());
    LogFile log = Make(limit);
    for (const char* text : {"eins\n", "zwei\n", "drei\n"}) {
      log.Write(text);
      fake_.AdvanceSeconds(1);
    }
    EXPECT_EQ(LogTexts(log_), "drei\n") << limit;
    EXPECT_EQ(LogTexts(bak_), "zwei\n") << limit;
  }
}

// Catches a crash or a created directory when the log directory is missing.
TEST_F(LogFileTest, MissingDirectoryLosesTheLine) {
  const std::string missing = dir_.File("missing");
  LogFile log(fake_, (fs::path(missing) / "x.log").string(),
              (fs::path(missing) / "x.BAK").string(), 0, kMainLogLineCapacity, true);
  log.Write("verloren\n");
  log.Write("verloren\n");
  EXPECT_FALSE(fs::exists(missing));
}

// Catches an overrun of the line buffers: the main line is cut to 2499
// characters, the debug line to 503, timestamp included.
TEST_F(LogFileTest, LongLinesAreCutToCapacity) {
  struct Case {
    bool debug;
    size_t text_size;
    size_t line_size;
  };
  const size_t stamp = sizeof kStamp - 1;
  const Case cases[] = {
      {false, 2498 - stamp, 2498}, {false, 2499 - stamp, 2499}, {false, 2500 - stamp, 2499},
      {false, 10000, 2499},        {true, 503 - stamp, 503},    {true, 504 - stamp, 503},
      {true, 10000, 503},
  };
  for (const Case& c : cases) {
    std::error_code ignored;
    fs::remove(log_, ignored);
    Logs logs(fake_, log_, bak_, log_, bak_, 5000000, true);
    const std::string text(c.text_size, 'a');
    if (c.debug) {
      logs.Debug(text);
    } else {
      logs.Main(text);
    }
    const std::string expected = std::string(kStamp) + text;
    EXPECT_EQ(ReadText(log_), expected.substr(0, c.line_size))
        << (c.debug ? "debug " : "main ") << c.text_size;
  }
}

// Catches the debug log being created while DBGLOG is off.
TEST_F(LogFileTest, DebugLogOffNeverCreatesTheFile) {
  const std::string debug = dir_.File("KVSJOBDBG.LOG");
  Logs logs(fake_, log_, bak_, debug, dir_.File("KVSJOBDBG.BAK"), 0, false);
  logs.Debug("eins\n");
  logs.Main("Haupt\n");
  logs.Debug("zwei\n");
  EXPECT_FALSE(fs::exists(debug));
  EXPECT_EQ(ReadText(log_), std::string(kStamp) + "Haupt\n");
}

}  // namespace
}  // namespace kvs
