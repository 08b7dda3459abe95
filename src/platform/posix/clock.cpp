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

CalendarTime LocalTimeNow(int32_t* biasMinutes) {
  struct timespec now {};
  clock_gettime(CLOCK_REALTIME, &now);
  struct tm fields {};
  if (localtime_r(&now.tv_sec, &fields) == nullptr) {
    *biasMinutes = 0;
    return CalendarTime();
  }
  *biasMinutes = static_cast<int32_t>(-fields.tm_gmtoff / 60);
  return FromTm(fields, now.tv_nsec);
}

}  // namespace platform
}  // namespace lumo
