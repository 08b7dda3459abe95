// Every interval and bound of the module in one value, handed down from LumoDownloader so that
// tests can run the same code with short intervals. A build divides every interval by
// LUMO_TIME_DIVISOR (counts such as the 120-poll stall limit are never divided).
#pragma once

#include <chrono>
#include <cstdint>

namespace lumo {

struct Timing {
  using Ms = std::chrono::milliseconds;

  Ms workerPoll{1000};       // worker thread: between two looks at the queue
  Ms sessionPoll{1000};      // monitor: between two counted polls of a session
  uint32_t stallPolls = 120;       // counted polls without growth before a stall abort
  uint32_t milestonePolls = 600;   // counted polls between DOWNLOADING milestones
  Ms httpPoll{100};          // text request: between two looks at the handler
  uint32_t httpPolls = 50;         // text request: looks at most
  Ms telemetryPoll{100};     // sender: between two looks at the handler
  uint32_t telemetryPolls = 100;   // sender: looks per attempt at most
  Ms senderIdle{1000};       // sender: between two looks at an empty queue
  Ms senderStop{1000};       // sender: how long a stop lets the body in flight finish
  Ms destructorWait{5000};   // destructor: how long it waits for the worker thread

  // The production values divided by divisor (at least 1 ms each).
  static Timing Scaled(uint32_t divisor);
  // This build's values (LUMO_TIME_DIVISOR).
  static Timing Production();
};

}  // namespace lumo
