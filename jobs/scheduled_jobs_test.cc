#include "jobs/scheduled_jobs.h"

#include <string>

#include "gtest/gtest.h"
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

ScheduleRow Schedule(int type, const char* tag = "", int until = 0) {
  ScheduleRow row;
  row.scdtyp = type;
  std::snprintf(row.scdtag, sizeof row.scdtag, "%s", tag);
  std::snprintf(row.scduhr, sizeof row.scduhr, "%s", "063000");
  row.scdbis = until;
  return row;
}

using Action = CalendarDecision::Action;

// Monday 2026-12-07, 09:00 unless a case says otherwise.
TEST(CalendarTest, NextRunByRepetitionType) {
  struct Case {
    const char* label;
    CivilTime now;
    JobRecord job;
    ScheduleRow schedule;
    Action action;
    const char* jobnrt;
  };
  const CivilTime monday = At(2026, 12, 7, 9, 0);
  const Case cases[] = {
      {"daily, started today", monday, Ended("20261207060000", "20261207060500"), Schedule(2),
       Action::kWrite, "20261208063000"},
      {"daily, started yesterday 23:50", At(2026, 12, 7, 0, 30),
       Ended("20261206235000", "20261207002000"), Schedule(2), Action::kWrite, "20261207063000"},
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
       Schedule(4), Action::kWrite, "20270303063000"},
      {"monthly from 31 Jan, leap year", At(2028, 1, 31, 9, 0),
       Ended("20280131060000", "20280131060500"), Schedule(4), Action::kWrite, "20280302063000"},
      {"quarterly", monday, Ended("20261207060000", "20261207060500"), Schedule(5),
       Action::kWrite, "20270307063000"},
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
      {"type 0 keeps JOBNRT", monday, Ended("20261207060000", "20261207060500", "20261201080000"),
       Schedule(0), Action::kWrite, "20261201080000"},
  };
  for (const Case& c : cases) {
    CalendarDecision d = RescheduleCalendar(c.job, &c.schedule, c.now);
    EXPECT_EQ(c.action, d.action) << c.label;
    EXPECT_EQ(c.jobnrt, d.jobnrt) << c.label;
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

TEST(CalendarTest, ScheduleKeyAndStatements) {
  ScheduleKey key = SplitScheduleKey("Report#Team A#00001#00002");
  EXPECT_EQ("Report", key.scdnam);
  EXPECT_EQ("Team A", key.scdsbe);
  EXPECT_EQ("00001", key.scdliz);
  EXPECT_EQ("00002", key.scdmnd);
  EXPECT_EQ("", SplitScheduleKey("OnlyName").scdsbe);
  EXPECT_EQ(
      "SELECT SCDART, SCDTYP, SCDTAG, CONVERT(CHAR(8), SCDDTM, 112), REPLACE(STR(DATEPART(hh, "
      "SCDUHR),2) + str(DATEPART(mi,SCDUHR),2) + str(DATEPART(ss,SCDUHR),2), ' ','0'), SCDDWH, "
      "CONVERT(CHAR(8), SCDBIS, 112) FROM KVSYSTEM.KVS800SCD WHERE SCDLIZ = '00001' AND   SCDMND "
      "= '00002' AND   SCDNAM = 'Report' AND   SCDSBE = 'Team A' ",
      TextReadSchedule(Dialect::kMssql, key));
  EXPECT_NE("", TextReadSchedule(Dialect::kMysql, key));
  EXPECT_EQ("", TextReadSchedule(Dialect::kUnknown, key));
  JobRecord job;
  SetField(job.jobda1, "20261207000000");
  SetField(job.jobke2, "Report#Team A#00001#00002");
  EXPECT_EQ(
      "UPDATE KVSYSTEM.KVS500JOB SET    JOBSTS = '00',        JOBDLS = '0' WHERE  JOBDA1 = "
      "'20261207000000' AND    JOBKE2 = 'Report#Team A#00001#00002'",
      TextRearm07(job));
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

TEST(RestartJobsTest, SelectionPerDialect) {
  EXPECT_EQ(
      " SELECT JOBDA1, JOBKE2, JOBURV, JOBCMD, JOBMRT,         JOBRTY, JOBSTS, JOBSDA, JOBEDA, "
      "JOBSTV  FROM KVSYSTEM.KVS500JOB  WHERE JOBRTY = '09'  AND  (JOBSTS is NULL OR JOBSTS = "
      "'  'OR JOBSTS >= '90')  AND  JOBSTV < 11  AND ((JOBURV is not NULL AND JOBURV NOT IN ( "
      "' ' )) or (JOBURV is NULL))  ORDER BY JOBDA1, JOBKE2 LIMIT 0, 1",
      TextNextJob09(Dialect::kMysql, "' '"));
  EXPECT_EQ(
      " SELECT TOP 1 JOBDA1, JOBKE2, JOBURV, JOBCMD, JOBMRT,               JOBRTY, JOBSTS, "
      "JOBSDA, JOBEDA, JOBSTV  FROM KVSYSTEM.KVS500JOB  WHERE JOBRTY = '09'  AND  (JOBSTS is "
      "NULL OR JOBSTS = '  ' OR JOBSTS >= '90')  AND  JOBSTV < 11  AND ((JOBURV is not NULL AND "
      "JOBURV NOT IN ( ' ' )) or (JOBURV is NULL))  ORDER BY JOBDA1, JOBKE2 ",
      TextNextJob09(Dialect::kMssql, "' '"));
  EXPECT_EQ("", TextNextJob09(Dialect::kUnknown, "' '"));
}

}  // namespace
}  // namespace kvs
