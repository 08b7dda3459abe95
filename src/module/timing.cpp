#include "module/timing.h"

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
  t.httpPoll = scale(t.httpPoll);
  t.telemetryPoll = scale(t.telemetryPoll);
  t.senderIdle = scale(t.senderIdle);
  t.senderStop = scale(t.senderStop);
  t.destructorWait = scale(t.destructorWait);
  return t;
}

Timing Timing::Production() { return Scaled(LUMO_TIME_DIVISOR); }

}  // namespace lumo
