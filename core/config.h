// The command line and the controller's own INI file KVSJOBCTL.INI
// (section JOBATR). Both always succeed: whatever is missing or unreadable
// falls back to its default. Reading the INI file also makes the program
// directory the working directory.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace kvs {

// Room for one command-line argument including its terminator.
inline constexpr size_t kArgumentCapacity = 256;

inline constexpr char kLogTimeInvalid[] =
    "Konfiguration: %s=%s ist keine gueltige Uhrzeit HH:MM, es gilt 07:00!\n";

inline constexpr char kLogNodeInvalid[] =
    "Konfiguration: KNOTEN=%s ist kein gueltiger Knotenname (1 bis 16 Zeichen: Buchstaben, "
    "Ziffern, - und _), der Jobcontroller wird beendet!\n";
// Exit code of a controller that refuses its configuration.
inline constexpr int kExitConfigInvalid = 2;

// Seconds a node of a cluster may stay silent before another takes over
// its jobs: the default, and the least that counts. Any value from the
// least on is safe whatever SQLTIMEOUT says: a node renews its status row
// every quarter of it and ends its jobs after half of it without a
// renewal, on its own steady clock.
inline constexpr int32_t kDefaultNodeTimeoutSeconds = 60;
inline constexpr int32_t kMinNodeTimeoutSeconds = 10;

struct CommandLine {
  int32_t instance = -1;  // multiservices mode when greater than -1
  bool debug = false;     // "/D" or "-D" anywhere
};

// Every argument alike, from argument 0 on: cut to 255 characters, upper
// case; "/D" or "-D" sets debug; argument 1 starting with a digit gives the
// instance number from its leading digits.
CommandLine ParseCommandLine(int argc, const char* const* argv);

struct Config {
  std::string program_dir;    // drive and directory of the executable
  std::string own_dir;        // directory without drive, with its separators
  int32_t max_jobs = 3;
  std::string connection_file = ".\\KORVALINE.INI";
  std::string main_log = ".\\KVSJOBCTL.LOG";
  std::string debug_log = ".\\KVSJOBDBG.LOG";
  int32_t debug_log_on = 0;
  int64_t log_size_limit = 5000000;  // bytes
  std::string email_time = "070000";
  std::string daily_job_time = "070000";
  int32_t interval_minutes = 60;
  // Seconds a database statement may take; 0 means no limit.
  int32_t sql_timeout_seconds = 60;
  // Files the server clean-up removes from the transfer folder.
  std::vector<std::string> transfer_files;
  // Cluster mode: this controller's node name (KNOTEN); empty when it is
  // the only controller on its job table.
  std::string node_name;
  bool node_name_valid = true;  // false: the controller must not start
  int32_t node_timeout_seconds = kDefaultNodeTimeoutSeconds;
  std::string main_backup_log = ".\\KVSJOBCTL.BAK";
  std::string debug_backup_log = ".\\KVSJOBDBG.BAK";
  // Lines for the main log about values not taken, written once the log is
  // open (its path is one of the values).
  std::vector<std::string> log_lines;
};

// Finds the executable's directory, makes it the working directory, reads
// KVSJOBCTL.INI beside the executable. Prints the debug lines on standard
// output when debug is set.
Config ReadConfig(Platform& platform, bool debug);
// The same for the executable at exe_path instead of the running one (a
// tool that reads the settings of a controller in another directory).
Config ReadConfigOf(Platform& platform, const std::string& exe_path, bool debug);

// *time = "hhmm00" of a value "HH:MM": exactly 5 characters, the third
// one skipped, hours 00 to 23, minutes 00 to 59. Anything else is no time
// of day: false and "070000".
bool TimeFromIni(const std::string& value, std::string* time);
// 1 to 16 letters, digits, '-' and '_'.
bool ValidNodeName(const std::string& name);

inline constexpr char kDefaultTransferFiles[] =
    "xfer.running;import.txt;import1.imp;import2.imp;import3.imp;import4.imp;import5.imp;"
    "import6.imp;import7.imp;import8.imp";
// A list of file names separated by ';' (blanks around names trimmed,
// empty names and names with a path dropped).
std::vector<std::string> SplitFileList(const std::string& list);

// Drive, directory and file name of path joined with ".BAK".
std::string BackupPathOf(const std::string& path);

}  // namespace kvs
