// ILumoFileResults, the per-file results of the downloader object. A part of that object, not
// an object of its own: its references are the owner's, and its QueryInterface answers
// IUnknown with the owner's ILumoDownloader, so both faces share one identity.
#pragma once

#include "lumo/lumo_downloader.h"

namespace lumo {

class DownloadWorker;

class FileResultsFace final : public ILumoFileResults {
 public:
  explicit FileResultsFace(ILumoDownloader& owner) : owner_(owner) {}
  FileResultsFace(const FileResultsFace&) = delete;
  FileResultsFace& operator=(const FileResultsFace&) = delete;

  // Set once, before the owner is handed out.
  void Attach(DownloadWorker* worker) { worker_ = worker; }

  int32_t LUMO_STDCALL QueryInterface(const LumoGuid* iid, void** out) override;
  uint32_t LUMO_STDCALL AddRef() override { return owner_.AddRef(); }
  uint32_t LUMO_STDCALL Release() override { return owner_.Release(); }
  int32_t LUMO_STDCALL GetFileResult(const char* path, LumoFileResult* result,
                                     LumoString* message, LumoString* foundPath) override;
  int32_t LUMO_STDCALL GetFileCount(uint32_t* count) override;
  int32_t LUMO_STDCALL GetFileResultAt(uint32_t index, LumoFileResult* result,
                                       LumoString* message, LumoString* path) override;

 private:
  ILumoDownloader& owner_;
  DownloadWorker* worker_ = nullptr;
};

}  // namespace lumo
