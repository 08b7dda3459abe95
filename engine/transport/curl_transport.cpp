// Transport over libcurl: one easy handle per exchange, driven by a multi handle of its own so a
// Cancel from another thread wakes the transfer at once (curl_multi_wakeup). The multi handle
// holds the connection cache: after a completed exchange it goes to a small pool, and the next
// exchange to the same server takes it back, so a job after a job reuses the open connection.
// A multi handle is only ever used by one thread at a time.
#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/mutex.h"
#include "platform/platform.h"
#include "transport/throttle.h"
#include "transport/transport.h"

namespace zdl {
namespace {

constexpr long kReceiveBufferBytes = 256 * 1024;
constexpr long kMinLimitedBufferBytes = 1024;
constexpr int kPollMilliseconds = 50;
constexpr long kMaxRedirects = 10;
constexpr size_t kMinPacedSliceBytes = 1024;
const char kDowngradeRefused[] = "redirect from https to http refused";

bool IsCertificateFailure(CURLcode code) {
  switch (code) {
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
      return true;
    default:
      return false;
  }
}

// The one mapping of libcurl's errors to the engine's result codes.
EngineResult ResultFromCurl(CURLcode code) {
  int32_t result = 1;
  switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_CONNECT:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_SHUTDOWN_FAILED:
      result = 3;
      break;
    case CURLE_OPERATION_TIMEDOUT:
      result = 7;
      break;
    case CURLE_TOO_MANY_REDIRECTS:
    case CURLE_UNSUPPORTED_PROTOCOL:  // only a redirect can lead there: the URL was checked
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_BAD_CONTENT_ENCODING:
    case CURLE_RANGE_ERROR:
      result = 6;
      break;
    case CURLE_ABORTED_BY_CALLBACK:
      result = 2;
      break;
    default:
      result = 1;
      break;
  }
  return EngineResult{result, static_cast<int32_t>(code)};
}

struct EasyDeleter {
  void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct MultiDeleter {
  void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};
struct ListDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using EasyHandle = std::unique_ptr<CURL, EasyDeleter>;
using MultiHandle = std::unique_ptr<CURLM, MultiDeleter>;
using HeaderList = std::unique_ptr<curl_slist, ListDeleter>;

bool StartsWithNoCase(const char* text, size_t length, const char* prefix) {
  size_t n = std::strlen(prefix);
  if (length < n) return false;
  for (size_t i = 0; i < n; ++i) {
    char a = text[i];
    if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
    if (a != prefix[i]) return false;
  }
  return true;
}

std::string Trimmed(const char* text, size_t length) {
  size_t begin = 0;
  while (begin < length && (text[begin] == ' ' || text[begin] == '\t')) ++begin;
  while (length > begin && (text[length - 1] == '\r' || text[length - 1] == '\n' ||
                            text[length - 1] == ' ' || text[length - 1] == '\t')) {
    --length;
  }
  return std::string(text + begin, length - begin);
}

// scheme://host:port of a URL, lower-case, with the settings that decide whether a kept
// connection may serve it; libcurl checks the rest itself before it reuses one.
std::string PoolKey(const TransferRequest& request) {
  const std::string& url = request.url;
  const size_t scheme = url.find("://");
  const size_t begin = scheme == std::string::npos ? 0 : scheme + 3;
  const size_t end = url.find_first_of("/?#", begin);
  std::string key = url.substr(0, end == std::string::npos ? url.size() : end);
  for (char& c : key) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return key + '\n' + request.proxy + '\n' + request.caFile;
}

// Multi handles whose connections stay open for the next exchange to the same server.
class MultiPool {
 public:
  static MultiPool& Instance() {
    // Never destroyed: a thread may still return a handle during exit.
    static MultiPool* const pool = new MultiPool();
    return *pool;
  }

  // A kept handle for key (its connections may serve it), else a new one; null when out of
  // memory.
  MultiHandle Take(const std::string& key) {
    {
      lumo::MutexLock lock(lock_);
      DropStaleLocked(Clock::now());
      for (size_t i = idle_.size(); i-- > 0;) {
        if (idle_[i].key != key) continue;
        MultiHandle multi = std::move(idle_[i].multi);
        idle_.erase(idle_.begin() + static_cast<std::ptrdiff_t>(i));
        return multi;
      }
    }
    return MultiHandle(curl_multi_init());
  }
  // Keeps multi (with no easy handle in it) for a later exchange to key.
  void Give(const std::string& key, MultiHandle multi) {
    std::vector<Idle> dropped;  // closed outside the lock
    lumo::MutexLock lock(lock_);
    const Clock::time_point now = Clock::now();
    idle_.push_back(Idle{key, std::move(multi), now});
    while (idle_.size() > kMaxIdle) {
      dropped.push_back(std::move(idle_.front()));
      idle_.erase(idle_.begin());
    }
    lock.Unlock();
    dropped.clear();
  }
  // Closes every kept connection.
  void Clear() {
    std::vector<Idle> dropped;
    lumo::MutexLock lock(lock_);
    dropped.swap(idle_);
    lock.Unlock();
  }

 private:
  using Clock = std::chrono::steady_clock;
  // A few servers at once (the file's, the module's endpoints); a connection idle longer than
  // servers commonly keep one is not worth a try.
  static constexpr size_t kMaxIdle = 8;
  static constexpr std::chrono::seconds kMaxIdleTime{30};
  struct Idle {
    std::string key;
    MultiHandle multi;
    Clock::time_point since;
  };

  void DropStaleLocked(Clock::time_point now) REQUIRES(lock_) {
    // Rare and few: closing here, under the lock, keeps the code short.
    for (size_t i = idle_.size(); i-- > 0;) {
      if (now - idle_[i].since > kMaxIdleTime) {
        idle_.erase(idle_.begin() + static_cast<std::ptrdiff_t>(i));
      }
    }
  }

  lumo::Mutex lock_;
  std::vector<Idle> idle_ GUARDED_BY(lock_);  // oldest first
};

class CurlTransport final : public Transport {
 public:
  CurlTransport(std::shared_ptr<Throttle> throttle, bool ownsThrottle)
      : throttle_(std::move(throttle)), ownsThrottle_(ownsThrottle) {}
  TransferOutcome Perform(const TransferRequest& request, TransferObserver& observer) override;
  void Cancel() override;

 private:
  // State of the running exchange, touched only by the thread in Perform.
  struct Exchange {
    TransferObserver* observer = nullptr;
    CURL* easy = nullptr;
    ResponseHead head;
    bool hasLocation = false;  // the head being read names a redirect target
    bool delivered = false;
    bool heardFrom = false;  // a header line of the response arrived
    bool stopped = false;
    const std::atomic<bool>* cancelled = nullptr;
    Throttle* throttle = nullptr;
  };

  static size_t OnHeader(char* data, size_t size, size_t count, void* context);
  static size_t OnWrite(char* data, size_t size, size_t count, void* context);
  static int OnProgress(void* context, curl_off_t, curl_off_t, curl_off_t, curl_off_t);
  static bool Deliver(Exchange* exchange);
  void SetMaxBytesPerSecond(uint32_t bytesPerSecond) override {
    throttle_->SetRate(bytesPerSecond);
  }
  void SetDeadline(std::chrono::steady_clock::time_point deadline) override {
    throttle_->SetDeadline(deadline);
  }

  std::atomic<bool> cancelled_{false};
  const std::shared_ptr<Throttle> throttle_;
  const bool ownsThrottle_;  // a shared throttle is cancelled by its owner, for all
  lumo::Mutex multiLock_;
  CURLM* multi_ GUARDED_BY(multiLock_) = nullptr;  // set while Perform runs
};

size_t CurlTransport::OnHeader(char* data, size_t size, size_t count, void* context) {
  auto* exchange = static_cast<Exchange*>(context);
  size_t length = size * count;
  exchange->heardFrom = true;
  if (exchange->delivered) return length;  // trailers of a chunked body
  if (StartsWithNoCase(data, length, "http/")) {
    // A new response head (after a redirect or an interim answer) replaces the last one.
    exchange->head = ResponseHead();
    exchange->hasLocation = false;
  } else if (Trimmed(data, length).empty()) {
    // The head is complete. Unless it is an interim answer or a redirect that libcurl follows,
    // it is the final one: hand it over now, so a body that never comes is the stall
    // check's business and not a head that never ends.
    long status = 0;
    curl_easy_getinfo(exchange->easy, CURLINFO_RESPONSE_CODE, &status);
    bool interim = status < 200;
    bool redirect = status >= 300 && status < 400 && exchange->hasLocation;
    if (!interim && !redirect && !Deliver(exchange)) return 0;
  } else if (StartsWithNoCase(data, length, "location:")) {
    exchange->hasLocation = true;
  } else if (StartsWithNoCase(data, length, "content-encoding:")) {
    exchange->head.contentEncoding = Trimmed(data + 17, length - 17);
  } else if (StartsWithNoCase(data, length, "content-length:")) {
    std::string value = Trimmed(data + 15, length - 15);
    char* end = nullptr;
    unsigned long long parsed = std::strtoull(value.c_str(), &end, 10);
    if (!value.empty() && end && *end == '\0') {
      exchange->head.hasContentLength = true;
      exchange->head.contentLength = parsed;
    }
  } else if (StartsWithNoCase(data, length, "etag:")) {
    exchange->head.etag = Trimmed(data + 5, length - 5);
  } else if (StartsWithNoCase(data, length, "last-modified:")) {
    exchange->head.lastModified = Trimmed(data + 14, length - 14);
  } else if (StartsWithNoCase(data, length, "accept-ranges:")) {
    std::string value = Trimmed(data + 14, length - 14);
    exchange->head.acceptsRanges = StartsWithNoCase(value.data(), value.size(), "bytes");
  } else if (StartsWithNoCase(data, length, "content-range:")) {
    exchange->head.contentRange = Trimmed(data + 14, length - 14);
  }
  return length;
}

bool CurlTransport::Deliver(Exchange* exchange) {
  if (exchange->delivered) return true;
  exchange->delivered = true;
  long status = 0;
  curl_easy_getinfo(exchange->easy, CURLINFO_RESPONSE_CODE, &status);
  exchange->head.status = static_cast<uint32_t>(status);
  if (!exchange->observer->OnResponse(exchange->head)) {
    exchange->stopped = true;
    return false;
  }
  return true;
}

size_t CurlTransport::OnWrite(char* data, size_t size, size_t count, void* context) {
  auto* exchange = static_cast<Exchange*>(context);
  size_t length = size * count;
  if (exchange->cancelled->load(std::memory_order_relaxed)) return CURL_WRITEFUNC_ERROR;
  if (!Deliver(exchange)) return CURL_WRITEFUNC_ERROR;
  // Under a limit the bytes go on in slices, each paced, so a limit set while a big read is
  // in hand still shows as a steady rate.
  size_t done = 0;
  while (done < length) {
    uint32_t rate = exchange->throttle->Rate();
    size_t slice = rate == 0 ? length - done
                             : std::min(length - done, std::max<size_t>(kMinPacedSliceBytes, rate / 8));
    if (!exchange->observer->OnData(data + done, slice)) {
      exchange->stopped = true;
      return CURL_WRITEFUNC_ERROR;
    }
    done += slice;
    if (!exchange->throttle->Pace(slice)) return CURL_WRITEFUNC_ERROR;
  }
  return length;
}

int CurlTransport::OnProgress(void* context, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto* exchange = static_cast<Exchange*>(context);
  return exchange->cancelled->load(std::memory_order_relaxed) ? 1 : 0;
}

void CurlTransport::Cancel() {
  cancelled_.store(true);
  if (ownsThrottle_) throttle_->Cancel();
  lumo::MutexLock lock(multiLock_);
  if (multi_) curl_multi_wakeup(multi_);
}

TransferOutcome CurlTransport::Perform(const TransferRequest& request,
                                       TransferObserver& observer) {
  TransferOutcome outcome;
  if (cancelled_.load()) {
    outcome.end = TransferEnd::kCancelled;
    return outcome;
  }
  char errorText[CURL_ERROR_SIZE] = {};  // outlives the handle that writes it
  EasyHandle easy(curl_easy_init());
  const std::string poolKey = PoolKey(request);
  MultiHandle multi = MultiPool::Instance().Take(poolKey);
  if (!easy || !multi) {
    outcome.failure = ResultFromCurl(CURLE_OUT_OF_MEMORY);
    return outcome;
  }

  Exchange exchange;
  exchange.observer = &observer;
  exchange.easy = easy.get();
  exchange.cancelled = &cancelled_;
  exchange.throttle = throttle_.get();
  throttle_->Restart();
  const uint32_t initialRate = throttle_->Rate();

  CURL* e = easy.get();
  curl_easy_setopt(e, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
  // Never from https down to plain http: the redirect would drop the protection the URL asked for.
  const bool secure = StartsWithNoCase(request.url.data(), request.url.size(), "https://");
  curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https");
  curl_easy_setopt(e, CURLOPT_ERRORBUFFER, errorText);
  curl_easy_setopt(e, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
#if LIBCURL_VERSION_NUM >= 0x075700
  // A cancelled exchange must not wait for a host-name look-up to return: libcurl then leaves
  // its resolver thread to finish alone (see the end of Perform).
  curl_easy_setopt(e, CURLOPT_QUICK_EXIT, 1L);
#endif
  curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(e, CURLOPT_MAXREDIRS, kMaxRedirects);
  curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L);
  if (!request.caFile.empty()) curl_easy_setopt(e, CURLOPT_CAINFO, request.caFile.c_str());
  curl_easy_setopt(e, CURLOPT_TCP_KEEPALIVE, 1L);
  curl_easy_setopt(e, CURLOPT_BUFFERSIZE, kReceiveBufferBytes);
  curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &CurlTransport::OnHeader);
  curl_easy_setopt(e, CURLOPT_HEADERDATA, &exchange);
  curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &CurlTransport::OnWrite);
  curl_easy_setopt(e, CURLOPT_WRITEDATA, &exchange);
  curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, &CurlTransport::OnProgress);
  curl_easy_setopt(e, CURLOPT_XFERINFODATA, &exchange);
  curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT, static_cast<long>(request.connectTimeoutSeconds));
  if (initialRate > 0) {
    // libcurl's own limit lets local bursts through; the throttle holds the reads instead.
    // Small reads keep a low limit smooth: one big read could swallow seconds of budget.
    long buffer = static_cast<long>(initialRate / 8);
    curl_easy_setopt(e, CURLOPT_BUFFERSIZE,
                     std::max(kMinLimitedBufferBytes, std::min(kReceiveBufferBytes, buffer)));
  }
  // An empty proxy switches off the environment's proxy variables as well.
  curl_easy_setopt(e, CURLOPT_PROXY, request.proxy.c_str());
  if (!request.userAgent.empty()) {
    curl_easy_setopt(e, CURLOPT_USERAGENT, request.userAgent.c_str());
  }

  HeaderList headers;
  auto append = [&headers](const std::string& line) {
    curl_slist* grown = curl_slist_append(headers.get(), line.c_str());
    if (grown) {
      (void)headers.release();
      headers.reset(grown);
    }
    return grown != nullptr;
  };
  for (const auto& header : request.headers) append(header.first + ": " + header.second);
  // The body is wanted as stored; libcurl decodes nothing, so an encoded body would be kept as is.
  append("Accept-Encoding: identity");
  std::string range;
  range = RangeHeaderValue(request);
  if (!range.empty()) {
    range.erase(0, 6);  // libcurl takes the value without "bytes="
    curl_easy_setopt(e, CURLOPT_RANGE, range.c_str());
    if (!request.ifRange.empty()) append("If-Range: " + request.ifRange);
  }
  if (request.method == "POST") {
    append("Expect:");  // no 100-continue round trip for small bodies
    curl_easy_setopt(e, CURLOPT_POST, 1L);
    curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
    curl_easy_setopt(e, CURLOPT_POSTFIELDS, request.body.data());
  } else {
    curl_easy_setopt(e, CURLOPT_HTTPGET, 1L);
  }
  if (headers) curl_easy_setopt(e, CURLOPT_HTTPHEADER, headers.get());

  curl_multi_add_handle(multi.get(), e);
  {
    lumo::MutexLock lock(multiLock_);
    multi_ = multi.get();
  }

  // libcurl's connect time-out ends with the TCP connection; a server that accepts and then
  // says nothing would hold the session in "Connecting" forever, where no stall check runs.
  // The same bound therefore covers the wait for the response's first header line, and a
  // longer one the whole head.
  const auto started = std::chrono::steady_clock::now();
  const auto firstLineDeadline = started + std::chrono::seconds(request.connectTimeoutSeconds);
  const auto headDeadline =
      firstLineDeadline + std::chrono::seconds(kHeadGraceSeconds);
  CURLcode code = CURLE_OK;
  bool finished = false;
  bool headTooSlow = false;
  while (!finished) {
    int running = 0;
    CURLMcode mc = curl_multi_perform(multi.get(), &running);
    if (mc != CURLM_OK) {
      code = CURLE_OUT_OF_MEMORY;
      break;
    }
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi.get(), &queued)) {
      if (message->msg == CURLMSG_DONE) {
        code = message->data.result;
        finished = true;
      }
    }
    if (finished || cancelled_.load()) break;
    const auto now = std::chrono::steady_clock::now();
    if (request.connectTimeoutSeconds > 0 && !exchange.heardFrom && now > firstLineDeadline) {
      code = CURLE_OPERATION_TIMEDOUT;
      break;
    }
    if (!exchange.delivered && now > headDeadline) {
      headTooSlow = true;
      break;
    }
    if (throttle_->PastDeadline()) {
      code = CURLE_OPERATION_TIMEDOUT;
      break;
    }
    curl_multi_poll(multi.get(), nullptr, 0, kPollMilliseconds, nullptr);
  }

  {
    lumo::MutexLock lock(multiLock_);
    multi_ = nullptr;
  }
  curl_off_t lookupUs = 0;
  curl_easy_getinfo(e, CURLINFO_NAMELOOKUP_TIME_T, &lookupUs);
  if (!finished && lookupUs == 0) {
    // Ended during the host-name look-up: libcurl's resolver thread may run on, in libcurl,
    // which this library holds loaded; so this library stays loaded for good.
    lumo::platform::PinThisLibrary();
  }
  curl_multi_remove_handle(multi.get(), e);
  // A completed exchange leaves its connection ready for the next one; any other end may leave
  // it mid-answer, and libcurl closes such a connection on removal anyway.
  if (finished && code == CURLE_OK && !exchange.stopped && !cancelled_.load()) {
    MultiPool::Instance().Give(poolKey, std::move(multi));
  }

  if (cancelled_.load()) {
    outcome.end = TransferEnd::kCancelled;
  } else if (exchange.stopped) {
    outcome.end = TransferEnd::kStopped;
  } else if (headTooSlow) {
    outcome.end = TransferEnd::kFailed;
    outcome.failure = EngineResult{3, static_cast<int32_t>(CURLE_OPERATION_TIMEDOUT)};
  } else if (throttle_->PastDeadline()) {
    outcome.end = TransferEnd::kFailed;
    outcome.failure = ResultFromCurl(CURLE_OPERATION_TIMEDOUT);
  } else if (finished && code == CURLE_OK) {
    // A response without a body never reached the write callback.
    outcome.end = Deliver(&exchange) ? TransferEnd::kCompleted : TransferEnd::kStopped;
  } else {
    outcome.end = TransferEnd::kFailed;
    outcome.failure = ResultFromCurl(code);
    if (IsCertificateFailure(code)) {
      outcome.detail =
          CertificateFailureDetail(errorText[0] ? errorText : curl_easy_strerror(code));
    } else if (code == CURLE_UNSUPPORTED_PROTOCOL && secure) {
      outcome.detail = kDowngradeRefused;
    }
  }
  outcome.responded = exchange.delivered;
  return outcome;
}

}  // namespace

bool TransportGlobalInit() {
  static const bool ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  return ready;
}

void TransportCloseIdle() { MultiPool::Instance().Clear(); }

std::unique_ptr<Transport> CreateTransport(std::shared_ptr<Throttle> throttle) {
  const bool owns = !throttle;
  if (owns) throttle = std::make_shared<Throttle>();
  return std::make_unique<CurlTransport>(std::move(throttle), owns);
}

}  // namespace zdl
