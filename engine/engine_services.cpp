#include "engine_services.h"

#include <new>

#include "download_session.h"
#include "engine_runtime.h"
#include "http_request.h"
#include "ref_counted.h"

namespace zdl {
namespace {

class DownloadService final : public RefCounted<IZDownloadService> {
 public:
  DownloadService() : RefCounted<IZDownloadService>(IID_IZDownloadService) {}

  int32_t ZDL_STDCALL CreateSession(const char* url, const ZdlWChar* checksumPath,
                                    const ZdlWChar* saveDir, const ZdlWChar* fileName,
                                    IZDownloadSession** session) override {
    if (session) *session = nullptr;
    if (!EngineRuntime::Instance().IsRunning()) return kZdlWrongState;
    return DownloadSession::Create(url, checksumPath, saveDir, fileName, session);
  }

 private:
  void OnFinalRelease() override {}  // lives as long as the process
};

class HttpService final : public RefCounted<IZHttpService> {
 public:
  HttpService() : RefCounted<IZHttpService>(IID_IZHttpService) {}

  int32_t ZDL_STDCALL CreateRequest(uint32_t flags, int32_t method, const char* url,
                                    IZHttpResponseHandler* handler, uint32_t /*reserved*/,
                                    IZHttpRequest** request) override {
    if (request) *request = nullptr;
    if (!EngineRuntime::Instance().IsRunning()) return kZdlWrongState;
    return HttpRequest::Create(flags, method, url, handler, request);
  }

 private:
  void OnFinalRelease() override {}
};

// The services live in static storage and are never destroyed: a host may hold a reference
// until the process ends, and unloading the library frees nothing that was allocated.
template <typename Service>
Service& StaticService() {
  alignas(Service) static unsigned char storage[sizeof(Service)];
  static Service* const service = new (storage) Service();
  return *service;
}

DownloadService& TheDownloadService() { return StaticService<DownloadService>(); }
HttpService& TheHttpService() { return StaticService<HttpService>(); }

}  // namespace

int32_t EngineInit() {
  try {
    return EngineRuntime::Instance().Start() ? kZdlOk : kZdlFail;
  } catch (...) {
    return kZdlFail;
  }
}

void EngineTerm() {
  try {
    EngineRuntime::Instance().Stop();
  } catch (...) {
  }
}

int32_t EngineGetObject(const ZdlGuid* iid, void** out) {
  if (iid == nullptr || out == nullptr) return kZdlPointer;
  if (SameGuid(iid, IID_IZDownloadService)) {
    return TheDownloadService().QueryInterface(iid, out);
  }
  if (SameGuid(iid, IID_IZHttpService)) {
    return TheHttpService().QueryInterface(iid, out);
  }
  *out = nullptr;
  return kZdlNoInterface;
}

}  // namespace zdl
