#include "core/config.h"

#include <algorithm>

#include "diag/text.h"

namespace kvs {

namespace {

constexpr char kSection[] = "JOBATR";
constexpr char kIniFileName[] = "KVSJOBCTL.INI";

}  // namespace

CommandLine ParseCommandLine(int argc, const char* const* argv) {
  CommandLine line;
  for (int i = 0; i < argc; ++i) {
    if (argv[i] == nullptr) continue;
    std::string_view raw(argv[i]);
    std::string arg = ToUpperAscii(raw.substr(0, kArgumentCapacity - 1));
    if (arg == "/D" || arg == "-D") {
      line.debug = true;
    } else if (i == 1 && !arg.empty() && arg[0] >= '0' && arg[0] <= '9') {
      line.instance = LeadingInt(arg);
    }
  }
  return line;
}

bool TimeFromIni(const std::string& value, std::string* time) {
  *time = "070000";
  auto digit = [&](size_t i) { return value[i] >= '0' && value[i] <= '9'; };
  if (value.size() != 5 || !digit(0) || !digit(1) || !digit(3) || !digit(4)) return false;
  // A time past the day would plan the daily job at 24:00 or later, a text
  // that sorts after the whole day: it would run at midnight.
  if (LeadingInt(value.substr(0, 2)) > 23 || LeadingInt(value.substr(3, 2)) > 59) return false;
  *time = value.substr(0, 2) + value.substr(3, 2) + "00";
  return true;
}

std::vector<std::string> SplitFileList(const std::string& list) {
  std::vector<std::string> names;
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(';', start);
    if (end == std::string::npos) end = list.size();
    std::string name = list.substr(start, end - start);
    while (!name.empty() && (name.front() == ' ' || name.front() == '\t')) name.erase(0, 1);
    name = RightTrim(name);
    // Only names inside the transfer folder: the clean-up deletes them.
    if (!name.empty() && name.find_first_of("\\/:") == std::string::npos && name != "." &&
        name != "..") {
      names.push_back(name);
    }
    start = end + 1;
  }
  return names;
}

std::string BackupPathOf(const std::string& path) {
  PathParts parts = SplitPath(path);
  return parts.drive + parts.dir + parts.fname + ".BAK";
}

Config ReadConfig(Platform& platform, bool debug) {
  return ReadConfigOf(platform, platform.OwnExecutablePath(), debug);
}

Config ReadConfigOf(Platform& platform, const std::string& exe_path, bool debug) {
  Config config;
  std::string exe = exe_path;
  if (exe.empty()) exe = "unknown";
  PathParts parts = SplitPath(exe);
  config.own_dir = parts.dir;
  config.program_dir = parts.drive + parts.dir;
  if (debug) {
    platform.Print(StrFormat("drive               :%s\n", parts.drive.c_str()));
    platform.Print(StrFormat("dir                 :%s\n", parts.dir.c_str()));
    platform.Print(StrFormat("fname               :%s\n", parts.fname.c_str()));
    platform.Print(StrFormat("ext                 :%s\n\n", parts.ext.c_str()));
  }
  // A failure leaves the working directory as it was.
  if (!config.program_dir.empty()) platform.SetCurrentDir(config.program_dir);

  const std::string ini = config.program_dir + kIniFileName;
  auto read = [&](const char* key, const char* fallback, size_t longest) {
    return platform.ReadIniString(ini, kSection, key, fallback, longest + 1);
  };
  config.max_jobs = LeadingInt(read("MAXJOBS", "3", 9));
  config.connection_file = read("KVSINI", ".\\KORVALINE.INI", 259);
  config.main_log = read("KVSLOG", ".\\KVSJOBCTL.LOG", 259);
  config.debug_log = read("DBGFILE", ".\\KVSJOBDBG.LOG", 259);
  config.debug_log_on = LeadingInt(read("DBGLOG", "0", 1));
  config.log_size_limit = static_cast<int64_t>(LeadingInt(read("MAXLOGSIZE", "5", 3))) * 1000000;
  auto time_of_day = [&](const char* key, const std::string& value, std::string* time) {
    if (!TimeFromIni(value, time)) {
      config.log_lines.push_back(StrFormat(kLogTimeInvalid, key, value.c_str()));
    }
  };
  time_of_day("EMAILUHRZT", read("EMAILUHRZT", "07:00", 5), &config.email_time);
  time_of_day("DAILYJOBUHRZT", read("DAILYJOBUHRZT", "07:00", 5), &config.daily_job_time);
  config.interval_minutes = LeadingInt(read("INTERVALLJOBZYKLUS", "60", 5));
  // A negative cycle would plan every run in the past: the job would run
  // back to back.
  if (config.interval_minutes <= 0) config.interval_minutes = 120;
  // Only a written 0 lifts the bound; a negative or unreadable value is a
  // slip, not a wish for statements that may wait for ever.
  const std::string sql_timeout = read("SQLTIMEOUT", "60", 5);
  config.sql_timeout_seconds = LeadingInt(sql_timeout);
  if (config.sql_timeout_seconds < 0 ||
      (config.sql_timeout_seconds == 0 && sql_timeout.rfind('0', 0) != 0)) {
    config.sql_timeout_seconds = 60;
  }
  // Longer than a node name may be, so that a name too long is refused
  // and not cut to a valid one.
  config.node_name = read("KNOTEN", "", 255);
  config.node_name_valid = config.node_name.empty() || ValidNodeName(config.node_name);
  config.node_timeout_seconds =
      std::max(kMinNodeTimeoutSeconds, LeadingInt(read("KNOTENTIMEOUT", "60", 9)));
  config.transfer_files = SplitFileList(read("TRANSFERDATEIEN", kDefaultTransferFiles, 1023));
  config.main_backup_log = BackupPathOf(config.main_log);
  config.debug_backup_log = BackupPathOf(config.debug_log);

  if (debug) {
    platform.Print(StrFormat("MaxJobs             :%d\n", config.max_jobs));
    platform.Print(StrFormat("Korvaline INI       :%s\n", config.connection_file.c_str()));
    platform.Print(StrFormat("Korvaline LOG       :%s\n", config.main_log.c_str()));
    platform.Print(StrFormat("Korvaline LOG Backup:%s\n", config.main_backup_log.c_str()));
  }
  return config;
}

bool ValidNodeName(const std::string& name) {
  if (name.empty() || name.size() > 16) return false;
  // Its status row would be the liveness row (the database compares keys
  // without regard to case).
  if (ToUpperAscii(name) == "STATUSJOB") return false;
  for (char c : name) {
    const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    if (!letter && !(c >= '0' && c <= '9') && c != '-' && c != '_') return false;
  }
  return true;
}

}  // namespace kvs
