// Transport over WinHTTP in asynchronous mode. Every WinHTTP call returns at once and its
// completion arrives through the status callback on WinHTTP's own threads; the engine thread
// waits for it on a condition that a Cancel ends at any moment. The request handle is only ever
// closed by the engine thread that opened it (closing a handle to cancel a blocked synchronous
// call from another thread is not supported), and an exchange ends once WinHTTP has announced
// that the handle is closing, after which no callback comes.
#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "path_text.h"
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
// How long the engine thread waits for WinHTTP to announce that a closed handle is closing.
constexpr auto kCloseWait = std::chrono::milliseconds(2000);
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
    std::lock_guard<std::mutex> hold(lock_);
    completed_ = true;
    error_ = error;
    bytes_ = bytes;
    changed_.notify_all();
  }
  void Closing() {
    std::lock_guard<std::mutex> hold(lock_);
    closing_ = true;
    changed_.notify_all();
  }

  // Engine side: waits for the completion of the call just made, until the deadline or a
  // cancel. True with its error and byte count when it completed.
  bool Await(const std::atomic<bool>& cancelled, Clock::time_point deadline, DWORD* error,
             DWORD* bytes) {
    std::unique_lock<std::mutex> hold(lock_);
    changed_.wait_until(hold, deadline, [&] { return completed_ || cancelled.load(); });
    if (!completed_) return false;
    completed_ = false;
    *error = error_;
    *bytes = bytes_;
    return true;
  }
  bool AwaitClosing(Clock::duration bound) {
    std::unique_lock<std::mutex> hold(lock_);
    return changed_.wait_for(hold, bound, [this] { return closing_; });
  }
  // Wakes a waiting Await (a cancel).
  void Wake() {
    std::lock_guard<std::mutex> hold(lock_);
    changed_.notify_all();
  }

  std::vector<char> buffer;
  std::wstring headers;
  std::string body;

 private:
  ~AsyncRequest() = default;

  std::atomic<int> refs_{1};
  std::mutex lock_;
  std::condition_variable changed_;
  bool completed_ = false;  // guarded by lock_
  DWORD error_ = 0;         // guarded by lock_
  DWORD bytes_ = 0;         // guarded by lock_
  bool closing_ = false;    // guarded by lock_
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
  // Why a wait ended without a completion.
  enum class Interrupted { kNo, kCancelled, kTimedOut };

  TransferOutcome Exchange(const TransferRequest& request, TransferObserver& observer,
                           HINTERNET connect, const std::wstring& path, bool secure,
                           Clock::time_point deadline);
  // Waits for the request's pending call; kNo with its error and byte count when it completed.
  Interrupted Await(AsyncRequest* call, Clock::time_point deadline, DWORD* error, DWORD* bytes);
  // Closes the request handle on this thread and waits until WinHTTP has let go of it.
  void Close(HINTERNET handle, AsyncRequest* call);

  std::atomic<bool> cancelled_{false};
  Throttle throttle_;
  std::mutex lock_;
  AsyncRequest* current_ = nullptr;  // guarded by lock_; the request a Cancel must wake
};

void WinHttpTransport::Cancel() {
  cancelled_.store(true);
  throttle_.Cancel();
  std::lock_guard<std::mutex> lock(lock_);
  if (current_) current_->Wake();
}

WinHttpTransport::Interrupted WinHttpTransport::Await(AsyncRequest* call,
                                                      Clock::time_point deadline, DWORD* error,
                                                      DWORD* bytes) {
  if (call->Await(cancelled_, deadline, error, bytes)) return Interrupted::kNo;
  return cancelled_.load() ? Interrupted::kCancelled : Interrupted::kTimedOut;
}

void WinHttpTransport::Close(HINTERNET handle, AsyncRequest* call) {
  {
    std::lock_guard<std::mutex> lock(lock_);
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
  throttle_.Reset(request.maxBytesPerSecond);
  const Clock::time_point deadline =
      request.totalTimeoutMs > 0 ? Clock::now() + std::chrono::milliseconds(request.totalTimeoutMs)
                                 : Clock::time_point::max();

  std::wstring url = Utf8ToWide(request.url);
  URL_COMPONENTS parts;
  ZeroMemory(&parts, sizeof parts);
  parts.dwStructSize = sizeof parts;
  parts.dwHostNameLength = static_cast<DWORD>(-1);
  parts.dwUrlPathLength = static_cast<DWORD>(-1);
  parts.dwExtraInfoLength = static_cast<DWORD>(-1);
  parts.dwSchemeLength = static_cast<DWORD>(-1);
  if (!WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts)) {
    outcome.failure = ResultFromWinHttp(GetLastError());
    return outcome;
  }
  if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) {
    outcome.failure = ResultFromWinHttp(ERROR_WINHTTP_UNRECOGNIZED_SCHEME);
    return outcome;
  }
  const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
  std::wstring path(parts.lpszUrlPath, parts.dwUrlPathLength);
  // The fragment never goes to the server.
  std::wstring extra(parts.lpszExtraInfo, parts.dwExtraInfoLength);
  path += extra.substr(0, extra.find(L'#'));
  if (path.empty()) path = L"/";

  const std::wstring agent = request.userAgent.empty() ? std::wstring(kDefaultUserAgent)
                                                       : Utf8ToWide(request.userAgent);
  const std::wstring proxy = Utf8ToWide(request.proxy);
  InternetHandle session(WinHttpOpen(
      agent.c_str(), proxy.empty() ? WINHTTP_ACCESS_TYPE_NO_PROXY : WINHTTP_ACCESS_TYPE_NAMED_PROXY,
      proxy.empty() ? WINHTTP_NO_PROXY_NAME : proxy.c_str(), WINHTTP_NO_PROXY_BYPASS,
      WINHTTP_FLAG_ASYNC));
  if (!session.get()) {
    outcome.failure = ResultFromWinHttp(GetLastError());
    return outcome;
  }
  const int connectMs = static_cast<int>(request.connectTimeoutSeconds * 1000);
  WinHttpSetTimeouts(session.get(), connectMs, connectMs, kSendTimeoutMs, kReceiveTimeoutMs);
  InternetHandle connect(WinHttpConnect(session.get(), host.c_str(), parts.nPort, 0));
  if (!connect.get()) {
    outcome.failure = ResultFromWinHttp(GetLastError());
    return outcome;
  }

  outcome = Exchange(request, observer, connect.get(), path,
                     parts.nScheme == INTERNET_SCHEME_HTTPS, deadline);
  if (cancelled_.load()) outcome.end = TransferEnd::kCancelled;
  return outcome;
}

TransferOutcome WinHttpTransport::Exchange(const TransferRequest& request,
                                           TransferObserver& observer, HINTERNET connect,
                                           const std::wstring& path, bool secure,
                                           Clock::time_point deadline) {
  TransferOutcome outcome;
  auto failed = [&outcome](DWORD error) {
    outcome.end = TransferEnd::kFailed;
    outcome.failure = ResultFromWinHttp(error);
    return outcome;
  };

  const std::wstring method = Utf8ToWide(request.method);
  HINTERNET raw = WinHttpOpenRequest(connect, method.c_str(), path.c_str(), nullptr,
                                     WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                     secure ? WINHTTP_FLAG_SECURE : 0);
  if (!raw) return failed(GetLastError());
  auto* call = new AsyncRequest();
  DWORD_PTR context = reinterpret_cast<DWORD_PTR>(call);
  if (!WinHttpSetOption(raw, WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof context) ||
      WinHttpSetStatusCallback(raw, &OnWinHttpStatus,
                               WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS | WINHTTP_CALLBACK_FLAG_HANDLES,
                               0) == WINHTTP_INVALID_STATUS_CALLBACK) {
    const DWORD error = GetLastError();
    WinHttpCloseHandle(raw);  // no callback installed: nothing will call back
    call->Release();
    return failed(error);
  }
  call->AddRef();  // WinHTTP's, given back when the handle closes
  {
    std::lock_guard<std::mutex> lock(lock_);
    current_ = call;
  }
  // Everything below ends here: the handle is closed by this thread, whatever happened.
  struct Closer {
    WinHttpTransport* transport;
    HINTERNET handle;
    AsyncRequest* call;
    ~Closer() { transport->Close(handle, call); }
  } closer{this, raw, call};

  // The connect time-out also bounds the wait for the response head (a server that accepts
  // and then says nothing).
  DWORD headMs = static_cast<DWORD>(request.connectTimeoutSeconds * 1000);
  if (headMs > 0) {
    WinHttpSetOption(raw, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &headMs, sizeof headMs);
  }

  for (const auto& header : request.headers) {
    call->headers += Utf8ToWide(header.first + ": " + header.second) + L"\r\n";
  }
  headers += L"Accept-Encoding: identity\r\n";
  if (request.rangeStart > 0) {
    call->headers +=
        Utf8ToWide("Range: bytes=" + std::to_string(request.rangeStart) + "-") + L"\r\n";
    if (!request.ifRange.empty()) {
      call->headers += Utf8ToWide("If-Range: " + request.ifRange) + L"\r\n";
    }
  }
  if (request.method == "POST") call->body = request.body;
  const DWORD bodyLength = static_cast<DWORD>(call->body.size());
  DWORD error = 0;
  DWORD bytes = 0;
  auto interrupted = [&outcome](Interrupted why) {
    if (why == Interrupted::kCancelled) {
      outcome.end = TransferEnd::kCancelled;
    } else {
      outcome.end = TransferEnd::kFailed;
      outcome.failure = ResultFromWinHttp(ERROR_WINHTTP_TIMEOUT);
    }
    return outcome;
  };

  if (cancelled_.load()) return interrupted(Interrupted::kCancelled);
  if (!WinHttpSendRequest(
          raw, call->headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : call->headers.c_str(),
          call->headers.empty() ? 0 : static_cast<DWORD>(-1L),
          bodyLength ? &call->body[0] : WINHTTP_NO_REQUEST_DATA, bodyLength, bodyLength,
          context)) {
    return failed(GetLastError());
  }
  Interrupted why = Await(call, deadline, &error, &bytes);
  if (why != Interrupted::kNo) return interrupted(why);
  if (error != 0) return failed(error);

  if (!WinHttpReceiveResponse(raw, nullptr)) return failed(GetLastError());
  why = Await(call, deadline, &error, &bytes);
  if (why != Interrupted::kNo) return interrupted(why);
  if (error != 0) return failed(error);

  ResponseHead head;
  DWORD status = 0;
  DWORD size = sizeof status;
  if (!WinHttpQueryHeaders(raw, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                           WINHTTP_HEADER_NAME_BY_INDEX, &status, &size,
                           WINHTTP_NO_HEADER_INDEX)) {
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
  head.contentEncoding = QueryText(raw, WINHTTP_QUERY_CONTENT_ENCODING);
  outcome.responded = true;
  if (!observer.OnResponse(head)) {
    outcome.end = TransferEnd::kStopped;
    return outcome;
  }

  // Under a speed limit, small reads keep the pace smooth and the waits short.
  DWORD readBytes = kReadBufferBytes;
  if (request.maxBytesPerSecond > 0) {
    readBytes = std::max(kMinLimitedReadBytes,
                         std::min<DWORD>(kReadBufferBytes, request.maxBytesPerSecond / 8));
  }
  call->buffer.resize(readBytes);
  for (;;) {
    if (!WinHttpReadData(raw, call->buffer.data(), readBytes, nullptr)) {
      return failed(GetLastError());
    }
    why = Await(call, deadline, &error, &bytes);
    if (why != Interrupted::kNo) return interrupted(why);
    if (error != 0) return failed(error);
    if (bytes == 0) break;
    if (!observer.OnData(call->buffer.data(), bytes)) {
      outcome.end = TransferEnd::kStopped;
      return outcome;
    }
    if (!throttle_.Pace(bytes)) return interrupted(Interrupted::kCancelled);
    if (Clock::now() >= deadline) return interrupted(Interrupted::kTimedOut);
  }
  outcome.end = TransferEnd::kCompleted;
  return outcome;
}

}  // namespace

bool TransportGlobalInit() { return WinHttpCheckPlatform() != FALSE; }

std::unique_ptr<Transport> CreateTransport() { return std::make_unique<WinHttpTransport>(); }

}  // namespace zdl
