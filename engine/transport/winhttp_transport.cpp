// Transport over WinHTTP in synchronous mode on the calling engine thread. Cancel closes the
// request handle from the cancelling thread, which makes the blocked WinHTTP call return; a
// watchdog thread does the same when the head or the whole transfer runs out of time.
#include <windows.h>
#include <winhttp.h>

#include <atomic>
#include <cstdlib>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "path_text.h"
#include "transport/throttle.h"
#include "transport/transport.h"

namespace zdl {
namespace {

constexpr DWORD kReadBufferBytes = 256 * 1024;
constexpr int kSendTimeoutMs = 30000;
constexpr auto kWatchdogLook = std::chrono::milliseconds(50);
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

// Called by WinHTTP on the thread of the failing call (synchronous mode): keeps the reasons of
// a certificate failure for the outcome's detail.
void CALLBACK OnSecureFailure(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info,
                              DWORD length) {
  if (status != WINHTTP_CALLBACK_STATUS_SECURE_FAILURE || context == 0 || info == nullptr ||
      length < sizeof(DWORD)) {
    return;
  }
  *reinterpret_cast<DWORD*>(context) |= *static_cast<DWORD*>(info);
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

// Owns one HINTERNET.
class InternetHandle {
 public:
  InternetHandle() = default;
  explicit InternetHandle(HINTERNET handle) : handle_(handle) {}
  ~InternetHandle() { Reset(); }
  InternetHandle(const InternetHandle&) = delete;
  InternetHandle& operator=(const InternetHandle&) = delete;
  InternetHandle(InternetHandle&& other) noexcept : handle_(other.handle_) {
    other.handle_ = nullptr;
  }
  InternetHandle& operator=(InternetHandle&& other) noexcept {
    if (this != &other) {
      Reset();
      handle_ = other.handle_;
      other.handle_ = nullptr;
    }
    return *this;
  }
  HINTERNET get() const { return handle_; }
  HINTERNET release() {
    HINTERNET handle = handle_;
    handle_ = nullptr;
    return handle;
  }
  void Reset() {
    if (handle_) WinHttpCloseHandle(handle_);
    handle_ = nullptr;
  }

 private:
  HINTERNET handle_ = nullptr;
};

// A response header as text; empty when absent.
std::string QueryText(HINTERNET request, DWORD info) {
  DWORD bytes = 0;
  WinHttpQueryHeaders(request, info, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER,
                      &bytes, WINHTTP_NO_HEADER_INDEX);
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

class WinHttpTransport final : public Transport {
 public:
  TransferOutcome Perform(const TransferRequest& request, TransferObserver& observer) override;
  void Cancel() override;
  void SetMaxBytesPerSecond(uint32_t bytesPerSecond) override { throttle_.SetRate(bytesPerSecond); }
  void SetDeadline(std::chrono::steady_clock::time_point deadline) override {
    throttle_.SetDeadline(deadline);
  }

 private:
  // Closes the running request's handle so its blocked call returns; under lock_.
  void CloseRequestLocked();
  HINTERNET OpenSession(const std::wstring& agent, const std::wstring& proxy,
                        SystemProxy* system);
  TransferOutcome Exchange(const TransferRequest& request, TransferObserver& observer,
                           HINTERNET session, const SystemProxy& system);

  std::atomic<bool> cancelled_{false};
  std::atomic<bool> timedOut_{false};
  std::atomic<bool> headTimedOut_{false};
  std::atomic<bool> headArrived_{false};
  Throttle throttle_;
  std::mutex lock_;
  std::condition_variable finished_;
  HINTERNET request_ = nullptr;  // guarded by lock_; owned by Perform until closed here
  bool running_ = false;         // guarded by lock_
};

HINTERNET WinHttpTransport::OpenSession(const std::wstring& agent, const std::wstring& proxy,
                                        SystemProxy* system) {
  HINTERNET session = nullptr;
  if (!proxy.empty()) {
    session = WinHttpOpen(agent.c_str(), WINHTTP_ACCESS_TYPE_NAMED_PROXY, proxy.c_str(),
                          WINHTTP_NO_PROXY_BYPASS, 0);
  } else {
    // Refused with ERROR_INVALID_PARAMETER before Windows 8.1.
    session = WinHttpOpen(agent.c_str(), WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                          WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    if (!session) {
      WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config;
      ZeroMemory(&config, sizeof config);
      if (WinHttpGetIEProxyConfigForCurrentUser(&config) && config.lpszProxy) {
        session = WinHttpOpen(agent.c_str(), WINHTTP_ACCESS_TYPE_NAMED_PROXY, config.lpszProxy,
                              config.lpszProxyBypass ? config.lpszProxyBypass
                                                     : WINHTTP_NO_PROXY_BYPASS,
                              0);
      } else {
        session = WinHttpOpen(agent.c_str(), WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                              WINHTTP_NO_PROXY_BYPASS, 0);
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

void WinHttpTransport::CloseRequestLocked() {
  if (request_) {
    WinHttpCloseHandle(request_);
    request_ = nullptr;
  }
}

void WinHttpTransport::Cancel() {
  cancelled_.store(true);
  throttle_.Cancel();
  std::lock_guard<std::mutex> lock(lock_);
  CloseRequestLocked();
}

TransferOutcome WinHttpTransport::Perform(const TransferRequest& request,
                                          TransferObserver& observer) {
  TransferOutcome outcome;
  if (cancelled_.load()) {
    outcome.end = TransferEnd::kCancelled;
    return outcome;
  }
  throttle_.Restart();
  timedOut_.store(false);
  headTimedOut_.store(false);
  headArrived_.store(false);

  std::wstring agent = request.userAgent.empty() ? std::wstring(kDefaultUserAgent)
                                                 : Utf8ToWide(request.userAgent);
  SystemProxy system;
  InternetHandle session(OpenSession(agent, Utf8ToWide(request.proxy), &system));
  if (!session.get()) {
    outcome.failure = ResultFromWinHttp(GetLastError());
    return outcome;
  }
  int connectMs = static_cast<int>(request.connectTimeoutSeconds * 1000);
  // No receive time-out: a silent server is the caller's to give up on, as with libcurl.
  WinHttpSetTimeouts(session.get(), connectMs, connectMs, kSendTimeoutMs, 0);

  // The watchdog closes the request when the head is late or the transfer's deadline passes
  // (both may be set or moved while the exchange runs).
  {
    std::lock_guard<std::mutex> lock(lock_);
    running_ = true;
  }
  const auto headDeadline = std::chrono::steady_clock::now() +
                            std::chrono::seconds(request.connectTimeoutSeconds + kHeadGraceSeconds);
  std::thread watchdog([this, headDeadline] {
    std::unique_lock<std::mutex> lock(lock_);
    while (!finished_.wait_for(lock, kWatchdogLook, [this] { return !running_; })) {
      bool headLate = !headArrived_.load() && std::chrono::steady_clock::now() > headDeadline;
      if (headLate || throttle_.PastDeadline()) {
        (headLate ? headTimedOut_ : timedOut_).store(true);
        throttle_.Cancel();
        CloseRequestLocked();
        return;
      }
    }
  });

  outcome = Exchange(request, observer, session.get(), system);

  {
    std::lock_guard<std::mutex> lock(lock_);
    running_ = false;
  }
  finished_.notify_all();
  watchdog.join();
  {
    std::lock_guard<std::mutex> lock(lock_);
    CloseRequestLocked();
  }
  if (cancelled_.load()) {
    outcome.end = TransferEnd::kCancelled;
  } else if (headTimedOut_.load()) {
    // A head that never ends is the server's fault, not a slow transfer.
    outcome.end = TransferEnd::kFailed;
    outcome.failure = EngineResult{3, static_cast<int32_t>(ERROR_WINHTTP_TIMEOUT)};
    outcome.detail.clear();
  } else if (timedOut_.load()) {
    outcome.end = TransferEnd::kFailed;
    outcome.failure = ResultFromWinHttp(ERROR_WINHTTP_TIMEOUT);
    outcome.detail.clear();
  }
  return outcome;
}

TransferOutcome WinHttpTransport::Exchange(const TransferRequest& request,
                                           TransferObserver& observer, HINTERNET session,
                                           const SystemProxy& system) {
  TransferOutcome outcome;
  DWORD certificateFlags = 0;  // written by OnSecureFailure on this thread
  auto failed = [&outcome, &certificateFlags](DWORD error) {
    outcome.end = TransferEnd::kFailed;
    outcome.failure = ResultFromWinHttp(error);
    if (IsCertificateError(error)) {
      outcome.detail = CertificateFailureDetail(CertificateReason(certificateFlags, error));
    }
    return outcome;
  };

  std::wstring url = Utf8ToWide(request.url);
  URL_COMPONENTS parts;
  ZeroMemory(&parts, sizeof parts);
  parts.dwStructSize = sizeof parts;
  parts.dwHostNameLength = static_cast<DWORD>(-1);
  parts.dwUrlPathLength = static_cast<DWORD>(-1);
  parts.dwExtraInfoLength = static_cast<DWORD>(-1);
  parts.dwSchemeLength = static_cast<DWORD>(-1);
  if (!WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts)) {
    return failed(GetLastError());
  }
  if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) {
    return failed(ERROR_WINHTTP_UNRECOGNIZED_SCHEME);
  }
  std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
  std::wstring path(parts.lpszUrlPath, parts.dwUrlPathLength);
  // The fragment never goes to the server.
  std::wstring extra(parts.lpszExtraInfo, parts.dwExtraInfoLength);
  extra = extra.substr(0, extra.find(L'#'));
  path += extra;
  if (path.empty()) path = L"/";

  InternetHandle connect(WinHttpConnect(session, host.c_str(), parts.nPort, 0));
  if (!connect.get()) return failed(GetLastError());

  std::wstring method = Utf8ToWide(request.method);
  HINTERNET raw = WinHttpOpenRequest(connect.get(), method.c_str(), path.c_str(), nullptr,
                                     WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                     parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE
                                                                            : 0);
  if (!raw) return failed(GetLastError());
  // The connect time-out also bounds the wait for the response head (a server that accepts and
  // then says nothing); the body itself has no receive time-out.
  DWORD headMs = static_cast<DWORD>(request.connectTimeoutSeconds * 1000);
  if (headMs > 0) {
    WinHttpSetOption(raw, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &headMs, sizeof headMs);
  }
  // Never from https down to plain http (also the default; stated so it stays that way).
  DWORD policy = WINHTTP_OPTION_REDIRECT_POLICY_DISALLOW_HTTPS_TO_HTTP;
  WinHttpSetOption(raw, WINHTTP_OPTION_REDIRECT_POLICY, &policy, sizeof policy);
  WinHttpSetStatusCallback(raw, &OnSecureFailure, WINHTTP_CALLBACK_FLAG_SECURE_FAILURE, 0);
  if (system.perUrl) {
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
    if (WinHttpGetProxyForUrl(session, url.c_str(), &autoProxy, &info)) {
      WinHttpSetOption(raw, WINHTTP_OPTION_PROXY, &info, sizeof info);
    }
    FreeGlobal(info.lpszProxy);
    FreeGlobal(info.lpszProxyBypass);
  }
  {
    std::lock_guard<std::mutex> lock(lock_);
    if (cancelled_.load() || timedOut_.load()) {
      WinHttpCloseHandle(raw);
      outcome.end = TransferEnd::kCancelled;
      return outcome;
    }
    request_ = raw;  // from here Cancel may close it under us
  }

  std::wstring headers;
  for (const auto& header : request.headers) {
    headers += Utf8ToWide(header.first + ": " + header.second) + L"\r\n";
  }
  headers += L"Accept-Encoding: identity\r\n";
  if (request.rangeStart > 0) {
    headers += Utf8ToWide("Range: bytes=" + std::to_string(request.rangeStart) + "-") + L"\r\n";
    if (!request.ifRange.empty()) headers += Utf8ToWide("If-Range: " + request.ifRange) + L"\r\n";
  }
  const bool post = request.method == "POST";
  DWORD bodyLength = post ? static_cast<DWORD>(request.body.size()) : 0;
  void* body = post && bodyLength ? const_cast<char*>(request.body.data()) : WINHTTP_NO_REQUEST_DATA;
  if (!WinHttpSendRequest(raw, headers.c_str(), static_cast<DWORD>(-1L), body, bodyLength,
                          bodyLength, reinterpret_cast<DWORD_PTR>(&certificateFlags))) {
    return failed(GetLastError());
  }
  if (!WinHttpReceiveResponse(raw, nullptr)) return failed(GetLastError());
  headArrived_.store(true);

  ResponseHead head;
  DWORD status = 0;
  DWORD size = sizeof status;
  if (!WinHttpQueryHeaders(raw, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                           WINHTTP_HEADER_NAME_BY_INDEX, &status, &size,
                           WINHTTP_NO_HEADER_INDEX)) {
    return failed(GetLastError());
  }
  head.status = status;
  std::string length = QueryText(raw, WINHTTP_QUERY_CONTENT_LENGTH);
  if (!length.empty()) {
    char* end = nullptr;
    unsigned long long parsed = std::strtoull(length.c_str(), &end, 10);
    if (end && *end == '\0') {
      head.hasContentLength = true;
      head.contentLength = parsed;
    }
  }
  head.etag = QueryText(raw, WINHTTP_QUERY_ETAG);
  head.lastModified = QueryText(raw, WINHTTP_QUERY_LAST_MODIFIED);
  head.contentRange = QueryText(raw, WINHTTP_QUERY_CONTENT_RANGE);
  head.contentEncoding = QueryText(raw, WINHTTP_QUERY_CONTENT_ENCODING);
  outcome.responded = true;
  if (!observer.OnResponse(head)) {
    outcome.end = TransferEnd::kStopped;
    return outcome;
  }

  std::vector<char> buffer(kReadBufferBytes);
  for (;;) {
    DWORD read = 0;
    if (!WinHttpReadData(raw, buffer.data(), kReadBufferBytes, &read)) {
      return failed(GetLastError());
    }
    if (read == 0) break;
    if (!observer.OnData(buffer.data(), read)) {
      outcome.end = TransferEnd::kStopped;
      return outcome;
    }
    if (!throttle_.Pace(read)) break;  // cancelled or timed out: Perform reports which
  }
  outcome.end = TransferEnd::kCompleted;
  return outcome;
}

}  // namespace

bool TransportGlobalInit() { return WinHttpCheckPlatform() != FALSE; }

std::unique_ptr<Transport> CreateTransport() { return std::make_unique<WinHttpTransport>(); }

}  // namespace zdl
