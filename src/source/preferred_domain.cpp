#include "source/preferred_domain.h"

#include <deque>
#include <regex>

#include "base/worker_identity.h"
#include "base/log.h"
#include "platform/platform.h"
#include "source/http_text_request.h"
#include "source/request_report.h"
#include "telemetry/events.h"
#include "telemetry/reporter.h"

namespace lumo {
namespace {

const char kGlobalGameCode[] = "global";

const char kDomainPattern[] = "domain\":\"([^\"]*)\"";
const char kDomainKey[] = "domain\":\"";

// The regular expression engine recurses once per character of the value it captures, so a
// long value from the endpoint could exhaust the worker's stack. No host name is this long.
constexpr size_t kMaxDomainLength = 1024;

}  // namespace

PreferredDomain::PreferredDomain(const HttpTextRequest& http, std::string configUrl,
                                 const WorkerIdentity& identity, Reporter& reporter)
    : http_(http), configUrl_(std::move(configUrl)), identity_(identity), reporter_(reporter) {}

PreferredDomain::Match PreferredDomain::FindDomain(const std::string& body, std::string* domain) {
  // The first match starts at the first occurrence of the key text that has a quote somewhere
  // after it (any later occurrence holds quotes itself), and its value runs to the next quote.
  const size_t key = body.find(kDomainKey);
  if (key == std::string::npos) return Match::kNone;
  const size_t valueStart = key + sizeof kDomainKey - 1;
  const size_t valueEnd = body.find('"', valueStart);
  if (valueEnd == std::string::npos) return Match::kNone;
  if (valueEnd - valueStart > kMaxDomainLength) return Match::kTooLong;

  static const std::regex expression(kDomainPattern, std::regex::ECMAScript);
  std::smatch match;
  if (!std::regex_search(body, match, expression)) return Match::kNone;
  *domain = match[1].str();
  return Match::kFound;
}

std::vector<std::string> PreferredDomain::Reorder(const std::vector<std::string>& urls,
                                                  const std::string& domain) {
  std::deque<std::string> ordered;
  for (const std::string& url : urls) {
    if (url.find(domain) != std::string::npos) {
      ordered.push_front(url);
    } else {
      ordered.push_back(url);
    }
  }
  return std::vector<std::string>(ordered.begin(), ordered.end());
}

int32_t PreferredDomain::RequestPreferredDomain(std::string* domain) const {
  const std::string gameCode = identity_.GameCode();
  const std::string url = configUrl_ + (gameCode.empty() ? kGlobalGameCode : gameCode);
  std::string body;
  const int32_t status = http_.HttpGetText(&body, url);
  if (status < 0) return status;
  std::string found;
  switch (FindDomain(body, &found)) {
    case Match::kFound:
      *domain = found;
      WriteLog(LogLevel::kInfo, "Got preferred domain %s from %s", found.c_str(), url.c_str());
      break;
    case Match::kTooLong:
      WriteLog(LogLevel::kWarn, "Ignored an over-long preferred domain from %s", url.c_str());
      break;
    case Match::kNone:
      break;
  }
  return kZdlOk;
}

int32_t PreferredDomain::ApplyPreferredDomain(std::vector<std::string>* urls) const {
  std::string domain;
  const int32_t status = RequestPreferredDomain(&domain);
  if (domain.empty()) {
    ReportCdnPreferRequest(status, std::string(), urls->empty() ? std::string() : urls->front());
    return kZdlOk;
  }
  *urls = Reorder(*urls, domain);
  ReportCdnPreferRequest(status, domain, urls->empty() ? std::string() : urls->front());
  return status;
}

void PreferredDomain::ReportCdnPreferRequest(int32_t status, const std::string& domain,
                                             const std::string& firstUrl) const {
  ReportRequest(reporter_, identity_, kEventCdnPreferRequest, status, firstUrl, domain);
}

}  // namespace lumo
