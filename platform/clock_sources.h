// The clocks the real platform reads: the wall clock and a steady clock
// that is never stepped and runs on through a suspend (CLOCK_BOOTTIME on
// Linux, the tick count on Windows). Replaceable, so a test can step the
// wall clock without touching the machine's.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/platform.h"

namespace kvs {

struct ClockSources {
  std::function<int64_t()> wall_ms;  // milliseconds since 1970, UTC
  std::function<int64_t()> boot_ms;  // milliseconds since boot, never stepped
};

// The machine's own clocks.
ClockSources SystemClocks();
// The real platform, reading time from clocks.
std::unique_ptr<Platform> CreatePlatformWithClocks(const ClockSources& clocks);

}  // namespace kvs
