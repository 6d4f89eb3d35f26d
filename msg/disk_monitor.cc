#include "msg/disk_monitor.h"

#include "diag/text.h"

namespace kvs {

void DiskMonitor::Check() {
  // Taken first: a failed check waits the full interval too.
  if (!every_.Due(platform_.SteadyMs())) return;

  const std::string dir = platform_.GetCurrentDir();
  if (dir.empty() || dir.size() > 260) {
    logs_.Main(StrFormat(kLogDriveUnknown, static_cast<long>(dir.size())));
    return;
  }
  std::string drive = dir.substr(0, 3);
  // Drive letters name the same drive in either case.
  const long drives = EqualsNoCase(drive.substr(0, 1), "C") ? 1 : 2;
  logs_.Main(StrFormat(kLogDrives, drive.c_str(), drives));
  for (long pass = 0; pass < drives; ++pass) {
    if (pass == 1) drive[0] = 'C';
    logs_.Main(StrFormat(kLogDrivePass, drive.c_str(), pass));
    uint64_t free_bytes = 0;
    if (platform_.DiskFreeBytes(drive, &free_bytes) != 0) {
      logs_.Main(StrFormat(kLogDiskQueryFailed, drive.c_str()));
      continue;
    }
    if (free_bytes < kDiskThresholdBytes) {
      pool_.Post(StrFormat(kMsgDiskLow, drive.c_str(),
                           static_cast<unsigned long long>(free_bytes / 1048576ull)));
    }
  }
}

}  // namespace kvs
