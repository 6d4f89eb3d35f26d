// The scheduled run types started after the periodic ones: calendar jobs
// (07) from the schedule table and day-end closing jobs (08) kept in step
// with the client's closing times. The rules that decide are pure
// functions; which rows start (also of the restart jobs, 09) is the
// run-type table's (jobs/run_types.h).
#pragma once

#include <array>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "db/job_table.h"
#include "diag/log_file.h"
#include "jobs/periodic_jobs.h"
#include "platform/platform.h"
#include "proc/process_manager.h"

namespace kvs {

inline constexpr char kLogReadScheduleFailed[] =
    "SQLReadKvs800Scd! RC: %ld\n-   SQLCode GetLastSQLError: %ld\n-   SQLState: %s\n-   "
    "SQLMsg: %s\n";
inline constexpr char kLogCalendarNoRepetition[] =
    "Kalenderjob %s: Wiederholungsart %ld plant keinen weiteren Lauf, der Job bleibt beendet!\n";
inline constexpr char kLogDayEndTimeInvalid[] =
    "Tagesabschluss: Zeit %ld Minuten (Slot %02d) ist keine gueltige Uhrzeit und wird "
    "ignoriert!\n";

// ---- Calendar jobs (07) ---------------------------------------------------

// The schedule row of a calendar job, as read.
struct ScheduleRow {
  int32_t scdart = 0;
  int32_t scdtyp = 0;
  char scdtag[8] = {};
  int32_t scddtm = 0;     // YYYYMMDD
  char scduhr[7] = {};    // hhmmss
  char scddwh[51] = {};
  int32_t scdbis = 0;     // YYYYMMDD, 0 = no end
};

// The schedule key in JOBKE2: SCDNAM#SCDSBE#SCDLIZ#SCDMND.
struct ScheduleKey {
  std::string scdnam;
  std::string scdsbe;
  std::string scdliz;
  std::string scdmnd;
};
ScheduleKey SplitScheduleKey(const std::string& jobke2);

struct CalendarDecision {
  enum class Action { kNone, kDelete, kWrite };
  Action action = Action::kNone;
  std::string jobnrt;  // for kWrite
  // The repetition type plans no next run and the job's JOBNRT has passed.
  bool no_repetition = false;
};

// The date three months before now, normalised (31 May gives 3 March).
int32_t RetentionDate(const CivilTime& now);
// What becomes of an ended calendar job; schedule nullptr: the row is gone.
// Monthly, quarterly and yearly dates are a series from an anchor (SCDDTM,
// else the planned JOBNRT, else the base date) in steps of 1, 3 or 12
// months, each on the anchor's day cut to the month's length: the first
// date of the series after the base date. Daily and weekday dates are
// the first (with its weekday in SCDTAG) after the base date and not
// before SCDDTM. A job whose repetition type plans no next run stays ended
// and is kept.
CalendarDecision RescheduleCalendar(const JobRecord& job, const ScheduleRow* schedule,
                                    const CivilTime& now);

SqlStatement TextRearm07(const JobRecord& job);
// "" for a dialect without a schedule read.
SqlStatement TextReadSchedule(Dialect dialect, const ScheduleKey& key);
SqlStatement TextWriteNextRun07(const JobRecord& job);

// ---- Day-end jobs (08) ----------------------------------------------------

// MNDT01..MNDT12, then MNDD01..MNDD12: minutes after midnight, 0 or less
// empty.
using DayEndTimes = std::array<int32_t, 24>;

struct DayEndPlan {
  std::vector<size_t> deletes;     // indices into the rows
  size_t finished = 0;             // the first ones: rows whose run is over
  std::vector<JobRecord> inserts;  // new waiting rows
  // By insert: the finished rows of its kind and time (positions in
  // deletes, below finished). They are the record of their run, deleted
  // only once the new row is in the table.
  std::vector<std::vector<size_t>> replaces;
};

// Reconciles the run type 08 rows with the client's times at now. A new
// row is planned for the next occurrence of its time after now, and never
// before the day after a finished run of the same kind and time was
// planned for. Times of 1440 minutes or more are no time of day; their
// slots count as empty and are reported in *invalid (slot index 0..23).
DayEndPlan ReconcileDayEnd(const std::vector<JobRecord>& rows, const DayEndTimes& times,
                           const CivilTime& now, std::vector<int>* invalid);

SqlStatement TextDayEndTimes(bool main_client);
SqlStatement TextInsertDayEnd(const JobRecord& job);

class ScheduledJobs {
 public:
  ScheduledJobs(Platform& platform, Logs& logs, JobTable& jobs, PeriodicJobs& periodic,
                ServiceLink& link)
      : platform_(platform), logs_(logs), jobs_(jobs), periodic_(periodic), link_(link) {}

  // Before the starts of run type 07: ended calendar jobs planned anew.
  void Reschedule07();
  // 1 done, 0 the schedule could not be read or the job not written.
  int RescheduleCalendarJob(const JobRecord& job);
  // 1 or 0 (a failed heartbeat or read); the step goes on either way.
  int ExpandDayEnd();

 private:
  int ReadDayEndTimes(DayEndTimes* times);
  void LogSqlFailure(const char* format, int rc);

  Platform& platform_;
  Logs& logs_;
  JobTable& jobs_;
  PeriodicJobs& periodic_;
  ServiceLink& link_;
  std::set<std::pair<int, int32_t>> reported_invalid_;
  std::set<std::string> reported_no_repetition_;
};

}  // namespace kvs
