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

// A value cut to at most limit bytes, not inside a UTF-8 sequence.
std::string CutValue(const std::string& value, size_t limit) {
  if (value.size() <= limit) return value;
  size_t end = limit;
  // Back over continuation bytes (at most three) to the start of the character cut in two.
  for (int back = 0; back < 3 && end > 0 && (static_cast<unsigned char>(value[end]) & 0xC0) == 0x80;
       ++back) {
    --end;
  }
  return value.substr(0, end);
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
    body += UrlEncodeValue(CutValue(pair.second, kMaxFormValueBytes));
  }
  return body;
}

std::string CurrentTimeTextFor(const platform::CalendarTime& local, int32_t biasMinutes) {
  const int64_t offsetMinutes = -static_cast<int64_t>(biasMinutes);
  const long long magnitude = std::llabs(offsetMinutes);
  char zone[32];
  std::snprintf(zone, sizeof zone, "%c%02lld:%02lld", offsetMinutes < 0 ? '-' : '+', magnitude / 60,
                magnitude % 60);
  return IsoSecondsText(local) + zone;
}

std::string CurrentTimeText() {
  int32_t biasMinutes = 0;
  const platform::CalendarTime local = platform::LocalTimeNow(&biasMinutes);
  return CurrentTimeTextFor(local, biasMinutes);
}

}  // namespace lumo
