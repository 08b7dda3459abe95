#include "base/option_store.h"

#include <cstring>

namespace lumo {

void OptionStore::Set(int32_t id, const void* data, uint32_t size) {
  std::vector<uint8_t> value(size);
  if (size != 0 && data != nullptr) std::memcpy(value.data(), data, size);
  MutexLock lock(mutex_);
  values_[id] = std::move(value);
}

bool OptionStore::Has(int32_t id) const {
  MutexLock lock(mutex_);
  return values_.count(id) != 0;
}

bool OptionStore::Get(int32_t id, std::vector<uint8_t>* out) const {
  MutexLock lock(mutex_);
  auto it = values_.find(id);
  if (it == values_.end()) return false;
  *out = it->second;
  return true;
}

int32_t OptionStore::EngineOptionId(int32_t hostId) {
  if (hostId >= 0 && hostId <= 4) return hostId;
  if (hostId == 11) return 5;
  return -1;
}

void OptionStore::ForEachEngineOption(
    const std::function<void(int32_t engineId, const std::vector<uint8_t>& value)>& apply) const {
  // Copy first: apply calls into the engine, which must not run under our lock.
  std::vector<std::pair<int32_t, std::vector<uint8_t>>> engineOptions;
  {
    MutexLock lock(mutex_);
    for (const auto& entry : values_) {
      const int32_t engineId = EngineOptionId(entry.first);
      if (engineId >= 0) engineOptions.emplace_back(engineId, entry.second);
    }
  }
  for (const auto& option : engineOptions) apply(option.first, option.second);
}

}  // namespace lumo
