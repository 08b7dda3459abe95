#include "source/request_report.h"

#include "base/worker_identity.h"
#include "platform/platform.h"
#include "telemetry/events.h"
#include "telemetry/reporter.h"

namespace lumo {

std::string ReportRequest(Reporter& reporter, const WorkerIdentity& identity,
                          const char* eventType, int32_t status, const std::string& url,
                          const std::string& response) {
  RequestEvent event;
  event.eventType = eventType;
  identity.FillEvent(&event);
  event.url = url;
  event.msg = "HRESULT=" + platform::SystemErrorText(status);
  event.response = response;
  event.success = status >= 0 ? 1 : 0;
  reporter.Enqueue(event.ToForm());
  return event.msg;
}

}  // namespace lumo
