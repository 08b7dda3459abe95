#include "job_outcome.h"

namespace lumoget {
namespace {

// The module's message leads with this; the rest is the reason.
constexpr char kFailedText[] = "Failed to download file, ";

}  // namespace

std::vector<std::string> SplitCompleted(const std::string& list) {
  std::vector<std::string> paths;
  size_t start = 0;
  while (start < list.size()) {
    size_t end = list.find(';', start);
    if (end == std::string::npos) end = list.size();
    if (end > start) paths.push_back(list.substr(start, end - start));
    start = end + 1;
  }
  return paths;
}

JobOutcome OutcomeOf(const std::string& path, const LumoFileResult& result,
                     const std::string& message) {
  JobOutcome outcome;
  outcome.path = path;
  outcome.attempts = result.attempts;
  outcome.completed = result.state == kLumoFileDone;
  if (result.state == kLumoFileFailed) {
    outcome.message = message.rfind(kFailedText, 0) == 0 ? message.substr(sizeof kFailedText - 1)
                                                         : message;
    if (outcome.message.empty()) outcome.message = "failed";
  } else if (!outcome.completed) {
    outcome.message = "not finished";
  }
  return outcome;
}

std::vector<JobOutcome> CollectOutcomes(ILumoFileResults* results) {
  std::vector<JobOutcome> outcomes;
  uint32_t count = 0;
  if (results == nullptr || results->GetFileCount(&count) < 0) return outcomes;
  for (uint32_t i = 0; i < count; ++i) {
    LumoFileResult result{};
    std::string message;
    std::string path;
    LumoString messageText = LumoStringFor(message);
    LumoString pathText = LumoStringFor(path);
    if (results->GetFileResultAt(i, &result, &messageText, &pathText) < 0) continue;
    outcomes.push_back(OutcomeOf(path, result, message));
  }
  return outcomes;
}

}  // namespace lumoget
