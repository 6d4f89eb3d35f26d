// The one ODBC connection of the controller, living from start-up to the
// end of the process, and the statement runner every statement goes
// through: result codes 0 (success), 100 (no data / no row), -1 (no
// statement handle, cursor not open, or an error without native code) or
// the native error code, which is also kept in the SQL error record.
// Knows no statement texts; those live with the tables they touch.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "db/sql_value.h"
#include "diag/log_file.h"

namespace kvs {

// Room of one connection parameter including its terminator.
inline constexpr size_t kConnectParamCapacity = 24;

inline constexpr int32_t kDefaultQueryTimeoutSeconds = 60;

inline constexpr char kDbSystemMssql[] = "MSSQL";
inline constexpr char kDbSystemMysql[] = "MYSQL";

enum class Dialect { kMssql, kMysql, kUnknown };
// Exact, case-sensitive: "mssql" is neither.
Dialect DialectOf(const std::string& db_system);

// Diagnostic record 1 of the most recent failed statement.
struct SqlError {
  char sqlstate[256] = {};
  char message[1000] = {};
  int32_t native = 0;
};

// Where a fetched column goes: a character buffer of column width + 1, or
// a 32-bit integer.
struct ColumnBinding {
  enum class Type { kText, kLong };
  Type type = Type::kText;
  void* buffer = nullptr;
  size_t size = 0;  // bytes, including the terminator for texts

  static ColumnBinding Text(char* buffer, size_t size) { return {Type::kText, buffer, size}; }
  static ColumnBinding Long(int32_t* value) { return {Type::kLong, value, sizeof *value}; }
};

// What a connect needs; kept for the reconnects of the liveness check.
struct Credentials {
  std::string user;
  std::string password;
  std::string data_source;
};

// The long-lived cursors, each with its slot.
enum class CursorSlot { kRunningJobs, kPermanentJobs, kJobList, kCount };

inline constexpr char kConnectParamTooLong[] =
    "- Verbindungsparameter %s ist laenger als 23 Zeichen und wird nicht verwendet!\n";
inline constexpr char kNoBackslashEscapesFailed[] =
    "- NO_BACKSLASH_ESCAPES konnte nicht gesetzt werden! RC: %ld\n";

class Session {
 public:
  explicit Session(Logs& logs);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Selects the SQL dialect ("MSSQL", "MYSQL"); anything else is neither.
  void SetDbSystem(const std::string& db_system);
  // Seconds every statement may take before the driver cancels it (a lock
  // held by another program, a hung server); 0 means no limit. A statement
  // that times out fails with its code like any other failure. Set before
  // Connect: the login waits no longer than this either (at most 30 s).
  void SetQueryTimeout(int32_t seconds) { query_timeout_seconds_ = seconds < 0 ? 0 : seconds; }
  Dialect dialect() const { return dialect_; }

  // Allocates new handles and connects to data_source. 0 connected, -1
  // not. A parameter longer than 23 characters is refused with a main-log
  // line. On MySQL the session then stops treating backslashes as escapes,
  // so values are stored as given.
  [[nodiscard]] int Connect(const std::string& user, const std::string& password,
                            const std::string& data_source);
  // Closes the cursors, disconnects and frees the handles. Always 0.
  int Disconnect();
  bool connected() const;

  // A statement without a result set. With reports_no_row, a statement
  // that changed no row gives 100.
  [[nodiscard]] int Execute(const SqlStatement& statement, bool reports_no_row = false,
                            bool lock_concurrency = false);
  // A statement without a result set; *rows the rows it changed (0 when the
  // driver does not tell).
  [[nodiscard]] int ExecuteCounted(const SqlStatement& statement, int64_t* rows);
  // A single-row query: clears the buffers, binds them in select-list
  // order, fetches once. 0 row delivered, 100 no row.
  [[nodiscard]] int QueryRow(const SqlStatement& statement,
                             const std::vector<ColumnBinding>& columns);
  // A cursor kept open between calls, with lock concurrency.
  [[nodiscard]] int OpenCursor(CursorSlot slot, const SqlStatement& statement);
  // Clears and binds the buffers anew, fetches one row: 0, 100 at the end,
  // -1 when the cursor is not open.
  [[nodiscard]] int FetchCursor(CursorSlot slot, const std::vector<ColumnBinding>& columns);
  int CloseCursor(CursorSlot slot);

  // Whether code is this dialect's native code for a duplicate key (SQL
  // Server 2627 and 2601, MySQL 1062; any of them for an unknown dialect).
  bool IsDuplicateKey(int code) const;

  const SqlError& error() const { return error_; }
  // The native code of the SQL error record.
  int32_t GetLastSQLError() const { return error_.native; }

 private:
  struct Handles;
  void FetchDiagnostics(int handle_type, void* handle);
  // A statement without a result set; *rows the rows it changed, -1 when
  // the driver does not tell.
  int Run(const SqlStatement& sql, bool lock_concurrency, int64_t* rows);
  int Fetch(void* statement, const std::vector<ColumnBinding>& columns);
  int ErrorResult() const { return error_.native != 0 ? error_.native : -1; }
  // A statement handle on the connection, with the query time-out set.
  // SQL_NULL_HANDLE when none could be allocated.
  void* NewStatement();

  Logs& logs_;
  Dialect dialect_ = Dialect::kUnknown;
  int32_t query_timeout_seconds_ = kDefaultQueryTimeoutSeconds;
  SqlError error_;
  std::unique_ptr<Handles> handles_;
};

// Removes trailing blanks and tabs in place; returns text.
char* RightTrimInPlace(char* text);

}  // namespace kvs
