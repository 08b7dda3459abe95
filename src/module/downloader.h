// The single downloader object the host drives through ILumoDownloader: options, the job
// queue, the worker thread and its DownloadWorker.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "lumo/lumo_downloader.h"
#include "base/endpoints.h"
#include "module/engine_binding.h"
#include "module/file_results_face.h"
#include "download/job_queue.h"
#include "module/lumo_simple_unknown.h"
#include "base/option_store.h"
#include "base/timing.h"

namespace lumo {

class DownloadWorker;
class Reporter;

// The initialisation's "Error" line of a failed engine binding (also of a refused second one).
void LogBindFailure(const std::string& reason);

class LumoDownloader final : public ILumoDownloader, public LumoSimpleUnknownImpl {
 public:
  // The engine binding and the reporter are borrowed and must outlive the object.
  LumoDownloader(EngineBinding& engine, Reporter& reporter, Timing timing, Endpoints endpoints);

  // Logs the MAC address, binds the engine and creates the worker thread, held until the first
  // Start. On failure returns the negative code and the reason in *errorText.
  int32_t Initialize(std::string* errorText);

  // ILumoDownloader
  int32_t LUMO_STDCALL QueryInterface(const LumoGuid* iid, void** out) override;
  uint32_t LUMO_STDCALL AddRef() override;
  uint32_t LUMO_STDCALL Release() override;
  int32_t LUMO_STDCALL GetOption(int32_t id, void* buffer, uint32_t* size) override;
  int32_t LUMO_STDCALL SetOption(int32_t id, const void* data, uint32_t size) override;
  int32_t LUMO_STDCALL AddDownload(const char* const* urls, uint32_t urlCount,
                                   const LumoWChar* saveDir, const LumoWChar* fileName,
                                   const char* const* checksumUrls, uint32_t checksumUrlCount,
                                   const char* checksumMd5) override;
  int32_t LUMO_STDCALL Start() override;
  int32_t LUMO_STDCALL Pause(uint32_t reserved) override;
  int32_t LUMO_STDCALL Resume() override;
  int32_t LUMO_STDCALL ResetProgress() override;
  int32_t LUMO_STDCALL Stop(uint32_t reserved) override;
  int32_t LUMO_STDCALL GetProgress(uint32_t* state, uint64_t* bytes, uint32_t* averageSpeed,
                                   uint32_t* currentSpeed, LumoString* path) override;
  int32_t LUMO_STDCALL GetOverallState(uint32_t* state, uint32_t* reserved) override;
  int32_t LUMO_STDCALL GetStatistics(DownloadStatus* status) override;
  int32_t LUMO_STDCALL SampleStatistics() override;
  int32_t LUMO_STDCALL GetCompletedFiles(LumoString* list) override;

  // For tests: the state words and whether the worker thread exists.
  uint32_t RunState() const;
  uint32_t ControlState() const;
  bool HasWorkerThread() const { return thread_.joinable(); }
  size_t QueuedJobs() const;

 private:
  // Everything the worker thread touches, shared with the thread (which the destruction
  // joins).
  struct Shared;

  ~LumoDownloader();
  void StopWorkerThread();
  // After Stop the worker thread ends and nothing restarts it: calls that need it are refused
  // with a "WARN" line naming the operation.
  bool RefusedAfterStop(const char* operation) const;
  static void ThreadMain(std::shared_ptr<Shared> shared);

  EngineBinding& engine_;
  Reporter& reporter_;
  std::shared_ptr<Shared> shared_;
  std::thread thread_;                // empty when creation failed or before Initialize
  std::atomic<bool> resumed_{false};  // the first Start has released the thread
  std::atomic<bool> stopped_{false};  // Stop was called: the worker ends for good
  bool engineBound_ = false;          // Bind was attempted: release and terminate at the end
  FileResultsFace fileResults_{*this};  // ILumoFileResults, answered by QueryInterface only
};

}  // namespace lumo
