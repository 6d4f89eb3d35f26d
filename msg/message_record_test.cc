#include "msg/message_record.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "platform/fake_platform.h"

namespace kvs {
namespace {

STRNACHRICHT ControllerRecord() {
  STRNACHRICHT r;
  FillControllerSender(&r);
  r.MSGTXT = "Text";
  return r;
}

// Catches a rule checked out of order, a limit off by one, an allowed value
// compared without case, and Liz/Mnd tested with "and" instead of "or".
TEST(MessageRecordTest, ValidationReportsFirstFailingRule) {
  struct Case {
    const char* what;
    std::function<void(STRNACHRICHT&)> change;
    const char* error;  // "" when valid
  };
  const Case cases[] = {
      {"controller record", [](STRNACHRICHT&) {}, ""},
      {"no text, number or link", [](STRNACHRICHT& r) { r.MSGTXT = ""; },
       "Parameterfehler : Nachricht nicht spezifiziert"},
      {"number instead of text", [](STRNACHRICHT& r) { r.MSGTXT = "", r.MSGTNR = 5; }, ""},
      {"link instead of text", [](STRNACHRICHT& r) { r.MSGTXT = "", r.MSGLNK = "x"; }, ""},
      {"text of 120", [](STRNACHRICHT& r) { r.MSGTXT = std::string(120, 'x'); }, ""},
      {"text of 121", [](STRNACHRICHT& r) { r.MSGTXT = std::string(121, 'x'); },
       "Parameterfehler : Nachricht zu lang"},
      {"text of 121 and no module",
       [](STRNACHRICHT& r) { r.MSGTXT = std::string(121, 'x'), r.MSGMOD = ""; },
       "Parameterfehler : Nachricht zu lang"},
      {"no module, no program", [](STRNACHRICHT& r) { r.MSGMOD = "", r.MSGSRC = ""; },
       "Parameterfehler : Absender (Modul) nicht spezifiziert"},
      {"no program, no schema", [](STRNACHRICHT& r) { r.MSGSRC = "", r.MSGSCH = ""; },
       "Parameterfehler : Absender (Programm) nicht spezifiziert"},
      {"no schema, no Liz", [](STRNACHRICHT& r) { r.MSGSCH = "", r.MSGLIZ = ""; },
       "Parameterfehler : Absender (Schema) nicht spezifiziert"},
      {"no Mnd alone", [](STRNACHRICHT& r) { r.MSGMND = ""; },
       "Parameterfehler : Absender (Liz oder Mnd) nicht spezifiziert"},
      {"no Liz alone, no creator", [](STRNACHRICHT& r) { r.MSGLIZ = "", r.MSGERF = ""; },
       "Parameterfehler : Absender (Liz oder Mnd) nicht spezifiziert"},
      {"no creator, bad category", [](STRNACHRICHT& r) { r.MSGERF = "", r.MSGCAT = "X"; },
       "Parameterfehler : Absender (Erfasser) nicht spezifiziert"},
      {"category in lower case", [](STRNACHRICHT& r) { r.MSGCAT = "warnhinweise"; },
       "Parameterfehler : Kategorie nicht spezifiziert"},
      {"category DEBUG, bad recipient",
       [](STRNACHRICHT& r) { r.MSGCAT = "DEBUG", r.MSGADR = "ALL"; },
       "Parameterfehler : Empf\xE4nger nicht spezifiziert"},
      {"USR with ADMIN", [](STRNACHRICHT& r) { r.MSGADR = "USR", r.MSGBER = "ADMIN"; }, ""},
      {"permission with a blank", [](STRNACHRICHT& r) { r.MSGBER = "ALL "; },
       "Parameterfehler : Empf\xE4nger (Berechtigung) nicht spezifiziert"},
      {"empty record", [](STRNACHRICHT& r) { r = STRNACHRICHT(); },
       "Parameterfehler : Nachricht nicht spezifiziert"},
  };
  for (const Case& c : cases) {
    STRNACHRICHT r = ControllerRecord();
    c.change(r);
    std::string error;
    EXPECT_EQ(ValidateRecord(r, &error), c.error[0] == '\0' ? 1 : 0) << c.what;
    EXPECT_EQ(error, c.error) << c.what;
  }
}

// Catches a generator that keeps more than 32 bits of state (seed
// 0xFFFFFFFF wraps), yields bit 31 (seed 1, second draw: 51235 unmasked)
// or uses other constants, and two controllers started in the same second
// seeded alike (their ids would clash); the values were worked out by hand.
TEST(MessageRecordTest, IdGeneratorSequence) {
  struct Case {
    uint32_t seed;
    std::vector<int> expected;
  };
  const Case cases[] = {
      {1, {41, 18467, 6334, 26500, 19169, 15724}},
      {0, {38, 7719, 21238}},
      {0xFFFFFFFFu, {35, 29739, 3374}},
      {1767600000, {23602, 14762, 2427, 715, 14402}},
      // Controllers started in the same second, told apart by their process
      // ids (one server) or their boot clocks (two servers).
      {IdSeed(1767600000, 500, 1000000), {17745, 24163, 27977}},
      {IdSeed(1767600000, 501, 1000000), {7407, 32078, 2060}},
      {IdSeed(1767600000, 500, 1000001), {1381, 20364, 208}},
  };
  for (const Case& c : cases) {
    IdGenerator ids;
    ids.Seed(c.seed);
    std::vector<int> drawn;
    for (size_t i = 0; i < c.expected.size(); ++i) drawn.push_back(ids.Next());
    EXPECT_EQ(drawn, c.expected) << c.seed;
  }
}

// 2026-03-02 10:15:30.
constexpr int64_t kTime = 1772446530;

// Catches a column out of order, a value unquoted, a quote not doubled
// (the statement would end inside the text), a percent sign taken as a
// format, a backslash touched, and MSGTIN or the id in another form.
TEST(MessageRecordTest, BuildInsertExactStatement) {
  FakePlatform platform;
  STRNACHRICHT r = ControllerRecord();
  r.MSGTNR = 7;
  r.MSGTXT = "02.03.2026 10:15:30 It's 100% voll auf D:\\";
  r.MSGLNK = "lnk";
  r.MSGPRI = 3;
  r.MSGBRK = "b";
  r.MSGVAL = 2;
  r.MSGDBG = "it's";
  r.MSGMND = "12345";
  r.MSGLIZ = "54321";
  IdGenerator ids;
  ids.Seed(1);
  std::string error;
  EXPECT_EQ(BuildInsert(platform, r, kTime, &ids, &error),
            "INSERT INTO KVSYSTEM.KVS200MSG (MSGUID, MSGTNR, MSGTXT,  MSGLNK, MSGMOD, MSGSRC,  "
            "MSGSCH, MSGCAT, MSGADR,  MSGBER, MSGPRI, MSGTYP,  MSGBRK, MSGVAL, MSGDBG,  MSGMND, "
            "MSGLIZ, MSGTIN,  MSGSTS, MSGERF) VALUES ('177244653041',   7, '02.03.2026 10:15:30 "
            "It''s 100% voll auf D:\\',  'lnk', 'main', 'KVSJOBSTR',  'KVSYSTEM', "
            "'WARNHINWEISE', 'GEN',  'QUELBAR',   3, '1',  'b',   2, 'it''s',  '12345', "
            "'54321', '20260302101530',    0, 'SYSTEM')");
  EXPECT_EQ(error, "");
}

// Catches the id drawn from anything but the time and the generator, and
// MSGTIN taken from something other than t: statements of one second differ
// only in the number behind the time digits.
TEST(MessageRecordTest, SameSecondSharesTimeAndIdPrefix) {
  FakePlatform platform;
  STRNACHRICHT r = ControllerRecord();
  IdGenerator ids;
  ids.Seed(1);
  std::string error;
  const std::string first = BuildInsert(platform, r, kTime, &ids, &error).text();
  const std::string second = BuildInsert(platform, r, kTime, &ids, &error).text();
  const std::string first_id = "('177244653041',";
  ASSERT_NE(first.find(first_id), std::string::npos) << first;
  std::string expected = first;
  expected.replace(first.find(first_id), first_id.size(), "('177244653018467',");
  EXPECT_EQ(second, expected);
  EXPECT_NE(second.find("'20260302101530',    0, 'SYSTEM')"), std::string::npos) << second;
}

// Catches an invalid record still giving a statement.
TEST(MessageRecordTest, InvalidRecordGivesNoStatement) {
  FakePlatform platform;
  STRNACHRICHT r = ControllerRecord();
  r.MSGTXT = std::string(121, 'x');
  IdGenerator ids;
  std::string error;
  EXPECT_EQ(BuildInsert(platform, r, kTime, &ids, &error), "");
  EXPECT_EQ(error, "Parameterfehler : Nachricht zu lang");
}

// Catches the fallback import running anything but a message the
// controller itself could have written: each sender field, the status, a
// link or debug text, an id or stamp not of its kind, a stamp far ahead
// (it would top every newest-first list), a second statement behind ours,
// other spacing; and a message of ours refused (quotes, percent signs and
// backslashes in its text, an old stamp).
TEST(MessageRecordTest, FallbackLinesRebuildToControllerInserts) {
  FakePlatform platform;
  STRNACHRICHT r = ControllerRecord();
  r.MSGTXT = "02.03.2026 10:15:30 It's 100% voll auf D:\\";
  IdGenerator ids;
  std::string error;
  const std::string good = BuildInsert(platform, r, kTime, &ids, &error).text();
  ASSERT_NE(good, "");
  const std::string latest = "20260302101530";
  auto replaced = [&](const std::string& from, const std::string& to) {
    std::string s = good;
    const size_t at = s.find(from);
    if (at == std::string::npos) {
      ADD_FAILURE() << "not in the statement: " << from;
      return s;
    }
    return s.replace(at, from.size(), to);
  };
  const std::string text = "It''s 100% voll auf D:\\";
  struct Case {
    const char* what;
    std::string line;
    bool accepted;
  };
  const Case cases[] = {
      {"as written", good, true},
      {"text of 120", replaced(text, std::string(100, '%')), true},
      {"older stamp", replaced("'20260302101530'", "'19991231235959'"), true},
      {"text of 121", replaced(text, std::string(101, 'x')), false},
      {"module", replaced("'main'", "'mail'"), false},
      {"program", replaced("'KVSJOBSTR'", "'KVSJOBSTA'"), false},
      {"schema", replaced("'KVSYSTEM'", "'KVSYSTEN'"), false},
      {"category", replaced("'WARNHINWEISE'", "'NACHRICHTEN'"), false},
      {"recipients", replaced("'GEN'", "'ALL'"), false},
      {"permission", replaced("'QUELBAR'", "'ALL'"), false},
      {"Mnd", replaced("'99999', '99999'", "'12345', '99999'"), false},
      {"Liz", replaced("'99999', '99999'", "'99999', '12345'"), false},
      {"creator", replaced("'SYSTEM')", "'ADMIN')"), false},
      {"number", replaced("',   0, '", "',   7, '"), false},
      {"link", replaced("',  '', 'main'", "',  'http://x', 'main'"), false},
      {"priority", replaced("'QUELBAR',   0,", "'QUELBAR',   9,"), false},
      {"type", replaced("'QUELBAR',   0, '1'", "'QUELBAR',   0, '2'"), false},
      {"break", replaced("'1',  '',", "'1',  'x',"), false},
      {"valid flag", replaced("',   1, '", "',   2, '"), false},
      {"long MSGDBG", replaced("1, '',", "1, '" + std::string(1000, 'd') + "',"), false},
      {"status", replaced("',    0, 'SYSTEM')", "',    -5, 'SYSTEM')"), false},
      {"year 2999", replaced("'20260302101530'", "'29990101000000'"), false},
      {"a second ahead", replaced("'20260302101530'", "'20260302101531'"), false},
      {"stamp of 13 digits", replaced("'20260302101530'", "'2026030210153'"), false},
      {"id with letters", replaced("('177244653041'", "('17724465304a'"), false},
      {"id of 21 digits", replaced("('177244653041'", "('177244653041123456789'"), false},
      {"empty id", replaced("('177244653041'", "(''"), false},
      {"two statements", good + "; " + good, false},
      {"trailing blank", good + " ", false},
      {"blank dropped", replaced("VALUES ('", "VALUES('"), false},
      {"other statement", "DELETE FROM KVSYSTEM.KVS500JOB", false},
      {"quote ends a text early", replaced("It''s", "It's"), false},
      {"unclosed text", good.substr(0, good.size() - 2), false},
      {"subquery as number", replaced("',   0, '", "',   (SELECT 1), '"), false},
      {"number out of range", replaced("',   0, '", "',   4294967296, '"), false},
      {"empty", "", false},
  };
  for (const Case& c : cases) {
    SqlStatement statement;
    EXPECT_EQ(RebuildControllerInsert(c.line, latest, &statement), c.accepted) << c.what;
    EXPECT_EQ(statement, c.accepted ? c.line : "") << c.what;
  }
}

}  // namespace
}  // namespace kvs
