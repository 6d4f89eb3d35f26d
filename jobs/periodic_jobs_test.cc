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

JobRecord Job(const char* jobsts, const char* jobnrt) {
  JobRecord job;
  SetField(job.jobsts, jobsts);
  SetField(job.jobnrt, jobnrt);
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
// whole hours, skipped slots passed over, the window's end resting in 97.
TEST(TimePlanRuleTest, SlotsInsideAndAfterTheWindow) {
  const PlanWindow window{480, 1020, 60};
  struct Case {
    const char* label;
    const char* jobsts;
    const char* jobnrt;
    int hour, minute;
    Expect expect;
  };
  const Case cases[] = {
      {"ended 10:17 after 10:00", "98", "20261207100000", 10, 17, {true, "00", "20261207110000"}},
      {"ended 12:30 after 10:00", "98", "20261207100000", 12, 30, {true, "00", "20261207130000"}},
      {"ended 16:45 after 16:00", "98", "20261207160000", 16, 45, {true, "97", "20261207170000"}},
      {"ended 16:45, already 97", "97", "20261207160000", 16, 45, {false, "", ""}},
      {"empty JOBNRT in window", "", "", 9, 5, {true, "00", "20261207080000"}},
      {"NULL state, yesterday", "  ", "20261206150000", 9, 5, {true, "00", "20261207080000"}},
      {"waiting after start", "00", "20261207090000", 9, 30, {false, "", ""}},
      {"terminated 99", "99", "20261207090000", 9, 30, {true, "00", "20261207100000"}},
      {"error state 50", "50", "20261207090000", 9, 30, {false, "", ""}},
      {"97 then new day window", "97", "20261206170000", 8, 0, {true, "00", "20261207080000"}},
      {"JOBNRT not 14 long", "98", "2026120710", 10, 17, {true, "00", "20261207080000"}},
  };
  for (const Case& c : cases) {
    Check(TimePlanRule(Job(c.jobsts, c.jobnrt), &window, At(2026, 12, 7, c.hour, c.minute)),
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

TEST(DailyRuleTest, NextDayAcrossMonthAndYearEnds) {
  struct Case {
    const char* label;
    const char* jobsts;
    const char* jobnrt;
    CivilTime now;
    Expect expect;
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
  };
  for (const Case& c : cases) {
    Check(DailyRule(Job(c.jobsts, c.jobnrt), "070000", c.now), c.expect, c.label);
  }
}

TEST(IntervalRuleTest, CycleAfterTheEnd) {
  const CivilTime now = At(2026, 12, 31, 23, 30, 15);
  const CivilTime later = At(2027, 1, 1, 0, 30, 15);
  Check(IntervalRule(Job("98", "20261231220000"), now, later), {true, "00", "20270101003015"},
        "ended: an hour on, across the year");
  Check(IntervalRule(Job("98", "20270101000000"), now, later), {false, "", ""},
        "future JOBNRT untouched even when ended");
  Check(IntervalRule(Job("", ""), now, later), {true, "00", "20261231233015"}, "new: now");
  Check(IntervalRule(Job("01", "20261231220000"), now, later), {false, "", ""}, "running");
}

TEST(PeriodicTextTest, StatementsAsTheSuiteRunsThem) {
  EXPECT_EQ(
      "SELECT JOBDA1, JOBKE2, JOBURV,        JOBCMD, JOBMRT, JOBRTY,        JOBPRI, JOBSCD, "
      "JOBSTS,        JOBSDA, JOBEDA, JOBNRT,        JOBSTV, COALESCE(JOBDLS, 0) FROM   "
      "KVSYSTEM.KVS500JOB WHERE  JOBRTY = '03'",
      TextReadJobList("03"));
  EXPECT_EQ(
      "SELECT TPLVON, TPLBIS, TPLVRZ FROM   KVSYSTEM.KVS139TPL WHERE  TPLZPL = 'PLAN' AND    "
      "TPLWTG = 7 AND    TPLVON <= 615 AND    TPLBIS >  615 AND    TPLSTA = 1",
      TextPlanWindow(0, "PLAN", 7, 615));
  for (int kind : {1, 5}) {
    EXPECT_EQ(
        "SELECT DZTVON, DZTBIS, DZTVRZ FROM KVSYSTEM.KVS141DZT WHERE  DZTZPL = 'PLAN' AND    "
        "DZTWTG = 1 AND    DZTVON <= 0 AND    DZTBIS >  0 AND    DZTSTA = 1",
        TextPlanWindow(kind, "PLAN", 1, 0));
  }
  EXPECT_EQ(
      "SELECT JOBDA1, JOBKE2, JOBURV, JOBCMD, JOBMRT, JOBRTY,        JOBSTS, JOBSDA, JOBEDA, "
      "JOBSTV   FROM KVSYSTEM.KVS500JOB  WHERE JOBRTY = '03'    AND (JOBSTS is NULL OR JOBSTS = "
      "'  ' OR JOBSTS = '00')    AND (JOBNRT <= '20261207101700' OR JOBNRT IS NULL)    AND "
      "((JOBURV is not null AND JOBURV NOT IN ( 'A', 'B' )) OR         (JOBURV is null))  "
      "ORDER BY JOBNRT, JOBDA1, JOBKE2 ",
      TextDueJob("03", "20261207101700", "'A', 'B'"));
}

}  // namespace
}  // namespace kvs
