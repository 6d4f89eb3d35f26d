#include "core/connection_file.h"

#include <filesystem>
#include <fstream>
#include <string>

#include "core/blowfish.h"
#include "gtest/gtest.h"
#include "platform/test_util.h"

namespace kvs {
namespace {

namespace fs = std::filesystem;

class ConnectionFileTest : public testing::Test {
 protected:
  void Write(const std::string& text) {
    std::ofstream out(path_, std::ios::binary);
    out << text;
  }
  static std::string Hex(const std::string& plain) { return EncryptValue(plain, kConnectionKey); }
  // What start-up asks: empty section, record number 0.
  std::string Lookup(const std::string& key) { return LookupConnectionValue("", key, 0, path_); }

  ScratchDir dir_{"kvs_connection_"};
  std::string path_ = dir_.File("KORVALINE.INI");
};

// The first matching record wins, and records that carry an empty section
// or record number 0 answer every start-up lookup.
TEST_F(ConnectionFileTest, MatchingRules) {
  struct Case {
    std::string file;
    std::string key;
    std::string expected;
  };
  const Case cases[] = {
      {"x;DB;\n1;PASS;" + Hex("first") + "\nx;DB;\n2;PASS;" + Hex("second") + "\n", "PASS",
       "first"},
      {"x;DB;\n1;LOGIN;" + Hex("kvs") + "\nx;DB;\n2;PASS;" + Hex("secret") + "\n", "PASS",
       "secret"},
      {"no section here\n1;LOGIN;" + Hex("any") + "\nx;DB;\n2;PASS;" + Hex("secret") + "\n",
       "PASS", "any"},
      {"x;DB;\n0;LOGIN;" + Hex("zero") + "\nx;DB;\n2;PASS;" + Hex("secret") + "\n", "PASS",
       "zero"},
      {"x;DB;\nabc;LOGIN;" + Hex("nodigits") + "\nx;DB;\n2;PASS;" + Hex("s") + "\n", "PASS",
       "nodigits"},
      {"x;DB;\n1;LOGIN;" + Hex("kvs") + "\nx;DB;\n", "PASS", ""},  // odd line count
      {"x;DB;\r\n1;PASS;" + Hex("crlf") + "\r\n", "PASS", "crlf"},
      {"x;DB;\n1;PASS;" + Hex("no line break"), "PASS", "no line break"},
      {"x;DB;\n1;PASS;" + Hex("12345678"), "PASS", "12345678"},
      {"x;DB;\n1;PASS;", "PASS", ""},
      {"x;DB;\n1;PASS;" + Hex("a;b") + "\n", "PASS", "a;b"},
      // An over-long line stays one line; the records after it keep in step.
      {"x;DB;" + std::string(1000, 'h') + "\n1;LOGIN;" + Hex("kvs") + "\nx;DB;\n2;PASS;" +
           Hex("secret") + "\n",
       "PASS", "secret"},
  };
  for (const Case& c : cases) {
    Write(c.file);
    EXPECT_EQ(c.expected, Lookup(c.key)) << c.file;
  }
}

TEST_F(ConnectionFileTest, MissingFileGivesEmptyValue) {
  EXPECT_EQ("", Lookup("PASS"));
}

// Operators update a record in place; a new key becomes a new record; a
// file out of step is left alone. Catches a record the controller never
// reads (an earlier one with the key, in another section) written without
// a warning, a warning where none is due, a new file that other users may
// read, an existing file's protection lost and the temporary file left
// behind.
TEST_F(ConnectionFileTest, WriteRecordUpdatesOrAppends) {
  // Owner only, as this system shows it (Windows knows only read-only).
  Write("");
  fs::permissions(path_, fs::perms::owner_read | fs::perms::owner_write);
  const fs::perms owner_only = fs::status(path_).permissions();
  fs::remove(path_);
  bool earlier = true;
  ASSERT_EQ(0, WriteConnectionRecord(path_, "KVSJOB", 1, "LOGIN", "kvs", &earlier));
  EXPECT_FALSE(earlier);
  EXPECT_EQ(owner_only, fs::status(path_).permissions());
  ASSERT_EQ(0, WriteConnectionRecord(path_, "KVSJOB", 2, "PASS", "old"));
  // An existing file keeps what it had, here readable by the group too.
  fs::permissions(path_, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  const fs::perms protection = fs::status(path_).permissions();
  ASSERT_EQ(0, WriteConnectionRecord(path_, "KVSJOB", 2, "PASS", "new", &earlier));
  EXPECT_FALSE(earlier);
  EXPECT_EQ(protection, fs::status(path_).permissions());
  EXPECT_FALSE(fs::exists(path_ + ".tmp"));
  ASSERT_EQ(0, WriteConnectionRecord(path_, "OTHER", 3, "PASS", "unread", &earlier));
  EXPECT_TRUE(earlier);
  EXPECT_EQ("kvs", Lookup("LOGIN"));
  EXPECT_EQ("new", Lookup("PASS"));
  const std::string text = ReadText(path_, std::ios::binary);
  EXPECT_EQ("KVS;KVSJOB;\r\n1;LOGIN;" + Hex("kvs") + "\r\nKVS;KVSJOB;\r\n2;PASS;" + Hex("new") +
                "\r\nKVS;OTHER;\r\n3;PASS;" + Hex("unread") + "\r\n",
            text);

  Write("x;DB;\n1;LOGIN;" + Hex("kvs") + "\nx;DB;\n");
  EXPECT_EQ(-2, WriteConnectionRecord(path_, "KVSJOB", 3, "PASS", "p"));
}

}  // namespace
}  // namespace kvs
