#include "module/downloader.h"

#include "lumo/build_config.h"

#include <cstring>
#include <new>
#include <system_error>

#include "download/download_thread.h"
#include "download/download_worker.h"
#include "machine/machine_identity.h"
#include "base/download_job.h"
#include "base/file_name.h"
#include "base/helper_threads.h"
#include "base/log.h"
#include "base/text_conversion.h"
#include "telemetry/events.h"
#include "telemetry/reporter.h"

namespace lumo {
namespace {

// Fixed texts of the downloader object.
const char kNoUrls[] = "Download file failed, the URLs is empty.";
const char kNoSaveDir[] = "Download file failed, the save directory is empty.";
const char kSaveDirTooLong[] = "Download file failed, the save directory is too long.";
const char kFileNameTooLong[] = "Download file failed, the file name is too long.";
const char kModuleName[] = "LumoDownloader";
const char kModuleVersion[] = LUMO_VERSION_TEXT;  // from the project's version
const char kModuleBuildId[] = "1711222";

constexpr int32_t kOk = 0;
constexpr int32_t kNoInterface = static_cast<int32_t>(0x80004002u);
constexpr int32_t kFail = static_cast<int32_t>(0x80004005u);
constexpr int32_t kAccessDenied = static_cast<int32_t>(0x80070005u);
constexpr int32_t kInvalidArg = static_cast<int32_t>(0x80070057u);
constexpr int32_t kOutOfMemory = static_cast<int32_t>(0x8007000Eu);

bool IsOurInterface(const LumoGuid* iid) {
  return iid != nullptr && std::memcmp(iid, &IID_ILumoDownloader, sizeof(LumoGuid)) == 0;
}

void AssignText(LumoString* target, const std::string& text) {
  if (target != nullptr && target->assign != nullptr) {
    target->assign(target->context, text.data(), static_cast<uint32_t>(text.size()));
  }
}

// Nothing crosses the host boundary as an exception.
template <typename Body>
int32_t Guarded(Body&& body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  } catch (...) {
    return kFail;
  }
}

}  // namespace

struct LumoDownloader::Shared {
  Shared(Timing t, Endpoints e) : timing(t), endpoints(std::move(e)) {}

  const Timing timing;
  const Endpoints endpoints;
  JobQueue queue;
  ControlWords control;
  OptionStore options;
  std::unique_ptr<DownloadWorker> worker;  // set once by Initialize, before the thread exists
  Signal released;     // the first Start (or the destruction) lets the thread run
  Signal threadEnded;  // raised by the thread as its very last step
};

void LogBindFailure(const std::string& reason) {
  WriteLog(LogLevel::kInitError, "Error occurred when load ZDownloadLoader, %s", reason.c_str());
}

LumoDownloader::LumoDownloader(EngineBinding& engine, Reporter& reporter, Timing timing,
                               Endpoints endpoints)
    : engine_(engine),
      reporter_(reporter),
      shared_(std::make_shared<Shared>(timing, std::move(endpoints))) {}

int32_t LumoDownloader::Initialize(std::string* errorText) {
  WriteLog(LogLevel::kInitInfo, "Machine MAC address:%s", GetMacAddress().c_str());

  std::string reason;
  engineBound_ = true;
  const int32_t code = engine_.Bind(&reason);
  if (code < 0) {
    LogBindFailure(reason);
    if (errorText != nullptr) *errorText = reason;
    return code;
  }

  reporter_.Attach(engine_.HttpService(), shared_->endpoints.reportUrl, shared_->timing);
  shared_->control.runState = kLumoRunStateInitial;
  shared_->control.controlState = kControlInitial;
  shared_->worker = std::make_unique<DownloadWorker>(
      shared_->timing, shared_->endpoints, engine_.DownloadService(), engine_.HttpService(),
      reporter_, shared_->options, platform::ExecutableDirectory());
  fileResults_.Attach(shared_->worker.get());
  try {
    thread_ = std::thread(&LumoDownloader::ThreadMain, shared_);
  } catch (const std::system_error&) {
    // No thread: Start, Pause and Stop answer 0x80070005 from now on.
  }
  return code;
}

void LumoDownloader::ThreadMain(std::shared_ptr<Shared> shared) {
  try {
    // Held like a thread created suspended, until the first Start or the destruction.
    while (!shared->released.WaitFor(std::chrono::milliseconds(1000))) {
    }
    if (!shared->control.quit.IsRaised()) {
      DownloadThreadContext context{shared->queue, shared->control, *shared->worker,
                                    shared->timing};
      RunDownloadThread(context);
    }
  } catch (...) {
    // The thread's top: nothing escapes into the runtime.
  }
  shared->threadEnded.Raise();
}

LumoDownloader::~LumoDownloader() {
  StopWorkerThread();
  // The sender flushes what is queued, then must not call into the engine once it is
  // terminated.
  if (engineBound_) {
    reporter_.Stop();
    engine_.ReleaseAndTerminate();
  }
  // Helpers still inside a call no quit can interrupt keep the module loaded.
  HelperThreads::Instance().LetGo();
}

void LumoDownloader::StopWorkerThread() {
  if (!thread_.joinable()) return;
  shared_->control.quit.Raise();
  if (shared_->worker) shared_->worker->RequestQuit();
  shared_->released.Raise();
  // Every wait of the worker ends on quit and its uninterruptible calls run on helpers, so it
  // ends well within the bound. It is joined in any case: a thread left running here would
  // run on unloaded code once the host unloads the module.
  if (!shared_->threadEnded.WaitFor(shared_->timing.destructorWait)) {
    WriteLog(LogLevel::kWarn, "The download thread did not end within the bound, still waiting.");
  }
  thread_.join();
}

bool LumoDownloader::RefusedAfterStop(const char* operation) const {
  if (!stopped_.load()) return false;
  WriteLog(LogLevel::kWarn, "%s refused: the download thread has ended after Stop.", operation);
  return true;
}

int32_t LumoDownloader::QueryInterface(const LumoGuid* iid, void** out) {
  if (out == nullptr) return kInvalidArg;
  if (iid != nullptr && std::memcmp(iid, &IID_ILumoFileResults, sizeof(LumoGuid)) == 0) {
    return fileResults_.QueryInterface(iid, out);
  }
  if (!IsOurInterface(iid)) return kNoInterface;
  *out = static_cast<ILumoDownloader*>(this);
  AddRef();
  return kOk;
}

uint32_t LumoDownloader::AddRef() { return static_cast<uint32_t>(IncrementReference()); }

uint32_t LumoDownloader::Release() {
  const int32_t left = DecrementReference();
  if (left == 0) delete this;
  return static_cast<uint32_t>(left);
}

int32_t LumoDownloader::GetOption(int32_t id, void* buffer, uint32_t* size) {
  return Guarded([&]() -> int32_t {
    if (buffer == nullptr || size == nullptr) return kInvalidArg;
    std::vector<uint8_t> value;
    if (!shared_->options.Get(id, &value)) return kFail;
    if (static_cast<uint32_t>(id) > 11u) return kInvalidArg;
    switch (id) {
      case kLumoOptionMaxSpeed:
      case kLumoOptionConnectTimeout:
      case kLumoOptionTransferTimeout:
        // Never read past what the host stored.
        if (*size < 4 || value.size() < 4) return kFail;
        std::memcpy(buffer, value.data(), 4);
        *size = 4;
        return kOk;
      case kLumoOptionOverwrite:
        if (*size == 0 || value.empty()) return kFail;
        std::memcpy(buffer, value.data(), 1);
        *size = 1;
        return kOk;
      case kLumoOptionProxy:
      case kLumoOptionUserAgent:
        return kFail;
      case kLumoOptionSid:
        AssignText(static_cast<LumoString*>(buffer),
                   shared_->worker ? shared_->worker->Sid() : std::string());
        *size = static_cast<uint32_t>(value.size());
        return kOk;
      default:
        return kInvalidArg;
    }
  });
}

int32_t LumoDownloader::SetOption(int32_t id, const void* data, uint32_t size) {
  return Guarded([&]() -> int32_t {
    // A count without bytes would be read from nowhere.
    if (data == nullptr && size != 0) return kInvalidArg;
    shared_->options.Set(id, data, size);
    DownloadWorker* worker = shared_->worker.get();
    if (worker == nullptr) return kOk;
    const std::string text(static_cast<const char*>(data), data == nullptr ? 0 : size);
    switch (id) {
      case kLumoOptionSid:
        worker->SetSid(text);
        break;
      case kLumoOptionGameCode:
        worker->SetGameCode(text);
        break;
      case kLumoOptionClientVersion:
        worker->SetClientVersion(text);
        break;
      default: {
        // The running file takes the option at once; when its session refuses it (a value it
        // cannot use, or one it cannot change any more) the host hears so. The option is
        // stored either way and applies from the next file.
        const int32_t engineId = OptionStore::EngineOptionId(id);
        if (engineId >= 0) {
          const int32_t answer = worker->ApplyToCurrentSession(engineId, data, size);
          if (answer < 0) return answer;
        }
        break;
      }
    }
    return kOk;
  });
}

int32_t LumoDownloader::AddDownload(const char* const* urls, uint32_t urlCount,
                                    const LumoWChar* saveDir, const LumoWChar* fileName,
                                    const char* const* checksumUrls, uint32_t checksumUrlCount,
                                    const char* checksumMd5) {
  return Guarded([&]() -> int32_t {
    if (urls == nullptr || saveDir == nullptr) return kInvalidArg;
    if (checksumUrls == nullptr && checksumUrlCount != 0) return kInvalidArg;
    // A job queued now would never run.
    if (RefusedAfterStop("AddDownload")) return kAccessDenied;
    auto refuse = [](const char* reason) {
      WriteLog(LogLevel::kWarn, "%s", reason);
      return kInvalidArg;
    };
    const WChar* saveDirText = reinterpret_cast<const WChar*>(saveDir);
    const WChar* fileNameText = reinterpret_cast<const WChar*>(fileName);

    DownloadJob job;
    if (!CopyIntoJobBuffer(saveDirText, &job.saveDir)) return refuse(kSaveDirTooLong);
    if (job.saveDir[0] == 0) return refuse(kNoSaveDir);
    if (!CopyIntoJobBuffer(fileNameText, &job.fileName)) return refuse(kFileNameTooLong);
    // A name may hold subfolders, but never leads out of the save folder or to a device.
    const std::string nameText = Utf8Of(job.FileName());
    if (!IsLegalHostFileName(nameText)) {
      WriteLog(LogLevel::kWarn, "Download file failed, the file name is illegal: %s",
               nameText.c_str());
      return kInvalidArg;
    }
    // Either separator from the host; the platform's own in the job, so the paths reported are
    // the paths written.
    for (WChar& c : job.fileName) {
      if (platform::IsPathSeparator(c)) c = static_cast<WChar>(platform::kPathSeparator);
    }
    if (checksumMd5 != nullptr) job.checksumMd5 = checksumMd5;
    for (uint32_t i = 0; i < urlCount; ++i) {
      if (urls[i] != nullptr) job.urls.emplace_back(urls[i]);
    }
    for (uint32_t i = 0; i < checksumUrlCount; ++i) {
      if (checksumUrls[i] != nullptr) job.checksumUrls.emplace_back(checksumUrls[i]);
    }
    if (job.urls.empty()) return refuse(kNoUrls);
    if (shared_->worker) shared_->worker->NoteQueued(job);
    shared_->queue.PushBack(job);
    shared_->control.wake.Raise();  // an idle worker starts it now, not at its next poll
    return kOk;
  });
}

int32_t LumoDownloader::Start() {
  return Guarded([&]() -> int32_t {
    DownloadWorker* worker = shared_->worker.get();
    ModuleVersionEvent event;
    if (worker != nullptr) worker->Identity().FillEvent(&event);
    WriteLog(LogLevel::kInfo, "Start to download with sid:%s", event.sid.c_str());

    event.moduleName = kModuleName;
    event.version = kModuleVersion;
    event.buildId = kModuleBuildId;
    reporter_.EnqueueModuleVersion(event);

    if (RefusedAfterStop("Start")) return kAccessDenied;
    // A Resume or ResetProgress before the first Start also claims "running": refusing then
    // would leave the worker held for ever.
    if (!thread_.joinable() ||
        (resumed_.load() && shared_->control.runState == kLumoRunStateRunning)) {
      return kAccessDenied;
    }
    shared_->control.runState = kLumoRunStateRunning;
    worker->ResetWorker();
    if (!resumed_.exchange(true)) shared_->released.Raise();
    shared_->control.wake.Raise();
    return kOk;
  });
}

int32_t LumoDownloader::Pause(uint32_t /*reserved*/) {
  return Guarded([&]() -> int32_t {
    if (!thread_.joinable() || shared_->control.controlState == kControlPaused) {
      return kAccessDenied;
    }
    if (RefusedAfterStop("Pause")) return kAccessDenied;
    shared_->control.controlState = kControlPaused;
    shared_->worker->SetRunning(false);
    int32_t abortResult = kOk;
    if (shared_->worker->AbortCurrentSession(&abortResult)) return abortResult;
    return kOk;
  });
}

int32_t LumoDownloader::Resume() {
  return Guarded([&]() -> int32_t {
    if (RefusedAfterStop("Resume")) return kAccessDenied;
    shared_->control.controlState = kControlResumed;
    shared_->control.runState = kLumoRunStateRunning;
    shared_->control.wake.Raise();
    return kOk;
  });
}

int32_t LumoDownloader::ResetProgress() {
  return Guarded([&]() -> int32_t {
    // After Stop nothing runs again: the progress data is reset, the state is not claimed.
    if (!stopped_.load()) shared_->control.runState = kLumoRunStateRunning;
    if (shared_->worker) shared_->worker->ResetWorker();
    return kOk;
  });
}

int32_t LumoDownloader::Stop(uint32_t /*reserved*/) {
  return Guarded([&]() -> int32_t {
    if (!thread_.joinable()) return kAccessDenied;
    stopped_.store(true);
    shared_->control.controlState = kControlQuit;
    shared_->worker->SetRunning(false);
    int32_t ignored = kOk;
    shared_->worker->AbortCurrentSession(&ignored);
    shared_->control.wake.Raise();
    return kOk;
  });
}

int32_t LumoDownloader::GetProgress(uint32_t* state, uint64_t* bytes, uint32_t* averageSpeed,
                                    uint32_t* currentSpeed, LumoString* path) {
  return Guarded([&]() -> int32_t {
    if (state == nullptr || bytes == nullptr || averageSpeed == nullptr ||
        currentSpeed == nullptr) {
      return kInvalidArg;
    }
    *state = shared_->control.runState;
    DownloadStatus status{};
    std::string current;
    if (shared_->worker) {
      shared_->worker->RefreshStatus(&status);
      current = shared_->worker->CurrentPath();
    }
    *bytes = (uint64_t{status.words[kLumoWordDownloadedHigh]} << 32) |
             status.words[kLumoWordDownloadedLow];
    *averageSpeed = status.words[kLumoWordAverageSpeed];
    *currentSpeed = status.words[kLumoWordCurrentSpeed];
    AssignText(path, current);
    return kOk;
  });
}

int32_t LumoDownloader::GetOverallState(uint32_t* state, uint32_t* reserved) {
  return Guarded([&]() -> int32_t {
    if (state == nullptr) return kInvalidArg;
    DownloadStatus status{};
    if (shared_->worker) shared_->worker->RefreshStatus(&status);
    *state = status.words[kLumoWordOverallState];
    if (reserved != nullptr) *reserved = 0;
    return kOk;
  });
}

int32_t LumoDownloader::GetStatistics(DownloadStatus* status) {
  return Guarded([&]() -> int32_t {
    if (status == nullptr) return kInvalidArg;
    DownloadStatus copy{};
    if (shared_->worker) shared_->worker->RefreshStatus(&copy);
    *status = copy;
    return kOk;
  });
}

int32_t LumoDownloader::SampleStatistics() {
  return Guarded([&]() -> int32_t {
    if (shared_->worker) shared_->worker->SampleStatistics();
    return kOk;
  });
}

int32_t LumoDownloader::GetCompletedFiles(LumoString* list) {
  return Guarded([&]() -> int32_t {
    if (list == nullptr) return kInvalidArg;
    AssignText(list, shared_->worker ? shared_->worker->CompletedFiles() : std::string());
    return kOk;
  });
}

uint32_t LumoDownloader::RunState() const { return shared_->control.runState; }
uint32_t LumoDownloader::ControlState() const { return shared_->control.controlState; }
size_t LumoDownloader::QueuedJobs() const { return shared_->queue.Size(); }

}  // namespace lumo
