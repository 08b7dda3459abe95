#include "download/url_helpers.h"

#include <cstdio>

namespace lumo {
namespace {

const char kCacheBusterFirst[] = "?t=";
const char kCacheBusterMore[] = "&t=";
const char16_t kUnnamed[] = u"unnamed";

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

WString FileNameFromUrl(const std::string& url) {
  WString name;
  const size_t slash = url.rfind('/');
  if (slash != std::string::npos) {
    std::string tail = url.substr(slash + 1);
    const size_t query = tail.find('?');
    if (query != std::string::npos) tail.erase(query);
    for (char byte : tail) {
      // Signed widening keeps the bytes as they were (no code page), as the names always were.
      const int16_t widened = static_cast<int16_t>(static_cast<signed char>(byte));
      name.push_back(static_cast<WChar>(static_cast<uint16_t>(widened)));
    }
  }
  if (name.empty()) {
    for (const char16_t* c = kUnnamed; *c != 0; ++c) name.push_back(static_cast<WChar>(*c));
  }
  return name;
}

}  // namespace lumo
