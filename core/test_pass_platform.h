// For tests that run the whole controller on the fake platform: a fake
// that tells the test where each pass ends.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>

#include "platform/fake_platform.h"
#include "platform/test_util.h"

namespace kvs {

// Calls at_main_beat with their count at the contacts of the service that
// end a pass (the one before the first pass included), which the debug
// log's last line names. Keeps the command lines of the processes it
// started by pid.
struct PassPlatform : FakePlatform {
  int CallPipe(const std::string& pipe_name, const void* request, size_t request_len,
               char* reply, size_t reply_capacity, size_t* reply_len,
               int timeout_ms) override {
    const std::string beat = "Service kontaktiert! Hauptschleife!\n";
    const std::string log = ReadText(debug_log);
    if (log.size() >= beat.size() &&
        log.compare(log.size() - beat.size(), beat.size(), beat) == 0) {
      at_main_beat(++main_beats);
    }
    return FakePlatform::CallPipe(pipe_name, request, request_len, reply, reply_capacity,
                                  reply_len, timeout_ms);
  }
  int StartProcess(const std::string& command_line, uint32_t* pid) override {
    const int rc = FakePlatform::StartProcess(command_line, pid);
    if (rc == 0) started[*pid] = command_line;
    return rc;
  }

  std::filesystem::path debug_log;
  std::function<void(int)> at_main_beat;
  int main_beats = 0;
  std::map<uint32_t, std::string> started;
};

}  // namespace kvs
