#include "platform/civil_time.h"

namespace kvs {

int64_t DayNumber(int year, int month, int day) {
  // Months out of range carry into the year; days simply add up.
  int64_t y = year + (month - 1 >= 0 ? (month - 1) / 12 : -((12 - month) / 12));
  int m = ((month - 1) % 12 + 12) % 12 + 1;
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468 + (day - 1);
}

void DateOfDayNumber(int64_t days, int* year, int* month, int* day) {
  int64_t z = days + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  *day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  *month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  *year = static_cast<int>(yoe + era * 400 + (*month <= 2));
}

int WeekdayOfDayNumber(int64_t days) {
  // 1970-01-01 was a Thursday.
  return static_cast<int>(((days % 7) + 11) % 7);
}

CivilTime CivilTimeFromTm(const std::tm& tm) {
  CivilTime civil;
  civil.year = tm.tm_year + 1900;
  civil.month = tm.tm_mon + 1;
  civil.day = tm.tm_mday;
  civil.hour = tm.tm_hour;
  civil.minute = tm.tm_min;
  civil.second = tm.tm_sec;
  civil.weekday = tm.tm_wday;
  civil.is_dst = tm.tm_isdst > 0;
  return civil;
}

}  // namespace kvs
