// Which files succeeded and why the others failed, as the module's per-file results tell it.
#pragma once

#include <string>
#include <vector>

#include "lumo/lumo_downloader.h"

namespace lumoget {

// Splits the completed-file list ("a;b;c").
std::vector<std::string> SplitCompleted(const std::string& list);

struct JobOutcome {
  std::string path;
  bool completed = false;
  std::string message;  // why it failed ("" when completed)
  uint32_t attempts = 0;
};

// One file's outcome from its result and the module's message for it.
JobOutcome OutcomeOf(const std::string& path, const LumoFileResult& result,
                     const std::string& message);

// Every file the module knows of this run, in queue order.
std::vector<JobOutcome> CollectOutcomes(ILumoFileResults* results);

}  // namespace lumoget
