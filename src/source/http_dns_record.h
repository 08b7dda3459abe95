// The HTTP DNS answer for one host as the cache keeps it, and the calendar arithmetic of its
// expiry (UTC calendar fields, as the Windows system time structure has them).
#pragma once

#include <set>
#include <string>

#include "platform/platform.h"

namespace lumo {

struct HttpDnsRecord {
  platform::CalendarTime expiry;    // UTC; stale once this is earlier than now
  std::set<std::string> addresses;  // unique, ascending byte order
};

// now + seconds, computed on the 100-nanosecond scale and converted back (sub-millisecond
// parts are cut off); the day of the week is recomputed. seconds must be finite and not
// negative; values that would leave the calendar range give now unchanged.
platform::CalendarTime CalendarTimeAfter(const platform::CalendarTime& now, double seconds);
// Field by field from the year down to the millisecond; the day of the week takes no part.
bool IsEarlier(const platform::CalendarTime& a, const platform::CalendarTime& b);

}  // namespace lumo
