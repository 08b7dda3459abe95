#include "source/http_text_request.h"

#include "base/url_helpers.h"
#include "base/signal.h"
#include "base/log.h"
#include "telemetry/http_response_handler.h"

namespace lumo {
namespace {

const char kLevelWarn[] = "WARN";
const char kFailedToGet[] = "Failed to get content from ";

constexpr uint32_t kHttpOk = 200;
// No CDN configuration or HTTP DNS answer comes near this; a longer body is not one of them.
constexpr size_t kMaxAnswerBytes = 64 * 1024;

// Owns one reference of an engine-style object.
template <class T>
class Ref {
 public:
  explicit Ref(T* object = nullptr) : object_(object) {}
  ~Ref() { Reset(); }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;

  T* get() const { return object_; }
  T** out() { return &object_; }
  void Reset() {
    if (object_ != nullptr) object_->Release();
    object_ = nullptr;
  }

 private:
  T* object_;
};

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
  HttpResponseHandler* created = HttpResponseHandler::Create(kMaxAnswerBytes);  // null: no memory
  if (created != nullptr) created->AddRef();
  // Declared before the request so that the request is released first.
  Ref<HttpResponseHandler> handler(created);
  if (handler.get() != nullptr && http_ != nullptr) {
    Ref<IZHttpRequest> request;
    const int32_t createResult = http_->CreateRequest(kZdlRequestBackground, kZdlMethodGet,
                                                      url.c_str(), handler.get(), 0, request.out());
    if (createResult >= 0 && request.get() != nullptr && request.get()->Send() >= 0) {
      sent = true;
      // Looks at the handler every httpLook, within the bound of httpPolls polls.
      const int64_t looksPerPoll = Timing::LooksPerPoll(timing_.httpLook, timing_.httpPoll);
      const int64_t looks = looksPerPoll * timing_.httpPolls;
      const Signal::Clock::time_point start = Signal::Clock::now();
      for (int64_t look = 0; look < looks; ++look) {
        // A quitting worker stops waiting; what has arrived is judged as it stands.
        if (look > 0 && quit_.WaitUntil(start + timing_.httpPoll * look / looksPerPoll)) break;
        const bool done = handler.get()->Done();
        status = handler.get()->Status();
        // Copied after done was read, so a done answer's body is complete.
        received = handler.get()->Response();
        // An answer past its limit is no answer: nothing that may still come changes that.
        overflowed = handler.get()->Overflowed();
        whole = done && !handler.get()->Incomplete();
        if (done || overflowed) break;
      }
      // Whatever still arrives after the wait is refused, so the request ends with it.
      handler.get()->Abandon();
    }
  }
  if (body != nullptr) *body = received;

  // A body without a successful end (cut short, stalled, failed) may be any fragment of the
  // answer: it is a failed request, whatever it holds.
  if (sent && whole && status == kHttpOk && !received.empty() && !overflowed) return kZdlOk;
  WriteLog(kLevelWarn, kFailedToGet + url);
  return kZdlFail;
}

}  // namespace lumo
