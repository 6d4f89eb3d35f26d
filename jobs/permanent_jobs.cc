#include "jobs/permanent_jobs.h"

#include <cstdio>
#include <cstdlib>

#include "diag/text.h"

namespace kvs {

namespace {

struct KnownProgram {
  const char* match;
  size_t compared;
  const char* program_file;  // nullptr: delete the row only
};

const KnownProgram kKnownPrograms[] = {
    {"DYF", 3, "DYF_%s.EXE"},
    {"MARLIN", 6, "MARLIN_%s.EXE"},
    {"PRD.EXE", 7, "PRD.EXE"},
    {"PRC.EXE", 7, "PRC.EXE"},
    {"PRB.EXE", 7, "PRB.EXE"},
    {"PRA.EXE", 7, "PRA.EXE"},
    {"DATLOAD", 7, "DATLOAD_%s.EXE"},
    {"DevState.exe", 7, "DevState.exe"},
    {"PortWatch.exe", 7, "PortWatch.exe"},
    {"postroll.exe", 7, "postroll.exe"},
    {"WareFeed.exe", 7, "WareFeed.exe"},
    {"SHIFTFIX", 8, "SHIFTFIX_%s.EXE"},
    {"unknown", 7, nullptr},
};

struct BuiltIn {
  const char* program;
  const char* jobda1;
  const char* jobke2;
  const char* joburv;
  const char* jobcmd;
  const char* error_line;
};

const BuiltIn kBuiltIns[] = {
    {"./devlink/portwatch.exe", "20000101120001", "Systemjob", "PORTWATCH",
     "./devlink/portwatch.exe ./devlink/portwatch.ini", "Insert RT04Job(2): PortWatch! RC: %ld\n"},
    {"./DevLink/DevState.exe", "20000101120002", "SystemJob", "DevState",
     "./DevLink/DevState.exe ../files/korvaline.ini", "Insert RT04Job(3): DevState! RC: %ld\n"},
    {"./DevLink/postroll.exe", "20000101120004", "SystemJob", "postroll", "./DevLink/postroll.exe",
     "Insert RT04Job(3): postroll! RC: %ld\n"},
    {"WareFeed.exe", "20000101120003", "SystemJob", "WareFeed", "WareFeed.exe",
     "Insert-Fehler: WareFeed Jobeintrag RC: %ld!\n"},
};

}  // namespace

std::string KnownPermanentProgram(const std::string& jobnam, const std::string& db_product,
                                  bool* delete_only) {
  *delete_only = false;
  const std::string name = ToUpperAscii(jobnam);
  for (const KnownProgram& k : kKnownPrograms) {
    // strnicmp over the first n characters: a shorter name must match to
    // its end.
    const std::string match = ToUpperAscii(k.match).substr(0, k.compared);
    if (name.compare(0, k.compared, match) != 0) continue;
    if (k.program_file == nullptr) {
      *delete_only = true;
      return "";
    }
    return StrFormat(k.program_file, db_product.c_str());
  }
  return "";
}

bool PermanentJobs::OthersRunning(const JobRecord& row) const {
  // Another node's running job is that node's to check.
  return jobs_.rules().RunsElsewhere(row);
}

void PermanentJobs::Check(const std::string& db_product) {
  int rc = jobs_.OpenRunType(kRunTypePermanent);
  if (rc != 0) {
    logs_.Main(StrFormat(kLogCheck04Open, static_cast<long>(rc)));
  } else {
    while (true) {
      JobRecord row;
      rc = jobs_.FetchRunType(&row);
      if (rc == 0 && !OthersRunning(row)) {
        const uint32_t pid = ParseProcessId(row.jobnum);
        bool delete_only = false;
        const std::string program = KnownPermanentProgram(row.jobnam, db_product, &delete_only);
        // Only the controller that registers the built-in jobs deletes
        // their rows: on any other node the row would be lost.
        if ((!program.empty() || delete_only) && jobs_.rules().SharedDuties()) {
          if (!program.empty()) {
            processes_.TerminateByName(pid, program);
          }
          rc = jobs_.DeleteJob(row.jobda1, row.jobke2);
          if (rc != 0) {
            logs_.Main(StrFormat(kLogCheck04Delete, row.jobnam, static_cast<long>(rc)));
          }
        }
      } else if (rc != 0 && rc != 100) {
        logs_.Main(StrFormat(kLogCheck04Fetch, static_cast<long>(rc)));
      }
      if (link_.Beat(false, kBeatCheck04Jobs) == 0 || rc != 0) break;
    }
  }
  jobs_.CloseRunType();
  rc = jobs_.ResetPermanentStartAttempts();
  if (rc != 0 && rc != 100) logs_.Main(StrFormat(kLogResetAttempts, static_cast<long>(rc)));
}

void PermanentJobs::RegisterBuiltIns() {
  for (const BuiltIn& b : kBuiltIns) {
    if (!FileExists(b.program)) continue;
    int rc = jobs_.InsertShortJob(b.jobda1, b.jobke2, b.joburv, b.jobcmd, 0, kRunTypePermanent);
    // Kept because another node runs it.
    if (rc != 0 && jobs_.rules().SharesTable() && jobs_.session().IsDuplicateKey(rc)) rc = 0;
    if (rc != 0) logs_.Main(StrFormat(b.error_line, static_cast<long>(rc)));
  }
}

}  // namespace kvs
