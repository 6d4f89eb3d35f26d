#include "platform/ini_file.h"

#include <string>

#include "gtest/gtest.h"

namespace kvs {
namespace {

// CRLF line ends throughout, a last line without one.
const char kIniText[] =
    "; KVSLOG=commented\r\n"
    "[other]\r\n"
    "MAXJOBS=9\r\n"
    "[JobAtr]\r\n"
    "  MaxJobs  =  7  \r\n"
    "maxjobs=8\r\n"
    "KVSLOG = \"C:\\log\\a b.log\" \r\n"
    "HALFQUOTE=\"abc\r\n"
    "EMPTY=\r\n"
    "no equals sign\r\n"
    "[JOBATR]\r\n"
    "DBGLOG=1\r\n"
    "[last]\r\n"
    "KEY=end";

// Catches lookup faults GetPrivateProfileString does not have: case in
// names, a second section or key overriding the first, a carriage return
// left in the value, quotes kept, a value or default not cut to
// buffer_size - 1, buffer_size 0 overrunning, a comment read as a key.
TEST(IniLookupTest, BehavesLikeGetPrivateProfileString) {
  struct Case {
    const char* section;
    const char* key;
    const char* default_value;
    size_t buffer_size;
    const char* expected;
  };
  const Case cases[] = {
      {"JOBATR", "MAXJOBS", "3", 10, "7"},
      {"jobatr", "maxJobs", "3", 10, "7"},
      {"other", "MAXJOBS", "3", 10, "9"},
      {"JOBATR", "KVSLOG", "", 260, "C:\\log\\a b.log"},
      {"JOBATR", "KVSLOG", "", 4, "C:\\"},
      {"JOBATR", "KVSLOG", "x", 1, ""},
      {"JOBATR", "KVSLOG", "x", 0, ""},
      {"JOBATR", "HALFQUOTE", "", 10, "\"abc"},
      {"JOBATR", "EMPTY", "def", 10, ""},
      {"JOBATR", "DBGLOG", "0  ", 10, "0"},  // only the first [JOBATR] counts
      {"JOBATR", "no equals sign", "d", 10, "d"},
      {"JOBATR", "; KVSLOG", "d", 10, "d"},
      {"JOBATR", "MISSING", "abcdef", 4, "abc"},
      {"MISSING", "MAXJOBS", "3", 10, "3"},
      {"last", "KEY", "", 10, "end"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IniLookup(kIniText, c.section, c.key, c.default_value, c.buffer_size),
              c.expected)
        << c.section << "/" << c.key << " size " << c.buffer_size;
  }
}

// Catches a missing file being an error instead of an empty file.
TEST(IniLookupTest, UnreadableFileGivesDefault) {
  EXPECT_EQ(IniFileLookup("no-such-dir-kvs/KVSJOBCTL.INI", "JOBATR", "MAXJOBS", "3 ", 10),
            "3");
}

}  // namespace
}  // namespace kvs
