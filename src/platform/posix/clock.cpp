// Local and UTC calendar time and the time-zone bias on Linux.
#include <time.h>

#include "platform/platform.h"

namespace lumo {
namespace platform {
namespace {

CalendarTime FromTm(const struct tm& fields, long nanoseconds) {
  CalendarTime time;
  time.year = static_cast<uint16_t>(fields.tm_year + 1900);
  time.month = static_cast<uint16_t>(fields.tm_mon + 1);
  time.dayOfWeek = static_cast<uint16_t>(fields.tm_wday);
  time.day = static_cast<uint16_t>(fields.tm_mday);
  time.hour = static_cast<uint16_t>(fields.tm_hour);
  time.minute = static_cast<uint16_t>(fields.tm_min);
  // A leap second (60) has no SYSTEMTIME form.
  time.second = static_cast<uint16_t>(fields.tm_sec > 59 ? 59 : fields.tm_sec);
  time.milliseconds = static_cast<uint16_t>(nanoseconds / 1000000);
  return time;
}

}  // namespace

CalendarTime LocalTimeNow() {
  struct timespec now {};
  clock_gettime(CLOCK_REALTIME, &now);
  struct tm fields {};
  if (localtime_r(&now.tv_sec, &fields) == nullptr) return CalendarTime();
  return FromTm(fields, now.tv_nsec);
}

CalendarTime UtcTimeNow() {
  struct timespec now {};
  clock_gettime(CLOCK_REALTIME, &now);
  struct tm fields {};
  if (gmtime_r(&now.tv_sec, &fields) == nullptr) return CalendarTime();
  return FromTm(fields, now.tv_nsec);
}

int32_t TimeZoneBiasMinutes() {
  // The standard-time offset: the current one unless daylight saving is in force, else the
  // one of whichever of January and July is outside daylight saving this year.
  time_t now = time(nullptr);
  struct tm fields {};
  if (localtime_r(&now, &fields) == nullptr) return 0;
  if (fields.tm_isdst <= 0) return static_cast<int32_t>(-fields.tm_gmtoff / 60);
  long fallback = fields.tm_gmtoff;  // all-year daylight saving: the smallest offset seen
  const int year = fields.tm_year;
  for (int month : {0, 6}) {
    struct tm probe {};
    probe.tm_year = year;
    probe.tm_mon = month;
    probe.tm_mday = 1;
    probe.tm_hour = 12;
    probe.tm_isdst = -1;
    time_t when = mktime(&probe);
    struct tm resolved {};
    if (when == static_cast<time_t>(-1) || localtime_r(&when, &resolved) == nullptr) continue;
    if (resolved.tm_isdst == 0) return static_cast<int32_t>(-resolved.tm_gmtoff / 60);
    if (resolved.tm_gmtoff < fallback) fallback = resolved.tm_gmtoff;
  }
  return static_cast<int32_t>(-fallback / 60);
}

}  // namespace platform
}  // namespace lumo
