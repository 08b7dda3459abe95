// The module's whole outward face: three exports and the one downloader object.
#include <new>
#include <string>

#include "lumo/lumo_downloader.h"
#include "module/engine_loader.h"
#include "base/log.h"
#include "module/downloader.h"
#include "telemetry/reporter.h"

namespace {

lumo::LumoDownloader* g_downloader = nullptr;  // holds one reference while set

void AssignText(LumoString* target, const std::string& text) {
  if (target != nullptr && target->assign != nullptr) {
    target->assign(target->context, text.data(), static_cast<uint32_t>(text.size()));
  }
}

}  // namespace

extern "C" LUMO_API int32_t LUMO_CDECL mod_lumoinit(LumoString* errorText) {
  try {
    lumo::ZDownloadLoader& loader = lumo::ZDownloadLoader::Process();
    // The engine stays loaded until the module unloads, so a second initialisation is refused
    // before an object exists that could release the first object's engine.
    if (loader.IsLoaded()) {
      const int32_t code = static_cast<int32_t>(0x80070005u);
      const std::string text = loader.LoadFailureText(code);
      lumo::WriteLog(lumo::LogLevel::kError, "%s", text.c_str());
      lumo::LogBindFailure(text);
      AssignText(errorText, text);
      return code;
    }
    auto* downloader = new (std::nothrow) lumo::LumoDownloader(
        loader, lumo::Reporter::Instance(), lumo::Timing::Production(),
        lumo::Endpoints::Production());
    if (downloader == nullptr) return static_cast<int32_t>(0x8007000Eu);
    downloader->AddRef();
    std::string reason;
    const int32_t code = downloader->Initialize(&reason);
    if (code < 0) {
      AssignText(errorText, reason);
      downloader->Release();
      return code;
    }
    g_downloader = downloader;
    return 0;
  } catch (const std::bad_alloc&) {
    return static_cast<int32_t>(0x8007000Eu);
  } catch (...) {
    return static_cast<int32_t>(0x80004005u);
  }
}

extern "C" LUMO_API int32_t LUMO_CDECL mod_lumoterm(void) {
  lumo::LumoDownloader* downloader = g_downloader;
  g_downloader = nullptr;
  if (downloader != nullptr) downloader->Release();
  return 0;
}

extern "C" LUMO_API int32_t LUMO_CDECL mod_lumogetobject(const LumoGuid* iid, void** out) {
  if (out == nullptr) return static_cast<int32_t>(0x80070057u);
  *out = nullptr;
  if (iid == nullptr || g_downloader == nullptr) return static_cast<int32_t>(0x80004002u);
  return g_downloader->QueryInterface(iid, out);
}
