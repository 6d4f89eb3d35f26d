// A "once every N" measured on the platform's steady clock, so a step of
// the wall clock neither silences it (set back) nor fires it early (set
// forward).
#pragma once

#include <cstdint>

namespace kvs {

class OnceEvery {
 public:
  explicit OnceEvery(int64_t interval_ms) : interval_ms_(interval_ms) {}

  // True at the first call and then whenever the interval has passed
  // since the last call that returned true.
  bool Due(int64_t steady_ms) {
    if (started_ && steady_ms - last_ms_ < interval_ms_) return false;
    started_ = true;
    last_ms_ = steady_ms;
    return true;
  }
  // Starts the interval anew at steady_ms, whether or not it was due.
  void Restart(int64_t steady_ms) {
    started_ = true;
    last_ms_ = steady_ms;
  }
  // Due() with nothing taken: whether it would be true now.
  bool WouldBeDue(int64_t steady_ms) const {
    return !started_ || steady_ms - last_ms_ >= interval_ms_;
  }

 private:
  int64_t interval_ms_;
  bool started_ = false;
  int64_t last_ms_ = 0;
};

}  // namespace kvs
