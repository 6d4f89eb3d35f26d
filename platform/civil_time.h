// Calendar arithmetic shared by both backends, the fake platform and the
// schedulers: day numbers of dates (with the C library's carrying of days
// and months out of range) and broken-down C times as CivilTime.
#pragma once

#include <cstdint>
#include <ctime>

#include "platform/platform.h"

namespace kvs {

// Days since 1970-01-01 of a calendar date (proleptic Gregorian; a day or
// month out of range carries over, as the C library's normalisation does).
int64_t DayNumber(int year, int month, int day);
// The calendar date of a day number.
void DateOfDayNumber(int64_t days, int* year, int* month, int* day);
// Weekday of a day number, 0 = Sunday.
int WeekdayOfDayNumber(int64_t days);
// A C library broken-down time as CivilTime.
CivilTime CivilTimeFromTm(const std::tm& tm);
// Number of days of a month (1..12) of a year.
int DaysInMonth(int year, int month);
// t plus minutes on the wall clock itself, as a calendar counts them: no
// zone, so no hour is lost or repeated. is_dst of the result is false.
CivilTime CivilPlusMinutes(const CivilTime& t, int64_t minutes);
// A 14-digit timestamp text YYYYMMDDhhmmss as CivilTime. false when the
// text is not 14 digits or names no date and time of day.
bool CivilFromStamp(const char* stamp, CivilTime* out);

}  // namespace kvs
