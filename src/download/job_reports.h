// The telemetry and failure reports of the download job: RUNNING_EXCEPTION with its "ERROR"
// line, the FILE_DOWNLOAD milestones and the DOWNLOAD_STATISTICS sample. Events are built and
// encoded on the caller's thread and handed to the report sender.
#pragma once

#include <cstdint>
#include <string>

#include "base/worker_identity.h"
#include "platform/platform.h"

namespace lumo {

class Reporter;

// The values of one FILE_DOWNLOAD milestone that the monitor knows.
struct ProgressReport {
  std::string milestone;  // "START_DOWNLOAD", "DOWNLOADING", "DOWNLOADED", "DOWNLOADING_UNNORMAL"
  std::string downloadUuid;
  std::string url;
  WString saveDir;
  std::string fileName;  // the worker's file name text
  uint64_t totalBytes = 0;
  uint64_t downloadedBytes = 0;
  uint32_t averageSpeed = 0;
  uint32_t currentSpeed = 0;
  uint32_t maxSpeed = 0;
  uint32_t minSpeed = 0;
  uint32_t duration = 0;  // counted polls since the last window reset
};

class JobReports {
 public:
  JobReports(Reporter& reporter, const WorkerIdentity& identity);

  // RUNNING_EXCEPTION for a failure, then message at level "ERROR".
  void ReportException(uint32_t errorCode, const std::string& url, const WString& saveDir,
                       const std::string& fileName, const std::string& message,
                       const std::string& detail);
  // RUNNING_EXCEPTION of a transfer that found no progress record (no log line of its own).
  void ReportMissingRecord(const WString& saveDir, const std::string& fileName);
  void ReportProgress(const ProgressReport& progress);
  // "Statistics exception: " line at "WARN" and the DOWNLOAD_STATISTICS event.
  void ReportStatistics(const std::string& statisticsText);

 private:
  Reporter& reporter_;
  const WorkerIdentity& identity_;
};

}  // namespace lumo
