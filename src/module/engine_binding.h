// How the downloader reaches the engine: bind once, use the two services, release at the end.
// The real binding loads the engine library; tests bind to an in-process fake.
#pragma once

#include <cstdint>
#include <string>

#include "zdl/zdl_engine.h"

namespace lumo {

class EngineBinding {
 public:
  virtual ~EngineBinding() = default;
  // Binds the engine; on failure returns the negative code and the reason in *errorText.
  virtual int32_t Bind(std::string* errorText) = 0;
  virtual IZDownloadService* DownloadService() const = 0;
  virtual IZHttpService* HttpService() const = 0;
  // Releases the download service, then the HTTP service, and terminates the engine.
  virtual void ReleaseAndTerminate() = 0;
  // True while the library is held (a second binding in the same process is refused).
  virtual bool IsLoaded() const = 0;
};

}  // namespace lumo
