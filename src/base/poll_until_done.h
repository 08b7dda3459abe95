// The one wait for work that another thread finishes: a bounded number of counted polls of a
// fixed interval, each cut into evenly spaced looks, so finished work is seen within one look
// while the polls keep their pace. The transfer monitor, the text request and the report sender
// all wait this way.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

#include "base/timing.h"

namespace lumo {

using PollClock = std::chrono::steady_clock;

struct PollSchedule {
  Timing::Ms poll{0};  // one counted poll
  Timing::Ms look{0};  // between two looks within a poll (see Timing::LooksPerPoll)
  uint32_t polls = 1;  // counted polls at most
  // First look at once, the last one a look before the end (a request just sent may be answered
  // already); otherwise the first look comes one look in and the last at the end of the polls.
  bool lookAtOnce = false;
};

enum class PollEnd {
  kDone,        // a look found the work done
  kPollsSpent,  // the polls ran out first
  kCutShort,    // waitUntil ended the wait (a quit, a stop)
};

// Looks at fixed points of the schedule, measured from the call, so time spent in a look does
// not stretch the polls. Before every look that is not at once, waitUntil(point) waits until
// point and returns false to end the wait there; look() returns true when the work is done.
PollEnd PollUntilDone(const PollSchedule& schedule,
                      const std::function<bool(PollClock::time_point)>& waitUntil,
                      const std::function<bool()>& look);

}  // namespace lumo
