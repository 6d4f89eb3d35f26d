// kvsdemojob: the job the demo registers, a program that ships with the
// controller so that the demo shows jobs that really run.
//   kvsdemojob SECONDS [LOCKFILE]
// Waits SECONDS (0 to 86400) and exits 0; 2 on bad usage. With LOCKFILE it
// holds an exclusive lock on that file while it waits: a job that must
// never run twice at once. When another process holds the lock it appends
// a line (local time, own process id) to LOCKFILE.busy and exits 3; 4 when
// the file cannot be locked at all.
#include <cstdio>
#include <memory>
#include <string>

#include "diag/text.h"
#include "platform/platform.h"
#include "platform/tool_support.h"

int main(int argc, char** argv) {
  const std::string arg = argc == 2 || argc == 3 ? argv[1] : "";
  const int32_t seconds = kvs::LeadingInt(arg);
  if (arg.empty() || arg.find_first_not_of("0123456789") != std::string::npos ||
      arg.size() > 5 || seconds > 86400 || (argc == 3 && argv[2][0] == '\0')) {
    std::fprintf(stderr, "usage: kvsdemojob SECONDS (0 to 86400) [LOCKFILE]\n");
    return 2;
  }
  std::unique_ptr<kvs::Platform> platform = kvs::CreatePlatform();
  kvs::FileLock lock;
  if (argc == 3) {
    const std::string path = argv[2];
    const int rc = lock.TryLock(path);
    if (rc == kvs::kErrLockHeld) {
      const kvs::CivilTime t = platform->ToLocal(platform->Now());
      if (std::FILE* busy = std::fopen((path + ".busy").c_str(), "a")) {
        std::fprintf(busy, "%04d-%02d-%02d %02d:%02d:%02d %lu busy\n", t.year, t.month, t.day,
                     t.hour, t.minute, t.second,
                     static_cast<unsigned long>(kvs::CurrentProcessId()));
        std::fclose(busy);
      }
      return 3;
    }
    if (rc != 0) {
      std::fprintf(stderr, "kvsdemojob: cannot lock %s (%d)\n", path.c_str(), rc);
      return 4;
    }
  }
  for (int32_t i = 0; i < seconds; ++i) platform->SleepMs(1000);
  return 0;
}
