#include "source/http_dns_record.h"

#include <cmath>
#include <cstdint>
#include <tuple>

namespace lumo {
namespace {

constexpr int64_t kTicksPerMillisecond = 10000;
constexpr int64_t kTicksPerSecond = 10000000;
constexpr int64_t kTicksPerDay = 86400 * kTicksPerSecond;
// Days from 1601-01-01 (the start of the system's 100-nanosecond scale) to 1970-01-01.
constexpr int64_t kDaysFrom1601To1970 = 134774;
constexpr int kLastYear = 30827;  // the system time structure's range ends in this year

// Days since 1970-01-01 of a proleptic Gregorian date.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2 ? 1 : 0;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int64_t* y, unsigned* m, unsigned* d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *d = doy - (153 * mp + 2) / 5 + 1;
  *m = mp < 10 ? mp + 3 : mp - 9;
  *y = static_cast<int64_t>(yoe) + era * 400 + (*m <= 2 ? 1 : 0);
}

int64_t TicksOf(const platform::CalendarTime& t) {
  const int64_t days = DaysFromCivil(t.year, t.month, t.day) + kDaysFrom1601To1970;
  return days * kTicksPerDay + ((t.hour * 60 + t.minute) * 60 + t.second) * kTicksPerSecond +
         t.milliseconds * kTicksPerMillisecond;
}

platform::CalendarTime CalendarOf(int64_t ticks) {
  const int64_t days = ticks / kTicksPerDay;
  int64_t rest = ticks % kTicksPerDay;
  int64_t year = 0;
  unsigned month = 0;
  unsigned day = 0;
  CivilFromDays(days - kDaysFrom1601To1970, &year, &month, &day);
  platform::CalendarTime t;
  t.year = static_cast<uint16_t>(year);
  t.month = static_cast<uint16_t>(month);
  t.day = static_cast<uint16_t>(day);
  t.dayOfWeek = static_cast<uint16_t>((days + 1) % 7);  // 1601-01-01 was a Monday
  t.hour = static_cast<uint16_t>(rest / (3600 * kTicksPerSecond));
  rest %= 3600 * kTicksPerSecond;
  t.minute = static_cast<uint16_t>(rest / (60 * kTicksPerSecond));
  rest %= 60 * kTicksPerSecond;
  t.second = static_cast<uint16_t>(rest / kTicksPerSecond);
  rest %= kTicksPerSecond;
  t.milliseconds = static_cast<uint16_t>(rest / kTicksPerMillisecond);
  return t;
}

}  // namespace

platform::CalendarTime CalendarTimeAfter(const platform::CalendarTime& now, double seconds) {
  const bool validNow = now.year >= 1601 && now.year <= kLastYear && now.month >= 1 &&
                        now.month <= 12 && now.day >= 1 && now.day <= 31 && now.hour < 24 &&
                        now.minute < 60 && now.second < 60 && now.milliseconds < 1000;
  if (!validNow || !std::isfinite(seconds) || seconds < 0) return now;
  const int64_t start = TicksOf(now);
  const int64_t end = TicksOf(platform::CalendarTime{kLastYear, 12, 0, 31, 23, 59, 59, 999});
  const double added = seconds * static_cast<double>(kTicksPerSecond);
  if (added >= static_cast<double>(end - start)) return now;
  return CalendarOf(start + static_cast<int64_t>(added));
}

bool IsEarlier(const platform::CalendarTime& a, const platform::CalendarTime& b) {
  return std::make_tuple(a.year, a.month, a.day, a.hour, a.minute, a.second, a.milliseconds) <
         std::make_tuple(b.year, b.month, b.day, b.hour, b.minute, b.second, b.milliseconds);
}

}  // namespace lumo
