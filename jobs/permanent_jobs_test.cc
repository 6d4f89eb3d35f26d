#include "jobs/permanent_jobs.h"

#include <string>

#include "gtest/gtest.h"

namespace kvs {
namespace {

// Catches a comparison over the wrong number of characters (a 7-character
// name must match a longer table entry; a name shorter than the compared
// length must not), case taken into account, the product not filled in,
// "unknown" not marked delete-only, a stale delete-only flag from an
// earlier call, and a later entry winning over an earlier one.
TEST(KnownPermanentProgram, MatchesTheTableInOrder) {
  struct Case {
    const char* jobnam;
    const char* product;
    const char* program;
    bool delete_only;
  };
  const Case cases[] = {
      {"dyf_sqlserver.exe", "SQLSERVER", "DYF_SQLSERVER.EXE", false},
      {"MARLIN_x", "MYSQL", "MARLIN_MYSQL.EXE", false},
      {"devstate.exe", "MYSQL", "DevState.exe", false},
      {"DEVSTATx", "MYSQL", "DevState.exe", false},
      {"DevStat", "MYSQL", "DevState.exe", false},
      {"PortWat", "MYSQL", "PortWatch.exe", false},
      {"prd.exe", "MYSQL", "PRD.EXE", false},
      {"datload_mysql.exe", "MYSQL", "DATLOAD_MYSQL.EXE", false},
      {"shiftfix.exe", "SQLSERVER", "SHIFTFIX_SQLSERVER.EXE", false},
      {"SHIFTFI", "MYSQL", "", false},
      {"unknown", "MYSQL", "", true},
      {"UNKNOWN.exe", "MYSQL", "", true},
      {"unknow", "MYSQL", "", false},
      {"dayend.exe", "MYSQL", "", false},
      {"DY", "MYSQL", "", false},
      {"", "MYSQL", "", false},
      // The first three characters decide before "unknown" is reached.
      {"dyfunknown", "MYSQL", "DYF_MYSQL.EXE", false},
  };
  for (const Case& c : cases) {
    bool delete_only = true;
    EXPECT_EQ(c.program, KnownPermanentProgram(c.jobnam, c.product, &delete_only)) << c.jobnam;
    EXPECT_EQ(c.delete_only, delete_only) << c.jobnam;
  }
}

}  // namespace
}  // namespace kvs
