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
      const AttemptVerdict verdict = judge(url, outcome.last);
      if (verdict == AttemptVerdict::kDone) {
        outcome.done = true;
        return outcome;
      }
      if (verdict == AttemptVerdict::kNextUrl) break;
    }
  }
  return outcome;
}

AttemptVerdict JudgeDataFileAttempt(const std::string&, const DownloadResult& result) {
  return result.code == kZdlResultSuccess || IsDiskFailure(result) ? AttemptVerdict::kDone
                                                                   : AttemptVerdict::kRetry;
}

}  // namespace lumo
