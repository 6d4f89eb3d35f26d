#include "diag/text.h"

#include <cstdint>
#include <limits>
#include <string>

#include "gtest/gtest.h"
#include "platform/fake_platform.h"

namespace kvs {
namespace {

// Catches a dot in a directory taken as the extension, a drive on a POSIX
// path, the separator lost from the directory, several dots in a name.
TEST(SplitPathTest, SplitsLikeSplitpath) {
  struct Case {
    const char* path;
    PathParts expected;
  };
  const Case cases[] = {
      {"C:\\KVS\\bin\\KVSJOBSTR.EXE", {"C:", "\\KVS\\bin\\", "KVSJOBSTR", ".EXE"}},
      {"/opt/kvs/KVSJOBSTR", {"", "/opt/kvs/", "KVSJOBSTR", ""}},
      {".\\KVSJOBCTL.LOG", {"", ".\\", "KVSJOBCTL", ".LOG"}},
      {"name", {"", "", "name", ""}},
      {"dir.d\\file", {"", "dir.d\\", "file", ""}},
      {"C:name.txt", {"C:", "", "name", ".txt"}},
      {"a.b.c", {"", "", "a.b", ".c"}},
      {"C:\\", {"C:", "\\", "", ""}},
      {"", {"", "", "", ""}},
  };
  for (const Case& c : cases) {
    PathParts got = SplitPath(c.path);
    EXPECT_EQ(got.drive, c.expected.drive) << c.path;
    EXPECT_EQ(got.dir, c.expected.dir) << c.path;
    EXPECT_EQ(got.fname, c.expected.fname) << c.path;
    EXPECT_EQ(got.ext, c.expected.ext) << c.path;
  }
}

// Catches signed overflow (undefined behaviour) on long digit runs and a
// sign or trailing text misread.
TEST(LeadingIntTest, ReadsLeadingDigitsAndSaturates) {
  constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
  constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
  struct Case {
    const char* text;
    int32_t expected;
  };
  const Case cases[] = {
      {"12x", 12},           {"abc", 0},          {"-5", -5},
      {"+7", 7},             {"  42", 42},        {"", 0},
      {"-", 0},              {"2147483647", kMax}, {"2147483648", kMax},
      {"-2147483648", kMin}, {"-2147483649", kMin}, {"99999999999999999999999", kMax},
      {"-99999999999999999999999", kMin},
  };
  for (const Case& c : cases) EXPECT_EQ(LeadingInt(c.text), c.expected) << c.text;
}

// Catches a wrong field order or padding at the year's last second and the
// roll-over into the new year.
TEST(TimestampTest, YearEnd) {
  FakePlatform fake;
  fake.SetLocalTime(2026, 12, 31, 23, 59, 59);
  EXPECT_EQ(Timestamp14(fake, fake.Now()), "20261231235959");
  EXPECT_EQ(LogTimeNow(fake), "2026-12-31 23:59:59");
  fake.AdvanceSeconds(1);
  EXPECT_EQ(TimestampNow(fake), "20270101000000");
  EXPECT_EQ(LogTimeNow(fake), "2027-01-01 00:00:00");
}

// Catches a fixed-size formatting buffer cutting long texts.
TEST(StrFormatTest, LongOutputIsComplete) {
  const std::string long_text(5000, 'x');
  EXPECT_EQ(StrFormat("<%s>%d", long_text.c_str(), 7), "<" + long_text + ">7");
}

}  // namespace
}  // namespace kvs
