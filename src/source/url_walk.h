// The one URL walk of the module: each URL in turn, a fixed number of attempts per URL while
// the driver runs. The data file, the checksum file and the resolved-address fallback all walk
// this way; what an attempt does and when a walk ends is theirs to say.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "base/download_result.h"

namespace lumo {

class Transfers;

constexpr int kAttemptsPerUrl = 2;

// What a walk does after an attempt.
enum class AttemptVerdict {
  kRetry,    // another attempt at the same URL while attempts remain, else the next URL
  kNextUrl,  // straight to the next URL
  kDone,     // the walk ends with this attempt's result
};

struct WalkOutcome {
  // The last attempt's result ("Abort download" when none was made); the full-disk result
  // instead when no attempt ended the walk and a claim ran short of space.
  DownloadResult last;
  bool done = false;        // an attempt ended the walk
  bool attempted = false;   // at least one attempt was made
  bool claimShort = false;  // an attempt met a size the disk could not hold
};

using UrlAttempt = std::function<DownloadResult(const std::string& url)>;
using AttemptJudge = std::function<AttemptVerdict(const std::string& url, const DownloadResult&)>;

// Attempts are skipped (not made) while the driver is not running.
WalkOutcome WalkUrls(const std::vector<std::string>& urls, const Transfers& driver,
                     const UrlAttempt& attempt, const AttemptJudge& judge);

// The judge of a data-file walk: a success or a disk failure ends it, a size the disk cannot
// hold goes on to the next URL, anything else retries.
AttemptVerdict JudgeDataFileAttempt(const std::string& url, const DownloadResult& result);

}  // namespace lumo
