// The one database connection of the controller, living from start-up to
// the end of the process. Until the ODBC session is built, a connect
// reports failure (-1), which is the true outcome without database access.
#pragma once

#include <string>

namespace kvs {

class Session {
 public:
  // 0 when connected, -1 when not.
  [[nodiscard]] int Connect(const std::string& user, const std::string& password,
                            const std::string& data_source);
  // Always 0.
  int Disconnect();
};

}  // namespace kvs
