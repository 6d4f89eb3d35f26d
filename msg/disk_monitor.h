// Warns operators when the program's drive or drive C runs low on space:
// at most one check every four hours, a message below 1000 MB free.
#pragma once

#include <cstdint>

#include "diag/log_file.h"
#include "msg/message_pool.h"
#include "platform/once_every.h"
#include "platform/platform.h"

namespace kvs {

inline constexpr int64_t kDiskCheckIntervalSeconds = 14400;
inline constexpr uint64_t kDiskThresholdBytes = 1000ull * 1048576ull;

inline constexpr char kLogDriveUnknown[] = "Fehler bei der Laufwerksermittlung! RC: %ld\n";
inline constexpr char kLogDrives[] = "Laufwerk: %s! Anzahl Laufwerke: %ld\n";
inline constexpr char kLogDrivePass[] = "Laufwerk: %s! Anzahl Durchlauf: %ld\n";
inline constexpr char kLogDiskQueryFailed[] =
    "Fehler bei der Speicherplatz\xFC" "berpr\xFC" "fung Laufwerk %s!\n";
inline constexpr char kMsgDiskLow[] = "Auf Laufwerk %s sind nur noch %llu MB frei verf\xFC" "gbar!";

class DiskMonitor {
 public:
  DiskMonitor(Platform& platform, Logs& logs, MessagePool& pool)
      : platform_(platform), logs_(logs), pool_(pool) {}

  void Check();

 private:
  Platform& platform_;
  Logs& logs_;
  MessagePool& pool_;
  OnceEvery every_{kDiskCheckIntervalSeconds * 1000};
};

}  // namespace kvs
