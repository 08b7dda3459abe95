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

// The name a URL implies: the text after its last "/", cut at its first "?", each byte widened
// as a signed 8-bit value (0x80..0xFF become 0xFF80..0xFFFF, no code-page conversion);
// "unnamed" when that leaves nothing.
WString FileNameFromUrl(const std::string& url);

}  // namespace lumo
