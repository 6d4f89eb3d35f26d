#include "jobs/periodic_jobs.h"

#include <string>

#include "gtest/gtest.h"
#include "platform/fake_platform.h"

namespace kvs {
namespace {

CivilTime At(int year, int month, int day, int hour, int minute, int second = 0) {
  FakePlatform clock;
  clock.SetLocalTime(year, month, day, hour, minute, second);
  return clock.ToLocal(clock.Now());
}

JobRecord Job(const char* jobsts, const char* jobnrt, const char* jobsda = "") {
  JobRecord job;
  SetField(job.jobsts, jobsts);
  SetField(job.jobnrt, jobnrt);
  SetField(job.jobsda, jobsda);
  return job;
}

struct Expect {
  bool changed;
  const char* jobsts;
  const char* jobnrt;
};

void Check(const Reschedule& r, const Expect& e, const std::string& label) {
  EXPECT_EQ(e.changed, r.changed) << label;
  if (e.changed && r.changed) {
    EXPECT_EQ(e.jobsts, r.jobsts) << label;
    EXPECT_EQ(e.jobnrt, r.jobnrt) << label;
  }
}

// Window 08:00-17:00 every 60 minutes on Monday 2026-12-07: slots at
// whole hours, skipped slots passed over, the window's end resting in 97,
// and a slot that an adjoining window's end left in 97 kept until it ran.
TEST(TimePlanRuleTest, SlotsInsideAndAfterTheWindow) {
  const PlanWindow window{480, 1020, 60};
  struct Case {
    const char* label;
    const char* jobsts;
    const char* jobnrt;
    int hour, minute;
    Expect expect;
    const char* jobsda = "";
  };
  const Case cases[] = {
      {"ended 10:17 after 10:00", "98", "20261207100000", 10, 17, {true, "00", "20261207110000"}},
      {"ended 12:30 after 10:00", "98", "20261207100000", 12, 30, {true, "00", "20261207130000"}},
      {"ended 16:45 after 16:00", "98", "20261207160000", 16, 45, {true, "97", "20261207170000"}},
      {"ended 16:45, already 97", "97", "20261207160000", 16, 45, {false, "", ""},
       "20261207160000"},
      {"empty JOBNRT in window", "", "", 9, 5, {true, "00", "20261207080000"}},
      {"NULL state, yesterday", "  ", "20261206150000", 9, 5, {true, "00", "20261207080000"}},
      {"waiting after start", "00", "20261207090000", 9, 30, {false, "", ""}},
      {"terminated 99", "99", "20261207090000", 9, 30, {true, "00", "20261207100000"}},
      {"error state 50", "50", "20261207090000", 9, 30, {false, "", ""}},
      {"97 then new day window", "97", "20261206170000", 8, 0, {true, "00", "20261207080000"}},
      {"JOBNRT not 14 long", "98", "2026120710", 10, 17, {true, "00", "20261207080000"}},
      {"97 on 12:00 from the window before", "97", "20261207120000", 12, 0,
       {true, "00", "20261207120000"}, "20261207110000"},
      {"97 on a slot that ran", "97", "20261207100000", 10, 45, {true, "00", "20261207110000"},
       "20261207100000"},
  };
  for (const Case& c : cases) {
    Check(TimePlanRule(Job(c.jobsts, c.jobnrt, c.jobsda), &window,
                       At(2026, 12, 7, c.hour, c.minute)),
          c.expect, c.label);
  }
}

TEST(TimePlanRuleTest, NoWindow) {
  const CivilTime now = At(2026, 12, 7, 20, 0);
  Check(TimePlanRule(Job("98", "20261207160000"), nullptr, now), {true, "97", "20261207160000"},
        "ended, no window: 97, JOBNRT kept");
  Check(TimePlanRule(Job("97", "20261207170000"), nullptr, now), {false, "", ""},
        "97 stays untouched");
  Check(TimePlanRule(Job("", ""), nullptr, now), {true, "97", ""}, "new job, no window");
}

// A plan row with a non-positive interval must not step for ever; it
// gives no further slot in its window.
TEST(TimePlanRuleTest, NonPositiveIntervalEndsTheWindow) {
  for (int interval : {0, -5}) {
    const PlanWindow window{480, 1020, interval};
    Check(TimePlanRule(Job("98", "20261207100000"), &window, At(2026, 12, 7, 10, 17)),
          {true, "97", "20261207170000"}, "interval " + std::to_string(interval));
  }
}

TEST(PlanWeekdayTest, SundayIsSeven) {
  EXPECT_EQ(7, PlanWeekday(At(2026, 12, 6, 12, 0)));  // Sunday
  EXPECT_EQ(1, PlanWeekday(At(2026, 12, 7, 12, 0)));  // Monday
  EXPECT_EQ(6, PlanWeekday(At(2026, 12, 12, 12, 0)));  // Saturday
}

// The next occurrence after now: a run ending after midnight keeps today;
// one ending in the repeated hour of the October change (run 02:30 summer
// time, now 02:10 standard time) is not planned again in it.
TEST(DailyRuleTest, NextOccurrenceAcrossMidnightMonthEndsAndTheClockChange) {
  struct Case {
    const char* label;
    const char* jobsts;
    const char* jobnrt;
    CivilTime now;
    Expect expect;
    const char* jobsda = "";
    const char* daily_time = "070000";
  };
  const Case cases[] = {
      {"ended 07:05", "98", "20261207070000", At(2026, 12, 7, 7, 5), {true, "00", "20261208070000"}},
      {"31 December", "98", "20261231070000", At(2026, 12, 31, 7, 5), {true, "00", "20270101070000"}},
      {"28 February", "99", "20270228070000", At(2027, 2, 28, 8, 0), {true, "00", "20270301070000"}},
      {"29 February leap", "98", "20280228070000", At(2028, 2, 28, 8, 0), {true, "00", "20280229070000"}},
      {"empty JOBNRT", "", "", At(2026, 12, 7, 9, 0), {true, "00", "20261207070000"}},
      {"future JOBNRT", "98", "20261208070000", At(2026, 12, 7, 9, 0), {false, "", ""}},
      {"running", "01", "20261207070000", At(2026, 12, 7, 9, 0), {false, "", ""}},
      {"waiting", "00", "20261207070000", At(2026, 12, 7, 9, 0), {false, "", ""}},
      {"23:59 ended at 00:01", "98", "20261206235900", At(2026, 12, 7, 0, 1),
       {true, "00", "20261207235900"}, "20261206235900", "235900"},
      {"missed yesterday, run at 06:00", "98", "20261206070000", At(2026, 12, 7, 6, 5),
       {true, "00", "20261207070000"}, "20261207060000"},
      {"missed yesterday, ended at 07:00:00", "98", "20261206070000", At(2026, 12, 7, 7, 0),
       {true, "00", "20261208070000"}, "20261207065000"},
      {"October, ended in the repeated hour", "98", "20271031023000", At(2027, 10, 31, 2, 10),
       {false, "", ""}, "20271031023000", "023000"},
      {"October, 02:31 standard time", "98", "20271031023000", At(2027, 10, 31, 2, 31),
       {true, "00", "20271101023000"}, "20271031023000", "023000"},
  };
  for (const Case& c : cases) {
    Check(DailyRule(Job(c.jobsts, c.jobnrt, c.jobsda), c.daily_time, c.now), c.expect, c.label);
  }
}

// Now and the local time 60 minutes later on the central European clock;
// hour 2 of 31 October 2027 is taken at its first (summer time) occurrence.
struct CycleClock {
  CivilTime now, later;
};
CycleClock Cet(int year, int month, int day, int hour, int minute, int second = 0) {
  FakePlatform clock;
  clock.SetZone(FakePlatform::Zone::kCentralEurope);
  clock.SetLocalTime(year, month, day, hour, minute, second);
  return {clock.ToLocal(clock.Now()), clock.ToLocal(clock.Now() + 3600)};
}

// A cycle after the end of the run, however long it ran, and always after
// now on the wall-clock text: a run ending in the hour the October change
// repeats (02:21 summer time + 60 is 03:21, not 02:21 standard time) rests
// an hour longer, one ending before the hour March skips (01:53 + 60 is
// 03:53 summer time, not 02:53, which comes at 03:00) no shorter.
TEST(IntervalRuleTest, CycleFromTheEndAlwaysAfterNow) {
  auto rule = [](const JobRecord& job, const CycleClock& c) {
    return IntervalRule(job, 60, c.now, c.later);
  };
  const CycleClock now = Cet(2026, 12, 31, 23, 30, 15);
  Check(rule(Job("98", "20261231230000", "20261231230000"), now), {true, "00", "20270101003015"},
        "started 23:00, ended 23:30: an hour on, across the year");
  Check(rule(Job("90", "20261231220000", "20261231220000"), now), {true, "00", "20270101003015"},
        "run longer than the cycle");
  Check(rule(Job("98", "20270101000000"), now), {false, "", ""},
        "future JOBNRT untouched even when ended");
  Check(rule(Job("", ""), now), {true, "00", "20261231233015"}, "new: now");
  Check(rule(Job("01", "20261231220000"), now), {false, "", ""}, "running");
  Check(rule(Job("98", "20271031022000", "20271031022000"), Cet(2027, 10, 31, 2, 21)),
        {true, "00", "20271031032100"}, "October, 02:21 summer time + 60");
  Check(rule(Job("98", "20270328015200", "20270328015200"), Cet(2027, 3, 28, 1, 53)),
        {true, "00", "20270328035300"}, "March, 01:53 + 60");
  Check(rule(Job("98", "20270328023000", "20270328030000"), Cet(2027, 3, 28, 3, 1)),
        {true, "00", "20270328040100"}, "March, run at 03:00 for 02:30");
}

}  // namespace
}  // namespace kvs
