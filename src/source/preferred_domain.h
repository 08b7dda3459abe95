// The preferred CDN domain: asks the CDN configuration endpoint which domain the game should
// use and moves the job's URLs of that domain to the front. Never removes a URL and never
// fails the job; every request is reported with a CDN_PREFER_REQUEST event.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace lumo {

class HttpTextRequest;
class Reporter;
class WorkerIdentity;

class PreferredDomain {
 public:
  PreferredDomain(const HttpTextRequest& http, std::string configUrl,
                  const WorkerIdentity& identity, Reporter& reporter);

  // Reorders urls for the preferred domain, if one is found, and reports the request. 0 when
  // no domain was found, else the request's status (0).
  int32_t ApplyPreferredDomain(std::vector<std::string>* urls) const;
  // Writes domain only on a match. 0 when the endpoint answered (with or without a domain),
  // else the failed request's status.
  int32_t RequestPreferredDomain(std::string* domain) const;
  void ReportCdnPreferRequest(int32_t status, const std::string& domain,
                              const std::string& firstUrl) const;

  enum class Match { kNone, kFound, kTooLong };
  // The value of the first key that ends in "domain" followed directly by ":" and a quoted
  // value (a text search, not JSON), written to domain on kFound. kTooLong: a value longer
  // than any host name, left alone.
  static Match FindDomain(const std::string& body, std::string* domain);
  // URLs that contain domain come first, in the reverse of their old order; the others follow
  // in their old order.
  static std::vector<std::string> Reorder(const std::vector<std::string>& urls,
                                          const std::string& domain);

 private:
  const HttpTextRequest& http_;
  const std::string configUrl_;
  const WorkerIdentity& identity_;
  Reporter& reporter_;
};

}  // namespace lumo
