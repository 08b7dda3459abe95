#include "base/url_helpers.h"

#include <cstdio>

namespace lumo {
namespace {

const char kCacheBusterFirst[] = "?t=";
const char kCacheBusterMore[] = "&t=";

}  // namespace

std::string CompactTimestampOf(const platform::CalendarTime& t) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%04u%02u%02u%02u%02u%02u%03u", unsigned{t.year},
                unsigned{t.month}, unsigned{t.day}, unsigned{t.hour}, unsigned{t.minute},
                unsigned{t.second}, unsigned{t.milliseconds});
  return buffer;
}

std::string CompactTimestamp() { return CompactTimestampOf(platform::LocalTimeNow()); }

std::string AddCacheBuster(const std::string& url) {
  const char* joint = url.find('?') != std::string::npos ? kCacheBusterMore : kCacheBusterFirst;
  return url + joint + CompactTimestamp();
}

}  // namespace lumo
