#include "source/http_dns_resolver.h"

#include <cstdio>

#include "base/worker_identity.h"
#include "base/log.h"
#include "source/http_dns_answer.h"
#include "source/http_text_request.h"
#include "source/request_report.h"
#include "telemetry/events.h"
#include "telemetry/reporter.h"

namespace lumo {
namespace {

constexpr size_t kLoggedFieldLength = 64;

// A server's text as a log line may hold it: control and non-ASCII bytes as \xNN, cut short.
std::string Printable(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size() && i < kLoggedFieldLength; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      out.push_back(static_cast<char>(c));
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      out += escaped;
    }
  }
  if (text.size() > kLoggedFieldLength) out += "...";
  return out;
}

}  // namespace

HttpDnsResolver::HttpDnsResolver(const HttpTextRequest& http, std::string queryPrefix,
                                 std::string cdnHost, const WorkerIdentity& identity,
                                 Reporter& reporter, Clock utcNow)
    : http_(http),
      queryPrefix_(std::move(queryPrefix)),
      cdnHost_(std::move(cdnHost)),
      identity_(identity),
      reporter_(reporter),
      utcNow_(std::move(utcNow)) {}

std::shared_ptr<const HttpDnsRecord> HttpDnsResolver::ResolveCdnHost() {
  std::shared_ptr<const HttpDnsRecord> cached;
  {
    MutexLock hold(cacheLock_);
    const auto found = dnsCache_.find(cdnHost_);
    if (found != dnsCache_.end()) cached = found->second;
  }
  if (cached && !IsEarlier(cached->expiry, utcNow_())) return cached;

  // The query takes up to a few seconds: it runs without the lock, so a reset from the host's
  // thread is never held up by it.
  std::shared_ptr<const HttpDnsRecord> fresh = QueryHttpDns();
  if (!fresh) return cached;  // a stale answer is better than none
  MutexLock hold(cacheLock_);
  dnsCache_[cdnHost_] = fresh;
  return fresh;
}

std::unique_ptr<HttpDnsRecord> HttpDnsResolver::QueryHttpDns() {
  const std::string url = queryPrefix_ + cdnHost_;
  std::string body;
  const int32_t status = http_.HttpGetText(&body, url);
  ReportDnsRequest(status, url, body);
  if (status < 0) return nullptr;

  const HttpDnsAnswer answer = ParseHttpDnsAnswer(body);
  if (answer.skipped > 0) {
    WriteLog(LogLevel::kWarn,
             "Ignored %llu entries of the HTTP DNS answer that are not IPv4 addresses, from %s, "
             "the first: %s",
             static_cast<unsigned long long>(answer.skipped), url.c_str(),
             Printable(answer.firstSkipped).c_str());
  }
  if (answer.addresses.empty()) return nullptr;
  std::unique_ptr<HttpDnsRecord> record(new HttpDnsRecord);
  record->addresses = answer.addresses;
  record->expiry = CalendarTimeAfter(utcNow_(), answer.lifetimeSeconds);
  return record;
}

void HttpDnsResolver::ReportDnsRequest(int32_t status, const std::string& url,
                                       const std::string& response) {
  const std::string msg =
      ReportRequest(reporter_, identity_, kEventDnsRequest, status, url, response);
  WriteLog(LogLevel::kInfo, "DNS request %s, %s", url.c_str(), msg.c_str());
}

void HttpDnsResolver::Clear() {
  std::map<std::string, std::shared_ptr<const HttpDnsRecord>> dropped;
  {
    MutexLock hold(cacheLock_);
    dropped.swap(dnsCache_);
  }
  // Records still in use elsewhere live on until their last user lets go.
}

}  // namespace lumo
