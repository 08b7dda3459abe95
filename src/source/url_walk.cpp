#include "source/url_walk.h"

#include "base/result_codes.h"
#include "source/transfers.h"
#include "zdl/zdl_engine.h"

namespace lumo {

WalkOutcome WalkUrls(const std::vector<std::string>& urls, const Transfers& driver,
                     const UrlAttempt& attempt, const AttemptJudge& judge) {
  WalkOutcome outcome;
  for (const std::string& url : urls) {
    for (int tried = 0; tried < kAttemptsPerUrl; ++tried) {
      if (!driver.Running()) continue;
      outcome.last = attempt(url);
      outcome.attempted = true;
      if (IsShortClaim(outcome.last)) outcome.claimShort = true;
      const AttemptVerdict verdict = judge(url, outcome.last);
      if (verdict == AttemptVerdict::kDone) {
        outcome.done = true;
        return outcome;
      }
      if (verdict == AttemptVerdict::kNextUrl) break;
    }
  }
  outcome.last = SettleShortClaim(outcome.last, outcome.claimShort);
  return outcome;
}

AttemptVerdict JudgeDataFileAttempt(const std::string&, const DownloadResult& result) {
  if (result.code == kZdlResultSuccess || IsDiskFailure(result)) return AttemptVerdict::kDone;
  // The same mirror would announce the same size; another may tell the truth.
  return IsShortClaim(result) ? AttemptVerdict::kNextUrl : AttemptVerdict::kRetry;
}

}  // namespace lumo
