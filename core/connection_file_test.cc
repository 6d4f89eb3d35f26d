#include "core/connection_file.h"

#include <filesystem>
#include <fstream>
#include <string>

#include "core/blowfish.h"
#include "diag/text.h"
#include "gtest/gtest.h"
#include "platform/platform.h"
#include "platform/test_util.h"
#include "platform/tool_support.h"

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

// The system's own commands (chown, stat, setpriv) through sh, for what
// only another user can do or see: false when there are none to run (on
// Windows, whose files keep their protection through ReplaceFile).
bool Shell(const std::string& script, int* exit_code) {
  return RunAndWait("sh -c \"" + script + "\"", exit_code) == 0;
}

// "uid:gid:mode" of the file at path.
std::string OwnerOf(const std::string& path) {
  int exit_code = -1;
  const std::string out = path + ".owner";
  if (!Shell("stat -c %u:%g:%a '" + path + "' > '" + out + "'", &exit_code)) return "?";
  const std::string text = ReadText(out);
  return exit_code == 0 ? text.substr(0, text.find('\n')) : "?";
}

// Catches kvscrypt taking the credentials from the controller's account:
// a file of nobody:nogroup with mode 0640 must keep owner, group and mode
// after a set as root, and where the owner cannot be given back (run as
// nobody, a file of root's in a folder anyone may write), set must refuse,
// say so and leave the old file as it was, as it must with a file it
// cannot read. Needs root.
TEST_F(ConnectionFileTest, SetKeepsOwnerGroupAndMode) {
  int exit_code = -1;
  if (!Shell("exit 0", &exit_code)) GTEST_SKIP() << "no owners of this kind here";
  // The tool as operators run it, copied from beside this test to where
  // nobody may run it.
  const fs::path built = fs::path(CreatePlatform()->OwnExecutablePath()).parent_path() / "kvscrypt";
  ASSERT_TRUE(fs::exists(built)) << built;
  const fs::path dir = fs::path(path_).parent_path();
  fs::permissions(dir, fs::perms::group_exec | fs::perms::others_exec, fs::perm_options::add);
  const std::string kvscrypt = (dir / "kvscrypt").string();
  fs::copy_file(built, kvscrypt);
  const fs::path shared = dir / "shared";
  fs::create_directory(shared);
  fs::permissions(shared, fs::perms::all);
  const std::string file = (shared / "KORVALINE.INI").string();
  const struct {
    const char* as;     // setpriv's options, "" for root
    const char* owner;  // the file's, before and after
    const char* mode;
    int rc;
    const char* error;
  } cases[] = {
      {"", "65534:65534", "640", 0, ""},
      {"setpriv --reuid=65534 --regid=65534 --clear-groups ", "0:0", "644", 1,
       "kvscrypt: %s belongs to another user or group, which this account cannot give the new "
       "file; run kvscrypt as its owner or as root. Not changed\n"},
      // Its own file, which it may not read: written anew it would lose
      // the other records.
      {"setpriv --reuid=65534 --regid=65534 --clear-groups ", "65534:65534", "200", 1,
       "kvscrypt: cannot write %s\n"},
  };
  for (const auto& c : cases) {
    fs::remove(file);
    ASSERT_EQ(0, WriteConnectionRecord(file, "KVSJOB", 1, "LOGIN", "kvs"));
    ASSERT_TRUE(Shell(
        std::string("chown ") + c.owner + " '" + file + "' && chmod " + c.mode + " '" + file + "'",
        &exit_code));
    ASSERT_EQ(0, exit_code) << "this test gives files to other users and must run as root";
    const std::string before = ReadFile(file);
    const std::string err = file + ".err";
    ASSERT_TRUE(Shell(std::string(c.as) + "'" + kvscrypt + "' set '" + file +
                          "' KVSJOB 2 PASS secret 2> '" + err + "'",
                      &exit_code));
    EXPECT_EQ(c.rc, exit_code) << c.owner;
    EXPECT_EQ(StrFormat(c.error, file.c_str()), ReadText(err));
    EXPECT_EQ(std::string(c.owner) + ":" + c.mode, OwnerOf(file));
    EXPECT_EQ(c.rc == 0 ? "secret" : "", LookupConnectionValue("", "PASS", 0, file));
    EXPECT_EQ(c.rc == 0, before != ReadFile(file));
    EXPECT_FALSE(fs::exists(file + ".tmp"));
  }
}

}  // namespace
}  // namespace kvs
