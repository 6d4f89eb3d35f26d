#include "core/config.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "core/heartbeat.h"
#include "gtest/gtest.h"
#include "platform/fake_platform.h"
#include "platform/test_util.h"

namespace kvs {
namespace {

namespace fs = std::filesystem;

// Catches debug missed in any position or case, a longer argument taken as
// "-D", the instance read from a later argument or from a non-digit start,
// instance 0 not being multiservices, and an overrun by a long argument.
TEST(ParseCommandLineTest, DebugAndInstance) {
  struct Case {
    std::vector<std::string> args;
    int32_t instance;
    bool debug;
    const char* pipe_name;
  };
  const std::string long_arg(300, 'a');
  const std::string long_debug = "-D" + std::string(298, 'x');
  const std::string long_digits(300, '7');
  const Case cases[] = {
      {{"KVSJOBSTR.EXE"}, -1, false, "\\\\.\\pipe\\kvsjobctl"},
      {{"X", "2"}, 2, false, "\\\\.\\pipe\\kvsjobctl2"},
      {{"X", "12x"}, 12, false, "\\\\.\\pipe\\kvsjobctl12"},
      {{"X", "0"}, 0, false, "\\\\.\\pipe\\kvsjobctl0"},
      {{"X", "x2"}, -1, false, "\\\\.\\pipe\\kvsjobctl"},
      {{"X", "-5"}, -1, false, "\\\\.\\pipe\\kvsjobctl"},
      {{"X", "/D", "2"}, -1, true, "\\\\.\\pipe\\kvsjobctl"},
      {{"X", "2", "/D"}, 2, true, "\\\\.\\pipe\\kvsjobctl2"},
      {{"X", "3", "/d"}, 3, true, "\\\\.\\pipe\\kvsjobctl3"},
      {{"X", "-d"}, -1, true, "\\\\.\\pipe\\kvsjobctl"},
      {{"/D"}, -1, true, "\\\\.\\pipe\\kvsjobctl"},
      {{"X", "4", "5"}, 4, false, "\\\\.\\pipe\\kvsjobctl4"},
      {{"X", "/DX"}, -1, false, "\\\\.\\pipe\\kvsjobctl"},
      {{"X", long_arg, long_arg}, -1, false, "\\\\.\\pipe\\kvsjobctl"},
      {{"X", long_debug}, -1, false, "\\\\.\\pipe\\kvsjobctl"},
      {{"X", long_digits}, 2147483647, false, "\\\\.\\pipe\\kvsjobctl2147483647"},
  };
  for (const Case& c : cases) {
    std::vector<const char*> argv;
    for (const std::string& arg : c.args) argv.push_back(arg.c_str());
    CommandLine line = ParseCommandLine(static_cast<int>(argv.size()), argv.data());
    const std::string shown = c.args.size() > 1 ? c.args[1].substr(0, 20) : c.args[0];
    EXPECT_EQ(line.instance, c.instance) << shown;
    EXPECT_EQ(line.debug, c.debug) << shown;
    EXPECT_EQ(PipeNameFor(line.instance), c.pipe_name) << shown;
  }
}

class ConfigTest : public ::testing::Test {
 protected:
  ConfigTest() { fake_.own_path = (dir_.path() / "KVSJOBSTR.EXE").string(); }
  void WriteIni(const std::string& text) {
    std::ofstream out(dir_.path() / "KVSJOBCTL.INI", std::ios::binary | std::ios::trunc);
    out << text;
  }
  // The scratch directory with its trailing separator.
  std::string ProgramDir() const { return (dir_.path() / "").string(); }

  ScratchWorkDir dir_;
  FakePlatform fake_;
};

void ExpectDefaults(const Config& config, const std::string& context) {
  EXPECT_EQ(config.max_jobs, 3) << context;
  EXPECT_EQ(config.connection_file, ".\\KORVALINE.INI") << context;
  EXPECT_EQ(config.main_log, ".\\KVSJOBCTL.LOG") << context;
  EXPECT_EQ(config.debug_log, ".\\KVSJOBDBG.LOG") << context;
  EXPECT_EQ(config.main_backup_log, ".\\KVSJOBCTL.BAK") << context;
  EXPECT_EQ(config.debug_backup_log, ".\\KVSJOBDBG.BAK") << context;
  EXPECT_EQ(config.debug_log_on, 0) << context;
  EXPECT_EQ(config.log_size_limit, 5000000) << context;
  EXPECT_EQ(config.email_time, "070000") << context;
  EXPECT_EQ(config.daily_job_time, "070000") << context;
  EXPECT_EQ(config.interval_minutes, 60) << context;
  EXPECT_TRUE(config.log_lines.empty()) << context;
}

// Catches a wrong default and the INI not being looked for in the program
// directory (which also becomes the working directory).
TEST_F(ConfigTest, NoIniGivesDefaults) {
  Config config = ReadConfig(fake_, false);
  ExpectDefaults(config, "no INI");
  EXPECT_EQ(config.program_dir, ProgramDir());
  EXPECT_EQ(fake_.current_dir, ProgramDir());
  EXPECT_EQ(fake_.console, "");
}

// Catches a crash or a stray value from a malformed INI file.
TEST_F(ConfigTest, MalformedIniGivesDefaults) {
  static const char kGarbage[] = "\xff\xfe[JOBATR\0]\nMAXJOBS\0=5\n=\n==\n[\n]\n\0\0\x01";
  const std::string garbage(kGarbage, sizeof kGarbage - 1);
  const std::string cases[] = {
      "",
      "MAXJOBS=9\nKVSLOG=x.log\n",
      "[JOBATR]\nFOO=1\nMAXJOBS\nKVSLOG\n",
      "[JOBATRX]\nMAXJOBS=9\n",
      garbage,
  };
  for (const std::string& text : cases) {
    WriteIni(text);
    FakePlatform fake;
    fake.own_path = fake_.own_path;
    ExpectDefaults(ReadConfig(fake, false), text.substr(0, 20));
  }
}

// Catches each value's reading rule: buffer cuts (MAXLOGSIZE 3 digits,
// DBGLOG 1 digit, times 5 characters), the 0 -> 120 interval rule, the
// backup name built from the log name, case and blanks in names, and a
// time that is no time of day taken (24:00, the first hour past the day,
// or 25:00 would run the daily job at midnight) or not reported for the
// main log.
TEST_F(ConfigTest, ValuesFromIni) {
  using Field = std::string (*)(const Config&);
  const Field max_jobs = [](const Config& c) { return std::to_string(c.max_jobs); };
  const Field main_log = [](const Config& c) { return c.main_log; };
  const Field main_backup = [](const Config& c) { return c.main_backup_log; };
  const Field debug_backup = [](const Config& c) { return c.debug_backup_log; };
  const Field daily = [](const Config& c) { return c.daily_job_time; };
  const Field email = [](const Config& c) { return c.email_time; };
  const Field interval = [](const Config& c) { return std::to_string(c.interval_minutes); };
  const Field size = [](const Config& c) { return std::to_string(c.log_size_limit); };
  const Field debug_on = [](const Config& c) { return std::to_string(c.debug_log_on); };
  const Field connection = [](const Config& c) { return c.connection_file; };
  const Field sql_timeout = [](const Config& c) { return std::to_string(c.sql_timeout_seconds); };
  const Field node = [](const Config& c) {
    return c.node_name + (c.node_name_valid ? "" : " refused") + " " +
           std::to_string(c.node_timeout_seconds);
  };
  const Field lines = [](const Config& c) {
    std::string all;
    for (const std::string& line : c.log_lines) all += line;
    return all;
  };
  struct Case {
    const char* ini;
    Field field;
    const char* expected;
  };
  const Case cases[] = {
      {"[JOBATR]\nKVSLOG=D:\\log\\ctl.txt\n", main_log, "D:\\log\\ctl.txt"},
      {"[JOBATR]\n", node, " 60"},
      {"[JOBATR]\nKNOTEN=\nKNOTENTIMEOUT=5\n", node, " 10"},
      {"[JOBATR]\nKNOTEN=srv-02_a\nKNOTENTIMEOUT=90\nSQLTIMEOUT=30\n", node, "srv-02_a 90"},
      {"[JOBATR]\nKNOTEN=srv-02_a\nKNOTENTIMEOUT=90\nSQLTIMEOUT=30\n", lines, ""},
      {"[JOBATR]\nKNOTEN=a\nSQLTIMEOUT=0\n", lines, ""},
      {"[JOBATR]\nKNOTENTIMEOUT=5\n", lines, ""},
      {"[JOBATR]\nKNOTEN=ABCDEFGHIJKLMNOP\n", node, "ABCDEFGHIJKLMNOP 60"},
      {"[JOBATR]\nKNOTEN=ABCDEFGHIJKLMNOPQ\n", node, "ABCDEFGHIJKLMNOPQ refused 60"},
      {"[JOBATR]\nKNOTEN=srv 2\n", node, "srv 2 refused 60"},
      {"[JOBATR]\nKNOTEN=StatusJob\n", node, "StatusJob refused 60"},
      {"[JOBATR]\nKNOTEN=srv'2\n", node, "srv'2 refused 60"},
      {"[JOBATR]\nKNOTEN=s\xc3\xa4rv\n", node, "s\xc3\xa4rv refused 60"},
      {"[JOBATR]\nKVSLOG=D:\\log\\ctl.txt\n", main_backup, "D:\\log\\ctl.BAK"},
      {"[JOBATR]\nDBGFILE=..\\dbg.d\\x\n", debug_backup, "..\\dbg.d\\x.BAK"},
      {"[JOBATR]\nKVSINI=..\\conf\\KORVALINE.INI\n", connection, "..\\conf\\KORVALINE.INI"},
      {"[JOBATR]\nDAILYJOBUHRZT=6:15\n", daily, "070000"},
      {"[JOBATR]\nDAILYJOBUHRZT=06:15\n", daily, "061500"},
      {"[JOBATR]\nDAILYJOBUHRZT=18:30\n", daily, "183000"},
      {"[JOBATR]\nDAILYJOBUHRZT=06:155\n", daily, "061500"},
      {"[JOBATR]\nEMAILUHRZT=18:30\n", email, "183000"},
      {"[JOBATR]\nDAILYJOBUHRZT=23:59\n", daily, "235900"},
      {"[JOBATR]\nDAILYJOBUHRZT=24:00\n", daily, "070000"},
      {"[JOBATR]\nDAILYJOBUHRZT=25:00\n", daily, "070000"},
      {"[JOBATR]\nDAILYJOBUHRZT=07:60\n", daily, "070000"},
      {"[JOBATR]\nEMAILUHRZT=O7:00\n", email, "070000"},
      {"[JOBATR]\nDAILYJOBUHRZT=25:00\nEMAILUHRZT=O7:00\n", lines,
       "Konfiguration: EMAILUHRZT=O7:00 ist keine gueltige Uhrzeit HH:MM, es gilt 07:00!\n"
       "Konfiguration: DAILYJOBUHRZT=25:00 ist keine gueltige Uhrzeit HH:MM, es gilt 07:00!\n"},
      {"[JOBATR]\nDAILYJOBUHRZT=6:15\n", lines,
       "Konfiguration: DAILYJOBUHRZT=6:15 ist keine gueltige Uhrzeit HH:MM, es gilt 07:00!\n"},
      {"[JOBATR]\nDAILYJOBUHRZT=18:30\nEMAILUHRZT=00:00\n", lines, ""},
      {"[JOBATR]\nINTERVALLJOBZYKLUS=0\n", interval, "120"},
      {"[JOBATR]\nINTERVALLJOBZYKLUS=abc\n", interval, "120"},
      {"[JOBATR]\nINTERVALLJOBZYKLUS=-30\n", interval, "120"},
      {"[JOBATR]\nINTERVALLJOBZYKLUS=15\n", interval, "15"},
      {"[JOBATR]\n", sql_timeout, "60"},
      {"[JOBATR]\nSQLTIMEOUT=0\n", sql_timeout, "0"},
      {"[JOBATR]\nSQLTIMEOUT=abc\n", sql_timeout, "60"},
      {"[JOBATR]\nSQLTIMEOUT=-5\n", sql_timeout, "60"},
      {"[JOBATR]\nSQLTIMEOUT=15\n", sql_timeout, "15"},
      {"[JOBATR]\nMAXLOGSIZE=12\n", size, "12000000"},
      {"[JOBATR]\nMAXLOGSIZE=1000\n", size, "100000000"},
      {"[JOBATR]\nMAXLOGSIZE=0\n", size, "0"},
      {"[JOBATR]\nDBGLOG=10\n", debug_on, "1"},
      {"[JOBATR]\nDBGLOG=1\n", debug_on, "1"},
      {"[JOBATR]\nMAXJOBS=abc\n", max_jobs, "0"},
      {"[JOBATR]\nMAXJOBS=-2\n", max_jobs, "-2"},
      {"[jobAtr]\r\n  maxjobs  =  7  \r\n", max_jobs, "7"},
  };
  for (const Case& c : cases) {
    WriteIni(c.ini);
    FakePlatform fake;
    fake.own_path = fake_.own_path;
    EXPECT_EQ(c.field(ReadConfig(fake, false)), c.expected) << c.ini;
  }
}

// Catches a change in the debug lines on standard output.
TEST_F(ConfigTest, DebugPrintsPathPartsAndValues) {
  fake_.own_path = "C:\\KVS\\bin\\KVSJOBSTR.EXE";
  Config config = ReadConfig(fake_, true);
  EXPECT_EQ(fake_.console,
            "drive               :C:\n"
            "dir                 :\\KVS\\bin\\\n"
            "fname               :KVSJOBSTR\n"
            "ext                 :.EXE\n\n"
            "MaxJobs             :3\n"
            "Korvaline INI       :.\\KORVALINE.INI\n"
            "Korvaline LOG       :.\\KVSJOBCTL.LOG\n"
            "Korvaline LOG Backup:.\\KVSJOBCTL.BAK\n");
  EXPECT_EQ(fake_.current_dir, "C:\\KVS\\bin\\");
  EXPECT_EQ(config.own_dir, "\\KVS\\bin\\");
}

// Catches an unreadable own path breaking start-up: it reads as "unknown"
// and the working directory is left alone.
TEST_F(ConfigTest, UnknownOwnPath) {
  fake_.own_path = "";
  fake_.current_dir = "unchanged";
  WriteIni("[JOBATR]\nKVSLOG=D:\\log\\ctl.txt\n");  // in the working directory
  Config config = ReadConfig(fake_, true);
  EXPECT_EQ(fake_.console,
            "drive               :\n"
            "dir                 :\n"
            "fname               :unknown\n"
            "ext                 :\n\n"
            "MaxJobs             :3\n"
            "Korvaline INI       :.\\KORVALINE.INI\n"
            "Korvaline LOG       :D:\\log\\ctl.txt\n"
            "Korvaline LOG Backup:D:\\log\\ctl.BAK\n");
  EXPECT_EQ(fake_.current_dir, "unchanged");
  EXPECT_EQ(config.program_dir, "");
}

}  // namespace
}  // namespace kvs
