// For tests that run real SQL: the private MariaDB that scripts/test
// starts, reached through the DSN and account in the environment
// (KVS_TEST_DSN, KVS_TEST_USER, KVS_TEST_PASSWORD, ODBCINI). A missing
// variable fails the test: database tests never skip.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <memory>
#include <string>

#include "db/job_table.h"
#include "db/session.h"
#include "diag/test_logs.h"
#include "gtest/gtest.h"
#include "platform/fake_platform.h"
#include "platform/test_util.h"
#include "platform/tool_support.h"

namespace kvs {

inline std::string TestEnv(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// Stops ("stop") or starts ("start") the private MariaDB server; the
// script's exit code, or -1 when it could not run.
inline int MariaDbServer(const char* verb) {
  int exit_code = -1;
  if (RunAndWait("bash " + TestEnv("KVS_TEST_MARIADB_SCRIPT") + " " + verb + " " +
                     TestEnv("KVS_TEST_MARIADB_DIR"),
                 &exit_code) != 0) {
    return -1;
  }
  return exit_code;
}

inline Credentials TestCredentials() {
  return {TestEnv("KVS_TEST_USER"), TestEnv("KVS_TEST_PASSWORD"), TestEnv("KVS_TEST_DSN")};
}

// The running-job list of keys.
inline SqlList ListOf(std::initializer_list<std::string> keys) {
  SqlList list;
  for (const std::string& key : keys) list.Append(SqlText(key));
  return list;
}

// The values a job-row update writes, with its keys.
inline JobRecord RowValues(const std::string& da1, const std::string& ke2, const std::string& sts,
                           const std::string& nam, const std::string& usr,
                           const std::string& num, const std::string& sda,
                           const std::string& eda, int32_t stv) {
  JobRecord row;
  SetField(row.jobda1, da1);
  SetField(row.jobke2, ke2);
  SetField(row.jobsts, sts);
  SetField(row.jobnam, nam);
  SetField(row.jobusr, usr);
  SetField(row.jobnum, num);
  SetField(row.jobsda, sda);
  SetField(row.jobeda, eda);
  row.jobstv = stv;
  return row;
}

// A statement of a test's own, written out as text (the programs build
// theirs from checked templates only).
inline SqlStatement TestStatement(std::string text) { return SqlStatement(std::move(text)); }

// A connected MYSQL session on an empty job table; its logs (TestLogs) in
// a scratch directory, which tests use for their other files too. The
// platform is a FakePlatform, or a test's own kind of it.
template <typename TestPlatform>
class DatabaseTestOn : public testing::Test {
 protected:
  void SetUp() override {
    Credentials c = TestCredentials();
    ASSERT_FALSE(c.data_source.empty())
        << "KVS_TEST_DSN is not set: run the tests through scripts/test, which starts the "
           "private MariaDB";
    session_.SetDbSystem("MYSQL");
    ASSERT_EQ(0, session_.Connect(c.user, c.password, c.data_source));
    ASSERT_EQ(0, session_.Execute(TestStatement("DELETE FROM KVSYSTEM.KVS500JOB")));
  }

  // The value of the column named v in the first row of query, "<NULL>"
  // for NULL, "<none>" without a row.
  std::string Value(const std::string& query) {
    char buffer[1025] = {};
    int32_t is_null = 0;
    std::string wrapped = "SELECT COALESCE(x.v, '<NULL>'), 0 FROM (" + query + ") x";
    int rc = session_.QueryRow(TestStatement(wrapped), {ColumnBinding::Text(buffer, sizeof buffer),
                                         ColumnBinding::Long(&is_null)});
    if (rc == 100) return "<none>";
    EXPECT_EQ(0, rc) << query << ": " << session_.error().message;
    return buffer;
  }

  // A statement that must succeed.
  void Sql(const std::string& sql) {
    ASSERT_EQ(0, session_.Execute(TestStatement(sql))) << sql << ": " << session_.error().message;
  }
  // A job row of the given columns, values SQL literals.
  void Put(const std::string& columns, const std::string& values) {
    Sql("INSERT INTO KVSYSTEM.KVS500JOB (" + columns + ") VALUES (" + values + ")");
  }
  // A waiting row for a selection, its command "run KE2"; sts, urv and dlt
  // are SQL literals (NULL or a quoted text).
  void Put(const std::string& da1, const std::string& ke2, const std::string& rty,
           const std::string& sts, int stv = 0, const std::string& urv = "NULL",
           const std::string& dlt = "NULL") {
    Put("JOBDA1, JOBKE2, JOBRTY, JOBSTS, JOBSTV, JOBURV, JOBDLT, JOBCMD",
        "'" + da1 + "', '" + ke2 + "', '" + rty + "', " + sts + ", " + std::to_string(stv) +
            ", " + urv + ", " + dlt + ", 'run " + ke2 + "'");
  }
  // expr of every job row matching where, in key order, joined by " / ".
  std::string Rows(const std::string& expr, const std::string& where = "1 = 1") {
    return Value("SELECT COALESCE(GROUP_CONCAT(" + expr +
                 " ORDER BY JOBDA1, JOBKE2 SEPARATOR ' / '), '') AS v FROM KVSYSTEM.KVS500JOB "
                 "WHERE " + where);
  }
  // The main log's texts without time stamps.
  std::string LogText() const { return logs_.MainTexts(); }

  ScratchDir scratch_{"kvs_db_test_"};
  std::filesystem::path dir_ = scratch_.path();
  TestPlatform platform_;
  TestLogs logs_{platform_, dir_};
  Session session_{logs_};
  JobTable jobs_{session_};
};

using DatabaseTest = DatabaseTestOn<FakePlatform>;

}  // namespace kvs
