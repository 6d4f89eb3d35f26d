// kvsjobsvc: a stand-in for the controlling service. It serves the
// controller's pipe, answers every request with a short text and logs what
// it receives; with --run it also starts the controller and starts it again
// whenever it exits, so a host without the suite's service can run the
// controller supervised.
//
//   kvsjobsvc [--instance N | --pipe NAME] [--reply TEXT]
//             [--stop-after-requests N] [--stop-after-seconds T]
//             [--log FILE] [--quiet] [--give-up-after N] [--run CMD ARG...]
//
// After N requests or T seconds, or on a stop signal (SIGTERM, Ctrl+C,
// Ctrl+Break), it stops answering (the pipe name goes away), as a stopping
// service does. --quiet leaves out the line for every request except in
// the --log file and writes the other lines to standard error.
// With --run it then waits for the controller to run its own shutdown
// (end its jobs, delete its flag file) and exit; the controller runs in a
// process group of its own (on Windows with a console of its own), so no
// stop from the console reaches it but through kvsjobsvc. A controller
// that ends within 30 s of its start is started again after a pause that
// doubles with every such end in a row (2 s up to a minute); after
// --give-up-after of them in a row (default 8; 0 never) kvsjobsvc gives
// up. The exit status is 0, or 2 on bad usage, 3 when the pipe cannot be
// served, 4 when it gave up on the controller.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "platform/tool_support.h"
#include "tools/kvsjobsvc_restart.h"

namespace {

constexpr size_t kRequestCapacity = 80;

struct Options {
  std::string pipe_name = "\\\\.\\pipe\\kvsjobctl";
  std::string reply = "OK";
  long stop_after_requests = -1;
  long stop_after_seconds = -1;
  std::string log_path;
  bool quiet = false;  // requests to the log file only, the rest to stderr
  std::string run_command;  // empty: serve only
  long give_up_after = kvs::kDefaultGiveUpAfter;
};

constexpr int kExitGaveUp = 4;

std::mutex g_log_mutex;
std::FILE* g_log = nullptr;
volatile std::sig_atomic_t g_stop_signal = 0;

void OnStopSignal(int signal) { g_stop_signal = signal; }

// With --quiet the lines go to standard error, so that a service manager
// can drop standard output, where the controller prints a line for every
// contact.
std::FILE* g_console = stdout;

// A line on the console and in the log file; with to_console false in the
// log file only.
void Log(const std::string& line, bool to_console = true) {
  std::lock_guard<std::mutex> lock(g_log_mutex);
  if (to_console) {
    std::fprintf(g_console, "kvsjobsvc: %s\n", line.c_str());
    std::fflush(g_console);
  }
  if (g_log) {
    std::fprintf(g_log, "%s\n", line.c_str());
    std::fflush(g_log);
  }
}

// Quotes an argument for a Windows-style command line.
std::string Quote(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
  std::string out = "\"";
  size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') {
      out.append(backslashes * 2 + 1, '\\');
    } else {
      out.append(backslashes, '\\');
    }
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, '\\');
  return out + "\"";
}

bool ParseNumber(const char* text, long* out) {
  char* end = nullptr;
  long v = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || v < 0) return false;
  *out = v;
  return true;
}

bool ParseOptions(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    bool has_value = i + 1 < argc;
    if (a == "--run") {
      if (!has_value) return false;
      for (int j = i + 1; j < argc; ++j) {
        if (!o->run_command.empty()) o->run_command += ' ';
        o->run_command += Quote(argv[j]);
      }
      return true;
    }
    if (a == "--quiet") {
      o->quiet = true;
      continue;
    }
    if (!has_value) return false;
    const char* v = argv[++i];
    if (a == "--instance") {
      long n;
      if (!ParseNumber(v, &n)) return false;
      o->pipe_name = "\\\\.\\pipe\\kvsjobctl" + std::to_string(n);
    } else if (a == "--pipe") {
      o->pipe_name = std::strncmp(v, "\\\\.\\pipe\\", 9) == 0 ? v : std::string("\\\\.\\pipe\\") + v;
    } else if (a == "--reply") {
      o->reply = v;
    } else if (a == "--stop-after-requests") {
      if (!ParseNumber(v, &o->stop_after_requests)) return false;
    } else if (a == "--stop-after-seconds") {
      if (!ParseNumber(v, &o->stop_after_seconds)) return false;
    } else if (a == "--give-up-after") {
      if (!ParseNumber(v, &o->give_up_after) || o->give_up_after > 1000) return false;
    } else if (a == "--log") {
      o->log_path = v;
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    std::fprintf(stderr,
                 "usage: kvsjobsvc [--instance N | --pipe NAME] [--reply TEXT]\n"
                 "                 [--stop-after-requests N] [--stop-after-seconds T]\n"
                 "                 [--log FILE] [--quiet] [--give-up-after N] [--run CMD ARG...]\n");
    return 2;
  }
  if (!options.log_path.empty()) g_log = std::fopen(options.log_path.c_str(), "a");
  if (options.quiet) g_console = stderr;
  kvs::CatchStopSignals(OnStopSignal);

  kvs::PipeServer server;
  int rc = server.Open(options.pipe_name);
  if (rc != 0) {
    Log("cannot serve " + options.pipe_name + ", error " + std::to_string(rc));
    return 3;
  }
  Log("serving " + options.pipe_name);

  std::atomic<bool> answering{true};
  std::atomic<bool> gave_up{false};
  std::thread runner;
  if (!options.run_command.empty()) {
    runner = std::thread([&] {
      int quick_exits = 0;
      while (answering) {
        Log("starting " + options.run_command);
        const auto started = std::chrono::steady_clock::now();
        int exit_code = 0;
        int start = kvs::RunAndWait(options.run_command, &exit_code, true);
        const int64_t run_ms =
            start != 0 ? 0
                       : std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - started)
                             .count();
        if (start != 0) {
          Log("cannot start controller, error " + std::to_string(start));
        } else {
          Log("controller exited with " + std::to_string(exit_code));
        }
        if (!answering) break;
        const int pause_ms =
            kvs::RestartPauseMs(run_ms, static_cast<int>(options.give_up_after), &quick_exits);
        if (pause_ms < 0) {
          Log("controller did not run for 30 s " + std::to_string(quick_exits) +
              " times in a row, giving up");
          gave_up = true;
          break;
        }
        if (quick_exits > 0) {
          Log("controller did not run for 30 s, starting it again in " +
              std::to_string(pause_ms / 1000) + " s");
        }
        for (int waited = 0; waited < pause_ms && answering; waited += 100) {
          std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
      }
    });
  }

  const auto start_time = std::chrono::steady_clock::now();
  long served = 0;
  while (true) {
    if (g_stop_signal != 0) {
      Log("stop signal " + std::to_string(g_stop_signal) + ", stopping");
      break;
    }
    if (gave_up) break;
    if (options.stop_after_requests >= 0 && served >= options.stop_after_requests) break;
    if (options.stop_after_seconds >= 0 &&
        std::chrono::steady_clock::now() - start_time >=
            std::chrono::seconds(options.stop_after_seconds)) {
      break;
    }
    rc = server.ServeOne(
        kRequestCapacity,
        [&](const char* request, size_t len) {
          std::string text(request, strnlen(request, len));
          Log("received: " + text + " (" + std::to_string(len) + " bytes)", !options.quiet);
          return options.reply;
        },
        200);
    if (rc == 0) {
      ++served;
    } else if (rc != 121) {
      Log("serve error " + std::to_string(rc));
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }
  // Before the name goes: the controller that notices must not be started
  // again.
  answering = false;
  server.Close();
  Log("stopped answering after " + std::to_string(served) + " requests");
  if (runner.joinable()) runner.join();
  if (g_log) std::fclose(g_log);
  return gave_up ? kExitGaveUp : 0;
}
