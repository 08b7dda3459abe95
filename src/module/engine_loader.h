// Binds the engine library: load it from the module's folder (else the host program's),
// resolve mod_init/mod_term/mod_getobject, start it and obtain its two services. The library stays
// loaded until the loader is destroyed (the module's unload), so a second binding in the same
// process is refused.
#pragma once

#include <string>
#include <vector>

#include "module/engine_binding.h"
#include "platform/com_ref.h"
#include "platform/platform.h"

namespace lumo {

class ZDownloadLoader final : public EngineBinding {
 public:
  explicit ZDownloadLoader(WString libraryName);
  ~ZDownloadLoader() override;
  ZDownloadLoader(const ZDownloadLoader&) = delete;
  ZDownloadLoader& operator=(const ZDownloadLoader&) = delete;

  // The module's one loader, for the engine library of this platform.
  static ZDownloadLoader& Process();

  // Loads the library and resolves the entry points: 0, 0x80070005 when a library is already
  // held, 0x80004005 when it cannot be loaded or lacks an entry point. A bare name is looked
  // for in the folders of CandidatePaths; a path is loaded as it stands.
  int32_t Load(const WString& libraryName);
  // The files a load tries, in order: the module's folder, then the host program's.
  static std::vector<WString> CandidatePaths(const WString& libraryName);

  int32_t Bind(std::string* errorText) override;
  IZDownloadService* DownloadService() const override { return downloads_.Get(); }
  IZHttpService* HttpService() const override { return http_.Get(); }
  void ReleaseAndTerminate() override;
  bool IsLoaded() const override { return library_ != nullptr; }

  // The text of a refused or failed load ("Load <name> failed, <system text>").
  std::string LoadFailureText(int32_t code) const;

  // Unloads the library unless the engine still runs (mod_term not called).
  void Unload();

 private:
  WString libraryName_;
  void* library_ = nullptr;
  ZdlInitFn init_ = nullptr;
  ZdlTermFn term_ = nullptr;
  ZdlGetObjectFn getObject_ = nullptr;
  bool initialised_ = false;  // mod_init called (even if it failed) and mod_term not yet
  ComRef<IZDownloadService> downloads_;
  ComRef<IZHttpService> http_;
};

}  // namespace lumo
