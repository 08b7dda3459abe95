#include "telemetry/form_encoding.h"

#include <cstdio>
#include <cstdlib>

#include "base/log.h"

namespace lumo {
namespace {

bool IsUnreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_' || c == '.' || c == '~';
}

}  // namespace

std::string UrlEncodeValue(const std::string& value) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(value.size() * 3);
  for (char ch : value) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (IsUnreserved(c)) {
      out.push_back(ch);
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0x0F]);
    }
  }
  return out;
}

std::string FormEncode(const std::map<std::string, std::string>& pairs) {
  std::string body;
  for (const auto& pair : pairs) {
    if (pair.first.empty() || pair.second.empty()) continue;
    if (!body.empty()) body.push_back('&');
    body += pair.first;
    body.push_back('=');
    body += UrlEncodeValue(pair.second);
  }
  return body;
}

std::string CurrentTimeTextFor(const platform::CalendarTime& local, int32_t biasMinutes) {
  // Whole hours only: a half-hour zone loses its minutes, and daylight saving is ignored.
  const int64_t offsetHours = -static_cast<int64_t>(biasMinutes) / 60;
  char zone[32];
  std::snprintf(zone, sizeof zone, "%c%02lld:00", offsetHours < 0 ? '-' : '+',
                static_cast<long long>(std::llabs(offsetHours)));
  return IsoSecondsText(local) + zone;
}

std::string CurrentTimeText() {
  return CurrentTimeTextFor(platform::LocalTimeNow(), platform::TimeZoneBiasMinutes());
}

}  // namespace lumo
