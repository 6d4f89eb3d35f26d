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

int DaysInMonth(int year, int month) {
  return static_cast<int>(DayNumber(year, month + 1, 1) - DayNumber(year, month, 1));
}

CivilTime CivilPlusMinutes(const CivilTime& t, int64_t minutes) {
  int64_t total = (DayNumber(t.year, t.month, t.day) * 24 + t.hour) * 60 + t.minute + minutes;
  int64_t days = total >= 0 ? total / 1440 : (total - 1439) / 1440;
  const int64_t minute_of_day = total - days * 1440;
  CivilTime out;
  DateOfDayNumber(days, &out.year, &out.month, &out.day);
  out.weekday = WeekdayOfDayNumber(days);
  out.hour = static_cast<int>(minute_of_day / 60);
  out.minute = static_cast<int>(minute_of_day % 60);
  out.second = t.second;
  return out;
}

bool CivilFromStamp(const char* stamp, CivilTime* out) {
  int digits[14];
  for (int i = 0; i < 14; ++i) {
    if (stamp[i] < '0' || stamp[i] > '9') return false;
    digits[i] = stamp[i] - '0';
  }
  if (stamp[14] != '\0') return false;
  auto number = [&](int from, int count) {
    int value = 0;
    for (int i = from; i < from + count; ++i) value = value * 10 + digits[i];
    return value;
  };
  CivilTime t;
  t.year = number(0, 4);
  t.month = number(4, 2);
  t.day = number(6, 2);
  t.hour = number(8, 2);
  t.minute = number(10, 2);
  t.second = number(12, 2);
  if (t.month < 1 || t.month > 12 || t.day < 1 || t.day > DaysInMonth(t.year, t.month) ||
      t.hour > 23 || t.minute > 59 || t.second > 59) {
    return false;
  }
  t.weekday = WeekdayOfDayNumber(DayNumber(t.year, t.month, t.day));
  *out = t;
  return true;
}

}  // namespace kvs
