// The clocks the Linux platform reads: the wall clock and the boot clock
// (CLOCK_BOOTTIME, which runs on through a suspend and is never stepped).
// Replaceable, so a test can step the wall clock without touching the
// machine's. Linux only; the Windows build has no such seam.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/platform.h"

namespace kvs {

struct ClockSources {
  std::function<int64_t()> wall_ms;  // milliseconds since 1970, UTC
  std::function<int64_t()> boot_ms;  // milliseconds since boot
};

// The machine's own clocks.
ClockSources SystemClocks();
// The real platform, reading time from clocks.
std::unique_ptr<Platform> CreatePlatformWithClocks(const ClockSources& clocks);

}  // namespace kvs
