#include "base/timing.h"

#include "lumo/build_config.h"

namespace lumo {

Timing Timing::Scaled(uint32_t divisor) {
  if (divisor == 0) divisor = 1;
  auto scale = [divisor](Ms value) {
    Ms scaled{value.count() / divisor};
    return scaled.count() < 1 ? Ms{1} : scaled;
  };
  Timing t;
  t.workerPoll = scale(t.workerPoll);
  t.sessionPoll = scale(t.sessionPoll);
  t.sessionLook = scale(t.sessionLook);
  t.httpPoll = scale(t.httpPoll);
  t.httpLook = scale(t.httpLook);
  t.telemetryPoll = scale(t.telemetryPoll);
  t.telemetryLook = scale(t.telemetryLook);
  t.senderIdle = scale(t.senderIdle);
  t.senderStop = scale(t.senderStop);
  t.destructorWait = scale(t.destructorWait);
  return t;
}

Timing Timing::Production() { return Scaled(LUMO_TIME_DIVISOR); }

uint32_t Timing::LooksPerPoll(Ms look, Ms poll) {
  if (look.count() <= 0 || look >= poll) return 1;
  return static_cast<uint32_t>(poll.count() / look.count());
}

}  // namespace lumo
