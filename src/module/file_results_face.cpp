#include "module/file_results_face.h"

#include <cstring>
#include <string>

#include "download/download_worker.h"

namespace lumo {
namespace {

bool SameIid(const LumoGuid* iid, const LumoGuid& known) {
  return std::memcmp(iid, &known, sizeof(LumoGuid)) == 0;
}

void Assign(LumoString* target, const std::string& text) {
  if (target != nullptr && target->assign != nullptr) {
    target->assign(target->context, text.data(), static_cast<uint32_t>(text.size()));
  }
}

int32_t Answer(bool found, const FileResultEntry& entry, LumoFileResult* result,
               LumoString* message, LumoString* path) {
  if (!found) return kLumoNotFound;
  *result = entry.result;
  Assign(message, entry.message);
  Assign(path, entry.path);
  return kLumoOk;
}

}  // namespace

int32_t FileResultsFace::QueryInterface(const LumoGuid* iid, void** out) {
  if (out == nullptr) return kLumoInvalidArg;
  if (iid == nullptr) return kLumoNoInterface;
  if (SameIid(iid, IID_ILumoFileResults)) {
    *out = static_cast<ILumoFileResults*>(this);
  } else if (SameIid(iid, IID_LumoUnknown) || SameIid(iid, IID_ILumoDownloader)) {
    *out = &owner_;
  } else {
    return kLumoNoInterface;
  }
  owner_.AddRef();
  return kLumoOk;
}

int32_t FileResultsFace::GetFileResult(const char* path, LumoFileResult* result,
                                       LumoString* message, LumoString* foundPath) {
  if (result == nullptr) return kLumoInvalidArg;
  if (worker_ == nullptr) return kLumoNotFound;
  try {
    FileResultEntry entry;
    const bool found = worker_->FileResult(path == nullptr ? std::string() : path, &entry);
    return Answer(found, entry, result, message, foundPath);
  } catch (...) {
    return kLumoOutOfMemory;
  }
}

int32_t FileResultsFace::GetFileCount(uint32_t* count) {
  if (count == nullptr) return kLumoInvalidArg;
  *count = worker_ == nullptr ? 0 : static_cast<uint32_t>(worker_->FileResultCount());
  return kLumoOk;
}

int32_t FileResultsFace::GetFileResultAt(uint32_t index, LumoFileResult* result,
                                         LumoString* message, LumoString* path) {
  if (result == nullptr) return kLumoInvalidArg;
  if (worker_ == nullptr) return kLumoNotFound;
  try {
    FileResultEntry entry;
    const bool found = worker_->FileResultAt(index, &entry);
    return Answer(found, entry, result, message, path);
  } catch (...) {
    return kLumoOutOfMemory;
  }
}

}  // namespace lumo
