#include "msg/message_pool.h"

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "diag/test_logs.h"
#include "gtest/gtest.h"
#include "platform/fake_platform.h"

namespace kvs {
namespace {

namespace fs = std::filesystem;

void WriteText(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// A scratch tree laid out like an installation: "prog" is the program
// directory and the working directory while the tree lives, and the
// fallback file's directory korvaline_php\log lies beside it.
class ScratchInstallation : public ScratchDir {
 public:
  ScratchInstallation() : ScratchDir("kvs_msg_"), prog_(Lay(path())) {}
  const fs::path& root() const { return path(); }

 private:
  static fs::path Lay(const fs::path& root) {
    fs::create_directories(root / "korvaline_php" / "log");
    fs::create_directories(root / "prog");
    return root / "prog";
  }
  WorkingDir prog_;
};

constexpr char kInsertHead[] =
    "INSERT INTO KVSYSTEM.KVS200MSG (MSGUID, MSGTNR, MSGTXT,  MSGLNK, MSGMOD, MSGSRC,  MSGSCH, "
    "MSGCAT, MSGADR,  MSGBER, MSGPRI, MSGTYP,  MSGBRK, MSGVAL, MSGDBG,  MSGMND, MSGLIZ, "
    "MSGTIN,  MSGSTS, MSGERF) VALUES ('";

// The controller's insert of a message with id uid, the quoted MSGTXT and
// MSGTIN tin.
std::string ControllerInsert(const std::string& uid, const std::string& quoted_text,
                             const std::string& tin) {
  return kInsertHead + uid + "',   0, '" + quoted_text +
         "',  '', 'main', 'KVSJOBSTR',  'KVSYSTEM', 'WARNHINWEISE', 'GEN',  'QUELBAR',   0, "
         "'1',  '',   1, '',  '99999', '99999', '" +
         tin + "',    0, 'SYSTEM')";
}

// The pool on a session that was never connected: every statement fails
// with -1, so every post ends in the fallback file.
class MessagePoolTest : public testing::Test {
 protected:
  fs::path Fallback() const { return dir_.root() / "korvaline_php" / "log" / "JOBCTLMSG.log"; }
  fs::path Rejected() const { return dir_.root() / "korvaline_php" / "log" / "JOBCTLMSG.rej"; }
  std::string MainLog() const { return logs_.MainText(); }

  ScratchInstallation dir_;
  FakePlatform platform_;  // 2026-01-05 08:00:00 = 1767600000
  TestLogs logs_{platform_, dir_.root() / "prog"};
  Session session_{logs_};
  MessagePool pool_{platform_, logs_, session_};
};

// Catches a failed post lost instead of kept, the fallback path resolved
// against anything but the working directory, a statement written through
// a format (the percent sign) or split over lines, a second failure
// overwriting the file, the long text not logged in full, a kept file
// deleted or changed when nothing of it could be imported, an import going
// on after a failure (each line could wait a whole time-out), and ids
// seeded by the time alone.
TEST_F(MessagePoolTest, FailedPostsWaitInFallbackFile) {
  std::string error;
  ASSERT_TRUE(pool_.CreateRecord(&error));
  // Ids of 08:00:00 and 08:01:01; the generator is seeded with the time
  // 1767600000, the process id 500 and the steady clock 1000000.
  const std::string first =
      ControllerInsert("176760000017745", "05.01.2026 08:00:00 Platte 100% voll, Job ''X''!",
                       "20260105080000");
  const std::string long_text = std::string(97, 'a') + "bcde";
  const std::string second = ControllerInsert(
      "176760006124163", "05.01.2026 08:01:01 " + std::string(97, 'a') + "...",
      "20260105080101");

  pool_.Post("Platte 100% voll, Job 'X'!");
  EXPECT_EQ(ReadText(Fallback()), first + "\n");
  platform_.AdvanceSeconds(61);
  pool_.Post(long_text);
  EXPECT_EQ(ReadText(Fallback()), first + "\n" + second + "\n");
  pool_.ImportFallbackFile();
  EXPECT_EQ(ReadText(Fallback()), first + "\n" + second + "\n");

  const std::string t0 = "2026-01-05 08:00:00  ";
  const std::string t1 = "2026-01-05 08:01:01  ";
  EXPECT_EQ(MainLog(),
            t0 + "Fehler beim Schreiben in den Nachrichten-Pool(Msg)! SQL: " + first + "!\n" +
                t0 + "Nachricht (Msg) in Temporaerdatei JOBCTLMSG.log gestellt! SQL: " + first +
                "!\n" +
                t1 + "Nachricht fuer den Nachrichten-Pool! SQL: " + first + "!\n" +
                t1 + "Fehler beim Schreiben in den Nachrichten-Pool! RC: -1!\n" +
                t1 + "Anzahl Nachrichten gelesen: 1. Davon eingepflegt: 0!\n" +
                t1 + "0 von 1 Nachrichten eingepflegt. Datei nicht geloescht!\n" +
                t1 + "Msg: " + long_text + "\n" +
                t1 + "Fehler beim Schreiben in den Nachrichten-Pool(Msg)! SQL: " + second + "!\n" +
                t1 + "Nachricht (Msg) in Temporaerdatei JOBCTLMSG.log gestellt! SQL: " + second +
                "!\n" +
                t1 + "Nachricht fuer den Nachrichten-Pool! SQL: " + first + "!\n" +
                t1 + "Fehler beim Schreiben in den Nachrichten-Pool! RC: -1!\n" +
                t1 + "Anzahl Nachrichten gelesen: 1. Davon eingepflegt: 0!\n" +
                t1 + "0 von 1 Nachrichten eingepflegt. Datei nicht geloescht!\n");
}

// Catches an empty file kept for ever, blank lines counted as statements
// (the file could then never be deleted), line ends ("\r\n" from a Windows
// editor) logged or executed as part of the statement, and a refused line
// kept (it would be refused again at every post) or logged with its text.
TEST_F(MessagePoolTest, ImportOfEmptyBlankAndCrLfFiles) {
  const std::string t = "2026-01-05 08:00:00  ";
  struct Case {
    const char* content;
    std::string log;
    const char* rejected;
  };
  const std::string empty_log = t + "Keine Nachrichten in KVSCTLMSG.LOG gefunden!\n" + t +
                                "Temporaerdatei JOBCTLMSG.log geloescht!\n";
  const Case cases[] = {
      {"", empty_log, ""},
      {"\n\r\n\n", empty_log, ""},
      {"SELECT 1\r\n\nSELECT 2",
       t + "Zeile 1 ist keine Nachricht des Jobcontrollers und wurde nach JOBCTLMSG.rej "
           "verschoben!\n" +
           t + "Zeile 3 ist keine Nachricht des Jobcontrollers und wurde nach JOBCTLMSG.rej "
               "verschoben!\n" +
           t + "Anzahl Nachrichten gelesen: 2. Davon eingepflegt: 0!\n" + t +
           "Temporaerdatei JOBCTLMSG.log geloescht!\n",
       "SELECT 1\nSELECT 2\n"},
  };
  for (const Case& c : cases) {
    fs::remove(dir_.root() / "prog" / "KVSJOBCTL.LOG");
    fs::remove(Rejected());
    WriteText(Fallback(), c.content);
    pool_.ImportFallbackFile();
    EXPECT_EQ(MainLog(), c.log) << c.content;
    EXPECT_FALSE(fs::exists(Fallback())) << c.content;
    EXPECT_EQ(ReadText(Rejected(), std::ios::binary), c.rejected) << c.content;
  }
  // Without a file there is nothing to import and nothing to log.
  fs::remove(dir_.root() / "prog" / "KVSJOBCTL.LOG");
  pool_.ImportFallbackFile();
  EXPECT_EQ(MainLog(), "");
}

// Catches a refused line kept or imported, a line the database refused
// lost, more than 1000 lines read in one import, the unread rest lost or
// reordered, lines run after a failure, a half-written last line joined to
// the next statement, a claim left by an interrupted import forgotten, and
// the claim's name shared by sibling installations (their program
// directories have different names).
TEST_F(MessagePoolTest, ImportClaimsRefusesAndPutsBack) {
  platform_.current_dir = "D:\\KVS\\prog";
  EXPECT_EQ(pool_.ClaimPath(), "..\\korvaline_php\\log\\JOBCTLMSG.prog.imp");
  const fs::path claim = dir_.root() / "korvaline_php" / "log" / "JOBCTLMSG.prog.imp";
  auto insert = [](const char* uid, const char* text) {
    return ControllerInsert(uid, std::string("05.01.2026 08:00:00 ") + text, "20260105080000");
  };
  const std::string b = insert("1767600000456", "B");
  const std::string c = insert("1767600000789", "C");
  std::string forged = b;
  forged.replace(forged.find("'GEN',  'QUELBAR'"), 17, "'USR',  'ALL'");
  // Line 1 is forged, 2..1000 are blank; "rest" and the half line behind
  // them are left to the next import.
  WriteText(Fallback(), forged + "\n" + std::string(999, '\n') + "rest\nINSERT INTO K");
  pool_.AppendToFallback(b);
  pool_.ImportFallbackFile();
  const std::string t = "2026-01-05 08:00:00  ";
  const std::string moved = " ist keine Nachricht des Jobcontrollers und wurde nach JOBCTLMSG.rej "
                            "verschoben!\n";
  auto waits = [&](const std::string& statement) {
    return t + "Nachricht fuer den Nachrichten-Pool! SQL: " + statement + "!\n" + t +
           "Fehler beim Schreiben in den Nachrichten-Pool! RC: -1!\n";
  };
  auto counts = [&](const char* read) {
    return t + "Anzahl Nachrichten gelesen: " + read + ". Davon eingepflegt: 0!\n" + t + "0 von " +
           read + " Nachrichten eingepflegt. Datei nicht geloescht!\n";
  };
  EXPECT_EQ(MainLog(), t + "Nachricht (Msg) in Temporaerdatei JOBCTLMSG.log gestellt! SQL: " + b +
                           "!\n" + t + "Zeile 1" + moved + counts("1"));
  EXPECT_EQ(ReadText(Fallback()), "rest\nINSERT INTO K\n" + b + "\n");
  EXPECT_EQ(ReadText(Rejected()), forged + "\n");
  EXPECT_FALSE(fs::exists(claim));

  fs::remove(dir_.root() / "prog" / "KVSJOBCTL.LOG");
  WriteText(claim, c + "\n");  // an import that was interrupted
  pool_.ImportFallbackFile();
  EXPECT_EQ(ReadText(Fallback()), "rest\nINSERT INTO K\n" + b + "\n" + c + "\n");
  EXPECT_FALSE(fs::exists(claim));
  // b fails: c is not tried, and both wait in their order.
  pool_.ImportFallbackFile();
  EXPECT_EQ(ReadText(Fallback()), b + "\n" + c + "\n");
  EXPECT_EQ(ReadText(Rejected()), forged + "\nrest\nINSERT INTO K\n");
  EXPECT_EQ(MainLog(), waits(c) + counts("1") + t + "Zeile 1" + moved + t + "Zeile 2" + moved +
                           waits(b) + counts("3"));
}

// Catches a missing folder losing every message posted while the database
// is away, and a fallback path that names a link, a folder or a device
// written through or read: a link could point at any file the controller
// may write, and so could a second name of that file (a hard link).
TEST_F(MessagePoolTest, FallbackFolderMadeAndOnlyARegularFileUsed) {
  fs::remove_all(dir_.root() / "korvaline_php");
  std::string error;
  ASSERT_TRUE(pool_.CreateRecord(&error));
  pool_.Post("Test");
  const std::string statement =
      ControllerInsert("176760000017745", "05.01.2026 08:00:00 Test", "20260105080000");
  EXPECT_EQ(ReadText(Fallback()), statement + "\n");

  const fs::path target = dir_.root() / "target";
  WriteText(target, statement + "\n");
  std::error_code no_links;
  fs::create_directory_symlink(dir_.root(), dir_.root() / "link_dir", no_links);
  std::vector<fs::path> paths = {dir_.root() / "link_dir"};
  if (no_links) paths.clear();  // a system without links
  fs::create_symlink(target, dir_.root() / "link", no_links);
  if (!no_links) paths.push_back(dir_.root() / "link");
  fs::create_hard_link(target, dir_.root() / "hard_link", no_links);
  if (!no_links) paths.push_back(dir_.root() / "hard_link");
  paths.push_back(dir_.root() / "prog");
  if (fs::exists("/dev/full")) paths.push_back("/dev/full");
  for (const fs::path& path : paths) {
    fs::remove(dir_.root() / "prog" / "KVSJOBCTL.LOG");
    pool_.SetFallbackFile(path.string());
    pool_.AppendToFallback("INSERT 1");
    pool_.ImportFallbackFile();
    EXPECT_EQ(MainLog(),
              "2026-01-05 08:00:00  Fehler beim Schreiben der Nachricht (Msg) in die "
              "JOBCTLMSG.log: keine regulaere Datei!\n"
              "2026-01-05 08:00:00  Fehler beim Uebernehmen der Temporaerdatei JOBCTLMSG.log: "
              "keine regulaere Datei!\n")
        << path;
  }
  EXPECT_EQ(ReadText(target), statement + "\n");
}

// Catches the text shortened one character late (MSGTXT would then fail
// validation), a text of exactly 100 characters shortened, day and month
// swapped or unpadded, and the marker appended instead of replacing.
TEST_F(MessagePoolTest, StampAndShortening) {
  struct Case {
    int64_t t;
    std::string text;
    std::string expected;
    bool shortened;
  };
  const std::string x100(100, 'x');
  const Case cases[] = {
      {FakePlatform::ToEpoch(2026, 1, 5, 8, 0, 0), "", "05.01.2026 08:00:00 ", false},
      {FakePlatform::ToEpoch(2026, 12, 31, 23, 59, 59), x100, "31.12.2026 23:59:59 " + x100,
       false},
      {FakePlatform::ToEpoch(2024, 2, 29, 0, 0, 0), std::string(97, 'a') + "bcd",
       "29.02.2024 00:00:00 " + std::string(97, 'a') + "bcd", false},
      {FakePlatform::ToEpoch(2024, 2, 29, 0, 0, 0), std::string(97, 'a') + "bcde",
       "29.02.2024 00:00:00 " + std::string(97, 'a') + "...", true},
      {FakePlatform::ToEpoch(2024, 2, 29, 0, 0, 0), std::string(250, 'a'),
       "29.02.2024 00:00:00 " + std::string(97, 'a') + "...", true},
      // A line break would split the fallback file's statement.
      {FakePlatform::ToEpoch(2026, 1, 5, 8, 0, 0), "Job a\r\nb\nc",
       "05.01.2026 08:00:00 Job a  b c", false},
  };
  for (const Case& c : cases) {
    bool shortened = !c.shortened;
    const std::string stamped = StampMessage(platform_, c.t, c.text, &shortened);
    EXPECT_EQ(stamped, c.expected) << c.text.size();
    EXPECT_EQ(shortened, c.shortened) << c.text.size();
    EXPECT_LE(stamped.size(), kMaxMessageText);
  }
}

// Catches a post without a record dereferencing it or writing a file, and
// the full text of a shortened message lost from the main log.
TEST_F(MessagePoolTest, WithoutRecordOnlyTheLongTextIsLogged) {
  struct Case {
    size_t length;
    bool logged;
  };
  const Case cases[] = {{100, false}, {101, true}, {220, true}, {221, true}};
  for (const Case& c : cases) {
    fs::remove(dir_.root() / "prog" / "KVSJOBCTL.LOG");
    const std::string text(c.length, 'm');
    pool_.Post(text);
    EXPECT_EQ(MainLog(), c.logged ? "2026-01-05 08:00:00  Msg: " + text + "\n" : "")
        << c.length;
    EXPECT_FALSE(fs::exists(Fallback())) << c.length;
  }
}

}  // namespace
}  // namespace kvs
