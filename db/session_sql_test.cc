#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "db/liveness.h"
#include "db/session.h"
#include "db/test_database.h"
#include "gtest/gtest.h"

namespace kvs {
namespace {

using SessionSqlTest = DatabaseTest;

// Catches a refused login taken as connected, and a session that keeps
// running statements on a connection that failed.
TEST_F(SessionSqlTest, FailedConnectLeavesNoUsableConnection) {
  const Credentials good = TestCredentials();
  struct Case {
    const char* what;
    Credentials credentials;
  };
  const Case cases[] = {
      {"wrong password", {good.user, good.password + "x", good.data_source}},
      {"unknown user", {"nobody", good.password, good.data_source}},
      {"unknown data source", {good.user, good.password, "KVSNOWHERE"}},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(0, session_.Connect(good.user, good.password, good.data_source));
    EXPECT_EQ(session_.Connect(c.credentials.user, c.credentials.password,
                               c.credentials.data_source),
              -1)
        << c.what;
    EXPECT_FALSE(session_.connected()) << c.what;
    EXPECT_EQ(session_.Execute(TestStatement("DELETE FROM KVSYSTEM.KVS500JOB")), -1) << c.what;
  }
}

// Catches a parameter of 24 characters cut to 23 and used (it would log in
// somewhere else or with another password), the limit off by one, and the
// log line naming the wrong parameter.
TEST_F(SessionSqlTest, ConnectParameterOver23CharactersIsRefusedAndLogged) {
  platform_.SetLocalTime(2026, 3, 1, 9, 5, 7);
  const Credentials good = TestCredentials();
  const std::string long24(24, 'x');
  const std::string long23(23, 'x');
  struct Case {
    Credentials credentials;
    const char* log;  // appended to the main log
  };
  const Case cases[] = {
      {{good.user, good.password, long24},
       "2026-03-01 09:05:07  - Verbindungsparameter Datenquelle ist laenger als 23 Zeichen "
       "und wird nicht verwendet!\n"},
      {{long24, good.password, good.data_source},
       "2026-03-01 09:05:07  - Verbindungsparameter Benutzer ist laenger als 23 Zeichen und "
       "wird nicht verwendet!\n"},
      {{good.user, long24, good.data_source},
       "2026-03-01 09:05:07  - Verbindungsparameter Passwort ist laenger als 23 Zeichen und "
       "wird nicht verwendet!\n"},
      {{good.user, long23, good.data_source}, ""},  // tried, and refused by the server
  };
  for (const Case& c : cases) {
    const std::string before = logs_.MainText();
    EXPECT_EQ(session_.Connect(c.credentials.user, c.credentials.password,
                               c.credentials.data_source),
              -1);
    const std::string after = logs_.MainText();
    ASSERT_GE(after.size(), before.size());
    EXPECT_EQ(after.substr(before.size()), c.log);
  }
}

// Catches a statement handle allocated on a freed connection.
TEST_F(SessionSqlTest, StatementsAfterDisconnectReturnMinusOne) {
  int32_t n = 0;
  EXPECT_EQ(session_.Disconnect(), 0);
  EXPECT_EQ(session_.Disconnect(), 0);
  EXPECT_FALSE(session_.connected());
  EXPECT_EQ(session_.Execute(TestStatement("DELETE FROM KVSYSTEM.KVS500JOB")), -1);
  EXPECT_EQ(session_.QueryRow(TestStatement("SELECT 1"), {ColumnBinding::Long(&n)}), -1);
  EXPECT_EQ(session_.OpenCursor(CursorSlot::kJobList, TestStatement("SELECT 1")), -1);
  EXPECT_EQ(session_.FetchCursor(CursorSlot::kJobList, {ColumnBinding::Long(&n)}), -1);
}

// Catches a query without a row clearing the caller's values, and a NULL
// column keeping the value of the row fetched before it (the indicator is
// never looked at, so only clearing the buffers gives empty and zero).
TEST_F(SessionSqlTest, NoRowAndNullColumns) {
  ASSERT_EQ(0, session_.Execute(
                   TestStatement("INSERT INTO KVSYSTEM.KVS500JOB (JOBDA1, JOBKE2, JOBURV, JOBMRT) VALUES "
                   "('20260101000001', 'A', 'first', 7), ('20260101000002', 'B', NULL, NULL)")));
  char urv[257] = "keep";
  int32_t mrt = 42;
  const std::vector<ColumnBinding> columns = {ColumnBinding::Text(urv, sizeof urv),
                                              ColumnBinding::Long(&mrt)};
  EXPECT_EQ(session_.QueryRow(TestStatement("SELECT JOBURV, JOBMRT FROM KVSYSTEM.KVS500JOB WHERE 1 = 0"),
                              columns),
            100);
  EXPECT_STREQ(urv, "keep");
  EXPECT_EQ(mrt, 42);

  const std::string query = "SELECT JOBURV, JOBMRT FROM KVSYSTEM.KVS500JOB WHERE JOBKE2 = ";
  ASSERT_EQ(session_.QueryRow(TestStatement(query + "'A'"), columns), 0);
  EXPECT_STREQ(urv, "first");
  ASSERT_EQ(session_.QueryRow(TestStatement(query + "'B'"), columns), 0);
  EXPECT_STREQ(urv, "");
  EXPECT_EQ(mrt, 0);

  ASSERT_EQ(session_.OpenCursor(CursorSlot::kJobList,
                                TestStatement("SELECT JOBURV, JOBMRT FROM KVSYSTEM.KVS500JOB ORDER BY JOBDA1")),
            0);
  ASSERT_EQ(session_.FetchCursor(CursorSlot::kJobList, columns), 0);
  EXPECT_STREQ(urv, "first");
  EXPECT_EQ(mrt, 7);
  ASSERT_EQ(session_.FetchCursor(CursorSlot::kJobList, columns), 0);
  EXPECT_STREQ(urv, "");
  EXPECT_EQ(mrt, 0);
  EXPECT_EQ(session_.FetchCursor(CursorSlot::kJobList, columns), 100);
  EXPECT_EQ(session_.CloseCursor(CursorSlot::kJobList), 0);
}

// Catches only blanks trimmed (not tabs), a text of blanks left with one,
// inner blanks or leading ones removed.
TEST(RightTrimInPlaceTest, TrailingBlanksAndTabs) {
  struct Case {
    const char* text;
    const char* expected;
  };
  const Case cases[] = {
      {"", ""},         {"  ", ""},         {" \t \t", ""},   {"a \t", "a"},
      {"a b  ", "a b"}, {"\t a", "\t a"},   {"a\t b\t", "a\t b"}, {"a\n ", "a\n"},
      {"01", "01"},
  };
  for (const Case& c : cases) {
    char buffer[16];
    std::strcpy(buffer, c.text);
    EXPECT_EQ(RightTrimInPlace(buffer), buffer);
    EXPECT_STREQ(buffer, c.expected) << "[" << c.text << "]";
  }
}

// Catches a DSN that counts changed rows (set up without OPTIONS=2)
// making the database look lost in every pass: writing the blank state
// again reports no row, and inserting the row that is there fails on its
// key.
TEST_F(SessionSqlTest, LivenessHoldsWhereOnlyChangedRowsCount) {
  Credentials c = TestCredentials();
  c.data_source = TestEnv("KVS_TEST_DSN_CHANGED_ROWS");
  ASSERT_FALSE(c.data_source.empty())
      << "KVS_TEST_DSN_CHANGED_ROWS is not set: run the tests through scripts/test";
  Session session(logs_);
  session.SetDbSystem("MYSQL");
  ASSERT_EQ(0, session.Connect(c.user, c.password, c.data_source));
  JobTable jobs(session);
  LivenessCheck check(platform_, logs_, session, jobs, c);
  // The first check inserts the row; the later ones find it blank already.
  for (int pass = 0; pass < 3; ++pass) {
    EXPECT_EQ(1, check.Check()) << pass;
    EXPECT_EQ(0, check.last_result()) << pass;
  }
  EXPECT_EQ("", platform_.console);
  // This DSN does report no row for an unchanged one.
  EXPECT_EQ(100, jobs.UpdateStatusJob("", kStatusJobDa1, kStatusJobKe2));
  EXPECT_EQ("1", Value("SELECT COUNT(*) AS v FROM KVSYSTEM.KVS500JOB WHERE JOBDA1 = "
                       "'99999999999999'"));
}

// Catches a statement time-out the driver ignores (a status page would
// wait as long as a hung statement), and one that reaches a session that
// did not ask for it.
TEST_F(SessionSqlTest, StatementTimeoutEndsALongStatement) {
  const Credentials c = TestCredentials();
  Session bounded(logs_);
  bounded.SetDbSystem("MYSQL");
  bounded.SetQueryTimeout(1);
  ASSERT_EQ(0, bounded.Connect(c.user, c.password, c.data_source));
  int32_t slept = -1;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_NE(0, bounded.QueryRow(TestStatement("SELECT SLEEP(3)"), {ColumnBinding::Long(&slept)}));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500));
  EXPECT_EQ(0, session_.QueryRow(TestStatement("SELECT SLEEP(1.2)"), {ColumnBinding::Long(&slept)}));
  EXPECT_EQ(0, slept);
}

}  // namespace
}  // namespace kvs

namespace kvs {
namespace {

// Catches a statement without a bound: another session holds the lock on
// the row, and the update fails with the server's time-out code (1969)
// within the query time-out instead of waiting for the lock, which stops
// the whole controller; the session goes on.
TEST_F(SessionSqlTest, LockedRowTimesOutWithinTheBound) {
  ASSERT_EQ(0, session_.Execute(
                   TestStatement("INSERT INTO KVSYSTEM.KVS500JOB (JOBDA1, JOBKE2, JOBRTY, JOBSTS) VALUES "
                   "('20260105070000', 'LOCK', '01', '01')")));
  Session holder(logs_);
  holder.SetDbSystem("MYSQL");
  const Credentials c = TestCredentials();
  ASSERT_EQ(0, holder.Connect(c.user, c.password, c.data_source));
  ASSERT_EQ(0, holder.Execute(TestStatement("START TRANSACTION")));
  ASSERT_EQ(0, holder.Execute(TestStatement("UPDATE KVSYSTEM.KVS500JOB SET JOBSTS = '98' WHERE JOBKE2 = "
                              "'LOCK'")));
  session_.SetQueryTimeout(2);
  ASSERT_EQ(0, session_.Connect(c.user, c.password, c.data_source));
  const auto start = std::chrono::steady_clock::now();
  const int rc =
      jobs_.UpdateJobRow(RowValues("20260105070000", "LOCK", "99", "a.exe", "", "1", "", "", 1));
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(rc, 1969) << session_.error().message;
  EXPECT_GE(waited, std::chrono::milliseconds(1500));
  EXPECT_LT(waited, std::chrono::seconds(10));
  EXPECT_EQ(0, holder.Execute(TestStatement("ROLLBACK")));
  EXPECT_EQ(Value("SELECT JOBSTS AS v FROM KVSYSTEM.KVS500JOB WHERE JOBKE2 = 'LOCK'"), "01");
}

}  // namespace
}  // namespace kvs
