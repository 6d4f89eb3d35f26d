// Test entry point. With "--child-sleep N" the test binary becomes a plain
// child process that sleeps N seconds, so real-platform tests can start,
// inspect and end a process they know.
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "gtest/gtest.h"

int main(int argc, char** argv) {
  if (argc >= 3 && std::strcmp(argv[1], "--child-sleep") == 0) {
    std::this_thread::sleep_for(std::chrono::seconds(std::atoi(argv[2])));
    return 0;
  }
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
