#include "download/download_worker.h"

#include "base/result_codes.h"
#include "source/url_walk.h"
#include "base/url_helpers.h"
#include "base/text_conversion.h"
#include "base/log.h"
#include "base/option_store.h"

namespace lumo {
namespace {

const char kNoRecord[] = "Cannot get Download File Object";
const char kIllegalChecksum[] = "Illegal checksum file";
const WChar kCurrentDirectory[] = {'.', 0};

// The message of a job that ended without its file.
std::string JobFailedText(const char* reason) {
  return FormatText("Failed to download file, %s", reason);
}

}  // namespace

DownloadWorker::DownloadWorker(const Timing& timing, const Endpoints& endpoints,
                               IZDownloadService* downloads, IZHttpService* http,
                               Reporter& reporter, OptionStore& options, WString exeDir)
    : timing_(timing),
      endpoints_(endpoints),
      http_(http),
      reporter_(reporter),
      options_(options),
      exeDir_(exeDir.empty() ? WString(kCurrentDirectory) : std::move(exeDir)),
      reports_(reporter, identity_),
      monitor_(timing_, downloads, currentSession_, records_, reports_, options_, running_, quit_),
      httpText_(http_, timing_, quit_),
      preferredDomain_(httpText_, endpoints_.cdnConfigUrl, identity_, reporter_),
      resolver_(httpText_, endpoints_.httpDnsUrl, endpoints_.cdnHost, identity_, reporter_),
      resolvedDownload_(*this, endpoints_.cdnHost, identity_, reporter_),
      checksum_(*this, resolver_, resolvedDownload_, exeDir_, endpoints_.cdnHost, identity_,
                reporter_) {
  ResetWorker();
}

DownloadWorker::~DownloadWorker() { ResetWorker(); }

void DownloadWorker::SetSid(std::string sid) { identity_.SetSid(std::move(sid)); }
void DownloadWorker::SetGameCode(std::string gameCode) {
  identity_.SetGameCode(std::move(gameCode));
}
void DownloadWorker::SetClientVersion(std::string clientVersion) {
  identity_.SetClientVersion(std::move(clientVersion));
}
std::string DownloadWorker::Sid() const { return identity_.Sid(); }

int32_t DownloadWorker::ApplyToCurrentSession(int32_t engineId, const void* data,
                                              uint32_t size) {
  return currentSession_.ApplyOption(engineId, data, size);
}

void DownloadWorker::SetRunning(bool running) { running_.store(running); }
bool DownloadWorker::Running() const { return running_.load(); }

bool DownloadWorker::AbortCurrentSession(int32_t* result) { return currentSession_.Abort(result); }

void DownloadWorker::RequestQuit() {
  running_.store(false);
  quit_.Raise();
  currentSession_.Abort(nullptr);
}

bool DownloadWorker::QuitRequested() const { return quit_.IsRaised(); }

void DownloadWorker::ResetWorker() {
  records_.Reset();
  ClearDnsCache();
}

void DownloadWorker::RefreshStatus(DownloadStatus* out) { records_.Refresh(out); }
std::string DownloadWorker::CurrentPath() { return records_.CurrentPath(); }
std::string DownloadWorker::CompletedFiles() { return records_.CompletedFiles(); }
void DownloadWorker::SampleStatistics() { reports_.ReportStatistics(records_.StatisticsText()); }

void DownloadWorker::ArmForJob() {
  armed_.store(true);
  running_.store(true);
}

TransferTarget DownloadWorker::Target() const {
  return TransferTarget{recordKey_, saveDirText_, fileNameText_};
}

DownloadResult DownloadWorker::TransferFromUrl(const std::string& url, const WString& checksumPath,
                                               const WString& saveDir, const WString& fileName) {
  results_.Attempted(recordKey_);
  return monitor_.TransferFromUrl(url, checksumPath, saveDir, fileName, Target());
}

DownloadResult DownloadWorker::TransferPlain(const std::string& url, const WString& saveDir,
                                             const WString& fileName) {
  return monitor_.TransferPlain(url, saveDir, fileName, Target());
}

void DownloadWorker::ReportException(uint32_t errorCode, const std::string& url,
                                     const WString& saveDir, const std::string& fileName,
                                     const std::string& message, const std::string& detail) {
  reports_.ReportException(errorCode, url, saveDir, fileName, message, detail);
}

DownloadResult DownloadWorker::RunFile(DownloadJob& job) {
  // The job is the caller's; it is current only while this call runs, whatever way it ends.
  struct CurrentJobScope {
    DownloadJob*& slot;
    ~CurrentJobScope() { slot = nullptr; }
  } scope{currentJob_};
  currentJob_ = &job;
  if (!armed_.exchange(false)) running_.store(true);

  const WString saveDir = job.SaveDir();
  saveDirText_.clear();
  WideToUtf8(saveDir, &saveDirText_);
  // A job without a name gets the URL's, and that name goes to the engine too, so the file
  // written is the one reported.
  if (job.fileName[0] == 0) CopyIntoJobBuffer(job.EffectiveFileName().c_str(), &job.fileName);
  fileNameText_ = Utf8Of(job.FileName());
  records_.SetCurrentTexts(saveDirText_, fileNameText_);
  recordKey_.clear();

  WriteLog(LogLevel::kInfo, "Start to download %s", fileNameText_.c_str());

  DownloadResult result{kZdlResultGeneral, 0};
  if (!records_.RecordFor(saveDirText_, fileNameText_, &recordKey_)) {
    ReportException(0, std::string(), saveDir, fileNameText_, JobFailedText(kNoRecord), kNoRecord);
    return result;
  }
  results_.Started(recordKey_);

  if (!job.checksumMd5.empty() && CheckChecksumFile() < 0) {
    records_.Edit(recordKey_,
                  [](LUMODOWNLOAD_FILE& record) { record.result = kZdlResultChecksum; });
    ReportException(0, std::string(), saveDir, fileNameText_, JobFailedText(kIllegalChecksum),
                    kIllegalChecksum);
    FinishResult(DownloadResult{kZdlResultChecksum, 0}, JobFailedText(kIllegalChecksum));
    return result;
  }

  ApplyPreferredDomain();
  result = DownloadFromUrls();
  SetFileAside(job.checksumFile);

  const int32_t stored = StoredResultCode(result.code);
  records_.Edit(recordKey_, [stored](LUMODOWNLOAD_FILE& record) { record.result = stored; });
  if (result.code != kZdlResultSuccess && running_.load()) {
    const std::string message = ResultMessage(result.code);
    ReportException(0, std::string(), saveDir, fileNameText_, JobFailedText(message.c_str()),
                    message);
    FinishResult(result, JobFailedText(message.c_str()));
  } else if (result.code == kZdlResultSuccess) {
    FinishResult(result, std::string());
  } else {
    results_.Queued(recordKey_);  // paused or stopped: the job runs again
  }
  return result;
}

void DownloadWorker::FinishResult(const DownloadResult& result, const std::string& message) {
  LUMODOWNLOAD_FILE record;
  if (records_.Read(recordKey_, &record)) {
    results_.SetBytes(recordKey_, record.downloadedBytes, record.totalBytes);
  }
  results_.Finished(recordKey_, result.code, result.extendedCode, message);
}

void DownloadWorker::NoteQueued(const DownloadJob& job) {
  results_.Queued(LocalPathOf(Utf8Of(job.SaveDir()), Utf8Of(job.EffectiveFileName())));
}

bool DownloadWorker::FileResult(const std::string& path, FileResultEntry* out) const {
  if (!results_.Find(path, out)) return false;
  LUMODOWNLOAD_FILE record;
  // A running file's bytes are the live ones of its progress record.
  if (out->result.state == kLumoFileRunning && records_.Read(out->path, &record)) {
    out->result.bytesReceived = record.downloadedBytes;
    out->result.bytesTotal = record.totalBytes;
  }
  return true;
}

bool DownloadWorker::FileResultAt(size_t index, FileResultEntry* out) const {
  if (!results_.At(index, out)) return false;
  return FileResult(out->path, out);
}

int32_t DownloadWorker::CheckChecksumFile() { return checksum_.CheckChecksumFile(*currentJob_); }

int32_t DownloadWorker::ApplyPreferredDomain() {
  return preferredDomain_.ApplyPreferredDomain(&currentJob_->urls);
}

bool DownloadWorker::DownloadByResolvedAddressFallback(DownloadResult* result) {
  // Shared: the record stays valid even if the host resets the cache meanwhile.
  const std::shared_ptr<const HttpDnsRecord> record = resolver_.ResolveCdnHost();
  if (!record) return false;
  const WalkOutcome walk = resolvedDownload_.DownloadByResolvedAddress(*record, *currentJob_);
  // A fallback that tried nothing (no URL on the CDN host) leaves the walk's own failure, so
  // a 404 is not reported as an abort.
  if (!walk.attempted) return false;
  *result = walk.last;
  return true;
}

void DownloadWorker::SetFileAside(const WString& path) { ChecksumStep::SetFileAside(path); }

void DownloadWorker::ClearDnsCache() { resolver_.Clear(); }

DownloadResult DownloadWorker::DownloadFromUrls() {
  DownloadJob& job = *currentJob_;
  const std::vector<std::string> urls = job.urls;
  const WString saveDir = job.SaveDir();
  const WString fileName = job.FileName();
  const auto attempt = [&](const std::string& url) {
    return TransferFromUrl(url, job.checksumFile, saveDir, fileName);
  };
  const WalkOutcome walk = WalkUrls(urls, *this, attempt, JudgeDataFileAttempt);
  DownloadResult result = walk.last;
  if (walk.done) return result;
  if (running_.load()) DownloadByResolvedAddressFallback(&result);
  return SettleShortClaim(result, walk.claimShort);
}

}  // namespace lumo
