// Local and UTC calendar time and the time-zone bias on Windows.
#include "platform/platform.h"
#include "platform/win32/win_headers.h"

namespace lumo {
namespace platform {
namespace {

CalendarTime FromSystemTime(const SYSTEMTIME& time) {
  CalendarTime out;
  out.year = time.wYear;
  out.month = time.wMonth;
  out.dayOfWeek = time.wDayOfWeek;
  out.day = time.wDay;
  out.hour = time.wHour;
  out.minute = time.wMinute;
  out.second = time.wSecond;
  out.milliseconds = time.wMilliseconds;
  return out;
}

}  // namespace

CalendarTime LocalTimeNow() {
  SYSTEMTIME time;
  GetLocalTime(&time);
  return FromSystemTime(time);
}

CalendarTime UtcTimeNow() {
  SYSTEMTIME time;
  GetSystemTime(&time);
  return FromSystemTime(time);
}

int32_t TimeZoneBiasMinutes() {
  TIME_ZONE_INFORMATION zone;
  if (GetTimeZoneInformation(&zone) == TIME_ZONE_ID_INVALID) return 0;
  return static_cast<int32_t>(zone.Bias);
}

}  // namespace platform
}  // namespace lumo
