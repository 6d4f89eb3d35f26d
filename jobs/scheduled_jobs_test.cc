#include "jobs/scheduled_jobs.h"

#include <algorithm>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "diag/text.h"
#include "gtest/gtest.h"
#include "jobs/run_types.h"
#include "platform/fake_platform.h"

namespace kvs {
namespace {

CivilTime At(int year, int month, int day, int hour, int minute) {
  FakePlatform clock;
  clock.SetLocalTime(year, month, day, hour, minute, 0);
  return clock.ToLocal(clock.Now());
}

JobRecord Ended(const char* jobsda, const char* jobeda, const char* jobnrt = "") {
  JobRecord job;
  SetField(job.jobsts, "98");
  SetField(job.jobsda, jobsda);
  SetField(job.jobeda, jobeda);
  SetField(job.jobnrt, jobnrt);
  return job;
}

ScheduleRow Schedule(int type, const char* tag = "", int until = 0, int date = 0) {
  ScheduleRow row;
  row.scdtyp = type;
  row.scddtm = date;
  std::snprintf(row.scdtag, sizeof row.scdtag, "%s", tag);
  std::snprintf(row.scduhr, sizeof row.scduhr, "%s", "063000");
  row.scdbis = until;
  return row;
}

using Action = CalendarDecision::Action;

// Monday 2026-12-07, 09:00 unless a case says otherwise. Monthly,
// quarterly and yearly dates are a series from SCDDTM (else the planned
// JOBNRT), each day cut to the month's length: a late run neither shifts
// nor skips, a schedule dated ahead begins on its date (daily and weekday
// ones too; none when SCDBIS comes first). Without a
// repetition a job whose JOBNRT has passed stays ended, and is kept.
TEST(CalendarTest, NextRunByRepetitionType) {
  struct Case {
    const char* label;
    CivilTime now;
    JobRecord job;
    ScheduleRow schedule;
    Action action;
    const char* jobnrt;
    bool no_repetition = false;
  };
  const CivilTime monday = At(2026, 12, 7, 9, 0);
  const Case cases[] = {
      {"daily, started today", monday, Ended("20261207060000", "20261207060500"), Schedule(2),
       Action::kWrite, "20261208063000"},
      {"daily, started yesterday 23:50", At(2026, 12, 7, 0, 30),
       Ended("20261206235000", "20261207002000"), Schedule(2), Action::kWrite, "20261207063000"},
      {"daily, SCDDTM ahead", monday, Ended("20261207060000", "20261207060500"),
       Schedule(2, "", 0, 20261220), Action::kWrite, "20261220063000"},
      {"daily, SCDDTM ahead after SCDBIS", monday, Ended("20261207060000", "20261207060500"),
       Schedule(2, "", 20261215, 20261220), Action::kNone, ""},
      {"weekdays Monday only, SCDDTM ahead on a Wednesday", monday,
       Ended("20261207060000", "20261207060500"), Schedule(3, "1", 0, 20261223), Action::kWrite,
       "20261228063000"},
      {"weekdays Monday only", monday, Ended("20261207060000", "20261207060500"),
       Schedule(3, "1"), Action::kWrite, "20261214063000"},
      {"weekdays all", monday, Ended("20261207060000", "20261207060500"), Schedule(3, "127"),
       Action::kWrite, "20261208063000"},
      {"weekdays Sunday only", monday, Ended("20261207060000", "20261207060500"),
       Schedule(3, "64"), Action::kWrite, "20261213063000"},
      {"mask 0, recent", monday, Ended("20261207060000", "20261207060500"), Schedule(3, "0"),
       Action::kNone, ""},
      {"mask 128, old", monday, Ended("20260801060000", "20260801060500"), Schedule(3, "128"),
       Action::kDelete, ""},
      {"monthly from 31 Jan", At(2027, 1, 31, 9, 0), Ended("20270131060000", "20270131060500"),
       Schedule(4), Action::kWrite, "20270228063000"},
      {"monthly from 31 Jan, leap year", At(2028, 1, 31, 9, 0),
       Ended("20280131060000", "20280131060500"), Schedule(4), Action::kWrite, "20280229063000"},
      {"monthly, SCDDTM day 31, run 31 Jan", At(2027, 1, 31, 9, 0),
       Ended("20270131063000", "20270131070000", "20270131063000"), Schedule(4, "", 0, 20260131),
       Action::kWrite, "20270228063000"},
      {"planned 31 Jan, run 1 Feb", At(2027, 2, 1, 9, 0),
       Ended("20270201080000", "20270201081000", "20270131063000"), Schedule(4),
       Action::kWrite, "20270228063000"},
      {"planned 20 Jan, run 31 Jan", At(2027, 1, 31, 9, 0),
       Ended("20270131080000", "20270131081000", "20270120063000"), Schedule(4),
       Action::kWrite, "20270220063000"},
      {"yearly, 28 Feb 2031 back to 29 Feb", At(2031, 2, 28, 9, 0),
       Ended("20310228063000", "20310228070000", "20310228063000"), Schedule(7, "", 0, 20280229),
       Action::kWrite, "20320229063000"},
      {"quarterly", monday, Ended("20261207060000", "20261207060500"), Schedule(5),
       Action::kWrite, "20270307063000"},
      {"quarterly planned 15 Jan, run 2 Feb", At(2027, 2, 2, 9, 0),
       Ended("20270202080000", "20270202081000", "20270115063000"), Schedule(6),
       Action::kWrite, "20270415063000"},
      {"yearly planned 20 Dec, run 3 Jan", At(2027, 1, 3, 9, 0),
       Ended("20270103080000", "20270103081000", "20261220063000"), Schedule(7),
       Action::kWrite, "20271220063000"},
      {"yearly, SCDDTM 29 Feb 2028 ahead, no JOBNRT", monday,
       Ended("20261207060000", "20261207060500"), Schedule(7, "", 0, 20280229), Action::kWrite,
       "20280229063000"},
      {"yearly", monday, Ended("20261207060000", "20261207060500"), Schedule(7), Action::kWrite,
       "20271207063000"},
      {"until today: next date after it", monday, Ended("20261207060000", "20261207060500"),
       Schedule(2, "", 20261207), Action::kNone, ""},
      {"until today: next date is today", monday, Ended("20261206060000", "20261206060500"),
       Schedule(2, "", 20261207), Action::kWrite, "20261207063000"},
      {"expired yesterday, recent", monday, Ended("20261206060000", "20261206060500"),
       Schedule(2, "", 20261206), Action::kNone, ""},
      {"one-off, recent", monday, Ended("20261207060000", "20261207060500"), Schedule(1),
       Action::kNone, ""},
      {"one-off, older than three months", monday, Ended("20260901060000", "20260901060500"),
       Schedule(-1), Action::kDelete, ""},
      {"type 0, JOBNRT ahead: waiting", monday,
       Ended("20261207060000", "20261207060500", "20261208080000"), Schedule(0), Action::kWrite,
       "20261208080000"},
      {"type 0, JOBNRT passed: stays ended", monday,
       Ended("20261207060000", "20261207060500", "20261201080000"), Schedule(0), Action::kNone,
       "", true},
      {"type 0, old: kept", monday, Ended("20260801060000", "20260801060500", "20260801060000"),
       Schedule(0), Action::kNone, "", true},
      {"type 9, old: kept", monday, Ended("20260801060000", "20260801060500", "20260801060000"),
       Schedule(9), Action::kNone, "", true},
  };
  for (const Case& c : cases) {
    CalendarDecision d = RescheduleCalendar(c.job, &c.schedule, c.now);
    EXPECT_EQ(c.action, d.action) << c.label;
    EXPECT_EQ(c.jobnrt, d.jobnrt) << c.label;
    EXPECT_EQ(c.no_repetition, d.no_repetition) << c.label;
  }
}

TEST(CalendarTest, ScheduleGoneDeletesAfterRetention) {
  const CivilTime now = At(2026, 5, 20, 9, 0);
  EXPECT_EQ(20260220, RetentionDate(now));
  EXPECT_EQ(20260303, RetentionDate(At(2026, 5, 31, 9, 0)));
  EXPECT_EQ(20280302, RetentionDate(At(2028, 5, 31, 9, 0)));
  EXPECT_EQ(Action::kDelete, RescheduleCalendar(Ended("", ""), nullptr, now).action);
  EXPECT_EQ(Action::kDelete,
            RescheduleCalendar(Ended("20260219060000", "20260219060500"), nullptr, now).action);
  EXPECT_EQ(Action::kNone,
            RescheduleCalendar(Ended("20260220060000", "20260220060500"), nullptr, now).action);
}

TEST(CalendarTest, ScheduleKey) {
  ScheduleKey key = SplitScheduleKey("Report#Team A#00001#00002");
  EXPECT_EQ("Report", key.scdnam);
  EXPECT_EQ("Team A", key.scdsbe);
  EXPECT_EQ("00001", key.scdliz);
  EXPECT_EQ("00002", key.scdmnd);
  EXPECT_EQ("", SplitScheduleKey("OnlyName").scdsbe);
}

JobRecord DayEndRow(const char* key, const char* cmd, const char* jobsts, const char* jobnrt) {
  JobRecord row;
  SetField(row.jobke2, key);
  SetField(row.jobcmd, cmd);
  SetField(row.jobsts, jobsts);
  SetField(row.jobnrt, jobnrt);
  return row;
}

std::string Keys(const DayEndPlan& plan) {
  std::string keys;
  for (const JobRecord& r : plan.inserts) keys += std::string(r.jobke2) + "@" + r.jobnrt + " ";
  return keys;
}

TEST(DayEndTest, ReconcilesRowsWithTimes) {
  DayEndTimes times{};
  times[0] = 1320;  // MNDT01 22:00
  std::vector<int> invalid;
  // No rows, before 22:00: planned for today.
  DayEndPlan plan = ReconcileDayEnd({}, times, At(2026, 12, 7, 21, 0), &invalid);
  EXPECT_EQ("DYE+D00@20261207220000 ", Keys(plan));
  EXPECT_EQ("20261207210000", std::string(plan.inserts[0].jobda1));
  EXPECT_EQ("DayEnd", std::string(plan.inserts[0].joburv));
  EXPECT_EQ("DayEnd.exe", std::string(plan.inserts[0].jobcmd));
  EXPECT_EQ(1, plan.inserts[0].jobstv);
  // At 22:00 exactly: tomorrow.
  plan = ReconcileDayEnd({}, times, At(2026, 12, 31, 22, 0), &invalid);
  EXPECT_EQ("DYE+D00@20270101220000 ", Keys(plan));

  // A finished run is deleted and planned anew; a waiting duplicate loses.
  const std::vector<JobRecord> rows = {
      DayEndRow("DYE+D00", "DayEnd.exe", "98", "20261207220000"),
      DayEndRow("DYE+D00", "DayEnd.exe", "", "20261208220000"),
      DayEndRow("DYE+D07", "DayEnd.exe", "00", "20261208220000"),
  };
  plan = ReconcileDayEnd(rows, times, At(2026, 12, 7, 22, 30), &invalid);
  EXPECT_EQ((std::vector<size_t>{0, 2}), plan.deletes);
  EXPECT_EQ(1u, plan.finished);
  EXPECT_EQ("", Keys(plan));

  // A run at 02:30 summer time that ends at 02:15 in the repeated hour of
  // October: the next row is tomorrow's, not today's 02:30 again.
  times[0] = 150;
  plan = ReconcileDayEnd({DayEndRow("DYE+D00", "DayEnd.exe", "98", "20271031023000")}, times,
                         At(2027, 10, 31, 2, 15), &invalid);
  EXPECT_EQ("DYE+D00@20271101023000 ", Keys(plan));

  // A changed time: the old row goes, the new one comes.
  times[0] = 1350;
  plan = ReconcileDayEnd({DayEndRow("DYE+D00", "DayEnd.exe", "01", "20261207220000")}, times,
                         At(2026, 12, 7, 21, 0), &invalid);
  EXPECT_EQ((std::vector<size_t>{0}), plan.deletes);
  EXPECT_EQ("DYE+D00@20261207223000 ", Keys(plan));

  // Both kinds in slot 05.
  DayEndTimes both{};
  both[5] = 600;
  both[12 + 5] = 600;
  plan = ReconcileDayEnd({}, both, At(2026, 12, 7, 9, 0), &invalid);
  EXPECT_EQ("DYE+D05@20261207100000 DYE+_05@20261207100000 ", Keys(plan));
  EXPECT_EQ("DayEnd.exe /NODNL", std::string(plan.inserts[1].jobcmd));

  // No times at all: nothing is touched.
  plan = ReconcileDayEnd({}, DayEndTimes{}, At(2026, 12, 7, 9, 0), &invalid);
  EXPECT_TRUE(plan.inserts.empty());
  EXPECT_TRUE(invalid.empty());
}

// 1440 minutes or more is no time of day: the slot counts as empty and is
// reported, instead of a JOBNRT with hour 24.
TEST(DayEndTest, TimesBeyondTheDayAreNotConfigured) {
  DayEndTimes times{};
  times[2] = 1440;
  times[12] = 1500;
  times[3] = 1439;
  std::vector<int> invalid;
  DayEndPlan plan = ReconcileDayEnd({}, times, At(2026, 12, 7, 9, 0), &invalid);
  EXPECT_EQ((std::vector<int>{2, 12}), invalid);
  EXPECT_EQ("DYE+D03@20261207235900 ", Keys(plan));
}

// ---- A simulated year -------------------------------------------------------

using Rule = std::function<Reschedule(const JobRecord&, const CivilTime&)>;

struct SimJob {
  JobRecord row;
  Rule rule;  // run when the job does not run; none for day-end rows
  RunType run_type = kRunTypePeriodic;
  int run_minutes = 1;
  int64_t from = 0;     // the row exists from then on
  int64_t until = -1;   // end of the current run
  std::vector<std::string> starts;
  std::vector<int64_t> instants;
};

SimJob Sim(const char* jobnrt, Rule rule, int run_minutes = 1,
           RunType run_type = kRunTypePeriodic) {
  SimJob job;
  SetField(job.row.jobsts, *jobnrt ? "00" : "");
  SetField(job.row.jobnrt, jobnrt);
  job.rule = std::move(rule);
  job.run_minutes = run_minutes;
  job.run_type = run_type;
  return job;
}

Rule CalendarRule(int type, int date) {
  return [schedule = Schedule(type, "", 0, date)](const JobRecord& row, const CivilTime& now) {
    if (!kStatesEndedByRun.Holds(row.jobsts)) return Reschedule{};
    const CalendarDecision d = RescheduleCalendar(row, &schedule, now);
    return Reschedule{d.action == Action::kWrite, "00", d.jobnrt};
  };
}

// One pass a minute through 2027 on the central European clock, with both
// changes (28 March 02:00 becomes 03:00, 31 October 03:00 becomes 02:00):
// ended runs are marked, the rules run, rows the selection's condition
// (SelectionTakes) takes are started. Catches a day lost to a run ending after
// midnight, the repeated October hour starting an interval job again and
// again, an interval job resting less than its cycle after a run (counted
// from the start, or cut short by the hour March skips), monthly dates
// drifting from the 31st, a slot lost where two plan windows meet, a
// time-plan row inserted on a Saturday started outside its plan, and the
// 45-minute day-end run at 02:30 that ends in the repeated October hour
// run again at 02:30 standard time.
TEST(SimulatedYearTest, EachJobAtItsTimeOnce) {
  FakePlatform clock;
  clock.SetZone(FakePlatform::Zone::kCentralEurope);
  clock.SetLocalTime(2028, 1, 1, 0, 0, 0);
  const int64_t year_end = clock.Now();
  clock.SetLocalTime(2027, 1, 2, 10, 0, 0);  // a Saturday
  const int64_t saturday = clock.Now();
  clock.SetLocalTime(2027, 1, 1, 0, 0, 0);
  int64_t t = clock.Now();  // the pass's instant
  auto daily = [](const char* time) {
    return [time](const JobRecord& row, const CivilTime& now) { return DailyRule(row, time, now); };
  };
  // Monday to Friday, 08:00-12:00 and 12:00-17:00, hourly.
  auto plan = [](const JobRecord& row, const CivilTime& now) {
    const int minute = now.hour * 60 + now.minute;
    const PlanWindow window = minute < 720 ? PlanWindow{480, 720, 60} : PlanWindow{720, 1020, 60};
    const bool open = PlanWeekday(now) <= 5 && minute >= 480 && minute < 1020;
    return TimePlanRule(row, open ? &window : nullptr, now);
  };
  std::vector<SimJob> jobs = {
      Sim("20270101023000", daily("023000")),
      Sim("20270101235900", daily("235900"), 3),  // ends after midnight
      Sim("20270101000000", [&](const JobRecord& row, const CivilTime& now) {
        return IntervalRule(row, 60, now, clock.ToLocal(t + 3600));
      }),
      Sim("", plan, 5),
      Sim("20270131063000", CalendarRule(4, 20261231), 10, kRunTypeCalendar),
      Sim("20270215063000", CalendarRule(5, 20261115), 10, kRunTypeCalendar),
      Sim("20270228063000", CalendarRule(7, 20240229), 10, kRunTypeCalendar)};
  jobs[3].from = saturday;
  DayEndTimes times{};
  times[0] = 150;  // 02:30
  std::vector<SimJob> day_end;
  std::vector<std::string> day_end_starts;

  std::vector<int> invalid;
  for (; t < year_end; t += 60) {
    const CivilTime now = clock.ToLocal(t);
    const std::string text = StrFormat("%04d%02d%02d%02d%02d%02d", now.year, now.month, now.day,
                                       now.hour, now.minute, now.second);
    std::vector<JobRecord> rows;
    for (std::vector<SimJob>* list : {&jobs, &day_end}) {
      for (SimJob& job : *list) {
        if (job.until >= 0 && t >= job.until) {
          SetField(job.row.jobsts, "98");
          job.until = -1;
        }
        if (job.rule && job.until < 0 && t >= job.from) {
          const Reschedule r = job.rule(job.row, now);
          if (r.changed) SetField(job.row.jobsts, r.jobsts);
          if (r.changed) SetField(job.row.jobnrt, r.jobnrt);
        }
      }
    }
    for (const SimJob& job : day_end) rows.push_back(job.row);
    const DayEndPlan reconciled = ReconcileDayEnd(rows, times, now, &invalid);
    for (auto i = reconciled.deletes.rbegin(); i != reconciled.deletes.rend(); ++i) {
      day_end.erase(day_end.begin() + static_cast<std::ptrdiff_t>(*i));
    }
    for (const JobRecord& row : reconciled.inserts) {
      day_end.push_back(Sim("", nullptr, 45, kRunTypeDayEnd));
      day_end.back().row = row;
    }
    for (std::vector<SimJob>* list : {&jobs, &day_end}) {
      for (SimJob& job : *list) {
        if (t < job.from || !SelectionTakes(*RuleOf(job.run_type), job.row, text)) continue;
        SetField(job.row.jobsts, "01");
        SetField(job.row.jobsda, text);
        job.until = t + job.run_minutes * 60;
        job.starts.push_back(text);
        job.instants.push_back(t);
        if (list == &day_end) day_end_starts.push_back(text);
      }
    }
  }

  auto dates = [](const std::vector<std::string>& starts) {
    std::set<std::string> days;
    for (const std::string& s : starts) days.insert(s.substr(0, 8));
    return days.size();
  };
  for (const auto* starts : {&jobs[0].starts, &jobs[1].starts, &day_end_starts}) {
    EXPECT_EQ(365u, starts->size());
    EXPECT_EQ(365u, dates(*starts));
  }
  // Both changes were played: 02:30 on 28 March came at 03:00.
  EXPECT_EQ(1, std::count(jobs[0].starts.begin(), jobs[0].starts.end(), "20270328030000"));
  // The interval job runs a minute and rests an hour after each end: a
  // start every 61 minutes, one gap of 121 where a run ends in the
  // repeated October hour (planned 03:mm, not in it), the last start by
  // minute 525,599 of the year: 1 + (525,599 - 60) / 61 = 8,616 starts.
  EXPECT_EQ(8616u, jobs[2].starts.size());
  for (size_t i = 1; i < jobs[2].instants.size(); ++i) {
    ASSERT_GE(jobs[2].instants[i] - jobs[2].instants[i - 1], 61 * 60) << jobs[2].starts[i];
  }
  // Each slot of each weekday from Monday 4 January, once.
  std::set<std::string> slots;
  for (int64_t day = DayNumber(2027, 1, 4); day < DayNumber(2028, 1, 1); ++day) {
    if (WeekdayOfDayNumber(day) % 6 == 0) continue;
    int y, m, d;
    DateOfDayNumber(day, &y, &m, &d);
    for (int h = 8; h < 17; ++h) slots.insert(StrFormat("%04d%02d%02d%02d0000", y, m, d, h));
  }
  EXPECT_EQ(std::vector<std::string>(slots.begin(), slots.end()), jobs[3].starts);
  using Texts = std::vector<std::string>;
  EXPECT_EQ((Texts{"20270131063000", "20270228063000", "20270331063000", "20270430063000",
                   "20270531063000", "20270630063000", "20270731063000", "20270831063000",
                   "20270930063000", "20271031063000", "20271130063000", "20271231063000"}),
            jobs[4].starts);
  EXPECT_EQ((Texts{"20270215063000", "20270515063000", "20270815063000", "20271115063000"}),
            jobs[5].starts);
  EXPECT_EQ(Texts{"20270228063000"}, jobs[6].starts);
  EXPECT_STREQ("20280229063000", jobs[6].row.jobnrt);
}

}  // namespace
}  // namespace kvs
