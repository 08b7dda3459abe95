#include "job_outcome.h"

#include <algorithm>

namespace lumoget {
namespace {

// The module's own log texts that lumoget reads.
constexpr char kStartText[] = "Start to download ";
constexpr char kFailedText[] = "Failed to download file, ";
constexpr char kAttemptFailedText[] = "Download file failed from ";
constexpr char kStartFromUrlText[] = "Start to download file from ";

bool StartsWith(const std::string& text, const char* prefix) {
  return text.rfind(prefix, 0) == 0;
}

}  // namespace

LogDigest DigestLog(std::istream& in) {
  LogDigest digest;
  std::string line;
  std::string current;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t space = line.find(' ');
    const size_t dash = line.find(" - ", space == std::string::npos ? 0 : space);
    if (space == std::string::npos || dash == std::string::npos) continue;
    const std::string level = line.substr(space + 1, dash - space - 1);
    const std::string message = line.substr(dash + 3);
    if (StartsWith(message, kStartText) && !StartsWith(message, kStartFromUrlText)) {
      current = message.substr(sizeof kStartText - 1);
    } else if (StartsWith(message, kFailedText)) {
      digest.failure[current] = message.substr(sizeof kFailedText - 1);
    } else if (level == "ERROR" && StartsWith(message, kAttemptFailedText)) {
      digest.lastAttempt[current] = message;
    }
  }
  return digest;
}

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

std::string NormalPath(const std::string& path) {
  std::string out;
  for (char c : path) {
    if (c == '\\') c = '/';
    if (c == '/' && !out.empty() && out.back() == '/') continue;
    out += c;
  }
  return out;
}

std::vector<JobOutcome> JudgeJobs(const std::vector<JobSpec>& jobs,
                                  const std::vector<std::string>& saveDirs,
                                  const std::vector<std::string>& completed,
                                  const LogDigest& digest, char separator) {
  std::vector<std::string> done;
  for (const auto& path : completed) done.push_back(NormalPath(path));
  std::vector<JobOutcome> outcomes;
  for (size_t i = 0; i < jobs.size(); ++i) {
    const std::string name = JobFileName(jobs[i]);
    std::string dir = i < saveDirs.size() ? saveDirs[i] : jobs[i].dir;
    JobOutcome outcome;
    outcome.path = dir;
    if (!dir.empty() && dir.back() != '/' && dir.back() != '\\') outcome.path += separator;
    outcome.path += name;
    outcome.completed =
        std::find(done.begin(), done.end(), NormalPath(outcome.path)) != done.end();
    if (!outcome.completed) {
      const auto failure = digest.failure.find(name);
      outcome.message = failure != digest.failure.end() ? failure->second : "not finished";
      const auto attempt = digest.lastAttempt.find(name);
      if (attempt != digest.lastAttempt.end()) outcome.detail = attempt->second;
    }
    outcomes.push_back(outcome);
  }
  return outcomes;
}

}  // namespace lumoget
