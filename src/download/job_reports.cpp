#include "download/job_reports.h"

#include "machine/storage_bus.h"
#include "base/text_conversion.h"
#include "base/log.h"
#include "telemetry/events.h"
#include "telemetry/reporter.h"

namespace lumo {
namespace {

const char kMissingRecordMessage[] = "Cannot get Downloading File Object.";
const char kMissingRecordDetail[] = "Incorrect Download File Object";
const char kDownloadModeHttp[] = "HTTP";

// The fields every exception report fills from the save directory.
void FillSaveDir(const WString& saveDir, ExceptionEvent* event) {
  WideToUtf8(saveDir, &event->saveDir);
  event->driverBus = GetStorageBusType(saveDir.c_str());
  event->saveDirExists = platform::IsDirectory(saveDir) ? "1" : "0";
}

}  // namespace

JobReports::JobReports(Reporter& reporter, const WorkerIdentity& identity)
    : reporter_(reporter), identity_(identity) {}

void JobReports::ReportException(uint32_t errorCode, const std::string& url, const WString& saveDir,
                                 const std::string& fileName, const std::string& message,
                                 const std::string& detail) {
  ExceptionEvent event;
  event.exceptionMsg = message;
  event.err = detail;
  event.errExtCode = std::to_string(errorCode);
  event.cdnUrl = url;
  event.downloadFileName = fileName;
  FillSaveDir(saveDir, &event);
  identity_.FillEvent(&event);
  reporter_.EnqueueException(std::move(event));
  WriteLog(LogLevel::kError, "%s", message.c_str());
}

void JobReports::ReportMissingRecord(const WString& saveDir, const std::string& fileName) {
  ExceptionEvent event;
  event.exceptionMsg = kMissingRecordMessage;
  event.err = kMissingRecordDetail;
  event.errExtCode = "0";
  event.downloadFileName = fileName;
  FillSaveDir(saveDir, &event);
  identity_.FillEvent(&event);
  reporter_.EnqueueException(std::move(event));
}

void JobReports::ReportProgress(const ProgressReport& progress) {
  FileDownloadEvent event;
  event.downloadState = progress.milestone;
  event.downloadUuid = progress.downloadUuid;
  event.fileName = progress.fileName;
  event.cdnUrl = progress.url;
  event.fileSize = progress.totalBytes;
  event.downloadedFileSize = progress.downloadedBytes;
  event.downloadDuration = progress.duration;
  event.currentDownloadSpeed = progress.currentSpeed;
  event.averageDownloadSpeed = progress.averageSpeed;
  event.maxDownloadSpeed = progress.maxSpeed;
  event.minDownloadSpeed = progress.minSpeed;
  event.success = 1;
  event.downloadMode = kDownloadModeHttp;
  WideToUtf8(progress.saveDir, &event.saveDir);
  event.driverBus = GetStorageBusType(progress.saveDir.c_str());
  identity_.FillEvent(&event);
  reporter_.Enqueue(event.ToForm());
}

void JobReports::ReportStatistics(const std::string& statisticsText) {
  WriteLog(LogLevel::kWarn, "Statistics exception: %s", statisticsText.c_str());
  StatisticsEvent event;
  event.statistics_msg = statisticsText;
  identity_.FillEvent(&event);
  reporter_.EnqueueStatistics(std::move(event));
}

}  // namespace lumo
