// Telling which jobs succeeded (the module's completed-file list) and why the others failed (the
// module's log, which carries the result message of every failed file).
#pragma once

#include <istream>
#include <map>
#include <string>
#include <vector>

#include "command_line.h"

namespace lumoget {

// What the module's log says about the files of this run, by file name.
struct LogDigest {
  std::map<std::string, std::string> failure;      // "Failed to download file, " + message
  std::map<std::string, std::string> lastAttempt;  // the last failed attempt's ERROR line
};

// Reads log lines ("<time> <level> - <message>", LF or CR LF ends).
LogDigest DigestLog(std::istream& in);

// Splits the completed-file list ("a;b;c").
std::vector<std::string> SplitCompleted(const std::string& list);

// Paths compared with either separator and without doubled separators.
std::string NormalPath(const std::string& path);

struct JobOutcome {
  std::string path;
  bool completed = false;
  std::string message;  // why it failed ("" when completed)
  std::string detail;   // the last failed attempt, when known
};

// saveDirs[i] is the directory job i was queued with.
std::vector<JobOutcome> JudgeJobs(const std::vector<JobSpec>& jobs,
                                  const std::vector<std::string>& saveDirs,
                                  const std::vector<std::string>& completed,
                                  const LogDigest& digest, char separator);

}  // namespace lumoget
