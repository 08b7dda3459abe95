// One transfer of one URL into saveDir/fileName, run on an engine thread of its own.
//
// The data goes to fileName + ".part"; the validator of the first answer (a strong ETag, else
// Last-Modified) is kept in fileName + ".part.meta" and sent as If-Range when a later session
// resumes the part, so a changed file answers 200 and the data starts over instead of being
// spliced onto another version; a part is continued only by an answer carrying that validator.
// Only a complete (and, with a manifest, verified) file is renamed to its final name. Abort and
// Pause both keep the part for a later session; a session that ends unfinished gives back the
// room it reserved, and an empty part it created itself goes with it.
#pragma once

#include <atomic>
#include <chrono>
#include <deque>
#include <memory>
#include <string>

#include "engine_runtime.h"
#include "platform/mutex.h"
#include "platform/platform.h"
#include "ref_counted.h"
#include "transport/transport.h"
#include "zdl/zdl_engine.h"

namespace zdl {

// Engine options 0 to 5 as SetOption stores them.
struct SessionOptions {
  uint32_t maxBytesPerSecond = 0;
  uint32_t connectTimeoutSeconds = 0;  // 0 = 30
  bool overwrite = false;
  std::string proxy;
  std::string userAgent;
  uint32_t transferTimeoutSeconds = 0;  // 0 = none
};

class DownloadSession final : public NotifyingRefCounted<IZDownloadSession> {
 public:
  static int32_t Create(const char* url, const ZdlWChar* checksumPath, const ZdlWChar* saveDir,
                        const ZdlWChar* fileName, IZDownloadSession** out);

  int32_t ZDL_STDCALL GetOption(int32_t id, void* value, uint32_t* size) override;
  int32_t ZDL_STDCALL SetOption(int32_t id, const void* value, uint32_t size) override;
  int32_t ZDL_STDCALL Start() override;
  int32_t ZDL_STDCALL Abort() override;
  int32_t ZDL_STDCALL Pause() override;
  int32_t ZDL_STDCALL GetStatus(int32_t* status, uint64_t* totalBytes, uint64_t* downloadedBytes,
                                uint32_t* averageSpeed, uint32_t* currentSpeed) override;
  int32_t ZDL_STDCALL GetResult(int32_t* result, int32_t* extendedCode) override;
  int32_t ZDL_STDCALL GetFileInfo(ZdlFileInfo* info) override;

  // The state the engine thread works on; shared so the thread never outlives it.
  class Core;

 private:
  explicit DownloadSession(std::shared_ptr<Core> core);
  ~DownloadSession() = default;
  void OnFinalRelease() override;
  CompletionNotifier& Notifier() override;

  std::shared_ptr<Core> core_;
  lumo::Mutex lock_;
  std::shared_ptr<EngineTask> task_ GUARDED_BY(lock_);  // set by Start
};

}  // namespace zdl
