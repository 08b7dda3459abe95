// The host's stored options: id -> owned copy of the bytes. Read by the host's GetOption and by
// the worker thread when it re-applies engine options to a new session, hence the lock.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <vector>

#include "platform/mutex.h"

namespace lumo {

class OptionStore {
 public:
  // Stores a copy of size bytes (data may be null only with size 0).
  void Set(int32_t id, const void* data, uint32_t size);
  bool Has(int32_t id) const;
  // Copy of the stored bytes; false when the id was never set.
  bool Get(int32_t id, std::vector<uint8_t>* out) const;

  // Engine id of a host option id, or -1 when the option is not an engine option.
  static int32_t EngineOptionId(int32_t hostId);

  // Calls apply(engineId, bytes) for every stored engine option in ascending host-id order.
  void ForEachEngineOption(
      const std::function<void(int32_t engineId, const std::vector<uint8_t>& value)>& apply) const;

 private:
  mutable Mutex mutex_;
  std::map<int32_t, std::vector<uint8_t>> values_ GUARDED_BY(mutex_);
};

}  // namespace lumo
