#include "db/session.h"

#include <cstring>
#include <utility>

#include "diag/text.h"
#include "platform/odbc_api.h"

namespace kvs {

namespace {

// An ODBC handle of one type that frees itself. Move assignment frees the
// old handle first.
class OdbcHandle {
 public:
  OdbcHandle() = default;
  OdbcHandle(SQLSMALLINT type, SQLHANDLE handle) : type_(type), handle_(handle) {}
  ~OdbcHandle() { Reset(); }
  OdbcHandle(OdbcHandle&& other) noexcept
      : type_(other.type_), handle_(std::exchange(other.handle_, nullptr)) {}
  OdbcHandle& operator=(OdbcHandle&& other) noexcept {
    if (this != &other) {
      Reset();
      type_ = other.type_;
      handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
  }
  OdbcHandle(const OdbcHandle&) = delete;
  OdbcHandle& operator=(const OdbcHandle&) = delete;

  SQLHANDLE get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }
  void Reset() {
    if (handle_ != nullptr) SQLFreeHandle(type_, handle_);
    handle_ = nullptr;
  }

 private:
  SQLSMALLINT type_ = 0;
  SQLHANDLE handle_ = nullptr;
};

bool Succeeded(SQLRETURN rc) { return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO; }

SQLCHAR* Sql(const std::string& s) {
  return reinterpret_cast<SQLCHAR*>(const_cast<char*>(s.c_str()));
}

// Cleared buffers, so a NULL column reads as empty or zero.
void ClearAndBind(SQLHANDLE statement, const std::vector<ColumnBinding>& columns) {
  thread_local SQLLEN indicator;  // shared by a thread's columns and never examined
  SQLUSMALLINT number = 1;
  for (const ColumnBinding& c : columns) {
    std::memset(c.buffer, 0, c.size);
    if (c.type == ColumnBinding::Type::kText) {
      SQLBindCol(statement, number, SQL_C_CHAR, c.buffer, static_cast<SQLLEN>(c.size), &indicator);
    } else {
      SQLBindCol(statement, number, SQL_C_SLONG, c.buffer, 0, &indicator);
    }
    ++number;
  }
}

}  // namespace

struct Session::Handles {
  OdbcHandle env;
  OdbcHandle dbc;
  bool connected = false;
  OdbcHandle cursors[static_cast<int>(CursorSlot::kCount)];
};

Dialect DialectOf(const std::string& db_system) {
  if (db_system == kDbSystemMssql) return Dialect::kMssql;
  if (db_system == kDbSystemMysql) return Dialect::kMysql;
  return Dialect::kUnknown;
}

char* RightTrimInPlace(char* text) {
  size_t n = std::strlen(text);
  while (n > 0 && (text[n - 1] == ' ' || text[n - 1] == '\t')) text[--n] = '\0';
  return text;
}

Session::Session(Logs& logs) : logs_(logs), handles_(std::make_unique<Handles>()) {}

Session::~Session() { Disconnect(); }

bool Session::IsDuplicateKey(int code) const {
  switch (dialect_) {
    case Dialect::kMssql:
      return code == 2627 || code == 2601;
    case Dialect::kMysql:
      return code == 1062;
    default:
      return code == 2627 || code == 2601 || code == 1062;
  }
}

void Session::SetDbSystem(const std::string& db_system) { dialect_ = DialectOf(db_system); }

bool Session::connected() const { return handles_->connected; }

int Session::Connect(const std::string& user, const std::string& password,
                     const std::string& data_source) {
  // Longer values do not fit the connect's fields; cutting them would
  // connect somewhere else or with another password.
  const std::pair<const char*, const std::string*> params[] = {
      {"Datenquelle", &data_source}, {"Benutzer", &user}, {"Passwort", &password}};
  bool too_long = false;
  for (const auto& [name, value] : params) {
    if (value->size() > kConnectParamCapacity - 1) {
      logs_.Main(StrFormat(kConnectParamTooLong, name));
      too_long = true;
    }
  }
  if (too_long) return -1;

  // New handles replace the previous ones.
  handles_->cursors[0].Reset();
  handles_->cursors[1].Reset();
  handles_->cursors[2].Reset();
  if (handles_->connected) SQLDisconnect(handles_->dbc.get());
  handles_->connected = false;
  handles_->dbc.Reset();
  handles_->env.Reset();

  SQLHANDLE env = SQL_NULL_HANDLE;
  if (SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env) == SQL_ERROR) return -1;
  handles_->env = OdbcHandle(SQL_HANDLE_ENV, env);
  SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3),
                SQL_IS_INTEGER);
  SQLHANDLE dbc = SQL_NULL_HANDLE;
  if (SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc) == SQL_ERROR) return -1;
  handles_->dbc = OdbcHandle(SQL_HANDLE_DBC, dbc);
  // A server that accepts the connection but never answers must not hold
  // the controller for ever.
  const SQLULEN login_seconds =
      query_timeout_seconds_ > 0 && query_timeout_seconds_ < 30 ? query_timeout_seconds_ : 30;
  SQLSetConnectAttr(dbc, SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(login_seconds),
                    SQL_IS_UINTEGER);
  SQLRETURN rc =
      SQLConnect(dbc, Sql(data_source), SQL_NTS, Sql(user), SQL_NTS, Sql(password), SQL_NTS);
  if (rc == SQL_ERROR) return -1;
  handles_->connected = true;

  if (dialect_ == Dialect::kMysql) {
    int set =
        Execute(SqlFormat("SET SESSION sql_mode = CONCAT(@@SESSION.sql_mode, "
                          "',NO_BACKSLASH_ESCAPES')"));
    if (set != 0) {
      // With backslash escapes on, a value ending in a backslash (a Windows
      // path) would escape its closing quote and change the statement.
      logs_.Main(StrFormat(kNoBackslashEscapesFailed, static_cast<long>(set)));
      Disconnect();
      return -1;
    }
    if (query_timeout_seconds_ > 0) {
      // The MariaDB driver bounds a statement only by reading the socket
      // with a time-out and drops the connection when it runs out; the
      // server's own bound cancels the statement (a lock wait too) and
      // keeps the session. MySQL names it otherwise (milliseconds, reads
      // only), and there the lock wait is bounded as well.
      const SqlNumber seconds(query_timeout_seconds_);
      if (Execute(SqlFormat("SET SESSION max_statement_time = %ld", seconds)) != 0) {
        (void)Execute(SqlFormat("SET SESSION max_execution_time = %ld000", seconds));
        (void)Execute(SqlFormat("SET SESSION innodb_lock_wait_timeout = %ld", seconds));
      }
    }
  }
  return 0;
}

int Session::Disconnect() {
  for (OdbcHandle& cursor : handles_->cursors) cursor.Reset();
  if (handles_->dbc && handles_->connected) SQLDisconnect(handles_->dbc.get());
  handles_->connected = false;
  handles_->dbc.Reset();
  handles_->env.Reset();
  return 0;
}

void Session::FetchDiagnostics(int handle_type, void* handle) {
  error_ = SqlError();
  SQLINTEGER native = 0;
  SQLSMALLINT length = 0;
  SQLGetDiagRec(static_cast<SQLSMALLINT>(handle_type), handle, 1,
                reinterpret_cast<SQLCHAR*>(error_.sqlstate), &native,
                reinterpret_cast<SQLCHAR*>(error_.message), sizeof error_.message, &length);
  error_.native = static_cast<int32_t>(native);
}

void* Session::NewStatement() {
  SQLHANDLE raw = SQL_NULL_HANDLE;
  if (!handles_->dbc || SQLAllocHandle(SQL_HANDLE_STMT, handles_->dbc.get(), &raw) == SQL_ERROR) {
    return SQL_NULL_HANDLE;
  }
  // Without a bound, one statement waiting on a lock would stop the whole
  // controller: no heartbeat, no supervision.
  if (query_timeout_seconds_ > 0) {
    SQLSetStmtAttr(raw, SQL_ATTR_QUERY_TIMEOUT,
                   reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(query_timeout_seconds_)),
                   SQL_IS_UINTEGER);
  }
  return raw;
}

int Session::Run(const SqlStatement& sql, bool lock_concurrency, int64_t* rows) {
  *rows = -1;
  SQLHANDLE raw = NewStatement();
  if (raw == SQL_NULL_HANDLE) return -1;
  OdbcHandle statement(SQL_HANDLE_STMT, raw);
  if (lock_concurrency) {
    SQLSetStmtAttr(raw, SQL_ATTR_CONCURRENCY, reinterpret_cast<SQLPOINTER>(SQL_CONCUR_LOCK),
                   SQL_IS_INTEGER);
  }
  SQLRETURN rc = SQLExecDirect(raw, Sql(sql.text()), SQL_NTS);
  if (rc == SQL_ERROR) {
    FetchDiagnostics(SQL_HANDLE_STMT, raw);
    return ErrorResult();
  }
  // Drivers report an update that matched nothing as success with no rows.
  SQLLEN count = -1;
  if (rc == SQL_NO_DATA) {
    *rows = 0;
  } else if (Succeeded(SQLRowCount(raw, &count))) {
    *rows = count;
  }
  return 0;
}

int Session::Execute(const SqlStatement& sql, bool reports_no_row, bool lock_concurrency) {
  int64_t rows = -1;
  const int rc = Run(sql, lock_concurrency, &rows);
  return rc == 0 && reports_no_row && rows == 0 ? 100 : rc;
}

int Session::ExecuteCounted(const SqlStatement& sql, int64_t* rows) {
  const int rc = Run(sql, false, rows);
  if (*rows < 0) *rows = 0;
  return rc;
}

int Session::Fetch(void* statement, const std::vector<ColumnBinding>& columns) {
  ClearAndBind(statement, columns);
  SQLRETURN rc = SQLFetch(statement);
  if (Succeeded(rc)) return 0;
  if (rc == SQL_NO_DATA) return 100;
  if (rc == SQL_ERROR) {
    FetchDiagnostics(SQL_HANDLE_STMT, statement);
    return ErrorResult();
  }
  return rc;
}

int Session::QueryRow(const SqlStatement& sql, const std::vector<ColumnBinding>& columns) {
  SQLHANDLE raw = NewStatement();
  if (raw == SQL_NULL_HANDLE) return -1;
  OdbcHandle statement(SQL_HANDLE_STMT, raw);
  SQLRETURN rc = SQLExecDirect(raw, Sql(sql.text()), SQL_NTS);
  if (rc == SQL_ERROR) {
    FetchDiagnostics(SQL_HANDLE_STMT, raw);
    return ErrorResult();
  }
  // The caller's outputs stay untouched when there is no row, so fetch
  // into scratch copies first.
  std::vector<std::vector<char>> scratch;
  std::vector<ColumnBinding> targets;
  for (const ColumnBinding& c : columns) {
    scratch.emplace_back(c.size);
    targets.push_back({c.type, scratch.back().data(), c.size});
  }
  int result = Fetch(raw, targets);
  if (result == 0) {
    for (size_t i = 0; i < columns.size(); ++i) {
      std::memcpy(columns[i].buffer, scratch[i].data(), columns[i].size);
      if (columns[i].type == ColumnBinding::Type::kText) {
        static_cast<char*>(columns[i].buffer)[columns[i].size - 1] = '\0';
      }
    }
  }
  return result;
}

int Session::OpenCursor(CursorSlot slot, const SqlStatement& sql) {
  OdbcHandle& cursor = handles_->cursors[static_cast<int>(slot)];
  cursor.Reset();
  SQLHANDLE raw = NewStatement();
  if (raw == SQL_NULL_HANDLE) return -1;
  OdbcHandle statement(SQL_HANDLE_STMT, raw);
  SQLSetStmtAttr(raw, SQL_ATTR_CONCURRENCY, reinterpret_cast<SQLPOINTER>(SQL_CONCUR_LOCK),
                 SQL_IS_INTEGER);
  SQLRETURN rc = SQLExecDirect(raw, Sql(sql.text()), SQL_NTS);
  if (rc == SQL_ERROR) {
    FetchDiagnostics(SQL_HANDLE_STMT, raw);
    return ErrorResult();
  }
  cursor = std::move(statement);
  return 0;
}

int Session::FetchCursor(CursorSlot slot, const std::vector<ColumnBinding>& columns) {
  OdbcHandle& cursor = handles_->cursors[static_cast<int>(slot)];
  if (!cursor) return -1;
  return Fetch(cursor.get(), columns);
}

int Session::CloseCursor(CursorSlot slot) {
  handles_->cursors[static_cast<int>(slot)].Reset();
  return 0;
}

}  // namespace kvs
