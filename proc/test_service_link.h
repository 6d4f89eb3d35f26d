// The controlling service for tests: records every heartbeat ("force "
// before the label of a forced one) and answers while answer is set.
#pragma once

#include <string>
#include <vector>

#include "proc/service_link.h"

namespace kvs {

class RecordingLink : public ServiceLink {
 public:
  int Beat(bool force, const char* status) override {
    beats.push_back(std::string(force ? "force " : "") + status);
    return answer ? 1 : 0;
  }
  bool answer = true;
  std::vector<std::string> beats;
};

}  // namespace kvs
