// Small text operations on URLs shared by the job driver, the checksum step and the text
// requests.
#pragma once

#include <string>

#include "platform/platform.h"

namespace lumo {

// Local time as 17 digits, YYYYMMDDhhmmssmmm.
std::string CompactTimestamp();
std::string CompactTimestampOf(const platform::CalendarTime& time);

// The URL with a time-stamp parameter: "&t=" when it holds a "?" anywhere, else "?t=".
std::string AddCacheBuster(const std::string& url);

}  // namespace lumo
