#include "download_session.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "checksum_manifest.h"
#include "base/file_name.h"
#include "path_text.h"
#include "platform/engine_file.h"
#include "response_rules.h"

namespace zdl {
namespace {

using Clock = std::chrono::steady_clock;
using lumo::platform::EngineFile;

constexpr uint32_t kDefaultConnectTimeoutSeconds = 30;
constexpr auto kSpeedSampleEvery = std::chrono::milliseconds(200);
constexpr auto kCurrentSpeedWindow = std::chrono::milliseconds(1000);
constexpr size_t kMaxMetaBytes = 4096;
constexpr int kMaxAttempts = 2;  // one restart from zero when a resume cannot be used

// The one mapping of an HTTP status that ends a transfer to a result code; the extended code
// is the status itself.
EngineResult ResultFromHttpStatus(uint32_t status) {
  return EngineResult{status == 404 ? kZdlResultNotFound : kZdlResultServer,
                      static_cast<int32_t>(status)};
}

uint32_t ClampToU32(uint64_t value) {
  return value > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(value);
}

bool IsHttpUrl(const char* url) {
  auto startsWith = [url](const char* prefix) {
    size_t n = std::strlen(prefix);
    for (size_t i = 0; i < n; ++i) {
      char c = url[i];
      if (c == '\0') return false;
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
      if (c != prefix[i]) return false;
    }
    return true;
  };
  return startsWith("http://") || startsWith("https://");
}

}  // namespace

class DownloadSession::Core final : public TransferObserver {
 public:
  Core(std::string url, WString checksumPath, WString saveDir, WString fileName,
       std::unique_ptr<Transport> transport)
      : url_(std::move(url)),
        checksumPath_(std::move(checksumPath)),
        saveDir_(std::move(saveDir)),
        fileName_(std::move(fileName)),
        transport_(std::move(transport)) {
    // A name may hold subfolders of the save folder, with either separator.
    WString name = fileName_;
    for (auto& c : name) {
      if (lumo::platform::IsPathSeparator(c)) c = lumo::platform::kPathSeparator;
    }
    size_t cut = name.find_last_of(lumo::platform::kPathSeparator);
    if (cut != WString::npos && cut > 0) folders_ = name.substr(0, cut);
    finalPath_ = JoinPath(saveDir_, name);
    partDir_ = folders_.empty() ? saveDir_ : JoinPath(saveDir_, folders_);
    partPath_ = finalPath_ + Utf8ToWide(".part");
    metaPath_ = finalPath_ + Utf8ToWide(".part.meta");
  }

  int32_t SetOption(int32_t id, const void* value, uint32_t size);
  int32_t GetOption(int32_t id, void* value, uint32_t* size);
  // Starts the clock and puts the options in force; false when already started.
  bool MarkStarted();
  void Run();
  void Cancel() {
    cancelled_.store(true);
    transport_->Cancel();
  }
  void FailToStart() { Finish(EngineResult{kZdlResultGeneral, 0}); }
  // An abort before Start ends the session at once; Start then fails.
  void AbortUnstarted() {
    {
      lumo::MutexLock lock(optionsLock_);
      if (started_) return;
      started_ = true;
    }
    Finish(EngineResult{kZdlResultAborted, 0});
  }

  void Status(int32_t* status, uint64_t* total, uint64_t* downloaded, uint32_t* average,
              uint32_t* current);
  int32_t Result(int32_t* result, int32_t* extended);
  void FileInfo(ZdlFileInfo* info);

  // TransferObserver, on the engine thread.
  bool OnResponse(const ResponseHead& head) override;
  bool OnData(const void* data, size_t length) override;

 private:
  struct Sample {
    Clock::time_point at;
    uint64_t bytes;
  };

  EngineResult Transfer();
  // A session that ends unfinished gives back its reserved room and leaves no empty part of
  // its own making behind.
  void Abandon();
  void Finish(EngineResult result);
  bool ReadValidator(std::string* validator);
  void WriteValidator(const std::string& validator);
  void Fail(EngineResult result) {
    failed_ = true;
    failure_ = result;
  }
  bool ClaimFits(uint64_t total);
  // Applies the options that act on the transport at once; under optionsLock_.
  void ApplyLiveOptionsLocked() REQUIRES(optionsLock_);
  void AddSample(bool force);
  uint64_t ElapsedMs();

  const std::string url_;
  const WString checksumPath_;
  const WString saveDir_;
  const WString fileName_;
  WString folders_;  // subfolders of saveDir_ named by fileName_, or empty
  WString partDir_;
  WString finalPath_;
  WString partPath_;
  WString metaPath_;
  const std::unique_ptr<Transport> transport_;  // Cancel is thread-safe

  lumo::Mutex optionsLock_;
  SessionOptions options_ GUARDED_BY(optionsLock_);
  bool started_ GUARDED_BY(optionsLock_) = false;
  Clock::time_point startedAt_ GUARDED_BY(optionsLock_);  // set with started_

  // Read by the polling threads, written by the engine thread.
  std::atomic<int32_t> status_{kZdlStatusInit};
  std::atomic<uint64_t> total_{0};
  std::atomic<uint64_t> downloaded_{0};
  std::atomic<uint64_t> resumedFrom_{0};
  std::atomic<bool> cancelled_{false};
  std::atomic<int64_t> startNs_{0};       // steady clock at Start
  std::atomic<int64_t> finalElapsedMs_{-1};  // frozen when the session ends

  lumo::Mutex resultLock_;
  EngineResult result_ GUARDED_BY(resultLock_){kZdlResultGeneral, 0};
  std::string detail_ GUARDED_BY(resultLock_);

  lumo::Mutex speedLock_;
  std::deque<Sample> samples_ GUARDED_BY(speedLock_);  // the last ~2 s of progress

  // Engine thread only.
  EngineFile file_;
  uint64_t offset_ = 0;  // bytes of the part file the current answer continues
  std::string validator_;
  bool partCreated_ = false;  // this session made the part file
  bool failed_ = false;
  EngineResult failure_;
  std::string failureDetail_;
  bool restart_ = false;          // the answer cannot continue the part: start over
  bool alreadyComplete_ = false;  // 416 for a part that already holds the whole file
  bool confirmEnd_ = false;       // 416 without validator: ask for the last byte next
  bool confirming_ = false;       // this exchange asks for the last byte of the part
  Clock::time_point lastSample_;
};

int32_t DownloadSession::Core::SetOption(int32_t id, const void* value, uint32_t size) {
  if (value == nullptr && size > 0) return kZdlPointer;
  auto u32 = [value, size](uint32_t* out) {
    if (size < sizeof(uint32_t)) return false;
    std::memcpy(out, value, sizeof(uint32_t));
    return true;
  };
  auto text = [value, size](std::string* out) {
    const char* p = static_cast<const char*>(value);
    size_t n = 0;
    while (n < size && p[n] != '\0') ++n;
    out->assign(p, n);
  };
  lumo::MutexLock lock(optionsLock_);
  // A running session takes every option but overwrite: its data is already chosen.
  switch (id) {
    case kZdlOptionMaxSpeed:
      if (!u32(&options_.maxBytesPerSecond)) return kZdlInvalidArg;
      break;
    case kZdlOptionConnectTimeout:
      if (!u32(&options_.connectTimeoutSeconds)) return kZdlInvalidArg;
      break;
    case kZdlOptionOverwrite:
      if (started_) return kZdlWrongState;
      if (size < 1) return kZdlInvalidArg;
      options_.overwrite = static_cast<const uint8_t*>(value)[0] != 0;
      break;
    case kZdlOptionProxy:
      text(&options_.proxy);
      break;
    case kZdlOptionUserAgent:
      text(&options_.userAgent);
      break;
    case kZdlOptionTransferTimeout:
      if (!u32(&options_.transferTimeoutSeconds)) return kZdlInvalidArg;
      break;
    default:
      return kZdlInvalidArg;
  }
  if (started_) ApplyLiveOptionsLocked();
  return kZdlOk;
}

void DownloadSession::Core::ApplyLiveOptionsLocked() {
  transport_->SetMaxBytesPerSecond(options_.maxBytesPerSecond);
  transport_->SetDeadline(options_.transferTimeoutSeconds == 0
                              ? Clock::time_point::max()
                              : startedAt_ + std::chrono::seconds(options_.transferTimeoutSeconds));
}

int32_t DownloadSession::Core::GetOption(int32_t id, void* value, uint32_t* size) {
  if (size == nullptr || (value == nullptr && *size > 0)) return kZdlPointer;
  std::vector<uint8_t> bytes;
  auto putU32 = [&bytes](uint32_t v) {
    bytes.resize(sizeof v);
    std::memcpy(bytes.data(), &v, sizeof v);
  };
  {
    lumo::MutexLock lock(optionsLock_);
    switch (id) {
      case kZdlOptionMaxSpeed: putU32(options_.maxBytesPerSecond); break;
      case kZdlOptionConnectTimeout: putU32(options_.connectTimeoutSeconds); break;
      case kZdlOptionOverwrite: bytes.push_back(options_.overwrite ? 1 : 0); break;
      case kZdlOptionProxy: bytes.assign(options_.proxy.begin(), options_.proxy.end()); break;
      case kZdlOptionUserAgent:
        bytes.assign(options_.userAgent.begin(), options_.userAgent.end());
        break;
      case kZdlOptionTransferTimeout: putU32(options_.transferTimeoutSeconds); break;
      case kZdlOptionFailureDetail: {
        lumo::MutexLock result(resultLock_);
        bytes.assign(detail_.begin(), detail_.end());
        break;
      }
      default: return kZdlInvalidArg;
    }
  }
  if (*size < bytes.size()) {
    *size = static_cast<uint32_t>(bytes.size());
    return kZdlInvalidArg;
  }
  if (!bytes.empty()) std::memcpy(value, bytes.data(), bytes.size());
  *size = static_cast<uint32_t>(bytes.size());
  return kZdlOk;
}

bool DownloadSession::Core::MarkStarted() {
  lumo::MutexLock lock(optionsLock_);
  if (started_) return false;
  started_ = true;
  startedAt_ = Clock::now();
  startNs_.store(std::chrono::duration_cast<std::chrono::nanoseconds>(
                     startedAt_.time_since_epoch()).count());
  ApplyLiveOptionsLocked();
  return true;
}

uint64_t DownloadSession::Core::ElapsedMs() {
  int64_t frozen = finalElapsedMs_.load();
  if (frozen >= 0) return static_cast<uint64_t>(frozen);
  int64_t start = startNs_.load();
  if (start == 0) return 0;
  int64_t now =
      std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
          .count();
  return now > start ? static_cast<uint64_t>((now - start) / 1000000) : 0;
}

void DownloadSession::Core::Finish(EngineResult result) {
  // Keep the file handle from outliving the session's end.
  if (result.result != kZdlResultSuccess) Abandon();
  file_.Close();
  finalElapsedMs_.store(static_cast<int64_t>(ElapsedMs()));
  {
    lumo::MutexLock lock(resultLock_);
    result_ = result;
    if (result.result != kZdlResultSuccess) detail_ = failureDetail_;
  }
  status_.store(result.result == kZdlResultSuccess ? kZdlStatusDownloaded : kZdlStatusError);
}

void DownloadSession::Core::Run() {
  EngineResult result;
  try {
    result = Transfer();
  } catch (const std::bad_alloc&) {
    result = EngineResult{kZdlResultGeneral, kZdlOutOfMemory};
  } catch (...) {
    result = EngineResult{kZdlResultGeneral, kZdlFail};
  }
  Finish(result);
}

void DownloadSession::Core::Abandon() {
  if (!file_.IsOpen()) return;
  const uint64_t written = file_.Size();
  file_.ReleaseReserve();
  file_.Close();
  if (partCreated_ && written == 0) {
    lumo::platform::RemoveFile(partPath_);
    lumo::platform::RemoveFile(metaPath_);
  }
}

bool DownloadSession::Core::ReadValidator(std::string* validator) {
  EngineFile meta;
  if (EngineFile::OpenForRead(metaPath_, &meta) != 0) return false;
  char buffer[kMaxMetaBytes];
  size_t got = 0;
  if (meta.Read(buffer, sizeof buffer, &got) != 0 || got == 0 || got == sizeof buffer) {
    return false;
  }
  // Whatever the file holds becomes a request header: one clean line or nothing.
  *validator = ValidatorFromMeta(std::string(buffer, got));
  return !validator->empty();
}

void DownloadSession::Core::WriteValidator(const std::string& validator) {
  // Without a validator a later session cannot resume safely: it starts from zero then.
  if (!IsUsableValidator(validator)) {
    lumo::platform::RemoveFile(metaPath_);
    return;
  }
  EngineFile meta;
  std::string line = validator + "\n";
  if (EngineFile::OpenForAppend(metaPath_, true, &meta) != 0 ||
      meta.Write(line.data(), line.size()) != 0 || meta.Close() != 0) {
    lumo::platform::RemoveFile(metaPath_);
  }
}

bool DownloadSession::Core::ClaimFits(uint64_t total) {
  // Truncating for a whole file frees the part's bytes; a resume keeps them.
  const uint64_t have = std::min(total, file_.Size());
  uint64_t free = 0;
  return !lumo::platform::FreeSpaceAt(partDir_, &free) || total - have <= free;
}

bool DownloadSession::Core::OnResponse(const ResponseHead& head) {
  const bool confirmed = confirming_ && ConfirmsEnd(head, offset_, validator_);
  const AnswerPlan plan = confirming_ ? AnswerPlan{confirmed ? AnswerUse::kAlreadyComplete
                                                             : AnswerUse::kRestart,
                                                   offset_}
                                      : PlanAnswer(head, offset_, validator_);
  switch (plan.use) {
    case AnswerUse::kAlreadyComplete:
      alreadyComplete_ = true;
      total_.store(plan.total);
      downloaded_.store(offset_);
      resumedFrom_.store(offset_);
      return false;
    case AnswerUse::kConfirmEnd:
      confirmEnd_ = true;
      return false;
    case AnswerUse::kRestart:
      restart_ = true;
      return false;
    case AnswerUse::kHttpError:
      Fail(ResultFromHttpStatus(head.status));
      return false;
    case AnswerUse::kEncoded:
      Fail(EngineResult{kZdlResultServer, 0});
      return false;
    case AnswerUse::kWholeFile:
    case AnswerUse::kAppend:
      break;
  }
  const bool fromZero = plan.use == AnswerUse::kWholeFile || offset_ == 0;
  // A size the disk cannot hold fails this URL before anything is reserved or discarded:
  // the next mirror may tell the truth, and an earlier part stays for its resume.
  if (plan.total > 0 && !ClaimFits(plan.total)) {
    Fail(EngineResult{kZdlResultFileSystem, kZdlExtClaimExceedsSpace});
    return false;
  }
  if (fromZero) {
    // The whole file: a changed file, a server without ranges, or a part of no use.
    if (file_.Size() > 0) {
      int32_t status = file_.Truncate();
      if (status != 0) {
        Fail(EngineResult{kZdlResultFileSystem, status});
        return false;
      }
    }
    offset_ = 0;
    validator_ = ValidatorOf(head);
    WriteValidator(validator_);
  }
  const uint64_t total = plan.total;

  resumedFrom_.store(offset_);
  downloaded_.store(offset_);
  total_.store(total);
  {
    lumo::MutexLock lock(speedLock_);
    samples_.clear();
  }
  AddSample(true);

  status_.store(kZdlStatusAllocating);
  if (total > 0) {
    int32_t status = file_.Reserve(total);
    if (status != 0) {
      Fail(EngineResult{kZdlResultFileSystem, status});
      return false;
    }
  }
  status_.store(kZdlStatusDownloading);
  return true;
}

bool DownloadSession::Core::OnData(const void* data, size_t length) {
  int32_t status = file_.Write(data, length);
  if (status != 0) {
    Fail(EngineResult{kZdlResultFileSystem, status});
    return false;
  }
  downloaded_.fetch_add(length, std::memory_order_relaxed);
  AddSample(false);
  return true;
}

void DownloadSession::Core::AddSample(bool force) {
  Clock::time_point now = Clock::now();
  if (!force && now - lastSample_ < kSpeedSampleEvery) return;
  lastSample_ = now;
  lumo::MutexLock lock(speedLock_);
  samples_.push_back(Sample{now, downloaded_.load(std::memory_order_relaxed)});
  while (samples_.size() > 2 && now - samples_[1].at > 2 * kCurrentSpeedWindow) {
    samples_.pop_front();
  }
}

EngineResult DownloadSession::Core::Transfer() {
  status_.store(kZdlStatusConnecting);
  if (cancelled_.load()) return EngineResult{kZdlResultAborted, 0};

  int32_t status = lumo::platform::MakeDirectories(saveDir_);
  if (status == 0 && !folders_.empty()) {
    status = lumo::platform::MakeSubdirectories(saveDir_, folders_);
  }
  if (status != 0) return EngineResult{kZdlResultFileSystem, status};

  std::string expectedMd5;
  if (!checksumPath_.empty()) {
    // Checked first: a file that cannot be verified is not worth fetching.
    EngineResult found =
        LoadExpectedDigest(checksumPath_, WideToUtf8(fileName_), url_, &expectedMd5);
    if (found.result != kZdlResultSuccess) return found;
  }

  SessionOptions options;
  {
    lumo::MutexLock lock(optionsLock_);
    options = options_;
  }
  // The part is opened as it is; it is emptied only once an answer for the whole file arrives,
  // so a failed attempt leaves an earlier run's data where it was.
  status = EngineFile::OpenForAppend(partPath_, false, &file_, &partCreated_);
  if (status != 0) return EngineResult{kZdlResultFileSystem, status};
  const uint64_t partSize = file_.Size();
  if (!options.overwrite && partSize > 0 && ReadValidator(&validator_)) {
    offset_ = partSize;
  } else {
    offset_ = 0;
    validator_.clear();
    lumo::platform::RemoveFile(metaPath_);
  }

  for (int restarts = 0;;) {
    {
      // Connection settings changed while the session ran apply from its next exchange.
      lumo::MutexLock lock(optionsLock_);
      options = options_;
    }
    TransferRequest request;
    request.url = url_;
    request.rangeStart = confirming_ ? offset_ - 1 : offset_;
    request.ifRange = validator_;
    request.connectTimeoutSeconds = options.connectTimeoutSeconds
                                        ? options.connectTimeoutSeconds
                                        : kDefaultConnectTimeoutSeconds;
    request.proxy = options.proxy;
    request.userAgent = options.userAgent;

    restart_ = false;
    alreadyComplete_ = false;
    confirmEnd_ = false;
    TransferOutcome outcome = transport_->Perform(request, *this);
    if (outcome.end == TransferEnd::kCancelled || cancelled_.load()) {
      return EngineResult{kZdlResultAborted, 0};
    }
    if (failed_) return failure_;
    if (alreadyComplete_) break;
    confirming_ = confirmEnd_ && !confirming_;
    if (confirming_) continue;
    if (restart_) {
      if (++restarts >= kMaxAttempts) return EngineResult{kZdlResultServer, 0};
      // The part stays until an answer for the whole file takes its place.
      lumo::platform::RemoveFile(metaPath_);
      offset_ = 0;
      validator_.clear();
      continue;
    }
    if (outcome.end == TransferEnd::kFailed) {
      failureDetail_ = outcome.detail;
      return outcome.failure;
    }
    if (outcome.end != TransferEnd::kCompleted) return EngineResult{kZdlResultGeneral, 0};
    break;
  }

  uint64_t total = total_.load();
  const uint64_t written = file_.Size();
  if (total > 0 && written != total) {
    // A short body the stack did not notice; the part stays for a resume.
    return EngineResult{kZdlResultNetwork, 0};
  }
  status = file_.Close();
  if (status != 0) return EngineResult{kZdlResultFileSystem, status};
  if (total == 0) total_.store(downloaded_.load());

  if (!expectedMd5.empty()) {
    std::string actual;
    EngineResult hashed = FileMd5Hex(partPath_, &actual, &cancelled_);
    if (hashed.result != kZdlResultSuccess) return hashed;
    if (actual != expectedMd5) {
      // Bad data must not seed a later resume either.
      lumo::platform::RemoveFile(partPath_);
      lumo::platform::RemoveFile(metaPath_);
      return EngineResult{kZdlResultChecksum, 0};
    }
  }
  status = lumo::platform::ReplaceFileWith(partPath_, finalPath_);
  if (status != 0) return EngineResult{kZdlResultFileSystem, status};
  lumo::platform::RemoveFile(metaPath_);
  return EngineResult{kZdlResultSuccess, 0};
}

void DownloadSession::Core::Status(int32_t* status, uint64_t* total, uint64_t* downloaded,
                                   uint32_t* average, uint32_t* current) {
  int32_t now = status_.load();
  uint64_t bytes = downloaded_.load();
  if (status) *status = now;
  if (total) *total = total_.load();
  if (downloaded) *downloaded = bytes;
  uint64_t sessionBytes = bytes - std::min(bytes, resumedFrom_.load());
  if (average) {
    uint64_t ms = ElapsedMs();
    *average = ms ? ClampToU32(sessionBytes * 1000 / ms) : 0;
  }
  if (current) {
    *current = 0;
    if (now == kZdlStatusDownloading) {
      Clock::time_point at = Clock::now();
      lumo::MutexLock lock(speedLock_);
      // The newest sample at least a window old, else the oldest one.
      const Sample* base = nullptr;
      for (const Sample& sample : samples_) {
        if (at - sample.at >= kCurrentSpeedWindow || base == nullptr) base = &sample;
      }
      if (base) {
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(at - base->at).count();
        if (ms > 0 && bytes >= base->bytes) {
          *current = ClampToU32((bytes - base->bytes) * 1000 / static_cast<uint64_t>(ms));
        }
      }
    }
  }
}

int32_t DownloadSession::Core::Result(int32_t* result, int32_t* extended) {
  int32_t now = status_.load();
  EngineResult copy;
  {
    lumo::MutexLock lock(resultLock_);
    copy = result_;
  }
  if (result) *result = copy.result;
  if (extended) *extended = copy.extended;
  return (now == kZdlStatusDownloaded || now == kZdlStatusError) ? kZdlOk : kZdlWrongState;
}

void DownloadSession::Core::FileInfo(ZdlFileInfo* info) {
  info->totalBytes = total_.load();
  info->downloadedBytes = downloaded_.load();
  info->resumedFrom = resumedFrom_.load();
  info->elapsedMs = ElapsedMs();
}

// ---- the COM object ----

DownloadSession::DownloadSession(std::shared_ptr<Core> core)
    : RefCounted<IZDownloadSession>(IID_IZDownloadSession), core_(std::move(core)) {}

int32_t DownloadSession::Create(const char* url, const ZdlWChar* checksumPath,
                                const ZdlWChar* saveDir, const ZdlWChar* fileName,
                                IZDownloadSession** out) {
  if (out == nullptr || url == nullptr || saveDir == nullptr) return kZdlPointer;
  *out = nullptr;
  if (!IsHttpUrl(url) || saveDir[0] == 0) return kZdlInvalidArg;
  try {
    std::unique_ptr<Transport> transport = CreateTransport();
    if (!transport) return kZdlFail;
    WString name = (fileName && fileName[0]) ? WString(fileName) : Utf8ToWide(lumo::FileNameFromUrl(url));
    // Nothing the caller names may lead out of the save folder or to a device.
    if (!lumo::IsLegalHostFileName(WideToUtf8(name))) return kZdlInvalidArg;
    auto core = std::make_shared<Core>(url, checksumPath ? WString(checksumPath) : WString(),
                                       WString(saveDir), name, std::move(transport));
    auto* session = new DownloadSession(std::move(core));
    session->AddRef();
    *out = session;
    return kZdlOk;
  } catch (const std::bad_alloc&) {
    return kZdlOutOfMemory;
  } catch (...) {
    return kZdlFail;
  }
}

void DownloadSession::OnFinalRelease() {
  std::shared_ptr<EngineTask> task;
  {
    lumo::MutexLock lock(lock_);
    task = task_;
  }
  if (task) {
    // Nothing of this session may run after its last reference is gone.
    core_->Cancel();
    EngineRuntime::Instance().Finish(task);
  }
  delete this;
}

int32_t DownloadSession::GetOption(int32_t id, void* value, uint32_t* size) {
  return core_->GetOption(id, value, size);
}

int32_t DownloadSession::SetOption(int32_t id, const void* value, uint32_t size) {
  try {
    return core_->SetOption(id, value, size);
  } catch (...) {
    return kZdlOutOfMemory;
  }
}

int32_t DownloadSession::Start() {
  lumo::MutexLock lock(lock_);
  if (!core_->MarkStarted()) return kZdlWrongState;
  std::shared_ptr<Core> core = core_;
  task_ = EngineRuntime::Instance().Launch([core] { core->Run(); }, [core] { core->Cancel(); });
  if (!task_) {
    core_->FailToStart();
    return kZdlWrongState;
  }
  return kZdlOk;
}

int32_t DownloadSession::Abort() {
  core_->Cancel();
  core_->AbortUnstarted();
  return kZdlOk;
}

int32_t DownloadSession::Pause() { return Abort(); }

int32_t DownloadSession::GetStatus(int32_t* status, uint64_t* totalBytes,
                                   uint64_t* downloadedBytes, uint32_t* averageSpeed,
                                   uint32_t* currentSpeed) {
  core_->Status(status, totalBytes, downloadedBytes, averageSpeed, currentSpeed);
  return kZdlOk;
}

int32_t DownloadSession::GetResult(int32_t* result, int32_t* extendedCode) {
  return core_->Result(result, extendedCode);
}

int32_t DownloadSession::GetFileInfo(ZdlFileInfo* info) {
  if (info == nullptr) return kZdlPointer;
  core_->FileInfo(info);
  return kZdlOk;
}

}  // namespace zdl
