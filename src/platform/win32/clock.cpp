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

CalendarTime LocalTimeNow(int32_t* biasMinutes) {
  // One UTC reading turned into local time by the zone's rules for that moment; the bias is
  // their difference, so a daylight-saving switch can never fall between the two.
  SYSTEMTIME utc;
  GetSystemTime(&utc);
  SYSTEMTIME local;
  FILETIME utcFile, localFile;
  if (!SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local) ||
      !SystemTimeToFileTime(&utc, &utcFile) || !SystemTimeToFileTime(&local, &localFile)) {
    *biasMinutes = 0;
    return LocalTimeNow();
  }
  auto ticks = [](const FILETIME& t) {
    return static_cast<int64_t>((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
  };
  constexpr int64_t kTicksPerMinute = 600000000;  // 100 ns ticks
  *biasMinutes = static_cast<int32_t>((ticks(utcFile) - ticks(localFile)) / kTicksPerMinute);
  return FromSystemTime(local);
}

}  // namespace platform
}  // namespace lumo
