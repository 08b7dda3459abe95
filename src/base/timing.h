// Every interval and bound of the module in one value, handed down from LumoDownloader so that
// tests can run the same code with short intervals. A build divides every interval by
// LUMO_TIME_DIVISOR (counts such as the 120-poll stall limit are never divided).
#pragma once

#include <chrono>
#include <cstdint>

namespace lumo {

struct Timing {
  using Ms = std::chrono::milliseconds;

  Ms workerPoll{1000};       // worker thread: longest wait for a wake-up before it looks at the
                             // queue anyway
  Ms sessionPoll{1000};      // monitor: between two counted polls of a session
  Ms sessionLook{20};        // monitor: between two looks for a final status within one poll
  uint32_t stallPolls = 120;       // counted polls without growth before a stall abort
  uint32_t milestonePolls = 600;   // counted polls between DOWNLOADING milestones
  Ms httpPoll{100};          // text request: one poll of the handler
  uint32_t httpPolls = 50;         // text request: polls at most (the wait's bound)
  Ms httpLook{10};           // text request: between two looks at the handler
  Ms telemetryPoll{100};     // sender: one poll of the handler
  uint32_t telemetryPolls = 100;   // sender: polls per attempt at most (the wait's bound)
  Ms telemetryLook{10};      // sender: between two looks at the handler
  Ms senderIdle{1000};       // sender: between two looks at an empty queue
  Ms senderStop{1000};       // sender: how long a final stop goes on posting what is queued
  Ms destructorWait{5000};   // destructor: how long it waits for the worker thread

  // The production values divided by divisor (at least 1 ms each).
  static Timing Scaled(uint32_t divisor);
  // This build's values (LUMO_TIME_DIVISOR).
  static Timing Production();

  // How many evenly spaced looks one poll is cut into, the last at the end of the poll: about
  // one per look interval, and 1 (the poll itself) when the look is not shorter than the poll.
  static uint32_t LooksPerPoll(Ms look, Ms poll);
};

}  // namespace lumo
