// Transport over WinHTTP in asynchronous mode. Every WinHTTP call returns at once and its
// completion arrives through the status callback on WinHTTP's own threads; the engine thread
// waits for it on a condition that a Cancel ends at any moment. The request handle is only ever
// closed by the engine thread that opened it (closing a handle to cancel a blocked synchronous
// call from another thread is not supported), and an exchange ends once WinHTTP has announced
// that the handle is closing, after which no callback comes. The transfer's deadline and the
// bound on the response head likewise end a wait on the engine thread, which then closes.
#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cwctype>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "path_text.h"
#include "platform/mutex.h"
#include "platform/platform.h"
#include "transport/throttle.h"
#include "transport/transport.h"

namespace zdl {
namespace {

using Clock = std::chrono::steady_clock;

constexpr DWORD kReadBufferBytes = 256 * 1024;
constexpr DWORD kMinLimitedReadBytes = 1024;
constexpr int kSendTimeoutMs = 30000;
// A silent server ends a read after this long even if nobody cancels; longer than the module's
// own stall rule (120 polls), which normally acts first.
constexpr int kReceiveTimeoutMs = 150000;
// The longest single wait on a condition: a far-off time point would overflow when the
// standard library converts it to the system clock.
constexpr auto kLongestWait = std::chrono::seconds(10);
// How long the engine thread waits for WinHTTP to announce that a closed handle is closing.
constexpr auto kCloseWait = std::chrono::milliseconds(500);
const wchar_t kDefaultUserAgent[] = L"zdlcore";
constexpr DWORD kTls12 = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
constexpr DWORD kTls13 = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;

// Words for the reasons WinHTTP gives for a certificate it does not accept.
std::string CertificateReason(DWORD flags, DWORD error) {
  struct Reason {
    DWORD flag;
    DWORD error;
    const char* text;
  };
  static const Reason kReasons[] = {
      {WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CA, ERROR_WINHTTP_SECURE_INVALID_CA,
       "untrusted certificate authority"},
      {WINHTTP_CALLBACK_STATUS_FLAG_CERT_CN_INVALID, ERROR_WINHTTP_SECURE_CERT_CN_INVALID,
       "certificate name does not match the host"},
      {WINHTTP_CALLBACK_STATUS_FLAG_CERT_DATE_INVALID, ERROR_WINHTTP_SECURE_CERT_DATE_INVALID,
       "certificate expired or not yet valid"},
      {WINHTTP_CALLBACK_STATUS_FLAG_CERT_REVOKED, ERROR_WINHTTP_SECURE_CERT_REVOKED,
       "certificate revoked"},
      {WINHTTP_CALLBACK_STATUS_FLAG_CERT_REV_FAILED, ERROR_WINHTTP_SECURE_CERT_REV_FAILED,
       "revocation check failed"},
      {WINHTTP_CALLBACK_STATUS_FLAG_CERT_WRONG_USAGE, ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE,
       "certificate not meant for servers"},
      {WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CERT, ERROR_WINHTTP_SECURE_INVALID_CERT,
       "invalid certificate"},
      {WINHTTP_CALLBACK_STATUS_FLAG_SECURITY_CHANNEL_ERROR, ERROR_WINHTTP_SECURE_CHANNEL_ERROR,
       "secure channel error"},
  };
  std::string text;
  for (const Reason& reason : kReasons) {
    if ((flags & reason.flag) == 0 && error != reason.error) continue;
    if (!text.empty()) text += ", ";
    text += reason.text;
  }
  return text.empty() ? "error " + std::to_string(error) : text;
}

bool IsCertificateError(DWORD error) {
  switch (error) {
    case ERROR_WINHTTP_SECURE_FAILURE:
    case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
    case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
    case ERROR_WINHTTP_SECURE_INVALID_CA:
    case ERROR_WINHTTP_SECURE_CERT_REV_FAILED:
    case ERROR_WINHTTP_SECURE_CERT_REVOKED:
    case ERROR_WINHTTP_SECURE_INVALID_CERT:
    case ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE:
      return true;
    default:
      return false;
  }
}

// Frees the strings of WinHTTP's proxy structures.
void FreeGlobal(LPWSTR text) {
  if (text) GlobalFree(text);
}

// The one mapping of WinHTTP's errors to the engine's result codes.
EngineResult ResultFromWinHttp(DWORD error) {
  int32_t result = 1;
  switch (error) {
    case ERROR_WINHTTP_CANNOT_CONNECT:
    case ERROR_WINHTTP_CONNECTION_ERROR:
    case ERROR_WINHTTP_NAME_NOT_RESOLVED:
    case ERROR_WINHTTP_SECURE_FAILURE:
    case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
    case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
    case ERROR_WINHTTP_SECURE_INVALID_CA:
    case ERROR_WINHTTP_SECURE_CERT_REV_FAILED:
    case ERROR_WINHTTP_SECURE_CERT_REVOKED:
    case ERROR_WINHTTP_SECURE_INVALID_CERT:
    case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:
    case ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED:
      result = 3;
      break;
    case ERROR_WINHTTP_TIMEOUT:
      result = 7;
      break;
    case ERROR_WINHTTP_REDIRECT_FAILED:
    case ERROR_WINHTTP_INVALID_SERVER_RESPONSE:
    case ERROR_WINHTTP_HEADER_NOT_FOUND:
      result = 6;
      break;
    case ERROR_WINHTTP_OPERATION_CANCELLED:
      result = 2;
      break;
    default:
      result = 1;
      break;
  }
  return EngineResult{result, static_cast<int32_t>(error)};
}

// Owns one HINTERNET of a handle without a callback (session, connection).
class InternetHandle {
 public:
  explicit InternetHandle(HINTERNET handle = nullptr) : handle_(handle) {}
  ~InternetHandle() {
    if (handle_) WinHttpCloseHandle(handle_);
  }
  InternetHandle(const InternetHandle&) = delete;
  InternetHandle& operator=(const InternetHandle&) = delete;
  HINTERNET get() const { return handle_; }

 private:
  HINTERNET handle_;
};

// What the callback tells the engine thread about one request handle. Held by the engine thread
// and, from the moment the callback is installed, by WinHTTP until the handle closes; whoever
// lets go last frees it. It also owns every buffer WinHTTP may still write to or read from.
class AsyncRequest {
 public:
  AsyncRequest() = default;
  AsyncRequest(const AsyncRequest&) = delete;
  AsyncRequest& operator=(const AsyncRequest&) = delete;

  void AddRef() { refs_.fetch_add(1); }
  void Release() {
    if (refs_.fetch_sub(1) == 1) delete this;
  }

  // Callback side.
  void Complete(DWORD error, DWORD bytes) {
    lumo::MutexLock hold(lock_);
    completed_ = true;
    error_ = error;
    bytes_ = bytes;
    changed_.NotifyAll();
  }
  void Closing() {
    lumo::MutexLock hold(lock_);
    closing_ = true;
    changed_.NotifyAll();
  }
  // The reasons of a certificate failure; the failing call's error follows.
  void SecureFailure(DWORD flags) {
    lumo::MutexLock hold(lock_);
    secureFlags_ |= flags;
  }

  // Engine side: the count of wakes so far, to be passed to Await.
  uint64_t Wakes() {
    lumo::MutexLock hold(lock_);
    return wakes_;
  }
  // Waits for the completion of the call just made, until `until`, a cancel or a wake after
  // `seenWakes`. True with its error and byte count when it completed.
  bool Await(const std::atomic<bool>& cancelled, Clock::time_point until, uint64_t seenWakes,
             DWORD* error, DWORD* bytes) {
    lumo::MutexLock hold(lock_);
    while (!completed_ && !cancelled.load() && wakes_ == seenWakes &&
           changed_.WaitUntil(lock_, until)) {
    }
    if (!completed_) return false;
    completed_ = false;
    *error = error_;
    *bytes = bytes_;
    return true;
  }
  bool AwaitClosing(Clock::duration bound) {
    lumo::MutexLock hold(lock_);
    const Clock::time_point until = Clock::now() + bound;
    while (!closing_ && changed_.WaitUntil(lock_, until)) {
    }
    return closing_;
  }
  DWORD SecureFlags() {
    lumo::MutexLock hold(lock_);
    return secureFlags_;
  }
  // Makes a waiting Await look again (a cancel, a new deadline).
  void Wake() {
    lumo::MutexLock hold(lock_);
    ++wakes_;
    changed_.NotifyAll();
  }

  std::vector<char> buffer;
  std::wstring headers;
  std::string body;

 private:
  ~AsyncRequest() = default;

  std::atomic<int> refs_{1};
  lumo::Mutex lock_;
  lumo::CondVar changed_;
  bool completed_ GUARDED_BY(lock_) = false;
  DWORD error_ GUARDED_BY(lock_) = 0;
  DWORD bytes_ GUARDED_BY(lock_) = 0;
  bool closing_ GUARDED_BY(lock_) = false;
  uint64_t wakes_ GUARDED_BY(lock_) = 0;
  DWORD secureFlags_ GUARDED_BY(lock_) = 0;
};

void CALLBACK OnWinHttpStatus(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info,
                              DWORD length) {
  auto* request = reinterpret_cast<AsyncRequest*>(context);
  if (request == nullptr) return;
  switch (status) {
    case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
    case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
      request->Complete(0, 0);
      break;
    case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
      request->Complete(0, length);
      break;
    case WINHTTP_CALLBACK_STATUS_SECURE_FAILURE:
      if (info != nullptr && length >= sizeof(DWORD)) {
        request->SecureFailure(*static_cast<const DWORD*>(info));
      }
      break;
    case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR: {
      const auto* result = static_cast<const WINHTTP_ASYNC_RESULT*>(info);
      request->Complete(result != nullptr ? result->dwError : ERROR_WINHTTP_INTERNAL_ERROR, 0);
      break;
    }
    case WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING:
      request->Closing();
      request->Release();  // WinHTTP's reference: nothing more comes for this handle
      break;
    default:
      break;
  }
}

// A response header as text; empty when absent.
std::string QueryText(HINTERNET request, DWORD info) {
  DWORD bytes = 0;
  WinHttpQueryHeaders(request, info, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER, &bytes,
                      WINHTTP_NO_HEADER_INDEX);
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || bytes == 0) return std::string();
  std::wstring text(bytes / sizeof(wchar_t) + 1, L'\0');
  if (!WinHttpQueryHeaders(request, info, WINHTTP_HEADER_NAME_BY_INDEX, &text[0], &bytes,
                           WINHTTP_NO_HEADER_INDEX)) {
    return std::string();
  }
  text.resize(bytes / sizeof(wchar_t));
  return WideToUtf8(text);
}

// The system's proxy settings for a session without a proxy of the host's: Windows 8.1 and
// later resolve them per request themselves (automatic proxy); before, the current user's
// Internet settings give a fixed proxy, or a script or auto-detection asked per URL.
struct SystemProxy {
  bool perUrl = false;  // ask WinHttpGetProxyForUrl for each request
  bool autoDetect = false;
  std::wstring configUrl;
};

// An asynchronous session with the host's proxy, else the system's, and TLS 1.2 and 1.3.
HINTERNET OpenSession(const std::wstring& agent, const std::wstring& proxy, SystemProxy* system) {
  HINTERNET session = nullptr;
  if (!proxy.empty()) {
    session = WinHttpOpen(agent.c_str(), WINHTTP_ACCESS_TYPE_NAMED_PROXY, proxy.c_str(),
                          WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC);
  } else {
    // Refused with ERROR_INVALID_PARAMETER before Windows 8.1.
    session = WinHttpOpen(agent.c_str(), WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                          WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC);
    if (!session) {
      WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config;
      ZeroMemory(&config, sizeof config);
      if (WinHttpGetIEProxyConfigForCurrentUser(&config) && config.lpszProxy) {
        session =
            WinHttpOpen(agent.c_str(), WINHTTP_ACCESS_TYPE_NAMED_PROXY, config.lpszProxy,
                        config.lpszProxyBypass ? config.lpszProxyBypass : WINHTTP_NO_PROXY_BYPASS,
                        WINHTTP_FLAG_ASYNC);
      } else {
        session = WinHttpOpen(agent.c_str(), WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                              WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC);
        system->autoDetect = config.fAutoDetect != FALSE;
        if (config.lpszAutoConfigUrl) system->configUrl = config.lpszAutoConfigUrl;
        system->perUrl = system->autoDetect || !system->configUrl.empty();
      }
      FreeGlobal(config.lpszProxy);
      FreeGlobal(config.lpszProxyBypass);
      FreeGlobal(config.lpszAutoConfigUrl);
    }
  }
  if (!session) return nullptr;
  // TLS 1.2 and 1.3; a system that does not know 1.3 refuses the pair, so 1.2 alone then.
  DWORD protocols = kTls12 | kTls13;
  if (!WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols)) {
    protocols = kTls12;
    WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols);
  }
  return session;
}

// Before Windows 8.1, a proxy script or auto-detection names the proxy of each URL. The lookup
// runs on a synchronous session of its own, bounded by the connect time-out.
void ApplyProxyForUrl(HINTERNET request, const std::wstring& agent, const std::wstring& url,
                      const SystemProxy& system, int timeoutMs) {
  InternetHandle lookup(WinHttpOpen(agent.c_str(), WINHTTP_ACCESS_TYPE_NO_PROXY,
                                    WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
  if (!lookup.get()) return;
  WinHttpSetTimeouts(lookup.get(), timeoutMs, timeoutMs, timeoutMs, timeoutMs);
  WINHTTP_AUTOPROXY_OPTIONS autoProxy;
  ZeroMemory(&autoProxy, sizeof autoProxy);
  autoProxy.fAutoLogonIfChallenged = TRUE;
  if (!system.configUrl.empty()) {
    autoProxy.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
    autoProxy.lpszAutoConfigUrl = system.configUrl.c_str();
  } else {
    autoProxy.dwFlags = WINHTTP_AUTOPROXY_AUTO_DETECT;
    autoProxy.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
  }
  WINHTTP_PROXY_INFO info;
  ZeroMemory(&info, sizeof info);
  if (WinHttpGetProxyForUrl(lookup.get(), url.c_str(), &autoProxy, &info)) {
    WinHttpSetOption(request, WINHTTP_OPTION_PROXY, &info, sizeof info);
  }
  FreeGlobal(info.lpszProxy);
  FreeGlobal(info.lpszProxyBypass);
}

// WinHTTP keeps the connections of a session handle for its later requests, so every transport
// to one server with the same settings shares one session (a session serves concurrent
// requests). A transport holds its session while it runs; the cache lets go of the oldest
// beyond a few servers, and of all at mod_term.
class SessionCache {
 public:
  struct Session {
    explicit Session(HINTERNET opened) : handle(opened) {}
    InternetHandle handle;
    SystemProxy system;
  };

  static SessionCache& Instance() {
    // Never destroyed: a thread may still let go of a session during exit.
    static SessionCache* const cache = new SessionCache();
    return *cache;
  }

  // The session for this server and these settings, opened on first use; null (with the
  // system's error) when it cannot be opened.
  std::shared_ptr<Session> Get(const std::wstring& agent, const std::wstring& proxy,
                               const std::wstring& host, INTERNET_PORT port) {
    std::wstring key = agent + L'\n' + proxy + L'\n' + host + L':' + std::to_wstring(port);
    for (auto& c : key) c = static_cast<wchar_t>(towlower(c));
    {
      lumo::MutexLock lock(lock_);
      for (const auto& entry : entries_) {
        if (entry.first == key) return entry.second;
      }
    }
    SystemProxy system;
    HINTERNET handle = OpenSession(agent, proxy, &system);
    if (!handle) return nullptr;
    auto session = std::make_shared<Session>(handle);
    session->system = system;
    std::shared_ptr<Session> dropped;  // closed outside the lock (when nobody else holds it)
    lumo::MutexLock lock(lock_);
    for (const auto& entry : entries_) {
      if (entry.first == key) return entry.second;  // another thread opened it meanwhile
    }
    entries_.emplace_back(std::move(key), session);
    if (entries_.size() > kMaxSessions) {
      dropped = std::move(entries_.front().second);
      entries_.erase(entries_.begin());
    }
    lock.Unlock();
    return session;
  }
  void Clear() {
    std::vector<std::pair<std::wstring, std::shared_ptr<Session>>> dropped;
    lumo::MutexLock lock(lock_);
    dropped.swap(entries_);
    lock.Unlock();
  }

 private:
  static constexpr size_t kMaxSessions = 8;
  lumo::Mutex lock_;
  std::vector<std::pair<std::wstring, std::shared_ptr<Session>>> entries_ GUARDED_BY(lock_);
};

class WinHttpTransport final : public Transport {
 public:
  WinHttpTransport(std::shared_ptr<Throttle> throttle, bool ownsThrottle)
      : throttle_(std::move(throttle)), ownsThrottle_(ownsThrottle) {}
  TransferOutcome Perform(const TransferRequest& request, TransferObserver& observer) override;
  void Cancel() override;
  // Pace picks up the new rate at once, the read loop with the next read's size.
  void SetMaxBytesPerSecond(uint32_t bytesPerSecond) override {
    throttle_->SetRate(bytesPerSecond);
  }
  void SetDeadline(Clock::time_point deadline) override;

 private:
  // Why a wait ended without a completion.
  enum class Interrupted { kNo, kCancelled, kPastDeadline, kHeadLate };

  // What an exchange needs besides the request.
  struct Target {
    HINTERNET connect;
    std::wstring url;
    std::wstring path;
    std::wstring agent;
    bool secure;
    SystemProxy system;
    Clock::time_point headDeadline;
  };

  TransferOutcome Exchange(const TransferRequest& request, TransferObserver& observer,
                           const Target& target);
  // Waits for the request's pending call until `headDeadline`, the transfer's deadline (which
  // may move meanwhile) or a cancel; kNo with its error and byte count when it completed.
  Interrupted Await(AsyncRequest* call, Clock::time_point headDeadline, DWORD* error, DWORD* bytes);
  // Closes the request handle on this thread and waits until WinHTTP has let go of it.
  void Close(HINTERNET handle, AsyncRequest* call);
  void WakeCurrent();

  std::atomic<bool> cancelled_{false};
  const std::shared_ptr<Throttle> throttle_;
  const bool ownsThrottle_;  // a shared throttle is cancelled by its owner, for all
  lumo::Mutex lock_;
  AsyncRequest* current_ GUARDED_BY(lock_) = nullptr;  // the request a Cancel must wake
};

void WinHttpTransport::WakeCurrent() {
  lumo::MutexLock lock(lock_);
  if (current_) current_->Wake();
}

void WinHttpTransport::Cancel() {
  cancelled_.store(true);
  if (ownsThrottle_) throttle_->Cancel();
  WakeCurrent();
}

void WinHttpTransport::SetDeadline(Clock::time_point deadline) {
  throttle_->SetDeadline(deadline);
  WakeCurrent();
}

WinHttpTransport::Interrupted WinHttpTransport::Await(AsyncRequest* call,
                                                      Clock::time_point headDeadline, DWORD* error,
                                                      DWORD* bytes) {
  for (;;) {
    // Read before the deadline, so a deadline moved meanwhile wakes the wait below.
    const uint64_t seen = call->Wakes();
    if (cancelled_.load()) return Interrupted::kCancelled;
    if (throttle_->PastDeadline()) return Interrupted::kPastDeadline;
    if (Clock::now() >= headDeadline) return Interrupted::kHeadLate;
    const Clock::time_point until =
        std::min({headDeadline, throttle_->Deadline(), Clock::now() + kLongestWait});
    if (call->Await(cancelled_, until, seen, error, bytes)) return Interrupted::kNo;
  }
}

void WinHttpTransport::Close(HINTERNET handle, AsyncRequest* call) {
  {
    lumo::MutexLock lock(lock_);
    current_ = nullptr;
  }
  WinHttpCloseHandle(handle);
  if (!call->AwaitClosing(kCloseWait)) {
    // WinHTTP still holds the request and will call back into this library later.
    lumo::platform::PinThisLibrary();
  }
  call->Release();
}

TransferOutcome WinHttpTransport::Perform(const TransferRequest& request,
                                          TransferObserver& observer) {
  TransferOutcome outcome;
  if (cancelled_.load()) {
    outcome.end = TransferEnd::kCancelled;
    return outcome;
  }
  throttle_->Restart();

  Target target;
  target.url = Utf8ToWide(request.url);
  URL_COMPONENTS parts;
  ZeroMemory(&parts, sizeof parts);
  parts.dwStructSize = sizeof parts;
  parts.dwHostNameLength = static_cast<DWORD>(-1);
  parts.dwUrlPathLength = static_cast<DWORD>(-1);
  parts.dwExtraInfoLength = static_cast<DWORD>(-1);
  parts.dwSchemeLength = static_cast<DWORD>(-1);
  if (!WinHttpCrackUrl(target.url.c_str(), static_cast<DWORD>(target.url.size()), 0, &parts)) {
    outcome.failure = ResultFromWinHttp(GetLastError());
    return outcome;
  }
  if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) {
    outcome.failure = ResultFromWinHttp(ERROR_WINHTTP_UNRECOGNIZED_SCHEME);
    return outcome;
  }
  target.secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
  const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
  target.path.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
  // The fragment never goes to the server.
  const std::wstring extra(parts.lpszExtraInfo, parts.dwExtraInfoLength);
  target.path += extra.substr(0, extra.find(L'#'));
  if (target.path.empty()) target.path = L"/";

  target.agent =
      request.userAgent.empty() ? std::wstring(kDefaultUserAgent) : Utf8ToWide(request.userAgent);
  const std::shared_ptr<SessionCache::Session> session =
      SessionCache::Instance().Get(target.agent, Utf8ToWide(request.proxy), host, parts.nPort);
  if (!session) {
    outcome.failure = ResultFromWinHttp(GetLastError());
    return outcome;
  }
  target.system = session->system;
  InternetHandle connect(WinHttpConnect(session->handle.get(), host.c_str(), parts.nPort, 0));
  if (!connect.get()) {
    outcome.failure = ResultFromWinHttp(GetLastError());
    return outcome;
  }
  target.connect = connect.get();
  target.headDeadline =
      Clock::now() + std::chrono::seconds(request.connectTimeoutSeconds + kHeadGraceSeconds);

  outcome = Exchange(request, observer, target);
  if (cancelled_.load()) outcome.end = TransferEnd::kCancelled;
  return outcome;
}

TransferOutcome WinHttpTransport::Exchange(const TransferRequest& request,
                                           TransferObserver& observer, const Target& target) {
  TransferOutcome outcome;
  const std::wstring method = Utf8ToWide(request.method);
  HINTERNET raw = WinHttpOpenRequest(target.connect, method.c_str(), target.path.c_str(), nullptr,
                                     WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                     target.secure ? WINHTTP_FLAG_SECURE : 0);
  if (!raw) {
    outcome.failure = ResultFromWinHttp(GetLastError());
    return outcome;
  }
  // On the request: the session is shared with transports of other time-outs.
  const int resolveAndConnectMs = static_cast<int>(request.connectTimeoutSeconds * 1000);
  WinHttpSetTimeouts(raw, resolveAndConnectMs, resolveAndConnectMs, kSendTimeoutMs,
                     kReceiveTimeoutMs);
  auto* call = new AsyncRequest();
  DWORD_PTR context = reinterpret_cast<DWORD_PTR>(call);
  if (!WinHttpSetOption(raw, WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof context) ||
      WinHttpSetStatusCallback(raw, &OnWinHttpStatus,
                               WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS |
                                   WINHTTP_CALLBACK_FLAG_HANDLES |
                                   WINHTTP_CALLBACK_FLAG_SECURE_FAILURE,
                               0) == WINHTTP_INVALID_STATUS_CALLBACK) {
    const DWORD error = GetLastError();
    WinHttpCloseHandle(raw);  // no callback installed: nothing will call back
    call->Release();
    outcome.failure = ResultFromWinHttp(error);
    return outcome;
  }
  call->AddRef();  // WinHTTP's, given back when the handle closes
  {
    lumo::MutexLock lock(lock_);
    current_ = call;
  }
  // Everything below ends here: the handle is closed by this thread, whatever happened.
  struct Closer {
    WinHttpTransport* transport;
    HINTERNET handle;
    AsyncRequest* call;
    ~Closer() { transport->Close(handle, call); }
  } closer{this, raw, call};

  auto failed = [&outcome, call](DWORD error) {
    outcome.end = TransferEnd::kFailed;
    outcome.failure = ResultFromWinHttp(error);
    if (IsCertificateError(error)) {
      outcome.detail = CertificateFailureDetail(CertificateReason(call->SecureFlags(), error));
    }
    return outcome;
  };
  auto interrupted = [&outcome](Interrupted why) {
    if (why == Interrupted::kCancelled) {
      outcome.end = TransferEnd::kCancelled;
    } else if (why == Interrupted::kHeadLate) {
      // A head that never ends is the server's fault, not a slow transfer.
      outcome.end = TransferEnd::kFailed;
      outcome.failure = EngineResult{3, static_cast<int32_t>(ERROR_WINHTTP_TIMEOUT)};
    } else {
      outcome.end = TransferEnd::kFailed;
      outcome.failure = ResultFromWinHttp(ERROR_WINHTTP_TIMEOUT);
    }
    return outcome;
  };

  // Until the head is complete: silence as long as the connect time-out ends the exchange as a
  // time-out (a server that accepts and then says nothing), and WinHTTP's own bound on the whole
  // head lies beyond ours, which ends a dripping head as a network error.
  const int connectMs = static_cast<int>(request.connectTimeoutSeconds * 1000);
  DWORD headSilenceMs = static_cast<DWORD>(connectMs > 0 ? connectMs : kReceiveTimeoutMs);
  DWORD headMs = (request.connectTimeoutSeconds + kHeadGraceSeconds + 1) * 1000;
  WinHttpSetOption(raw, WINHTTP_OPTION_RECEIVE_TIMEOUT, &headSilenceMs, sizeof headSilenceMs);
  WinHttpSetOption(raw, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &headMs, sizeof headMs);
  // Never from https down to plain http (also the default; stated so it stays that way).
  DWORD policy = WINHTTP_OPTION_REDIRECT_POLICY_DISALLOW_HTTPS_TO_HTTP;
  WinHttpSetOption(raw, WINHTTP_OPTION_REDIRECT_POLICY, &policy, sizeof policy);
  if (target.system.perUrl) {
    ApplyProxyForUrl(raw, target.agent, target.url, target.system, connectMs);
  }

  for (const auto& header : request.headers) {
    call->headers += Utf8ToWide(header.first + ": " + header.second) + L"\r\n";
  }
  // WinHTTP decodes nothing unless asked, so an encoded body would be kept as is.
  call->headers += L"Accept-Encoding: identity\r\n";
  const std::string range = RangeHeaderValue(request);
  if (!range.empty()) {
    call->headers += Utf8ToWide("Range: " + range) + L"\r\n";
    if (!request.ifRange.empty()) {
      call->headers += Utf8ToWide("If-Range: " + request.ifRange) + L"\r\n";
    }
  }
  if (request.method == "POST") call->body = request.body;
  const DWORD bodyLength = static_cast<DWORD>(call->body.size());
  DWORD error = 0;
  DWORD bytes = 0;

  if (cancelled_.load()) return interrupted(Interrupted::kCancelled);
  if (!WinHttpSendRequest(raw, call->headers.c_str(), static_cast<DWORD>(-1L),
                          bodyLength ? &call->body[0] : WINHTTP_NO_REQUEST_DATA, bodyLength,
                          bodyLength, context)) {
    return failed(GetLastError());
  }
  Interrupted why = Await(call, target.headDeadline, &error, &bytes);
  if (why != Interrupted::kNo) return interrupted(why);
  if (error != 0) return failed(error);

  if (!WinHttpReceiveResponse(raw, nullptr)) return failed(GetLastError());
  why = Await(call, target.headDeadline, &error, &bytes);
  if (why != Interrupted::kNo) return interrupted(why);
  if (error != 0) return failed(error);
  DWORD bodySilenceMs = static_cast<DWORD>(kReceiveTimeoutMs);
  WinHttpSetOption(raw, WINHTTP_OPTION_RECEIVE_TIMEOUT, &bodySilenceMs, sizeof bodySilenceMs);

  ResponseHead head;
  DWORD status = 0;
  DWORD size = sizeof status;
  if (!WinHttpQueryHeaders(raw, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                           WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX)) {
    return failed(GetLastError());
  }
  head.status = status;
  const std::string length = QueryText(raw, WINHTTP_QUERY_CONTENT_LENGTH);
  if (!length.empty()) {
    char* end = nullptr;
    const unsigned long long parsed = std::strtoull(length.c_str(), &end, 10);
    if (end && *end == '\0') {
      head.hasContentLength = true;
      head.contentLength = parsed;
    }
  }
  head.etag = QueryText(raw, WINHTTP_QUERY_ETAG);
  head.lastModified = QueryText(raw, WINHTTP_QUERY_LAST_MODIFIED);
  head.contentRange = QueryText(raw, WINHTTP_QUERY_CONTENT_RANGE);
  head.acceptsRanges = QueryText(raw, WINHTTP_QUERY_ACCEPT_RANGES).compare(0, 5, "bytes") == 0;
  head.contentEncoding = QueryText(raw, WINHTTP_QUERY_CONTENT_ENCODING);
  outcome.responded = true;
  if (!observer.OnResponse(head)) {
    outcome.end = TransferEnd::kStopped;
    return outcome;
  }

  call->buffer.resize(kReadBufferBytes);
  for (;;) {
    // Under a speed limit, small reads keep the pace smooth and the waits short; the size
    // follows a limit changed while the transfer runs.
    const uint32_t rate = throttle_->Rate();
    const DWORD readBytes =
        rate == 0 ? kReadBufferBytes
                  : std::max(kMinLimitedReadBytes, std::min<DWORD>(kReadBufferBytes, rate / 8));
    if (!WinHttpReadData(raw, call->buffer.data(), readBytes, nullptr)) {
      return failed(GetLastError());
    }
    why = Await(call, Clock::time_point::max(), &error, &bytes);
    if (why != Interrupted::kNo) return interrupted(why);
    if (error != 0) return failed(error);
    if (bytes == 0) break;
    if (!observer.OnData(call->buffer.data(), bytes)) {
      outcome.end = TransferEnd::kStopped;
      return outcome;
    }
    if (!throttle_->Pace(bytes)) {
      return interrupted(cancelled_.load() ? Interrupted::kCancelled : Interrupted::kPastDeadline);
    }
  }
  outcome.end = TransferEnd::kCompleted;
  return outcome;
}

}  // namespace

bool TransportGlobalInit() { return WinHttpCheckPlatform() != FALSE; }

void TransportCloseIdle() { SessionCache::Instance().Clear(); }

std::unique_ptr<Transport> CreateTransport(std::shared_ptr<Throttle> throttle) {
  const bool owns = !throttle;
  if (owns) throttle = std::make_shared<Throttle>();
  return std::make_unique<WinHttpTransport>(std::move(throttle), owns);
}

}  // namespace zdl
