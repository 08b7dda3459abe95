#include "base/poll_until_done.h"

namespace lumo {

PollEnd PollUntilDone(const PollSchedule& schedule,
                      const std::function<bool(PollClock::time_point)>& waitUntil,
                      const std::function<bool()>& look) {
  const int64_t looksPerPoll = Timing::LooksPerPoll(schedule.look, schedule.poll);
  const int64_t first = schedule.lookAtOnce ? 0 : 1;
  const int64_t end = first + looksPerPoll * schedule.polls;
  const PollClock::time_point start = PollClock::now();
  for (int64_t index = first; index < end; ++index) {
    if (index > 0 && !waitUntil(start + schedule.poll * index / looksPerPoll)) {
      return PollEnd::kCutShort;
    }
    if (look()) return PollEnd::kDone;
  }
  return PollEnd::kPollsSpent;
}

}  // namespace lumo
