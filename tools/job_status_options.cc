// kvsjobstat: the command line.
#include "tools/job_status_options.h"

#include "core/config.h"
#include "diag/text.h"
#include "tools/status_page.h"

namespace kvs {

namespace {

constexpr int32_t kMaxWatchSeconds = 3600;

}  // namespace

// ---- Options ------------------------------------------------------------------

int ParseStatusOptions(const std::vector<std::string>& args, StatusOptions* options,
                       std::string* error) {
  *options = StatusOptions();
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const bool has_value = i + 1 < args.size();
    if (arg == "--help" || arg == "-h") {
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
  return 0;
}

}  // namespace kvs
