// kvsdemojob: the job the demo registers, a program that ships with the
// controller so that the demo shows jobs that really run.
//   kvsdemojob SECONDS
// Waits SECONDS (0 to 86400) and exits 0; 2 on bad usage.
#include <cstdio>
#include <memory>
#include <string>

#include "diag/text.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  const std::string arg = argc == 2 ? argv[1] : "";
  const int32_t seconds = kvs::LeadingInt(arg);
  if (arg.empty() || arg.find_first_not_of("0123456789") != std::string::npos ||
      arg.size() > 5 || seconds > 86400) {
    std::fprintf(stderr, "usage: kvsdemojob SECONDS (0 to 86400)\n");
    return 2;
  }
  std::unique_ptr<kvs::Platform> platform = kvs::CreatePlatform();
  for (int32_t i = 0; i < seconds; ++i) platform->SleepMs(1000);
  return 0;
}
