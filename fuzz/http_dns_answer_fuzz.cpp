// HTTP DNS answers as any server may send them: the parser keeps only well-formed IPv4
// addresses, the lifetime stays within its bounds, the expiry it gives is never before now, and
// every rewritten URL goes to the resolved address and nowhere else.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <set>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "machine/machine_identity.h"
#include "source/http_dns_answer.h"
#include "source/http_dns_record.h"
#include "source/resolved_address_download.h"

namespace {

// An independent reading of "four decimal numbers 0 to 255, no leading zeros".
bool ReferenceIPv4(const std::string& text) {
  std::vector<std::string> parts(1);
  for (char c : text) {
    if (c == '.') {
      parts.emplace_back();
    } else if (c >= '0' && c <= '9') {
      parts.back().push_back(c);
    } else {
      return false;
    }
  }
  if (parts.size() != 4) return false;
  for (const std::string& p : parts) {
    if (p.empty() || p.size() > 3 || (p.size() > 1 && p[0] == '0') || std::stoi(p) > 255) {
      return false;
    }
  }
  return true;
}

std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> fields;
  std::string current;
  for (char c : line) {
    if (c == ' ') {
      if (!current.empty()) fields.push_back(current);
      current.clear();
    } else {
      current.push_back(c);
    }
  }
  if (!current.empty()) fields.push_back(current);
  return fields;
}

void CheckParse(const std::string& body) {
  const lumo::HttpDnsAnswer answer = lumo::ParseHttpDnsAnswer(body);
  std::set<std::string> expected;
  size_t begin = 0;
  while (begin <= body.size()) {
    size_t end = body.find('\n', begin);
    if (end == std::string::npos) end = body.size();
    const std::vector<std::string> fields = Fields(body.substr(begin, end - begin));
    if (!fields.empty() && ReferenceIPv4(fields.front())) expected.insert(fields.front());
    begin = end + 1;
  }
  FUZZ_CHECK(answer.addresses == expected);
  for (const std::string& a : answer.addresses) FUZZ_CHECK(lumo::IsDottedQuadIPv4(a));
  FUZZ_CHECK(std::isfinite(answer.lifetimeSeconds));
  FUZZ_CHECK(answer.lifetimeSeconds >= 0);
  FUZZ_CHECK(answer.lifetimeSeconds <= lumo::HttpDnsAnswer::kMaxLifetimeSeconds);
}

lumo::platform::CalendarTime SomeTime(FuzzedDataProvider& input) {
  lumo::platform::CalendarTime t;
  t.year = input.ConsumeIntegralInRange<uint16_t>(1601, 30827);
  t.month = input.ConsumeIntegralInRange<uint16_t>(1, 12);
  static const uint16_t kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (t.year % 4 == 0 && t.year % 100 != 0) || t.year % 400 == 0;
  uint16_t days = kDays[t.month - 1];
  if (t.month == 2 && !leap) days = 28;
  t.day = input.ConsumeIntegralInRange<uint16_t>(1, days);
  t.hour = input.ConsumeIntegralInRange<uint16_t>(0, 23);
  t.minute = input.ConsumeIntegralInRange<uint16_t>(0, 59);
  t.second = input.ConsumeIntegralInRange<uint16_t>(0, 59);
  t.milliseconds = input.ConsumeIntegralInRange<uint16_t>(0, 999);
  return t;
}

void CheckExpiry(FuzzedDataProvider& input, double lifetime) {
  const lumo::platform::CalendarTime now = SomeTime(input);
  const lumo::platform::CalendarTime expiry = lumo::CalendarTimeAfter(now, lifetime);
  FUZZ_CHECK(!lumo::IsEarlier(expiry, now));
  FUZZ_CHECK(expiry.month >= 1 && expiry.month <= 12 && expiry.day >= 1 && expiry.day <= 31);
  FUZZ_CHECK(expiry.hour < 24 && expiry.minute < 60 && expiry.second < 60);
  FUZZ_CHECK(expiry.milliseconds < 1000 && expiry.dayOfWeek < 7);
}

void CheckRewrite(const std::vector<std::string>& urls, const std::string& cdnHost,
                  const lumo::HttpDnsAnswer& answer) {
  lumo::HttpDnsRecord record;
  record.addresses = answer.addresses;
  const std::vector<std::string> rewritten =
      lumo::ResolvedAddressDownload::RewriteUrlsForAddresses(urls, cdnHost, record);
  size_t onHost = 0;
  for (const std::string& url : urls) onHost += url.find(cdnHost) != std::string::npos;
  FUZZ_CHECK(rewritten.size() == onHost * record.addresses.size());
  size_t i = 0;
  for (const std::string& url : urls) {
    if (url.find(cdnHost) == std::string::npos) continue;
    const bool web = url.rfind("http://", 0) == 0 || url.rfind("https://", 0) == 0;
    for (const std::string& address : record.addresses) {
      const std::string& out = rewritten[i++];
      if (!web) {
        FUZZ_CHECK(out == url);
        continue;
      }
      // The request goes to the resolved address, whatever the source URL held.
      FUZZ_CHECK(lumo::UrlHost(out) == address);
      FUZZ_CHECK(out.size() == url.size() + address.size() + 1);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const std::string cdnHost = input.ConsumeRandomLengthString(32);
  std::vector<std::string> urls;
  const size_t count = input.ConsumeIntegralInRange<size_t>(0, 4);
  for (size_t i = 0; i < count; ++i) urls.push_back(input.ConsumeRandomLengthString(128));
  const bool checkTime = input.ConsumeBool();
  std::vector<uint8_t> timeBytes = input.ConsumeBytes<uint8_t>(16);
  const std::string body = input.ConsumeRemainingBytesAsString();

  CheckParse(body);
  const lumo::HttpDnsAnswer answer = lumo::ParseHttpDnsAnswer(body);
  if (checkTime) {
    FuzzedDataProvider timeInput(timeBytes.data(), timeBytes.size());
    CheckExpiry(timeInput, answer.lifetimeSeconds);
  }
  if (!cdnHost.empty()) CheckRewrite(urls, cdnHost, answer);
  return 0;
}
