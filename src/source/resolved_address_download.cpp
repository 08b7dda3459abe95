#include "source/resolved_address_download.h"

#include "download/download_worker.h"
#include "download/result_codes.h"
#include "download/worker_identity.h"
#include "module/download_job.h"
#include "module/log.h"
#include "source/http_dns_record.h"
#include "telemetry/events.h"
#include "telemetry/reporter.h"

namespace lumo {
namespace {

const char kLevelInfo[] = "INFO";
const char kByResolver[] = "Download by DNS resolver ";
const char kDownloaded[] = "DOWNLOADED";
const char kDownloadModeHttp[] = "HTTP";
const char kHttp[] = "http://";
const char kHttps[] = "https://";

constexpr int kAttemptsPerUrl = 2;

bool StartsWith(const std::string& text, const char* prefix, size_t length) {
  return text.compare(0, length, prefix) == 0;
}

}  // namespace

ResolvedAddressDownload::ResolvedAddressDownload(DownloadWorker& worker, std::string cdnHost,
                                                 const WorkerIdentity& identity, Reporter& reporter)
    : worker_(worker), cdnHost_(std::move(cdnHost)), identity_(identity), reporter_(reporter) {}

std::string ResolvedAddressDownload::RewriteUrlForAddress(const std::string& url,
                                                          const std::string& address) {
  if (StartsWith(url, kHttp, sizeof kHttp - 1)) {
    return kHttp + address + "/" + url.substr(sizeof kHttp - 1);
  }
  if (StartsWith(url, kHttps, sizeof kHttps - 1)) {
    return kHttps + address + "/" + url.substr(sizeof kHttps - 1);
  }
  return url;
}

std::vector<std::string> ResolvedAddressDownload::RewriteUrlsForAddresses(
    const std::vector<std::string>& urls, const std::string& cdnHost, const HttpDnsRecord& record) {
  std::vector<std::string> rewritten;
  for (const std::string& url : urls) {
    if (url.find(cdnHost) == std::string::npos) continue;
    for (const std::string& address : record.addresses) {
      rewritten.push_back(RewriteUrlForAddress(url, address));
    }
  }
  return rewritten;
}

DownloadResult ResolvedAddressDownload::DownloadByResolvedAddress(const HttpDnsRecord& record,
                                                                  const DownloadJob& job) {
  DownloadResult result;  // "Abort download" until an attempt is made
  const std::vector<std::string> urls = RewriteUrlsForAddresses(job.urls, cdnHost_, record);
  const WString saveDir = job.SaveDir();
  const WString fileName = job.FileName();
  for (const std::string& url : urls) {
    for (int attempt = 0; attempt < kAttemptsPerUrl; ++attempt) {
      if (!worker_.Running()) continue;
      result = worker_.TransferFromUrl(url, job.checksumFile, saveDir, fileName);
      ReportDnsDownload(result.code, url);
      if (result.code == kZdlResultSuccess || IsDiskFailure(result)) return result;
    }
  }
  return result;
}

void ResolvedAddressDownload::ReportDnsDownload(int32_t code, const std::string& url) {
  const std::string message = ResultMessage(code);
  FileDownloadEvent event;
  event.eventType = kEventFileDownloadDns;
  event.sid = identity_.Sid();
  event.gameCode = identity_.GameCode();
  event.clientVersion = identity_.ClientVersion();
  event.cdnUrl = url;
  event.downloadState = kDownloaded;
  event.downloadMode = kDownloadModeHttp;
  event.success = code == kZdlResultSuccess ? 1 : 0;
  event.msg = message;
  reporter_.Enqueue(event.ToForm());
  WriteLog(kLevelInfo, kByResolver + url + ", " + message);
}

}  // namespace lumo
