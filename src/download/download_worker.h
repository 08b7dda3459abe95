// The object that runs download jobs on the worker thread: names the file, keeps its progress
// record, walks its URLs with two attempts each and reports failures. It also answers the
// host's progress questions (from the host's threads) and holds the identity texts that every
// telemetry event carries.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "download/current_session.h"
#include "base/download_result.h"
#include "download/file_records.h"
#include "download/file_results.h"
#include "download/job_reports.h"
#include "download/transfer_monitor.h"
#include "base/worker_identity.h"
#include "lumo/lumo_downloader.h"
#include "base/download_job.h"
#include "base/endpoints.h"
#include "download/job_queue.h"
#include "base/timing.h"
#include "platform/platform.h"
#include "source/checksum_step.h"
#include "source/http_dns_resolver.h"
#include "source/http_text_request.h"
#include "source/preferred_domain.h"
#include "source/resolved_address_download.h"
#include "source/transfers.h"
#include "zdl/zdl_engine.h"

namespace lumo {

class OptionStore;
class Reporter;

class DownloadWorker : public Transfers {
 public:
  DownloadWorker(const Timing& timing, const Endpoints& endpoints, IZDownloadService* downloads,
                 IZHttpService* http, Reporter& reporter, OptionStore& options, WString exeDir);
  virtual ~DownloadWorker();
  DownloadWorker(const DownloadWorker&) = delete;
  DownloadWorker& operator=(const DownloadWorker&) = delete;

  // Identity (host options 8, 12, 9). Any thread.
  void SetSid(std::string sid);
  void SetGameCode(std::string gameCode);
  void SetClientVersion(std::string clientVersion);
  std::string Sid() const;
  const WorkerIdentity& Identity() const { return identity_; }

  // The host's SetOption of an engine option while a session may run: forwarded to the current
  // session; its answer, or 0 when no session runs.
  int32_t ApplyToCurrentSession(int32_t engineId, const void* data, uint32_t size);

  // The running flag: cleared by the host's Pause and Stop; the job stops at its next test.
  void SetRunning(bool running);
  bool Running() const override;
  // Aborts the current session if there is one; true, with its Abort() result, when there was.
  bool AbortCurrentSession(int32_t* result);
  // The downloader is going away: clears running, aborts the session and cuts every wait of
  // the worker short. Final.
  void RequestQuit();
  bool QuitRequested() const;

  // Progress (host's threads).
  void ResetWorker();
  void RefreshStatus(DownloadStatus* out);
  std::string CurrentPath();     // GetProgress path; empty when there is no file name
  std::string CompletedFiles();  // ';'-joined local paths of finished files, in path order
  void SampleStatistics();
  // Per-file results (any thread): a job queued by the host or put back; a file's entry by
  // path (empty: the current file) or by index in queue order, live bytes for a running one.
  void NoteQueued(const DownloadJob& job);
  bool FileResult(const std::string& path, FileResultEntry* out) const;
  bool FileResultAt(size_t index, FileResultEntry* out) const;
  size_t FileResultCount() const { return results_.Count(); }

  // The worker thread sets running before its last look at ControlState, so a Pause or Stop
  // that lands after that look is never overwritten by the job's start.
  void ArmForJob();
  // One job, end to end (worker thread). Sets running unless ArmForJob did.
  DownloadResult RunFile(DownloadJob& job);

  // One attempt at one URL of the current job (worker thread).
  DownloadResult TransferFromUrl(const std::string& url, const WString& checksumPath,
                                 const WString& saveDir, const WString& fileName) override;
  // The checksum file's transfer (worker thread).
  DownloadResult TransferPlain(const std::string& url, const WString& saveDir,
                               const WString& fileName) override;

  // RUNNING_EXCEPTION plus the "ERROR" line.
  void ReportException(uint32_t errorCode, const std::string& url, const WString& saveDir,
                       const std::string& fileName, const std::string& message,
                       const std::string& detail);

 protected:
  // ---- source-selection steps (src/source); virtual so tests can watch them ----
  // Fetches and verifies the current job's checksum file (only called when it names an MD5);
  // on success the job's checksumFile holds its path. Negative: the check failed.
  virtual int32_t CheckChecksumFile();
  // May move the URLs of the preferred CDN domain to the front of the current job's list.
  virtual int32_t ApplyPreferredDomain();
  // When the HTTP DNS cache yields addresses for cdnHost, downloads the current job by resolved
  // address into *result and returns true; false when there are none or no URL was on the host.
  virtual bool DownloadByResolvedAddressFallback(DownloadResult* result);
  // Gives a used checksum file a time-stamped name; no-op for an empty path.
  virtual void SetFileAside(const WString& path);
  // Frees the HTTP DNS cache (part of the progress reset; any thread).
  virtual void ClearDnsCache();

  // The URL walk of the current job: two attempts per URL, then the fallback.
  DownloadResult DownloadFromUrls();

  DownloadJob* CurrentJob() const { return currentJob_; }
  const Timing& GetTiming() const { return timing_; }
  const Endpoints& GetEndpoints() const { return endpoints_; }
  const std::string& CdnHost() const { return endpoints_.cdnHost; }
  const WString& ExeDir() const { return exeDir_; }
  IZHttpService* Http() const { return http_; }
  Reporter& GetReporter() const { return reporter_; }
  const std::string& FileNameText() const { return fileNameText_; }
  const std::string& SaveDirText() const { return saveDirText_; }

 private:
  TransferTarget Target() const;
  void FinishResult(const DownloadResult& result, const std::string& message);

  const Timing timing_;
  const Endpoints endpoints_;
  IZHttpService* http_;
  Reporter& reporter_;
  OptionStore& options_;
  const WString exeDir_;

  std::atomic<bool> running_{false};
  std::atomic<bool> armed_{false};
  Signal quit_;
  WorkerIdentity identity_;
  FileRecords records_;  // records, status words and the texts GetProgress reads
  FileResults results_;  // per-file results; a progress reset leaves them
  CurrentSession currentSession_;
  JobReports reports_;
  TransferMonitor monitor_;

  // Source selection. Each step keeps references to the parts above.
  HttpTextRequest httpText_;
  PreferredDomain preferredDomain_;
  HttpDnsResolver resolver_;  // the HTTP DNS cache, guarded on its own
  ResolvedAddressDownload resolvedDownload_;
  ChecksumStep checksum_;

  // Worker thread only: the job being run and its texts (the host sees copies in records_).
  DownloadJob* currentJob_ = nullptr;
  std::string saveDirText_;
  std::string fileNameText_;
  std::string recordKey_;
};

}  // namespace lumo
