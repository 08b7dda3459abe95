// A loadable stand-in for the engine library, built in several variants to exercise the
// module's binding: a working one, one without mod_getobject, one whose mod_init fails, and
// ones whose services cannot be obtained. fake_zdl_events() tells what the module called.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "zdl/zdl_engine.h"

namespace {

// Plain storage, nothing to destroy: a host may terminate the engine from its own exit-time
// destructors, after this library's.
std::mutex g_eventsLock;
char g_events[1024];  // guarded by g_eventsLock; what does not fit is left out

void Record(const char* event) {
  std::lock_guard<std::mutex> lock(g_eventsLock);
  const size_t used = std::strlen(g_events);
  std::snprintf(g_events + used, sizeof g_events - used, "%s;", event);
}

[[maybe_unused]] bool Same(const ZdlGuid* a, const ZdlGuid& b) {
  return a != nullptr && std::memcmp(a, &b, sizeof b) == 0;
}

// Services that exist and count references but refuse work: enough for binding and teardown.
template <typename Interface>
struct Service : Interface {
  explicit Service(const char* releaseEvent) : released(releaseEvent) {}
  int32_t ZDL_STDCALL QueryInterface(const ZdlGuid*, void**) override { return kZdlNoInterface; }
  uint32_t ZDL_STDCALL AddRef() override { return ++refs; }
  uint32_t ZDL_STDCALL Release() override {
    Record(released);
    return --refs;
  }
  const char* released;
  std::atomic<uint32_t> refs{0};
};

struct DownloadService final : Service<IZDownloadService> {
  DownloadService() : Service("release-download") {}
  int32_t ZDL_STDCALL CreateSession(const char*, const ZdlWChar*, const ZdlWChar*, const ZdlWChar*,
                                    IZDownloadSession**) override {
    return kZdlFail;
  }
};

struct HttpService final : Service<IZHttpService> {
  HttpService() : Service("release-http") {}
  int32_t ZDL_STDCALL CreateRequest(uint32_t, int32_t, const char*, IZHttpResponseHandler*,
                                    uint32_t, IZHttpRequest**) override {
    return kZdlFail;
  }
};

DownloadService g_download;
HttpService g_http;

}  // namespace

extern "C" ZDL_API int32_t mod_init(void) {
  Record("init");
#ifdef FAKE_ZDL_INIT_FAILS
  return kZdlFail;
#endif
  return kZdlOk;
}

extern "C" ZDL_API void mod_term(void) { Record("term"); }

#ifndef FAKE_ZDL_NO_GETOBJECT
extern "C" ZDL_API int32_t mod_getobject(const ZdlGuid* iid, void** out) {
  if (out == nullptr) return kZdlPointer;
  *out = nullptr;
  if (Same(iid, IID_IZDownloadService)) {
    Record("get-download");
#ifdef FAKE_ZDL_DOWNLOAD_SERVICE_FAILS
    return kZdlNoInterface;
#endif
    g_download.AddRef();
    *out = static_cast<IZDownloadService*>(&g_download);
    return kZdlOk;
  }
  if (Same(iid, IID_IZHttpService)) {
    Record("get-http");
#ifdef FAKE_ZDL_HTTP_SERVICE_FAILS
    return kZdlOutOfMemory;
#endif
    g_http.AddRef();
    *out = static_cast<IZHttpService*>(&g_http);
    return kZdlOk;
  }
  return kZdlNoInterface;
}
#endif

extern "C" ZDL_API const char* fake_zdl_events(void) {
  static char copy[sizeof g_events];
  std::lock_guard<std::mutex> lock(g_eventsLock);
  std::memcpy(copy, g_events, sizeof copy);
  return copy;
}
