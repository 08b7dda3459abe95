// Loads the downloader module the way a launcher does: by file name, through its three exports.
#pragma once

#include <string>

#include "lumo/lumo_downloader.h"

namespace lumoget {

class ModuleHost {
 public:
  // Loads the library and resolves mod_lumoinit, mod_lumoterm and mod_lumogetobject.
  bool Load(const std::string& path, std::string& error);
  // mod_lumoinit; errorText receives the module's reason when the engine cannot be loaded.
  int32_t Init(std::string& errorText);
  // mod_lumogetobject for ILumoDownloader; the caller releases the reference.
  int32_t GetDownloader(ILumoDownloader** downloader);
  // mod_lumoterm. The library itself stays loaded: module threads may outlive the object.
  int32_t Term();

 private:
  void* library_ = nullptr;
  LumoInitFn init_ = nullptr;
  LumoTermFn term_ = nullptr;
  LumoGetObjectFn getObject_ = nullptr;
};

// Holds one reference to the downloader and gives it back.
class DownloaderRef {
 public:
  DownloaderRef() = default;
  ~DownloaderRef() { Reset(); }
  DownloaderRef(const DownloaderRef&) = delete;
  DownloaderRef& operator=(const DownloaderRef&) = delete;
  ILumoDownloader** Slot() {
    Reset();
    return &downloader_;
  }
  ILumoDownloader* operator->() const { return downloader_; }
  explicit operator bool() const { return downloader_ != nullptr; }
  void Reset() {
    if (downloader_) downloader_->Release();
    downloader_ = nullptr;
  }

 private:
  ILumoDownloader* downloader_ = nullptr;
};

}  // namespace lumoget
