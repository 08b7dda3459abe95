// The form body of a telemetry event: URL-encoded key=value pairs in byte order of the keys.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "platform/platform.h"

namespace lumo {

// Pairs in key order, each "key=UrlEncodeValue(value)", joined by "&". A pair with an empty key
// or value is left out; nothing appended gives the empty text.
std::string FormEncode(const std::map<std::string, std::string>& pairs);

// Byte-wise percent encoding: A-Z a-z 0-9 - _ . ~ stay, every other byte becomes %XX
// (upper-case hex; a space is %20, never "+").
std::string UrlEncodeValue(const std::string& value);

// Local time with the zone's whole-hour offset, e.g. "2024-05-01T12:34:56+08:00".
std::string CurrentTimeText();
// The same for a given local time and base bias (UTC = local + bias, in minutes).
std::string CurrentTimeTextFor(const platform::CalendarTime& local, int32_t biasMinutes);

}  // namespace lumo
