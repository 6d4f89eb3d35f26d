// Posting operator messages: stamp the text with date and time, build the
// insert from the message record, execute it; when the database refuses
// it, append the statement to the fallback file, which every later post
// first imports again. Posting never fails towards the caller.
//
// The fallback file lies in a folder other programs write to, and sibling
// installations may share it. An import first claims the file by renaming
// it to a name of this installation's own, runs only lines that rebuild
// to the controller's own statements, moves any other line to
// JOBCTLMSG.rej beside it, and appends what is still waiting back to the
// fallback file.
//
// A message table that makes the controller wait (a lock held by another
// program, a hung server) must not hold up its passes: after a statement
// that failed or took a second or more, the pool leaves the table alone
// for twice as long as that statement took. Posts meanwhile go straight to
// the fallback file and imports wait, and an import stops at its first
// failure. A locked table thus takes at most a third of the controller's
// time, and a pass whose other work takes less than the statement time-out
// (SQLTIMEOUT) spends at most two time-outs on messages, however many it
// posts.
#pragma once

#include <cstdint>
#include <cstdio>
#include <limits>
#include <memory>
#include <string>

#include "db/session.h"
#include "diag/log_file.h"
#include "msg/message_record.h"
#include "platform/platform.h"

namespace kvs {

// The fallback file, relative to the program directory.
inline constexpr char kFallbackMessageFile[] = "..\\korvaline_php\\log\\JOBCTLMSG.log";
inline constexpr char kLogLongMessage[] = "Msg: %s\n";
inline constexpr char kLogPoolWriteFailed[] =
    "Fehler beim Schreiben in den Nachrichten-Pool(Msg)! SQL: %s!\n";
inline constexpr char kLogPoolResting[] =
    "Nachrichten-Pool zu langsam und noch %lld s ausgesetzt!\n";
inline constexpr char kLogFallbackFailed[] =
    "Fehler beim Schreiben der Nachricht (Msg) in die JOBCTLMSG.log: %s!\n";
inline constexpr char kLogFallbackWritten[] =
    "Nachricht (Msg) in Temporaerdatei JOBCTLMSG.log gestellt! SQL: %s!\n";
inline constexpr char kLogImportLine[] = "Nachricht fuer den Nachrichten-Pool! SQL: %s!\n";
inline constexpr char kLogImportRejected[] =
    "Zeile %d ist keine Nachricht des Jobcontrollers und wurde nach JOBCTLMSG.rej verschoben!\n";
inline constexpr char kLogRejectWriteFailed[] =
    "Fehler beim Schreiben in die JOBCTLMSG.rej: %s! %d Zeilen verworfen!\n";
inline constexpr char kLogFallbackClaimFailed[] =
    "Fehler beim Uebernehmen der Temporaerdatei JOBCTLMSG.log: %s!\n";
inline constexpr char kLogFallbackRestoreFailed[] =
    "Fehler beim Zurueckstellen in die Temporaerdatei JOBCTLMSG.log: %s!\n";
// The reason given when a fallback path names a link, a folder or a device.
inline constexpr char kReasonNotRegularFile[] = "keine regulaere Datei";
inline constexpr char kLogImported[] = "Nachricht wurde in den Nachrichtenpool uebertragen!\n";
inline constexpr char kLogImportDuplicate[] = "Eintrag existiert bereits.! RC: %d!\n";
inline constexpr char kLogImportFailed[] = "Fehler beim Schreiben in den Nachrichten-Pool! RC: %d!\n";
inline constexpr char kLogImportCounts[] = "Anzahl Nachrichten gelesen: %d. Davon eingepflegt: %d!\n";
inline constexpr char kLogFallbackDeleted[] = "Temporaerdatei JOBCTLMSG.log geloescht!\n";
inline constexpr char kLogFallbackDeleteFailed[] =
    "Fehler beim Loeschen der Temporaerdatei JOBCTLMSG: %s!\n";
inline constexpr char kLogFallbackKept[] = "%d von %d Nachrichten eingepflegt. Datei nicht geloescht!\n";
inline constexpr char kLogFallbackEmpty[] = "Keine Nachrichten in KVSCTLMSG.LOG gefunden!\n";
inline constexpr char kLogFallbackEmptyDeleteFailed[] =
    "Fehler beim Loeschen der Temporaeratei JOBCTLMSG.log: %s!\n";

// Room for the text behind "dd.mm.YYYY hh:mm:ss " in MSGTXT; a longer
// text is shortened to this, its end marked with "...".
inline constexpr size_t kMaxPostedText = kMaxMessageText - 20;
// Tries with a fresh id when the pool already holds the drawn one.
inline constexpr int kIdAttempts = 5;
// Lines one import reads at most; the rest waits for the next post.
inline constexpr int kImportMaxLines = 1000;
// A statement on the message table that takes this long, or fails, makes
// the pool leave the table alone for kPoolRestFactor times as long.
inline constexpr int64_t kSlowPoolStatementMs = 1000;
inline constexpr int64_t kPoolRestFactor = 2;
// Characters of a line kept (and moved to JOBCTLMSG.rej) at most; no
// statement of the controller comes near.
inline constexpr size_t kImportLineCapacity = 2047;

class MessagePool {
 public:
  MessagePool(Platform& platform, Logs& logs, Session& session);

  // Creates the record with the controller's sender fields and seeds the
  // id generator with the time. false (with the reason in *error) when it
  // cannot; posts then only reach the main log.
  bool CreateRecord(std::string* error);
  void FreeRecord();
  void SetFallbackFile(const std::string& path) { fallback_path_ = path; }

  void Post(const std::string& text);
  // Imports the fallback file, if any, into the pool: at most
  // kImportMaxLines lines, after a claim left by an interrupted import;
  // nothing while the table rests. Stops at the first statement that
  // fails (a duplicate key aside) or makes the table rest: the failed line
  // and those not yet read wait for the next import.
  void ImportFallbackFile();
  // Once a rest of the table is over, imports what it sent to the fallback
  // file, without waiting for the next post (which may be hours away).
  // Called once a pass; nothing when no rest began since the last import.
  void DeliverAfterRest();
  // Appends statement as one line to the fallback file, or logs why not.
  void AppendToFallback(const std::string& statement);

  // The claimed fallback file while an import runs:
  // JOBCTLMSG.<name of the program directory>.imp beside it.
  std::string ClaimPath();
  // Where refused lines go: JOBCTLMSG.rej beside the fallback file.
  std::string RejectPath() const;

 private:
  // Runs statement on the message table and lets the table rest after a
  // failure (a duplicate key is none) or a slow statement.
  int Execute(const SqlStatement& statement);
  // Milliseconds the table still rests; 0 when statements may run.
  int64_t RestLeftMs();
  bool rested_ = false;  // a rest began since the last import
  // Claims the fallback file; false (logged when it is not only absent)
  // when there is nothing to import.
  bool Claim(const std::string& claim);

  // The steps of an import. What the lines of a claimed file came to.
  struct ImportTally {
    int read = 0;      // lines that were not blank
    int imported = 0;  // in the pool now, duplicates included
    int rejected_lines = 0;
    std::string rejected;  // refused lines, for JOBCTLMSG.rej
    std::string waiting;   // the line the database refused, for the next import
  };
  struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
  };
  using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;
  // Imports the lines of f up to the first that the database refuses.
  ImportTally ImportLines(std::FILE* f);
  // One line that is not blank, the number-th of the file; false when the
  // database refused it (it waits in tally->waiting).
  bool ImportLine(const std::string& line, int number, const std::string& latest_tin,
                  ImportTally* tally);
  // Appends the refused lines to JOBCTLMSG.rej.
  void KeepRejected(const ImportTally& tally);
  // Removes the claim after a complete import, logged either way.
  void DeleteClaim(const std::string& claim, bool was_empty);
  // Puts the waiting line and the lines not yet read (the rest of f when
  // rest) back into the fallback file, then removes the claim.
  void PutBackWaiting(const std::string& claim, const ImportTally& tally, UniqueFile f,
                      bool rest);

  Platform& platform_;
  Logs& logs_;
  Session& session_;
  std::unique_ptr<STRNACHRICHT> record_;
  IdGenerator ids_;
  // Steady time until which the table rests.
  int64_t rest_until_ms_ = std::numeric_limits<int64_t>::min();
  std::string fallback_path_ = kFallbackMessageFile;
};

// The message text of a post at time t: "dd.mm.YYYY hh:mm:ss text", the
// text shortened to kMaxPostedText characters (ending in "...") when
// longer. *shortened says whether it was.
std::string StampMessage(Platform& platform, int64_t t, const std::string& text,
                         bool* shortened);

}  // namespace kvs
