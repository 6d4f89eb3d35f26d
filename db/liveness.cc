#include "db/liveness.h"

#include "diag/text.h"

namespace kvs {

int LivenessCheck::Check() {
  std::string failure;
  int rc = jobs_.UpdateStatusJob("", kStatusJobDa1, kStatusJobKe2);
  if (rc == 100) {
    rc = jobs_.InsertShortJob(kStatusJobDa1, kStatusJobKe2, kStatusJobUrv, "", 0, kRunTypeStatus);
    // The row is there after all: a driver that counts changed rows, not
    // matched ones, reports no row when the state was blank already. The
    // database answered; that is all this check asks.
    if (rc != 0 && session_.IsDuplicateKey(rc)) rc = 0;
    if (rc != 0) failure = StrFormat(kStatusInsertFailed, static_cast<long>(rc));
  } else if (rc != 0) {
    failure = StrFormat(kStatusUpdateFailed, rc);
  }
  // Commit point: every statement takes effect on its own.
  last_result_ = rc;
  if (rc == 0) return 1;

  logs_.Main(failure);
  platform_.Print(StrFormat(kStatusNotUpdated, rc));
  session_.Disconnect();
  int connect = session_.Connect(credentials_.user, credentials_.password,
                                 credentials_.data_source);
  if (connect != 0) {
    std::string line = StrFormat(kReconnectFailed, connect);
    platform_.Print(line);
    logs_.Main(line);
    return 0;
  }
  logs_.Main(kReconnected);
  return 1;
}

}  // namespace kvs
