#include <cmath>
#include <cstdio>

#include "platform/clock.h"

namespace orvent {
namespace {

// 1970-01-01 is this many days after 1899-12-30.
constexpr std::int64_t kUnixEpochDays = 25'569;

// Howard Hinnant's civil-date algorithms (public domain), days since 1970.
std::int64_t DaysFromCivil1970(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2 ? 1 : 0;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays1970(std::int64_t z, int& year, int& month, int& day) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  year = static_cast<int>(static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2 ? 1 : 0));
  month = static_cast<int>(m);
  day = static_cast<int>(d);
}

bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int y, int m) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

}  // namespace

std::int64_t DaysFromCivil(int year, int month, int day) {
  return DaysFromCivil1970(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) + kUnixEpochDays;
}

std::int64_t MsFromCivil(const CivilTime& t) {
  const std::int64_t time_of_day =
      ((static_cast<std::int64_t>(t.hour) * 60 + t.minute) * 60 + t.second) * 1000 + t.millisecond;
  return DaysFromCivil(t.year, t.month, t.day) * kMsPerDay + time_of_day;
}

TDateTime DateTimeFromMs(std::int64_t ms) {
  std::int64_t days = ms / kMsPerDay;
  std::int64_t rest = ms % kMsPerDay;
  if (rest < 0) {
    rest += kMsPerDay;
    --days;
  }
  return static_cast<double>(days) + static_cast<double>(rest) / static_cast<double>(kMsPerDay);
}

std::int64_t MsFromDateTime(TDateTime t) {
  return std::llround(t * static_cast<double>(kMsPerDay));
}

TDateTime EncodeDateTime(const CivilTime& t) { return DateTimeFromMs(MsFromCivil(t)); }

CivilTime DecodeDateTime(TDateTime t) {
  const std::int64_t ms = MsFromDateTime(t);
  std::int64_t days = ms / kMsPerDay;
  std::int64_t rest = ms % kMsPerDay;
  if (rest < 0) {
    rest += kMsPerDay;
    --days;
  }
  CivilTime c;
  CivilFromDays1970(days - kUnixEpochDays, c.year, c.month, c.day);
  c.millisecond = static_cast<int>(rest % 1000);
  rest /= 1000;
  c.second = static_cast<int>(rest % 60);
  rest /= 60;
  c.minute = static_cast<int>(rest % 60);
  c.hour = static_cast<int>(rest / 60);
  return c;
}

bool ParseCivilTime(const char* text, CivilTime& out) {
  CivilTime t;
  int consumed = 0;
  const int fields = std::sscanf(text, "%4d-%2d-%2d %2d:%2d:%2d%n", &t.year, &t.month, &t.day,
                                 &t.hour, &t.minute, &t.second, &consumed);
  if (fields != 6) return false;
  const char* rest = text + consumed;
  if (*rest == '.') {
    int ms_consumed = 0;
    unsigned ms = 0;
    if (std::sscanf(rest + 1, "%3u%n", &ms, &ms_consumed) != 1 || ms_consumed != 3) return false;
    t.millisecond = static_cast<int>(ms);
    rest += 1 + ms_consumed;
  }
  if (*rest != '\0') return false;
  if (t.year < 1 || t.month < 1 || t.month > 12 || t.day < 1 ||
      t.day > DaysInMonth(t.year, t.month) || t.hour < 0 || t.hour > 23 || t.minute < 0 ||
      t.minute > 59 || t.second < 0 || t.second > 59) {
    return false;
  }
  out = t;
  return true;
}

}  // namespace orvent
