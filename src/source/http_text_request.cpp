#include "source/http_text_request.h"

#include "base/completion_wake.h"
#include "base/log.h"
#include "base/poll_until_done.h"
#include "base/signal.h"
#include "base/url_helpers.h"
#include "platform/com_ref.h"
#include "telemetry/http_response_handler.h"

namespace lumo {
namespace {

constexpr uint32_t kHttpOk = 200;
// No CDN configuration or HTTP DNS answer comes near this; a longer body is not one of them.
constexpr size_t kMaxAnswerBytes = 64 * 1024;

}  // namespace

HttpTextRequest::HttpTextRequest(IZHttpService* http, const Timing& timing, const Signal& quit)
    : http_(http), timing_(timing), quit_(quit) {}

int32_t HttpTextRequest::HttpGetText(std::string* body, std::string url) const {
  std::string received;
  uint32_t status = 0;
  bool sent = false;
  bool whole = false;  // the engine completed the answer and did not call it incomplete
  url = AddCacheBuster(url);

  bool overflowed = false;
  // Null when out of memory. Declared before the request so that the request is released first.
  const auto handler =
      ComRef<HttpResponseHandler>::Share(HttpResponseHandler::Create(kMaxAnswerBytes));
  if (handler && http_ != nullptr) {
    ComRef<IZHttpRequest> request;
    const int32_t createResult = http_->CreateRequest(kZdlRequestBackground, kZdlMethodGet,
                                                      url.c_str(), handler.Get(), 0, request.Out());
    if (createResult >= 0 && request && request->Send() >= 0) {
      sent = true;
      // Looks at the handler every httpLook, within the bound of httpPolls polls. A quitting
      // worker stops waiting; what has arrived is judged as it stands.
      const PollSchedule schedule{timing_.httpPoll, timing_.httpLook, timing_.httpPolls, true};
      CompletionWake wake(quit_);
      wake.Attach(request.Get());
      PollUntilDone(
          schedule, [&wake](PollClock::time_point at) { return wake.WaitUntil(at); },
          [&] {
            const bool done = handler->Done();
            status = handler->Status();
            // Copied after done was read, so a done answer's body is complete.
            received = handler->Response();
            // An answer past its limit is no answer: nothing that may still come changes that.
            overflowed = handler->Overflowed();
            whole = done && !handler->Incomplete();
            return done || overflowed;
          });
      // Whatever still arrives after the wait is refused, so the request ends with it.
      handler->Abandon();
    }
  }
  if (body != nullptr) *body = received;

  // A body without a successful end (cut short, stalled, failed) may be any fragment of the
  // answer: it is a failed request, whatever it holds.
  if (sent && whole && status == kHttpOk && !received.empty() && !overflowed) return kZdlOk;
  WriteLog(LogLevel::kWarn, "Failed to get content from %s", url.c_str());
  return kZdlFail;
}

}  // namespace lumo
