#include "db/session.h"

namespace kvs {

int Session::Connect(const std::string&, const std::string&, const std::string&) {
  return -1;
}

int Session::Disconnect() { return 0; }

}  // namespace kvs
