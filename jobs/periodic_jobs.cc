#include "jobs/periodic_jobs.h"

#include <utility>

#include "diag/text.h"

namespace kvs {

namespace {

constexpr char kReadJobList[] =
    "SELECT JOBDA1, JOBKE2, JOBURV,        JOBCMD, JOBMRT, JOBRTY,        JOBPRI, JOBSCD, "
    "JOBSTS,        JOBSDA, JOBEDA, JOBNRT,        JOBSTV, COALESCE(JOBDLS, 0) FROM   "
    "KVSYSTEM.KVS500JOB WHERE  JOBRTY = '%s'%s";
constexpr char kWindowTpl[] =
    "SELECT TPLVON, TPLBIS, TPLVRZ FROM   KVSYSTEM.KVS139TPL WHERE  TPLZPL = '%s' AND    "
    "TPLWTG = %ld AND    TPLVON <= %ld AND    TPLBIS >  %ld AND    TPLSTA = 1";
constexpr char kWindowDzt[] =
    "SELECT DZTVON, DZTBIS, DZTVRZ FROM KVSYSTEM.KVS141DZT WHERE  DZTZPL = '%s' AND    "
    "DZTWTG = %ld AND    DZTVON <= %ld AND    DZTBIS >  %ld AND    DZTSTA = 1";
// A planned JOBNRT is 14 digits; NULL, empty and blank texts sort before
// "0" and mark a row not yet planned.
constexpr char kUnplanned[] =
    " AND (JOBNRT IS NULL OR JOBNRT < '0') AND (JOBSTS IS NULL OR JOBSTS <> '%s')";
std::string Today(const CivilTime& t) { return StrFormat("%04d%02d%02d", t.year, t.month, t.day); }



}  // namespace

int32_t PlanWeekday(const CivilTime& t) { return t.weekday == 0 ? 7 : t.weekday; }

std::string DatePlusDays(const CivilTime& t, int days) {
  int y, m, d;
  DateOfDayNumber(DayNumber(t.year, t.month, t.day + days), &y, &m, &d);
  return StrFormat("%04d%02d%02d", y, m, d);
}

Reschedule TimePlanRule(const JobRecord& job, const PlanWindow* window, const CivilTime& now) {
  Reschedule r;
  const bool resting = StateBand(kStateOutsideWindow).Holds(job.jobsts);
  if (window == nullptr) {
    if (resting) return r;
    r.changed = true;
    r.jobsts = kStateOutsideWindow.text();
    r.jobnrt = job.jobnrt;
    return r;
  }
  const std::string today = Today(now);
  const int32_t minute = now.hour * 60 + now.minute;
  const std::string nrt = job.jobnrt;
  int32_t last = -1;
  if (nrt.size() == 14 && nrt.compare(0, 8, today) >= 0) {
    last = LeadingInt(nrt.substr(8, 2)) * 60 + LeadingInt(nrt.substr(10, 2));
  }
  int32_t next = 0;
  std::string state;
  if (last < window->start) {
    next = window->start;
    state = kStatePlanned.text();
  } else if (!kStatesEnded.Holds(job.jobsts)) {
    return r;
  } else if (resting && last < window->end &&
             std::string(job.jobsda) < today + StrFormat("%02d%02d00", last / 60, last % 60)) {
    // The slot it rests on opens this window (windows that adjoin, 08:00 to
    // 12:00 and 12:00 to 17:00): it has not run yet and is kept.
    next = last;
    state = kStatePlanned.text();
  } else {
    if (window->interval <= 0) {
      // No slot after the last one in this window.
      next = window->end;
    } else {
      next = last + window->interval;
      while (next <= minute) {
        if (next >= window->end) break;
        next += window->interval;
      }
    }
    if (next < window->end) {
      state = kStatePlanned.text();
    } else {
      if (resting) return r;
      state = kStateOutsideWindow.text();
    }
  }
  r.changed = true;
  r.jobsts = state;
  r.jobnrt = today + StrFormat("%02d%02d00", next / 60, next % 60);
  return r;
}

Reschedule DailyRule(const JobRecord& job, const std::string& daily_time, const CivilTime& now) {
  Reschedule r;
  const std::string nrt = job.jobnrt;
  if (nrt.size() != 14) {
    r.changed = true;
    r.jobsts = kStatePlanned.text();
    r.jobnrt = Today(now) + daily_time;
    return r;
  }
  if (nrt >= StampOf(now)) return r;
  if (!kStatesEnded.Holds(job.jobsts)) return r;
  // The next occurrence after now, not a day after now: a run that ends
  // after midnight keeps today's time.
  std::string next = Today(now) + daily_time;
  if (next <= StampOf(now)) next = DatePlusDays(now, 1) + daily_time;
  r.changed = true;
  r.jobsts = kStatePlanned.text();
  r.jobnrt = next;
  return r;
}

Reschedule IntervalRule(const JobRecord& job, int32_t interval_minutes, const CivilTime& now,
                        const CivilTime& after_cycle) {
  Reschedule r;
  const std::string nrt = job.jobnrt;
  const std::string now_text = StampOf(now);
  if (nrt.size() != 14) {
    r.changed = true;
    r.jobsts = kStatePlanned.text();
    r.jobnrt = now_text;
    return r;
  }
  if (nrt >= now_text) return r;
  if (!kStatesEnded.Holds(job.jobsts)) return r;
  // A cycle after the end: the job rests the whole cycle, however long it
  // ran. On the wall-clock text itself the plan always lies after now.
  std::string next = StampOf(CivilPlusMinutes(now, interval_minutes));
  const std::string by_clock = StampOf(after_cycle);
  if (by_clock > next) next = by_clock;
  r.changed = true;
  r.jobsts = kStatePlanned.text();
  r.jobnrt = next;
  return r;
}

SqlStatement TextReadJobList(RunType run_type, bool unplanned_only) {
  return SqlFormat(kReadJobList, SqlText(run_type),
                   unplanned_only ? SqlFormat(kUnplanned, SqlText(kStateOutsideWindow))
                                  : SqlStatement());
}

SqlStatement TextPlanWindow(int32_t jobdls, const std::string& plan_key, int32_t weekday,
                           int32_t minute) {
  const SqlText key(plan_key);
  const SqlNumber day(weekday), at(minute);
  return jobdls == 0 ? SqlFormat(kWindowTpl, key, day, at, at)
                     : SqlFormat(kWindowDzt, key, day, at, at);
}

void PeriodicJobs::ReadJobList(RunType run_type, std::vector<JobRecord>* list,
                               bool unplanned_only) {
  Session& session = jobs_.session();
  if (session.OpenCursor(CursorSlot::kJobList, TextReadJobList(run_type, unplanned_only)) != 0) {
    return;
  }
  while (true) {
    JobRecord row;
    int rc = session.FetchCursor(
        CursorSlot::kJobList,
        {ColumnBinding::Text(row.jobda1, sizeof row.jobda1),
         ColumnBinding::Text(row.jobke2, sizeof row.jobke2),
         ColumnBinding::Text(row.joburv, sizeof row.joburv),
         ColumnBinding::Text(row.jobcmd, sizeof row.jobcmd), ColumnBinding::Long(&row.jobmrt),
         ColumnBinding::Text(row.jobrty, sizeof row.jobrty), ColumnBinding::Long(&row.jobpri),
         ColumnBinding::Text(row.jobscd, sizeof row.jobscd),
         ColumnBinding::Text(row.jobsts, sizeof row.jobsts),
         ColumnBinding::Text(row.jobsda, sizeof row.jobsda),
         ColumnBinding::Text(row.jobeda, sizeof row.jobeda),
         ColumnBinding::Text(row.jobnrt, sizeof row.jobnrt), ColumnBinding::Long(&row.jobstv),
         ColumnBinding::Long(&row.jobdls)});
    if (rc != 0) break;
    list->push_back(row);
  }
  session.CloseCursor(CursorSlot::kJobList);
}

bool PeriodicJobs::LookupWindow(const JobRecord& job, const CivilTime& now, PlanWindow* window) {
  const int32_t minute = now.hour * 60 + now.minute;
  int rc = jobs_.session().QueryRow(
      TextPlanWindow(job.jobdls, job.jobscd, PlanWeekday(now), minute),
      {ColumnBinding::Long(&window->start), ColumnBinding::Long(&window->end),
       ColumnBinding::Long(&window->interval)});
  return rc == 0 && window->start <= minute && minute < window->end;
}

int PeriodicJobs::Update03() {
  // Between the full passes only the new rows, which wait for their plan.
  const bool full = full_update_.Due(platform_.SteadyMs());
  const int64_t now = platform_.Now();
  const CivilTime local = platform_.ToLocal(now);

  std::vector<JobRecord> list;
  ReadJobList(kRunTypePeriodic, &list, !full);
  for (JobRecord& job : list) {
    if (kStatesRunning.Holds(job.jobsts)) continue;
    Reschedule r;
    if (job.jobdls == 2) {
      r = DailyRule(job, daily_time_, local);
    } else if (job.jobdls == 3) {
      r = IntervalRule(job, interval_minutes_, local,
                       platform_.ToLocal(now + int64_t{interval_minutes_} * 60));
    } else {
      PlanWindow window;
      const bool found = LookupWindow(job, local, &window);
      r = TimePlanRule(job, found ? &window : nullptr, local);
    }
    if (!r.changed) continue;
    SetField(job.jobsts, r.jobsts);
    SetField(job.jobnrt, r.jobnrt);
    int rc = jobs_.RescheduleIdleJob(job);
    if (rc != 0) logs_.Main(StrFormat(kLogJob03UpdateFailed, static_cast<long>(rc)));
  }
  return 1;
}

}  // namespace kvs
