// The HTTP DNS look-up of the CDN host: a per-host cache of answers, the query of the outside
// service when a record is missing or stale, and the DNS_REQUEST report of every query.
//
// The worker thread looks records up; the host's thread may clear the cache at any time (a
// progress reset). The cache has its own lock, and records are shared and never changed, so a
// record handed out stays valid while its user holds it, whatever the cache does meanwhile.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "platform/mutex.h"
#include "platform/platform.h"
#include "source/http_dns_record.h"

namespace lumo {

class HttpTextRequest;
class Reporter;
class WorkerIdentity;

class HttpDnsResolver {
 public:
  using Clock = std::function<platform::CalendarTime()>;  // UTC now

  HttpDnsResolver(const HttpTextRequest& http, std::string queryPrefix, std::string cdnHost,
                  const WorkerIdentity& identity, Reporter& reporter,
                  Clock utcNow = platform::UtcTimeNow);

  // The cached record of the CDN host while it is fresh, else a fresh one from a query; a
  // stale record when the query fails. Null when there is none.
  std::shared_ptr<const HttpDnsRecord> ResolveCdnHost();
  // A new record for the CDN host, or null.
  std::unique_ptr<HttpDnsRecord> QueryHttpDns();
  void ReportDnsRequest(int32_t status, const std::string& url, const std::string& response);
  // Forgets every record (any thread).
  void Clear();

 private:
  const HttpTextRequest& http_;
  const std::string queryPrefix_;
  const std::string cdnHost_;
  const WorkerIdentity& identity_;
  Reporter& reporter_;
  const Clock utcNow_;

  Mutex cacheLock_;
  std::map<std::string, std::shared_ptr<const HttpDnsRecord>> dnsCache_ GUARDED_BY(cacheLock_);
};

}  // namespace lumo
