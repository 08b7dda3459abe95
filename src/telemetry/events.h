// The five telemetry event records. Sites fill the caller fields; the record stamps its own
// time at construction, and ToForm adds the machine facts and encodes the form body.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace lumo {

// Event-type words, written once. kEventBizException is only the construction value of
// ExceptionEvent: EnqueueException replaces it before the record is encoded.
inline constexpr char kEventFileDownload[] = "FILE_DOWNLOAD";
inline constexpr char kEventFileDownloadDns[] = "FILE_DOWNLOAD_DNS";
inline constexpr char kEventDownloadStatistics[] = "DOWNLOAD_STATISTICS";
inline constexpr char kEventRunningException[] = "RUNNING_EXCEPTION";
inline constexpr char kEventModuleVersion[] = "MODULE_VERSION";
inline constexpr char kEventDnsRequest[] = "DNS_REQUEST";
inline constexpr char kEventCdnPreferRequest[] = "CDN_PREFER_REQUEST";
inline constexpr char kEventBizException[] = "BIZ_EXCEPTION";

using FormPairs = std::map<std::string, std::string>;

// One file download ("FILE_DOWNLOAD", or "FILE_DOWNLOAD_DNS" set by the site).
struct FileDownloadEvent {
  FileDownloadEvent();

  std::string sid;
  std::string gameCode;
  std::string clientVersion;
  std::string downloadUuid;
  std::string downloadState;
  std::string fileName;
  std::string eventType;
  std::string fileChecksum;  // no site fills it, so it never goes out
  std::string currentTime;
  std::string cdnUrl;
  std::string saveDir;  // UTF-8
  std::string driverBus;
  uint64_t fileSize = 0;
  uint64_t downloadedFileSize = 0;
  uint32_t downloadDuration = 0;
  uint32_t currentDownloadSpeed = 0;
  uint32_t averageDownloadSpeed = 0;
  uint32_t maxDownloadSpeed = 0;
  uint32_t minDownloadSpeed = 0;
  uint8_t success = 0;
  std::string downloadMode;
  std::string msg;

  // Every key of the body with its text value (machine facts included, empty ones kept).
  FormPairs ToPairs() const;
  std::string ToForm() const;
};

// "DOWNLOAD_STATISTICS".
struct StatisticsEvent {
  StatisticsEvent();

  std::string eventType;
  std::string sid;
  std::string gameCode;
  std::string currentTime;
  std::string statistics_msg;
  std::string clientVersion;

  FormPairs ToPairs() const;
  std::string ToForm() const;
};

// A failure; always sent as "RUNNING_EXCEPTION".
struct ExceptionEvent {
  ExceptionEvent();

  std::string exceptionMsg;
  std::string eventType;
  std::string gameCode;
  std::string sid;
  std::string cdnUrl;
  std::string saveDir;  // UTF-8
  std::string downloadFileName;
  std::string currentTime;
  std::string driverBus;
  std::string err;
  std::string errExtCode;     // decimal text, "0" when there is none
  std::string saveDirExists;  // "1" or "0"
  std::string clientVersion;

  FormPairs ToPairs() const;
  std::string ToForm() const;
};

// "MODULE_VERSION".
struct ModuleVersionEvent {
  ModuleVersionEvent();

  std::string eventType;
  std::string sid;
  std::string moduleName;
  std::string gameCode;
  std::string clientVersion;
  std::string currentTime;
  std::string version;
  std::string buildId;

  FormPairs ToPairs() const;
  std::string ToForm() const;
};

// One HTTP request of the module itself ("DNS_REQUEST", or "CDN_PREFER_REQUEST").
struct RequestEvent {
  RequestEvent();

  std::string eventType;
  std::string sid;
  std::string gameCode;
  std::string clientVersion;
  std::string currentTime;
  std::string url;
  std::string msg;
  std::string response;
  uint8_t success = 0;

  FormPairs ToPairs() const;
  std::string ToForm() const;
};

}  // namespace lumo
