#include "tools/kvsjobsvc_restart.h"

#include <vector>

#include "gtest/gtest.h"

namespace kvs {
namespace {

// Catches a controller that dies at each start restarted at a fixed pace
// for ever, a pause that grows without bound, a give-up that comes after
// runs that got going (a long run must start the count afresh), and a
// give-up where none is asked for.
TEST(KvsjobsvcRestartTest, PausesGrowAndGiveUp) {
  const struct {
    const char* label;
    int give_up_after;
    std::vector<int64_t> runs_ms;
    std::vector<int> pauses_ms;
  } cases[] = {
      {"dies at once", 8, {0, 500, 29999, 0, 0, 0, 0, 0},
       {2000, 4000, 8000, 16000, 32000, 60000, 60000, -1}},
      {"long runs in between", 3, {100, 100, kQuickExitMs, 100, 100, 100},
       {2000, 4000, 2000, 2000, 4000, -1}},
      {"runs that get going", 2, {3600000, kQuickExitMs, 3600000}, {2000, 2000, 2000}},
      {"never gives up", 0, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
       {2000, 4000, 8000, 16000, 32000, 60000, 60000, 60000, 60000, 60000}},
  };
  for (const auto& c : cases) {
    int quick_exits = 0;
    std::vector<int> pauses;
    for (int64_t run : c.runs_ms) pauses.push_back(RestartPauseMs(run, c.give_up_after, &quick_exits));
    EXPECT_EQ(c.pauses_ms, pauses) << c.label;
  }
}

}  // namespace
}  // namespace kvs
