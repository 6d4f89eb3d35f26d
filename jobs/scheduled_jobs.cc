#include "jobs/scheduled_jobs.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <utility>

#include "db/node_rules.h"
#include "diag/text.h"
#include "jobs/run_types.h"

namespace kvs {

namespace {

constexpr char kRearm07[] =
    "UPDATE KVSYSTEM.KVS500JOB SET    JOBSTS = '%s',        JOBDLS = '%ld' WHERE  JOBDA1 = '%s' "
    "AND    JOBKE2 = '%s'";
constexpr char kReadScheduleMssql[] =
    "SELECT SCDART, SCDTYP, SCDTAG, CONVERT(CHAR(8), SCDDTM, 112), REPLACE(STR(DATEPART(hh, "
    "SCDUHR),2) + str(DATEPART(mi,SCDUHR),2) + str(DATEPART(ss,SCDUHR),2), ' ','0'), SCDDWH, "
    "CONVERT(CHAR(8), SCDBIS, 112) FROM KVSYSTEM.KVS800SCD WHERE SCDLIZ = '%s' AND   SCDMND = "
    "'%s' AND   SCDNAM = '%s' AND   SCDSBE = '%s' ";
// The same outputs on MySQL: dates as YYYYMMDD numbers, the time as
// hhmmss, no end date as 0.
constexpr char kReadScheduleMysql[] =
    "SELECT SCDART, SCDTYP, SCDTAG, DATE_FORMAT(SCDDTM, '%%Y%%m%%d'), "
    "TIME_FORMAT(SCDUHR, '%%H%%i%%s'), SCDDWH, COALESCE(DATE_FORMAT(SCDBIS, '%%Y%%m%%d'), 0) "
    "FROM KVSYSTEM.KVS800SCD WHERE SCDLIZ = '%s' AND   SCDMND = '%s' AND   SCDNAM = '%s' AND   "
    "SCDSBE = '%s' ";
constexpr char kWriteNextRun07[] =
    "UPDATE KVSYSTEM.KVS500JOB SET    JOBSTS = '%s',        JOBNRT = '%s',        JOBSTV = 0  "
    "WHERE  JOBDA1 = '%s'  AND    JOBKE2 = '%s' ";
constexpr char kDayEndTimes[] =
    " SELECT MNDT01, MNDT02, MNDT03, MNDT04, MNDT05, MNDT06,         MNDT07, MNDT08, MNDT09, "
    "MNDT10, MNDT11, MNDT12,         MNDD01, MNDD02, MNDD03, MNDD04, MNDD05, MNDD06,         "
    "MNDD07, MNDD08, MNDD09, MNDD10, MNDD11, MNDD12  FROM KVSYSTEM.KVS112MND  WHERE %s"
    "MNDT01+MNDT02+MNDT03+MNDT04+MNDT05+MNDT06+        MNDT07+MNDT08+MNDT09+MNDT10+MNDT11+"
    "MNDT12+        MNDD01+MNDD02+MNDD03+MNDD04+MNDD05+MNDD06+        MNDD07+MNDD08+MNDD09+"
    "MNDD10+MNDD11+MNDD12 > 0 %s";
constexpr char kInsertDayEnd[] =
    "INSERT INTO KVSYSTEM.KVS500JOB   (JobDa1, JobKe2, JobUrv, JobCmd, JobRty, JobStv, JobNrt) "
    "VALUES   ('%s',   '%s',   '%s',   '%s',   '%s',   %ld,      '%s') ";
int32_t DateValue(int y, int m, int d) { return y * 10000 + m * 100 + d; }

int32_t DateOf(int64_t days) {
  int y, m, d;
  DateOfDayNumber(days, &y, &m, &d);
  return DateValue(y, m, d);
}

// The date part of a stamp as a number; empty or no digits 0.
int32_t StampDate(const char* stamp) { return LeadingInt(std::string(stamp).substr(0, 8)); }

// Whether a YYYYMMDD number names a day of the calendar.
bool IsCalendarDate(int32_t date) {
  const int y = date / 10000, m = date / 100 % 100, d = date % 100;
  return date > 0 && m >= 1 && m <= 12 && d >= 1 && d <= DaysInMonth(y, m);
}

int64_t DayNumberOf(int32_t date) { return DayNumber(date / 10000, date / 100 % 100, date % 100); }

// The first date after base of the series anchor, anchor + step months,
// anchor + 2 x step months ..., each on the anchor's day or the month's
// last day when it is shorter. The anchor is SCDDTM, else the planned
// JOBNRT, else base: a late run neither shifts the series nor skips a
// date of it, and a schedule dated ahead begins on its date.
int64_t NextInMonthSeries(const JobRecord& job, int32_t scddtm, int64_t base, int step) {
  int by, bm, bd;
  DateOfDayNumber(base, &by, &bm, &bd);
  int year = by, month = bm, day = bd;
  CivilTime planned;
  if (IsCalendarDate(scddtm)) {
    year = scddtm / 10000;
    month = scddtm / 100 % 100;
    day = scddtm % 100;
  } else if (CivilFromStamp(job.jobnrt, &planned)) {
    year = planned.year;
    month = planned.month;
    day = planned.day;
  }
  const int64_t base_month = by * 12LL + bm - 1;
  int64_t index = year * 12LL + month - 1;
  // Whole steps up to the base month; the loop takes at most two more.
  if (index < base_month) index += (base_month - index) / step * step;
  while (true) {
    const int y = static_cast<int>(index / 12);
    const int m = static_cast<int>(index % 12) + 1;
    const int64_t date = DayNumber(y, m, std::min(day, DaysInMonth(y, m)));
    if (date > base) return date;
    index += step;
  }
}

}  // namespace

// ---- Calendar jobs ----------------------------------------------------------

ScheduleKey SplitScheduleKey(const std::string& jobke2) {
  std::string parts[4];
  size_t start = 0;
  for (int i = 0; i < 4 && start <= jobke2.size(); ++i) {
    size_t end = jobke2.find('#', start);
    if (end == std::string::npos) end = jobke2.size();
    parts[i] = jobke2.substr(start, end - start);
    start = end + 1;
  }
  ScheduleKey key;
  key.scdnam = parts[0].substr(0, 50);
  key.scdsbe = parts[1].substr(0, 112);
  key.scdliz = parts[2].substr(0, 5);
  key.scdmnd = parts[3].substr(0, 5);
  return key;
}

int32_t RetentionDate(const CivilTime& now) {
  return DateOf(DayNumber(now.year, now.month - 3, now.day));
}

CalendarDecision RescheduleCalendar(const JobRecord& job, const ScheduleRow* schedule,
                                    const CivilTime& now) {
  CalendarDecision decision;
  const int32_t today = DateValue(now.year, now.month, now.day);
  const int32_t retention = RetentionDate(now);
  const bool old = StampDate(job.jobeda) < retention;
  auto delete_if_old = [&] {
    if (old) decision.action = CalendarDecision::Action::kDelete;
    return decision;
  };
  if (schedule == nullptr) return delete_if_old();

  // Started before today (or never): the base is yesterday.
  const int64_t today_number = DayNumber(now.year, now.month, now.day);
  const bool from_yesterday = StampDate(job.jobsda) < today;
  const int64_t base = today_number - (from_yesterday ? 1 : 0);

  const int32_t type = schedule->scdtyp;
  if (type == 1 || type == -1) return delete_if_old();
  if (type < 2 || type > 7) {
    // No next date: waiting again on a JOBNRT that has passed, the job
    // would start at once, back to back. It stays ended and is kept: the
    // schedule has not ended, someone may give it a new JOBNRT.
    const std::string now_text = StampOf(now);
    if (std::string(job.jobnrt).size() == 14 && job.jobnrt > now_text) {
      decision.action = CalendarDecision::Action::kWrite;
      decision.jobnrt = job.jobnrt;
      return decision;
    }
    decision.no_repetition = true;
    return decision;
  }
  if (schedule->scdbis != 0 && schedule->scdbis < today) return delete_if_old();
  // Daily and weekday series begin on SCDDTM when it lies ahead, as the
  // monthly ones do.
  int64_t next = base + 1;
  if (IsCalendarDate(schedule->scddtm)) next = std::max(next, DayNumberOf(schedule->scddtm));
  switch (type) {
    case 2:
      break;
    case 3: {
      const int32_t mask = LeadingInt(schedule->scdtag);
      if (mask < 1 || mask > 127) return delete_if_old();
      // Monday is bit 0 .. Sunday bit 6; 1970-01-01 (day 0) was a Thursday.
      while (((mask >> ((next % 7 + 7 + 3) % 7)) & 1) == 0) ++next;
      break;
    }
    case 4:
      next = NextInMonthSeries(job, schedule->scddtm, base, 1);
      break;
    case 5:
    case 6:
      next = NextInMonthSeries(job, schedule->scddtm, base, 3);
      break;
    default:  // 7
      next = NextInMonthSeries(job, schedule->scddtm, base, 12);
      break;
  }
  const int32_t next_date = DateOf(next);
  if (schedule->scdbis > 0 && next_date > schedule->scdbis) return decision;
  decision.action = CalendarDecision::Action::kWrite;
  decision.jobnrt = StrFormat("%ld%s", static_cast<long>(next_date), schedule->scduhr);
  return decision;
}

SqlStatement TextRearm07(const JobRecord& job) {
  return SqlFormat(kRearm07, SqlText(kStatePlanned), SqlNumber(0), SqlText(job.jobda1),
                   SqlText(job.jobke2));
}

SqlStatement TextReadSchedule(Dialect dialect, const ScheduleKey& key) {
  const SqlText liz(key.scdliz), mnd(key.scdmnd), nam(key.scdnam), sbe(key.scdsbe);
  if (dialect == Dialect::kMssql) return SqlFormat(kReadScheduleMssql, liz, mnd, nam, sbe);
  return dialect == Dialect::kMysql ? SqlFormat(kReadScheduleMysql, liz, mnd, nam, sbe)
                                      : SqlStatement();
}

SqlStatement TextWriteNextRun07(const JobRecord& job) {
  return SqlFormat(kWriteNextRun07, SqlText(job.jobsts), SqlText(job.jobnrt),
                   SqlText(job.jobda1), SqlText(job.jobke2));
}

// ---- Day-end jobs -------------------------------------------------------------

DayEndPlan ReconcileDayEnd(const std::vector<JobRecord>& rows, const DayEndTimes& configured,
                           const CivilTime& now, std::vector<int>* invalid) {
  DayEndPlan plan;
  DayEndTimes times = configured;
  for (int slot = 0; slot < 24; ++slot) {
    if (times[slot] >= 1440) {
      invalid->push_back(slot);
      times[slot] = 0;
    }
  }
  std::array<bool, 24> taken{};
  // Rows whose run is over go; the others keep a slot of their kind and
  // time, the first in list order winning.
  std::vector<int> time_of(rows.size(), 0);
  std::vector<int> kind_of(rows.size(), -1);  // 0 plain, 1 /NODNL, -1 deleted
  // The latest planned day of a finished run by kind and time: the next
  // row of that time comes a day later, also when the run ended before
  // its time of day came round again (02:30 summer time ending in the
  // repeated hour of October).
  std::map<std::pair<int, int32_t>, int64_t> finished_day;
  // The same key: the finished rows (positions in deletes).
  std::map<std::pair<int, int32_t>, std::vector<size_t>> finished_rows;
  for (size_t i = 0; i < rows.size(); ++i) {
    const int kind = std::string(rows[i].jobcmd).find("/NODNL") != std::string::npos ? 1 : 0;
    if (kStatesOver.Holds(rows[i].jobsts)) {
      CivilTime planned;
      if (CivilFromStamp(rows[i].jobnrt, &planned)) {
        const std::pair<int, int32_t> key{kind, planned.hour * 60 + planned.minute};
        int64_t& day = finished_day[key];
        day = std::max(day, DayNumber(planned.year, planned.month, planned.day));
        finished_rows[key].push_back(plan.deletes.size());
      }
      plan.deletes.push_back(i);
      continue;
    }
    const std::string nrt = rows[i].jobnrt;
    time_of[i] = nrt.size() >= 12
                     ? LeadingInt(nrt.substr(8, 2)) * 60 + LeadingInt(nrt.substr(10, 2))
                     : 0;
    kind_of[i] = kind;
  }
  plan.finished = plan.deletes.size();
  for (int kind = 0; kind < 2; ++kind) {
    for (size_t i = 0; i < rows.size(); ++i) {
      if (kind_of[i] != kind) continue;
      bool matched = false;
      for (int slot = kind * 12; slot < kind * 12 + 12; ++slot) {
        if (times[slot] > 0 && !taken[slot] && times[slot] == time_of[i]) {
          taken[slot] = true;
          matched = true;
          break;
        }
      }
      if (!matched) plan.deletes.push_back(i);
    }
  }
  const std::string stamp = StampOf(now);
  const int32_t minute = now.hour * 60 + now.minute;
  for (int slot = 0; slot < 12; ++slot) {
    for (int kind = 0; kind < 2; ++kind) {
      const int index = kind * 12 + slot;
      const int32_t t = times[index];
      if (t <= 0 || taken[index]) continue;
      JobRecord row;
      SetField(row.jobda1, stamp);
      SetField(row.jobke2, StrFormat(kind == 0 ? "DYE+D%02d" : "DYE+_%02d", slot));
      SetField(row.joburv, "DayEnd");
      SetField(row.jobcmd, kind == 0 ? "DayEnd.exe" : "DayEnd.exe /NODNL");
      SetField(row.jobrty, kRunTypeDayEnd);
      row.jobstv = 1;
      int64_t day = DayNumber(now.year, now.month, now.day) + (minute < t ? 0 : 1);
      const auto finished = finished_day.find({kind, t});
      if (finished != finished_day.end()) day = std::max(day, finished->second + 1);
      SetField(row.jobnrt, StrFormat("%ld%02d%02d00", static_cast<long>(DateOf(day)), t / 60,
                                     t % 60));
      plan.inserts.push_back(row);
      plan.replaces.push_back(finished_rows[{kind, t}]);
    }
  }
  return plan;
}

SqlStatement TextDayEndTimes(bool main_client) {
  if (main_client) {
    return SqlFormat(kDayEndTimes, SqlFragment("MNDSCH = 'KORVALINE' AND   MNDKON = 0  AND   "),
                     SqlFragment(""));
  }
  return SqlFormat(kDayEndTimes, SqlFragment("MNDKON = 0  AND   "),
                   SqlFragment(" ORDER BY MNDNUM "));
}

SqlStatement TextInsertDayEnd(const JobRecord& job) {
  return SqlFormat(kInsertDayEnd, SqlText(job.jobda1), SqlText(job.jobke2),
                   SqlText(job.joburv), SqlText(job.jobcmd), SqlText(job.jobrty),
                   SqlNumber(job.jobstv), SqlText(job.jobnrt));
}

// ---- Steps ------------------------------------------------------------------

void ScheduledJobs::LogSqlFailure(const char* format, int rc) {
  const SqlError& e = jobs_.session().error();
  logs_.Main(StrFormat(format, static_cast<long>(rc),
                       static_cast<long>(jobs_.session().GetLastSQLError()), e.sqlstate,
                       e.message));
}

int ScheduledJobs::RescheduleCalendarJob(const JobRecord& job) {
  const CivilTime now = platform_.ToLocal(platform_.Now());
  const SqlStatement text = TextReadSchedule(jobs_.session().dialect(),
                                            SplitScheduleKey(job.jobke2));
  ScheduleRow schedule;
  int rc = text.empty() ? -1
                        : jobs_.session().QueryRow(
                              text, {ColumnBinding::Long(&schedule.scdart),
                                     ColumnBinding::Long(&schedule.scdtyp),
                                     ColumnBinding::Text(schedule.scdtag, sizeof schedule.scdtag),
                                     ColumnBinding::Long(&schedule.scddtm),
                                     ColumnBinding::Text(schedule.scduhr, sizeof schedule.scduhr),
                                     ColumnBinding::Text(schedule.scddwh, sizeof schedule.scddwh),
                                     ColumnBinding::Long(&schedule.scdbis)});
  if (rc != 0 && rc != 100) {
    logs_.Main(kLogError07);
    LogSqlFailure(kLogReadScheduleFailed, rc);
    return 0;
  }
  const CalendarDecision d = RescheduleCalendar(job, rc == 100 ? nullptr : &schedule, now);
  // Said once for each job, not in every pass.
  if (d.no_repetition &&
      reported_no_repetition_.insert(std::string(job.jobda1) + "#" + job.jobke2).second) {
    logs_.Main(StrFormat(kLogCalendarNoRepetition, job.jobke2, static_cast<long>(schedule.scdtyp)));
  }
  if (d.action == CalendarDecision::Action::kDelete) {
    (void)jobs_.session().Execute(jobs_.rules().UpkeepWrite(TextDeleteJob(job.jobda1, job.jobke2)));
  } else if (d.action == CalendarDecision::Action::kWrite) {
    JobRecord next = job;
    SetField(next.jobsts, kStatePlanned);
    SetField(next.jobnrt, d.jobnrt);
    rc = jobs_.session().Execute(jobs_.rules().UpkeepWrite(TextWriteNextRun07(next)));
    if (rc != 0) {
      logs_.Main(kLogError07);
      LogSqlFailure(kLogReadScheduleFailed, rc);
      return 0;
    }
  }
  return 1;
}

void ScheduledJobs::Reschedule07() {
  std::vector<JobRecord> list;
  periodic_.ReadJobList(kRunTypeCalendar, &list);
  for (const JobRecord& job : list) {
    if (kStatesRunning.Holds(job.jobsts)) continue;
    if (job.jobdls == 1) {
      (void)jobs_.session().Execute(jobs_.rules().UpkeepWrite(TextRearm07(job)));
    } else if (kStatesEndedByRun.Holds(job.jobsts)) {
      (void)RescheduleCalendarJob(job);
    }
  }
}

int ScheduledJobs::ReadDayEndTimes(DayEndTimes* times) {
  std::vector<ColumnBinding> columns;
  for (int32_t& t : *times) columns.push_back(ColumnBinding::Long(&t));
  times->fill(0);
  int rc = jobs_.session().QueryRow(TextDayEndTimes(true), columns);
  if (rc == 100) rc = jobs_.session().QueryRow(TextDayEndTimes(false), columns);
  return rc;
}

int ScheduledJobs::ExpandDayEnd() {
  if (link_.Beat(false, "updateKvs500Job08 Beginn") == 0) return 0;
  DayEndTimes times;
  int rc = ReadDayEndTimes(&times);
  if (rc == 100) return 1;
  if (rc != 0) return 0;
  std::vector<JobRecord> rows;
  periodic_.ReadJobList(kRunTypeDayEnd, &rows);
  const CivilTime now = platform_.ToLocal(platform_.Now());
  std::vector<int> invalid;
  const DayEndPlan plan = ReconcileDayEnd(rows, times, now, &invalid);
  for (int slot : invalid) {
    // Said once for each slot and value, not in every pass.
    if (reported_invalid_.insert({slot, times[slot]}).second) {
      logs_.Main(StrFormat(kLogDayEndTimeInvalid, static_cast<long>(times[slot]), slot % 12));
    }
  }
  auto delete_row = [&](size_t n) {
    (void)jobs_.DeleteJob(rows[plan.deletes[n]].jobda1, rows[plan.deletes[n]].jobke2);
  };
  if (link_.Beat(false, "updateKvs500Job08 Step 1") == 0) return 0;
  for (size_t n = plan.finished; n < plan.deletes.size(); ++n) delete_row(n);
  if (link_.Beat(false, "updateKvs500Job08 Step 2") == 0) return 0;
  // A finished row goes only after the row that takes over its time is in
  // the table. Until then it is the record of its run: without it the
  // next pass would plan that time for today again, and a run that ended
  // in the repeated hour of October would run a second time.
  std::vector<bool> keep(plan.finished, false);
  for (size_t i = 0; i < plan.inserts.size(); ++i) {
    if (jobs_.session().Execute(TextInsertDayEnd(plan.inserts[i])) == 0) continue;
    for (size_t n : plan.replaces[i]) keep[n] = true;
  }
  for (size_t n = 0; n < plan.finished; ++n) {
    if (!keep[n]) delete_row(n);
  }
  return link_.Beat(false, "updateKvs500Job08 Ende") == 0 ? 0 : 1;
}

}  // namespace kvs
