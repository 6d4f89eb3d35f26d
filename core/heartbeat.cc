#include "core/heartbeat.h"

#include <cstring>

#include "diag/text.h"

namespace kvs {

std::string PipeNameFor(int32_t instance) {
  if (instance > -1) return StrFormat("%s%ld", kPipeName, static_cast<long>(instance));
  return kPipeName;
}

int Heartbeat::Beat(bool force, const char* status) {
  // Every contact, forced or not, starts the 3 seconds anew, and before
  // contacting, so a failed contact also delays the next unforced beat: an
  // unforced beat right after the pass's forced one costs no second sleep.
  const int64_t now = platform_.SteadyMs();
  if (!force && !throttle_.WouldBeDue(now)) return 1;
  throttle_.Restart(now);
  logs_.Debug(StrFormat(kServiceContacted, status));

  char request[kHeartbeatMessageSize] = {};
  std::memcpy(request, kHeartbeatRequest, sizeof kHeartbeatRequest);
  char reply[kHeartbeatMessageSize + 1] = {};
  size_t reply_len = 0;
  int error = platform_.CallPipe(pipe_name_, request, sizeof request, reply,
                                 kHeartbeatMessageSize, &reply_len, kHeartbeatTimeoutMs);
  if (error != 0) {
    logs_.Main(StrFormat(kServiceNoAnswer, error));
    logs_.Debug(StrFormat(kServiceNoAnswerDebug, error));
    platform_.SleepMs(100);
    return 0;
  }
  // The reply is text up to its first NUL, never past what was received.
  reply[reply_len] = '\0';
  platform_.Print(StrFormat(kServiceReceived, reply));
  logs_.Debug(kServiceAnswered);
  platform_.SleepMs(1000);
  return 1;
}

}  // namespace kvs
