#include "download/transfer_monitor.h"

#include <algorithm>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "download/current_session.h"
#include "download/file_records.h"
#include "download/job_reports.h"
#include "base/result_codes.h"
#include "download/session_status.h"
#include "machine/machine_identity.h"
#include "machine/storage_bus.h"
#include "base/text_conversion.h"
#include "download/job_queue.h"
#include "base/log.h"
#include "base/option_store.h"
#include "base/poll_until_done.h"
#include "source/checksum_step.h"

namespace lumo {
namespace {

const char kStallDetail[] = "Active abort";

const char kMilestoneStart[] = "START_DOWNLOAD";
const char kMilestoneDownloading[] = "DOWNLOADING";
const char kMilestoneDownloaded[] = "DOWNLOADED";
const char kMilestoneUnnormal[] = "DOWNLOADING_UNNORMAL";

constexpr uint32_t kNoMinSpeed = 0xFFFFFFFFu;
// Engine option 2 as a one-byte true: the checksum file always starts from zero.
constexpr uint8_t kOptionTrue = 1;

bool IsFinalStatus(int32_t status) {
  return status == kZdlStatusDownloaded || status == kZdlStatusError;
}

SessionPoll PollSession(IZDownloadSession* session) {
  SessionPoll poll;
  session->GetStatus(&poll.status, &poll.total, &poll.downloaded, &poll.averageSpeed,
                     &poll.currentSpeed);
  return poll;
}

std::string Utf8(const WString& text) {
  std::string out;
  WideToUtf8(text, &out);
  return out;
}

std::string CreateFailureText(const std::string& url, int32_t status, const WString& saveDir,
                              bool sessionValid) {
  return FormatText(
      "Create session failed by ZDownloadLoader, the current url is %s, HRESULT = %s, "
      "DriverBus = %s, SessionValid = %d",
      url.c_str(), platform::SystemErrorText(status).c_str(),
      GetStorageBusType(saveDir.c_str()).c_str(), sessionValid ? 1 : 0);
}

std::string StartFailureText(const std::string& url, int32_t status, const WString& saveDir) {
  return FormatText(
      "Start download session failed, the current url is %s, HRESULT = %s DriverBus:%s",
      url.c_str(), platform::SystemErrorText(status).c_str(),
      GetStorageBusType(saveDir.c_str()).c_str());
}

std::string StallText(uint32_t stallPolls, int32_t status) {
  return FormatText("Active abort because no data received during %uS, current status: %d",
                    stallPolls, status);
}

std::string FailureText(const std::string& url, int32_t result, int32_t extendedCode) {
  return FormatText("Download file failed from %s, %s,%u", url.c_str(),
                    ResultMessage(result).c_str(), static_cast<uint32_t>(extendedCode));
}

// What the engine knows about a failure beyond its codes (a certificate's reason, say); empty
// when it says nothing.
std::string FailureDetail(IZDownloadSession* session) {
  constexpr uint32_t kMaxDetailBytes = 4096;
  uint32_t size = 0;
  session->GetOption(kZdlOptionFailureDetail, nullptr, &size);
  if (size == 0 || size > kMaxDetailBytes) return std::string();
  std::string detail(size, '\0');
  if (session->GetOption(kZdlOptionFailureDetail, &detail[0], &size) < 0) return std::string();
  detail.resize(std::min<size_t>(size, detail.size()));
  return detail;
}

// The speed window between two milestones.
struct SpeedWindow {
  uint32_t maxSpeed = 0;
  uint32_t minSpeed = kNoMinSpeed;
  uint32_t since = 0;  // pollCount at the last reset

  void Note(uint32_t currentSpeed) {
    if (currentSpeed > maxSpeed) maxSpeed = currentSpeed;
    if (currentSpeed != 0 && currentSpeed < minSpeed) minSpeed = currentSpeed;
  }
  void Reset(uint32_t pollCount) {
    maxSpeed = 0;
    minSpeed = kNoMinSpeed;
    since = pollCount;
  }
};

}  // namespace

TransferMonitor::TransferMonitor(const Timing& timing, IZDownloadService* downloads,
                                 CurrentSession& current, FileRecords& records, JobReports& reports,
                                 const OptionStore& options, const std::atomic<bool>& running,
                                 const Signal& quit)
    : timing_(timing),
      downloads_(downloads),
      current_(current),
      records_(records),
      reports_(reports),
      options_(options),
      running_(running),
      quit_(quit) {}

bool TransferMonitor::NextCountedPoll(SessionHold& session, SessionPoll* poll) const {
  const PollSchedule schedule{timing_.sessionPoll, timing_.sessionLook, 1, false};
  const PollEnd end = PollUntilDone(
      schedule, [&session](PollClock::time_point at) { return session.WaitUntil(at); },
      [&] {
        *poll = PollSession(session.Get());
        return IsFinalStatus(poll->status);
      });
  return end != PollEnd::kCutShort;
}

DownloadResult TransferMonitor::ResultAfterPolls(IZDownloadSession* session) const {
  if (quit_.IsRaised()) {
    // The quit is raised already, so these looks sleep plainly: 100 of them, 10 ms apart.
    const PollSchedule settle{std::chrono::milliseconds(10), std::chrono::milliseconds(10), 100,
                              true};
    const PollEnd end = PollUntilDone(
        settle,
        [](PollClock::time_point at) {
          std::this_thread::sleep_until(at);
          return true;
        },
        [session] { return IsFinalStatus(PollSession(session).status); });
    if (end != PollEnd::kDone) return DownloadResult{kZdlResultAborted, 0};
  }
  DownloadResult result{kZdlResultGeneral, 0};
  session->GetResult(&result.code, &result.extendedCode);
  return result;
}

bool TransferMonitor::OpenSession(SessionHold& session, const std::string& url,
                                  const WChar* checksumPath, const WString& saveDir,
                                  const WString& fileName, const std::string& reportName,
                                  const std::function<void(IZDownloadSession*)>& configure) {
  const int32_t created = downloads_->CreateSession(url.c_str(), checksumPath, saveDir.c_str(),
                                                    fileName.c_str(), session.Slot());
  if (created < 0 || session.Get() == nullptr) {
    // An object handed back despite the failure is still ours to release.
    const bool sessionValid = session.Get() != nullptr;
    session.Release();
    reports_.ReportException(0, url, saveDir, reportName,
                             CreateFailureText(url, created, saveDir, sessionValid),
                             platform::SystemErrorText(created));
    return false;
  }
  session.Publish();
  configure(session.Get());
  const int32_t started = session.Get()->Start();
  if (started < 0) {
    session.Release();
    reports_.ReportException(0, url, saveDir, reportName, StartFailureText(url, started, saveDir),
                             platform::SystemErrorText(started));
    return false;
  }
  session.WatchEnd();
  return true;
}

bool TransferMonitor::CheckStall(IZDownloadSession* session, uint32_t pollCount,
                                 const SessionPoll& poll, uint64_t* stallMark,
                                 const std::string& url, const WString& saveDir,
                                 const std::string& fileNameText) {
  if (pollCount == 0 || pollCount % timing_.stallPolls != 0) return false;
  const bool stalled = poll.downloaded == *stallMark;
  if (stalled) {
    session->Abort();
    reports_.ReportException(0, url, saveDir, fileNameText,
                             StallText(timing_.stallPolls, poll.status), kStallDetail);
  }
  *stallMark = poll.downloaded;
  return stalled;
}

void TransferMonitor::LogOutcome(const DownloadResult& result, const std::string& url,
                                 const WString& saveDir, const std::string& fileNameText,
                                 const std::string& detail) {
  std::string failure = FailureText(url, result.code, result.extendedCode);
  if (!detail.empty()) failure += ", " + detail;
  if (result.code == kZdlResultSuccess) {
    WriteLog(LogLevel::kInfo, "Download file success from %s.", url.c_str());
  } else if (result.code == kZdlResultAborted ||
             (result.code == kZdlResultFileSystem && !running_.load())) {
    // The host's pause or stop, or our own stall abort (already reported): not a failure.
    WriteLog(LogLevel::kInfo, "%s", failure.c_str());
  } else {
    reports_.ReportException(static_cast<uint32_t>(result.extendedCode), url, saveDir, fileNameText,
                             failure, detail.empty() ? ResultMessage(result.code) : detail);
  }
}

DownloadResult TransferMonitor::TransferFromUrl(const std::string& url, const WString& checksumPath,
                                                const WString& saveDir, const WString& fileName,
                                                const TransferTarget& target) {
  WriteLog(LogLevel::kInfo, "Start to download file from %s.", url.c_str());
  std::string downloadUuid;
  NewGuidText(&downloadUuid);

  SessionHold session(current_, quit_);
  auto applyHostOptions = [this](IZDownloadSession* s) {
    options_.ForEachEngineOption([s](int32_t engineId, const std::vector<uint8_t>& value) {
      s->SetOption(engineId, value.empty() ? nullptr : value.data(),
                   static_cast<uint32_t>(value.size()));
    });
  };
  if (!OpenSession(session, url, checksumPath.c_str(), saveDir, fileName, target.fileNameText,
                   applyHostOptions)) {
    return DownloadResult{kZdlResultGeneral, 0};
  }

  const std::string& key = target.recordKey;
  if (key.empty()) {
    session.Release();
    reports_.ReportMissingRecord(saveDir, target.fileNameText);
    WriteLog(LogLevel::kError, "Download failed from %s, cannot get valid LUMODOWNLOAD_FILE.",
             url.c_str());
    return DownloadResult{kZdlResultGeneral, 0};
  }
  records_.Edit(key, [](LUMODOWNLOAD_FILE&) {});  // back again if a reset removed it

  WriteLog(LogLevel::kInfo, "Start Zdl session with %s,%s, %s,%s", url.c_str(),
           Utf8(checksumPath).c_str(), target.saveDirText.c_str(), Utf8(fileName).c_str());

  ProgressReport progress;
  progress.downloadUuid = downloadUuid;
  progress.url = url;
  progress.saveDir = saveDir;
  progress.fileName = target.fileNameText;
  auto report = [&](const char* milestone, const SpeedWindow& window, uint32_t pollCount) {
    LUMODOWNLOAD_FILE record;
    records_.Read(key, &record);
    progress.milestone = milestone;
    progress.totalBytes = record.totalBytes;
    progress.downloadedBytes = record.downloadedBytes;
    progress.averageSpeed = record.averageSpeed;
    progress.currentSpeed = record.currentSpeed;
    progress.maxSpeed = window.maxSpeed;
    progress.minSpeed = window.minSpeed;
    progress.duration = pollCount - window.since;
    reports_.ReportProgress(progress);
  };

  uint32_t pollCount = 0;
  int32_t lastStatus = kZdlStatusError;
  bool dataSeen = false;
  uint64_t stallMark = 0;
  SpeedWindow window;
  SessionPoll poll;
  while (NextCountedPoll(session, &poll)) {
    if (poll.status != lastStatus) {
      WriteLog(LogLevel::kInfo, "Download status changed to %s", StatusName(poll.status).c_str());
      lastStatus = poll.status;
    }
    if (IsPreparingStatus(poll.status)) continue;

    records_.Edit(key, [&](LUMODOWNLOAD_FILE& record) {
      if (poll.downloaded != 0) record.downloadedBytes = poll.downloaded;
      if (poll.total != 0) record.totalBytes = poll.total;
    });
    // A total of 0 is a length the server did not give (a chunked body): nothing to compare.
    if (poll.total != 0 && poll.downloaded > poll.total) {
      WriteLog(LogLevel::kWarn, "Download size exception, total=%llu, complete=%llu",
               static_cast<unsigned long long>(poll.total),
               static_cast<unsigned long long>(poll.downloaded));
      report(kMilestoneUnnormal, window, pollCount);
      records_.Edit(key,
                    [](LUMODOWNLOAD_FILE& record) { record.downloadedBytes = record.totalBytes; });
    }

    records_.Edit(key, [&](LUMODOWNLOAD_FILE& record) {
      record.averageSpeed = poll.averageSpeed;
      record.currentSpeed = poll.currentSpeed;
    });
    records_.SetLastSpeeds(poll.averageSpeed, poll.currentSpeed);
    window.Note(poll.currentSpeed);

    if (!dataSeen && poll.currentSpeed != 0) {
      report(kMilestoneStart, window, pollCount);
      window.Reset(pollCount);
      dataSeen = true;
    }
    if (pollCount != 0 && pollCount % timing_.milestonePolls == 0 && poll.currentSpeed > 0) {
      report(kMilestoneDownloading, window, pollCount);
      window.Reset(pollCount);
    }
    if (poll.status == kZdlStatusDownloaded) {
      report(kMilestoneDownloaded, window, pollCount);
      break;
    }
    if (poll.status == kZdlStatusError) break;
    CheckStall(session.Get(), pollCount, poll, &stallMark, url, saveDir, target.fileNameText);
    ++pollCount;
  }

  ZdlFileInfo info{};
  session.Get()->GetFileInfo(&info);
  records_.Edit(key, [&](LUMODOWNLOAD_FILE& record) {
    record.engineInfo[0] = info.totalBytes;
    record.engineInfo[1] = info.downloadedBytes;
    record.engineInfo[2] = info.resumedFrom;
    record.engineInfo[3] = info.elapsedMs;
  });
  const DownloadResult result = ResultAfterPolls(session.Get());
  LogOutcome(result, url, saveDir, target.fileNameText, FailureDetail(session.Get()));
  session.Release();
  return result;
}

DownloadResult TransferMonitor::TransferPlain(const std::string& url, const WString& saveDir,
                                              const WString& fileName,
                                              const TransferTarget& target) {
  SessionHold session(current_, quit_);
  auto overwrite = [](IZDownloadSession* s) {
    s->SetOption(kZdlOptionOverwrite, &kOptionTrue, sizeof kOptionTrue);
  };
  if (!OpenSession(session, url, nullptr, saveDir, fileName, Utf8(fileName), overwrite)) {
    return DownloadResult{kZdlResultGeneral, 0};
  }

  uint32_t pollCount = 0;
  uint64_t stallMark = 0;
  bool tooLarge = false;
  SessionPoll poll;
  while (NextCountedPoll(session, &poll)) {
    if (IsPreparingStatus(poll.status)) continue;
    if (IsFinalStatus(poll.status)) break;
    // A checksum file is small: one claimed or grown past the limit is stopped at once.
    if (!tooLarge &&
        (poll.total > kZdlMaxChecksumFileBytes || poll.downloaded > kZdlMaxChecksumFileBytes)) {
      tooLarge = true;
      session.Get()->Abort();
      reports_.ReportException(static_cast<uint32_t>(kZdlExtFileTooLarge), url, saveDir,
                               target.fileNameText, ChecksumStep::TooLargeText(url),
                               platform::SystemErrorText(kZdlExtFileTooLarge));
    }
    CheckStall(session.Get(), pollCount, poll, &stallMark, url, saveDir, target.fileNameText);
    ++pollCount;
  }

  const DownloadResult result = ResultAfterPolls(session.Get());
  const std::string detail = FailureDetail(session.Get());
  session.Release();
  if (tooLarge) return DownloadResult{kZdlResultGeneral, kZdlExtFileTooLarge};
  LogOutcome(result, url, saveDir, target.fileNameText, detail);
  return result;
}

}  // namespace lumo
