#include "telemetry/events.h"

#include "machine/machine_identity.h"
#include "telemetry/form_encoding.h"

namespace lumo {
namespace {

std::string Decimal(uint64_t value) { return std::to_string(value); }
std::string Flag(uint8_t value) { return std::to_string(static_cast<int>(value)); }

// The one machine fill: every record carries the MAC address; those about a transfer also the
// host name and the local address.
enum class MachineFacts { kMacOnly, kWithHost };
void AddMachineFacts(FormPairs* pairs, MachineFacts which) {
  if (which == MachineFacts::kWithHost) {
    (*pairs)["hostName"] = GetHostName();
    (*pairs)["localIp"] = GetLocalIp();
  }
  (*pairs)["macAddress"] = GetMacAddress();
}

}  // namespace

FileDownloadEvent::FileDownloadEvent()
    : eventType(kEventFileDownload), currentTime(CurrentTimeText()) {}

FormPairs FileDownloadEvent::ToPairs() const {
  FormPairs pairs;
  pairs["averageDownloadSpeed"] = Decimal(averageDownloadSpeed);
  pairs["cdnIps"] = CdnAddressList(cdnUrl);
  pairs["cdnUrl"] = cdnUrl;
  pairs["clientVersion"] = clientVersion;
  pairs["currentDownloadSpeed"] = Decimal(currentDownloadSpeed);
  pairs["currentTime"] = currentTime;
  pairs["downloadDuration"] = Decimal(downloadDuration);
  pairs["downloadMode"] = downloadMode;
  pairs["downloadState"] = downloadState;
  pairs["downloadUuid"] = downloadUuid;
  pairs["downloadedFileSize"] = Decimal(downloadedFileSize);
  pairs["driverBus"] = driverBus;
  pairs["eventType"] = eventType;
  pairs["fileChecksum"] = fileChecksum;
  pairs["fileName"] = fileName;
  pairs["fileSize"] = Decimal(fileSize);
  pairs["gameCode"] = gameCode;
  AddMachineFacts(&pairs, MachineFacts::kWithHost);
  pairs["maxDownloadSpeed"] = Decimal(maxDownloadSpeed);
  pairs["minDownloadSpeed"] = Decimal(minDownloadSpeed);
  pairs["msg"] = msg;
  pairs["saveDir"] = saveDir;
  pairs["sid"] = sid;
  pairs["success"] = Flag(success);
  return pairs;
}

std::string FileDownloadEvent::ToForm() const { return FormEncode(ToPairs()); }

StatisticsEvent::StatisticsEvent()
    : eventType(kEventDownloadStatistics), currentTime(CurrentTimeText()) {}

FormPairs StatisticsEvent::ToPairs() const {
  FormPairs pairs;
  pairs["clientVersion"] = clientVersion;
  pairs["currentTime"] = currentTime;
  pairs["eventType"] = eventType;
  pairs["gameCode"] = gameCode;
  AddMachineFacts(&pairs, MachineFacts::kMacOnly);
  pairs["sid"] = sid;
  pairs["statistics_msg"] = statistics_msg;
  return pairs;
}

std::string StatisticsEvent::ToForm() const { return FormEncode(ToPairs()); }

ExceptionEvent::ExceptionEvent() : eventType(kEventBizException), currentTime(CurrentTimeText()) {}

FormPairs ExceptionEvent::ToPairs() const {
  FormPairs pairs;
  pairs["cdnIps"] = CdnAddressList(cdnUrl);
  pairs["cdnUrl"] = cdnUrl;
  pairs["clientVersion"] = clientVersion;
  pairs["currentTime"] = currentTime;
  pairs["downloadFileName"] = downloadFileName;
  pairs["driverBus"] = driverBus;
  pairs["err"] = err;
  pairs["errExtCode"] = errExtCode;
  pairs["eventType"] = eventType;
  pairs["exceptionMsg"] = exceptionMsg;
  pairs["gameCode"] = gameCode;
  AddMachineFacts(&pairs, MachineFacts::kWithHost);
  pairs["saveDir"] = saveDir;
  pairs["saveDirExists"] = saveDirExists;
  pairs["sid"] = sid;
  return pairs;
}

std::string ExceptionEvent::ToForm() const { return FormEncode(ToPairs()); }

ModuleVersionEvent::ModuleVersionEvent()
    : eventType(kEventModuleVersion), currentTime(CurrentTimeText()) {}

FormPairs ModuleVersionEvent::ToPairs() const {
  FormPairs pairs;
  pairs["buildId"] = buildId;
  pairs["clientVersion"] = clientVersion;
  pairs["currentTime"] = currentTime;
  pairs["eventType"] = eventType;
  pairs["gameCode"] = gameCode;
  AddMachineFacts(&pairs, MachineFacts::kMacOnly);
  pairs["moduleName"] = moduleName;
  pairs["sid"] = sid;
  pairs["version"] = version;
  return pairs;
}

std::string ModuleVersionEvent::ToForm() const { return FormEncode(ToPairs()); }

RequestEvent::RequestEvent() : eventType(kEventDnsRequest), currentTime(CurrentTimeText()) {}

FormPairs RequestEvent::ToPairs() const {
  FormPairs pairs;
  pairs["clientVersion"] = clientVersion;
  pairs["currentTime"] = currentTime;
  pairs["eventType"] = eventType;
  pairs["gameCode"] = gameCode;
  AddMachineFacts(&pairs, MachineFacts::kMacOnly);
  pairs["msg"] = msg;
  pairs["response"] = response;
  pairs["sid"] = sid;
  pairs["success"] = Flag(success);
  pairs["url"] = url;
  return pairs;
}

std::string RequestEvent::ToForm() const { return FormEncode(ToPairs()); }

}  // namespace lumo
