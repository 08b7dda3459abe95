#include "source/resolved_address_download.h"

#include "base/result_codes.h"
#include "base/worker_identity.h"
#include "base/download_job.h"
#include "base/log.h"
#include "source/http_dns_record.h"
#include "source/transfers.h"
#include "source/url_walk.h"
#include "telemetry/events.h"
#include "telemetry/reporter.h"

namespace lumo {
namespace {

const char kDownloaded[] = "DOWNLOADED";
const char kDownloadModeHttp[] = "HTTP";
const char kHttp[] = "http://";
const char kHttps[] = "https://";

bool StartsWith(const std::string& text, const char* prefix, size_t length) {
  return text.compare(0, length, prefix) == 0;
}

}  // namespace

ResolvedAddressDownload::ResolvedAddressDownload(Transfers& transfers, std::string cdnHost,
                                                 const WorkerIdentity& identity, Reporter& reporter)
    : transfers_(transfers), cdnHost_(std::move(cdnHost)), identity_(identity), reporter_(reporter) {}

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

WalkOutcome ResolvedAddressDownload::DownloadByResolvedAddress(const HttpDnsRecord& record,
                                                                  const DownloadJob& job) {
  const std::vector<std::string> urls = RewriteUrlsForAddresses(job.urls, cdnHost_, record);
  const WString saveDir = job.SaveDir();
  const WString fileName = job.FileName();
  const auto attempt = [&](const std::string& url) {
    const DownloadResult result = transfers_.TransferFromUrl(url, job.checksumFile, saveDir, fileName);
    ReportDnsDownload(result.code, url);
    return result;
  };
  return WalkUrls(urls, transfers_, attempt, JudgeDataFileAttempt);
}

void ResolvedAddressDownload::ReportDnsDownload(int32_t code, const std::string& url) {
  const std::string message = ResultMessage(code);
  FileDownloadEvent event;
  event.eventType = kEventFileDownloadDns;
  identity_.FillEvent(&event);
  event.cdnUrl = url;
  event.downloadState = kDownloaded;
  event.downloadMode = kDownloadModeHttp;
  event.success = code == kZdlResultSuccess ? 1 : 0;
  event.msg = message;
  reporter_.Enqueue(event.ToForm());
  WriteLog(LogLevel::kInfo, "Download by DNS resolver %s, %s", url.c_str(), message.c_str());
}

}  // namespace lumo
