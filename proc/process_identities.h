// What identifies each running job's process exactly, kept in a small file
// of the controller's own beside it, so that a restarted controller finds
// its jobs again whatever the wall clock, the time zone or TZ did in
// between: a job row names its process by id and by a local time, and
// neither survives an id reused or a clock set. One line a job:
//
//   PID<TAB>IDENTITY<TAB>STARTED<TAB>JOBDA1<TAB>JOBKE2
//
// IDENTITY as the platform reads it (ProcessInfo::identity), STARTED the
// steady clock (milliseconds since boot) just before the start. The file
// is written anew under a temporary name and renamed over the old one. A
// crash of the controller leaves what the system had been handed; a crash
// of the machine ends every job with it, so nothing is synced to disk.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "diag/log_file.h"
#include "platform/platform.h"

namespace kvs {

inline constexpr char kLogIdentitiesUnreadable[] =
    "Prozesskennungen: %s nicht lesbar. Error: %ld!\n";
inline constexpr char kLogIdentityLineInvalid[] =
    "Prozesskennungen: Zeile %ld von %s ungueltig und uebergangen!\n";
inline constexpr char kLogIdentitiesNotWritten[] =
    "Prozesskennungen: %s konnte nicht geschrieben werden. Error: %ld!\n";
inline constexpr char kLogIdentityMissing[] =
    "Job %s %s ProcessID %d: %s, erkannt an Prozessnummer und Programmname!\n";
// The reasons of kLogIdentityMissing.
inline constexpr char kWhyNoFile[] = "keine Prozesskennungen (Datei fehlt)";
inline constexpr char kWhyFileUnreadable[] = "Prozesskennungen nicht lesbar";
inline constexpr char kWhyNotRecorded[] = "keine Prozesskennung eingetragen";
inline constexpr char kWhyOtherBoot[] = "Prozesskennung aus einem frueheren Systemstart";
inline constexpr char kWhyUnreadable[] = "Prozesskennung des Prozesses nicht lesbar";

// A job's process as its launch recorded it.
struct RecordedProcess {
  uint32_t pid = 0;
  std::string identity;
  int64_t started_steady_ms = 0;
};

class ProcessIdentities {
 public:
  ProcessIdentities(Platform& platform, Logs& logs) : platform_(platform), logs_(logs) {}

  // Reads the file at path (as the controller writes paths) and keeps it
  // from now on; a line that cannot be read is logged and dropped alone.
  // Until then, and when the file cannot be read, the identities live only
  // as long as this controller.
  void Open(const std::string& path);

  // The process recorded for a job, when it is the one with this pid.
  const RecordedProcess* Find(const char* jobda1, const char* jobke2, uint32_t pid) const;
  // Why a job whose process has no usable record is recognised by id and
  // name only: one of the kWhy texts.
  const char* WhyMissing(const char* jobda1, const char* jobke2, uint32_t pid,
                         const std::string& live_identity) const;

  // Records a started job's process, and writes the file.
  void Record(const char* jobda1, const char* jobke2, const RecordedProcess& process);
  // Drops the records of the jobs not in running (keys as Key() makes
  // them), and writes the file when that changed it; the dropped ones
  // (JOBKE2 and process) into *dropped when given.
  void KeepOnly(const std::set<std::string>& running,
                std::vector<std::pair<std::string, RecordedProcess>>* dropped = nullptr);

  static std::string Key(const char* jobda1, const char* jobke2);

 private:
  void Save();

  Platform& platform_;
  Logs& logs_;
  std::string path_;  // native; "" while no file is kept
  bool file_missing_ = false;
  bool file_unreadable_ = false;
  bool save_failed_ = false;  // logged once until a save succeeds
  // By Key(): each job's recorded process with its key's two parts.
  struct Entry {
    std::string jobda1;
    std::string jobke2;
    RecordedProcess process;
  };
  std::map<std::string, Entry> entries_;
};

}  // namespace kvs
