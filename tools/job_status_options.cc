// kvsjobstat: the command line.
#include "tools/job_status_options.h"

#include "core/config.h"
#include "diag/text.h"
#include "tools/status_page.h"

namespace kvs {

namespace {

constexpr int32_t kMaxWatchSeconds = 3600;
// The widths of JOBDA1 and JOBKE2.
constexpr size_t kJobDa1Width = 14;
constexpr size_t kJobKe2Width = 32;

// "JOBDA1/JOBKE2" split at its first '/' (JOBDA1 is a time stamp; a
// JOBKE2 may hold '/' itself). false unless both parts fit their columns.
bool SplitJobKey(const std::string& key, std::string* jobda1, std::string* jobke2) {
  const size_t slash = key.find('/');
  if (slash == std::string::npos) return false;
  *jobda1 = key.substr(0, slash);
  *jobke2 = key.substr(slash + 1);
  return !jobda1->empty() && jobda1->size() <= kJobDa1Width && !jobke2->empty() &&
         jobke2->size() <= kJobKe2Width;
}

}  // namespace

const char* CommandWord(StatusCommand command) {
  switch (command) {
    case StatusCommand::kRetry:
      return "retry";
    case StatusCommand::kRerun:
      return "rerun";
    default:
      return "";
  }
}

// ---- Options ------------------------------------------------------------------

int ParseStatusOptions(const std::vector<std::string>& args, StatusOptions* options,
                       std::string* error) {
  *options = StatusOptions();
  bool has_key = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const bool has_value = i + 1 < args.size();
    const bool command = options->command != StatusCommand::kShow;
    if (!command &&
        (arg == CommandWord(StatusCommand::kRetry) || arg == CommandWord(StatusCommand::kRerun))) {
      options->command =
          arg == CommandWord(StatusCommand::kRetry) ? StatusCommand::kRetry : StatusCommand::kRerun;
    } else if (command && (arg.empty() || arg[0] != '-')) {
      // The one key after the command.
      if (has_key) {
        *error = StrFormat(kErrExtraArgument, arg.c_str());
        return kStatusExitUsage;
      }
      if (!SplitJobKey(arg, &options->jobda1, &options->jobke2)) {
        *error = StrFormat(kErrJobKey, CommandWord(options->command));
        return kStatusExitUsage;
      }
      has_key = true;
    } else if (arg == "--dry-run") {
      options->dry_run = true;
    } else if (arg == "--help" || arg == "-h") {
      options->help = true;
    } else if (arg == "--json") {
      options->json = true;
    } else if (arg == "--dir") {
      if (!has_value || args[i + 1].empty()) {
        *error = kErrDirValue;
        return kStatusExitUsage;
      }
      options->program_dir = args[++i];
    } else if (arg == "--type") {
      if (!has_value || args[i + 1].size() != 2 || !AllDigits(args[i + 1])) {
        *error = kErrTypeValue;
        return kStatusExitUsage;
      }
      options->run_type = args[++i];
    } else if (arg == "--watch") {
      const std::string value = has_value ? args[i + 1] : "";
      // LeadingInt saturates, so a long digit string is out of range too.
      const int32_t seconds = LeadingInt(value);
      if (value.empty() || value.size() > 4 || !AllDigits(value) || seconds < 1 ||
          seconds > kMaxWatchSeconds) {
        *error = kErrWatchValue;
        return kStatusExitUsage;
      }
      options->watch_seconds = seconds;
      ++i;
    } else if (arg == "--node") {
      if (!has_value || !ValidNodeName(args[i + 1])) {
        *error = kErrNodeValue;
        return kStatusExitUsage;
      }
      options->node = args[++i];
    } else if (arg == "--serve") {
      ServeAddress where;
      if (!has_value || !ParseServeAddress(args[i + 1], &where)) {
        *error = kErrServeValue;
        return kStatusExitUsage;
      }
      options->serve = args[++i];
    } else {
      *error = StrFormat(kErrUnknownOption, arg.c_str());
      return kStatusExitUsage;
    }
  }
  if (!options->serve.empty() && (options->json || options->watch_seconds > 0)) {
    *error = kErrServeCombined;
    return kStatusExitUsage;
  }
  if (options->command == StatusCommand::kShow) {
    if (options->dry_run) {
      *error = kErrDryRunAlone;
      return kStatusExitUsage;
    }
    return 0;
  }
  if (options->json || options->watch_seconds > 0 || !options->serve.empty() ||
      !options->run_type.empty() || !options->node.empty()) {
    *error = kErrCommandCombined;
    return kStatusExitUsage;
  }
  if (!has_key && !options->help) {
    *error = StrFormat(kErrJobKey, CommandWord(options->command));
    return kStatusExitUsage;
  }
  return 0;
}

bool IsJobCommand(const std::vector<std::string>& args) {
  StatusOptions options;
  std::string error;
  return ParseStatusOptions(args, &options, &error) == 0 && options.command != StatusCommand::kShow;
}

}  // namespace kvs
