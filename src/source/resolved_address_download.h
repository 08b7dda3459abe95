// Download by resolved address: the job's URLs on the CDN host rewritten to point at each
// address of an HTTP DNS record in turn, tried two times each, every attempt reported with a
// FILE_DOWNLOAD_DNS event. The last try of a job whose URLs all failed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/download_result.h"
#include "source/url_walk.h"

namespace lumo {

class Reporter;
class Transfers;
class WorkerIdentity;
struct DownloadJob;
struct HttpDnsRecord;

class ResolvedAddressDownload {
 public:
  ResolvedAddressDownload(Transfers& transfers, std::string cdnHost,
                          const WorkerIdentity& identity, Reporter& reporter);

  // The job's file over the rewritten URLs (worker thread); outcome.attempted is false when no
  // URL was on the CDN host (or the driver stopped), and outcome.last then means nothing.
  WalkOutcome DownloadByResolvedAddress(const HttpDnsRecord& record, const DownloadJob& job);
  // FILE_DOWNLOAD_DNS for one attempt, and its "INFO" line.
  void ReportDnsDownload(int32_t code, const std::string& url);

  // Each URL that contains cdnHost once per address, in the record's order; others dropped.
  static std::vector<std::string> RewriteUrlsForAddresses(const std::vector<std::string>& urls,
                                                          const std::string& cdnHost,
                                                          const HttpDnsRecord& record);
  // http://host/path becomes http://address/host/path (https likewise); other URLs unchanged.
  static std::string RewriteUrlForAddress(const std::string& url, const std::string& address);

 private:
  Transfers& transfers_;
  const std::string cdnHost_;
  const WorkerIdentity& identity_;
  Reporter& reporter_;
};

}  // namespace lumo
