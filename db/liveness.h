// The per-pass database liveness check: write the status job row (insert
// it when missing); when that fails, disconnect and connect once more.
#pragma once

#include "db/job_table.h"
#include "db/session.h"
#include "diag/log_file.h"
#include "platform/platform.h"

namespace kvs {

inline constexpr char kStatusInsertFailed[] = "- Fehler beim Anlegen des Statusjobs! RC: %ld\n";
inline constexpr char kStatusUpdateFailed[] = "- Fehler beim Update des Statusjobs! RC: %d\n";
inline constexpr char kStatusNotUpdated[] = "- Statussatz konnte nicht aktualisiert werden! : %d\n";
inline constexpr char kReconnectFailed[] = "- Verbindung zur Datenbank fehlgeschlagen, Fehler : %d\n";
inline constexpr char kReconnected[] = "- Neue Datenbankverbindung erstellt\n";

class LivenessCheck {
 public:
  LivenessCheck(Platform& platform, Logs& logs, Session& session, JobTable& jobs,
                const Credentials& credentials)
      : platform_(platform), logs_(logs), session_(session), jobs_(jobs),
        credentials_(credentials) {}

  // 1 when the database is usable (also after a successful reconnect), 0
  // when not.
  int Check();
  int32_t last_result() const { return last_result_; }

 private:
  Platform& platform_;
  Logs& logs_;
  Session& session_;
  JobTable& jobs_;
  const Credentials& credentials_;
  int32_t last_result_ = 0;
};

}  // namespace kvs
