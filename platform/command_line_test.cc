#include "platform/command_line.h"

#include <set>
#include <string>
#include <vector>

#include "gtest/gtest.h"

namespace kvs {
namespace {

// Catches argument faults that hand a job the wrong arguments: the program
// keeping its backslashes, backslash runs before a quote (odd and even),
// doubled quotes inside quotes, an unclosed quote, blanks and tabs at both
// ends, an empty line.
TEST(SplitCommandLineTest, FollowsTheWindowsRuntimeRules) {
  struct Case {
    const char* line;
    std::vector<std::string> args;
  };
  const Case cases[] = {
      {"php ..\\korvaline_php\\KV_Jobs\\dayTask.php",
       {"php", "..\\korvaline_php\\KV_Jobs\\dayTask.php"}},
      {"\"C:\\Program Files\\x.exe\" a b", {"C:\\Program Files\\x.exe", "a", "b"}},
      {"\"C:\\dir\\\" x", {"C:\\dir\\", "x"}},  // no escaping in the program
      {"a \"b c\" d", {"a", "b c", "d"}},
      {"a \\\"b", {"a", "\"b"}},
      {"a \\\\\"b c\"", {"a", "\\b c"}},
      {"a \\\\\\\"b", {"a", "\\\"b"}},
      {"a b\\\\c", {"a", "b\\\\c"}},  // backslashes not before a quote stay
      {"a \"x\"\"y\"", {"a", "x\"y"}},
      {"a \"b c", {"a", "b c"}},
      {"a \"\"", {"a", ""}},
      {" \t a\tb  c \t", {"a", "b", "c"}},
      {"", {}},
      {" \t ", {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SplitCommandLine(c.line), c.args) << "line: " << c.line;
  }
}

// Catches a wrong search order (program dir, current dir, PATH in order),
// a relative name with a directory searched along PATH, a doubled separator
// after a program dir ending in '/', and a missing program not giving "".
TEST(FindProgramTest, SearchesInWindowsOrder) {
  struct Case {
    const char* program;
    std::set<std::string> executables;
    const char* expected;
  };
  const std::set<std::string> everywhere = {"/opt/kvs/php", "/srv/jobs/php",
                                            "/usr/local/bin/php", "/usr/bin/php"};
  const Case cases[] = {
      {"php", everywhere, "/opt/kvs/php"},
      {"php", {"/srv/jobs/php", "/usr/local/bin/php"}, "/srv/jobs/php"},
      {"php", {"/usr/local/bin/php", "/usr/bin/php"}, "/usr/local/bin/php"},
      {"php", {"/usr/bin/php"}, "/usr/bin/php"},
      {"php", {}, ""},
      {"sub\\tool", {"/srv/jobs/sub/tool", "/opt/kvs/sub/tool"}, "/srv/jobs/sub/tool"},
      {"sub\\tool", {"/usr/bin/sub/tool", "/opt/kvs/sub/tool"}, ""},
      {"..\\bin\\tool", {"/srv/jobs/../bin/tool"}, "/srv/jobs/../bin/tool"},
      {"/usr/bin/php", {"/usr/bin/php"}, "/usr/bin/php"},
      {"/usr/bin/php", {"/opt/kvs/php"}, ""},
      {"", everywhere, ""},
  };
  for (const Case& c : cases) {
    auto is_executable = [&](const std::string& p) { return c.executables.count(p) > 0; };
    EXPECT_EQ(FindProgram(c.program, "/opt/kvs/", "/srv/jobs", "/usr/local/bin::/usr/bin",
                          is_executable),
              c.expected)
        << "program: " << c.program;
  }
}

}  // namespace
}  // namespace kvs
