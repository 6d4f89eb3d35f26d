// The service link: the heartbeat that proves to the controlling service,
// over its named pipe, that the controller is alive, and learns whether the
// service still wants it to run. Unforced beats go out at most once every
// 3 seconds.
#pragma once

#include <cstdint>
#include <string>

#include "diag/log_file.h"
#include "platform/once_every.h"
#include "platform/platform.h"
#include "proc/service_link.h"

namespace kvs {

inline constexpr char kPipeName[] = "\\\\.\\pipe\\kvsjobctl";
inline constexpr char kHeartbeatRequest[] = "KVSJOBSTR.EXE";
inline constexpr size_t kHeartbeatMessageSize = 80;
inline constexpr int kHeartbeatTimeoutMs = 1000;
inline constexpr int kHeartbeatThrottleSeconds = 3;

inline constexpr char kServiceContacted[] = "Service kontaktiert! %s\n";
inline constexpr char kServiceNoAnswer[] =
    "Service antwortet nicht! ErrCode: %d! KVSJOBSTR wird beendet!\n";
inline constexpr char kServiceNoAnswerDebug[] = "Service antwortet nicht %d!";
inline constexpr char kServiceAnswered[] = "Service antwortet!\n";
inline constexpr char kServiceReceived[] = "KVSJOBSTR: received: %s\n";

// "\\.\pipe\kvsjobctl", or with the instance number appended in
// multiservices mode (instance greater than -1).
std::string PipeNameFor(int32_t instance);

class Heartbeat : public ServiceLink {
 public:
  Heartbeat(Platform& platform, Logs& logs, std::string pipe_name)
      : platform_(platform), logs_(logs), pipe_name_(std::move(pipe_name)) {}

  // Contacts the service unless an unforced beat comes within 3 seconds of
  // the last contact. Returns 1 when the service answered or the contact was
  // skipped, 0 when it did not answer. status is written to the debug log.
  [[nodiscard]] int Beat(bool force, const char* status) override;

  const std::string& pipe_name() const { return pipe_name_; }

 private:
  Platform& platform_;
  Logs& logs_;
  std::string pipe_name_;
  OnceEvery throttle_{kHeartbeatThrottleSeconds * 1000};
};

}  // namespace kvs
