// kvsjobstat: the job table as operators want to see it, read-only, over
// the controller's own INI file, connection file and data source.
//   kvsjobstat [--dir DIR] [--type NN] [--json] [--watch N] [--serve [ADDRESS:]PORT]
//              [--node NAME] [--help]
// Exit status: 0 the controller runs and is current, 1 it does not run or
// hangs (with --node: that node is not live), 2 usage, 3 no connection file or no data source in it, 4 connect
// failed, 5 a query failed (see the usage text).
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/tool_support.h"
#include "tools/job_status.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;

// Ctrl-C ends --watch after the refresh in hand, with the connection
// closed as on every other way out.
void OnInterrupt(int) { g_stop = 1; }

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGINT, OnInterrupt);
  std::unique_ptr<kvs::Platform> platform = kvs::CreatePlatform();
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string error;
  const kvs::ConsoleSession console;
  // retry and rerun put one job back; everything else shows the status.
  int rc = kvs::IsJobCommand(args)
               ? kvs::RunJobCommand(*platform, args, &error, console.utf8())
               : kvs::RunJobStatus(*platform, args, &error, [] { return g_stop != 0; },
                                   console.utf8());
  if (!error.empty()) std::fputs(error.c_str(), stderr);
  return rc;
}
