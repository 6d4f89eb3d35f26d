// The controlling service as the process supervision and the job starts
// see it: a heartbeat that says whether the service still answers. The
// controller's Heartbeat (core/heartbeat.h) is the real one; tests record.
#pragma once

namespace kvs {

class ServiceLink {
 public:
  virtual ~ServiceLink() = default;
  // Contacts the service (an unforced beat may be skipped within the
  // throttle). 1 answered or skipped, 0 no answer.
  virtual int Beat(bool force, const char* status) = 0;
};

}  // namespace kvs
