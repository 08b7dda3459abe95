// The form body of a telemetry event: URL-encoded key=value pairs in byte order of the keys.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "platform/platform.h"

namespace lumo {

// A value longer than this goes out cut (at a character boundary): answers and texts of
// servers end up in events, and a post must stay small whatever they hold.
constexpr size_t kMaxFormValueBytes = 2048;

// Pairs in key order, each "key=UrlEncodeValue(value)", joined by "&". A pair with an empty key
// or value is left out; nothing appended gives the empty text. Values are cut to
// kMaxFormValueBytes first.
std::string FormEncode(const std::map<std::string, std::string>& pairs);

// Byte-wise percent encoding: A-Z a-z 0-9 - _ . ~ stay, every other byte becomes %XX
// (upper-case hex; a space is %20, never "+").
std::string UrlEncodeValue(const std::string& value);

// Local time with the zone's offset in force, minutes included, e.g. "2024-05-01T12:34:56+05:30".
std::string CurrentTimeText();
// The same for a given local time and bias (UTC = local + bias, in minutes).
std::string CurrentTimeTextFor(const platform::CalendarTime& local, int32_t biasMinutes);

}  // namespace lumo
