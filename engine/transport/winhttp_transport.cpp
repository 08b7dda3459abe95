// Transport over WinHTTP in synchronous mode on the calling engine thread. Cancel closes the
// request handle from the cancelling thread, which makes the blocked WinHTTP call return.
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
const wchar_t kDefaultUserAgent[] = L"zdlcore";

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

class WinHttpTransport final : public Transport {
 public:
  TransferOutcome Perform(const TransferRequest& request, TransferObserver& observer) override;
  void Cancel() override;

 private:
  // Closes the running request's handle so its blocked call returns; under lock_.
  void CloseRequestLocked();
  TransferOutcome Exchange(const TransferRequest& request, TransferObserver& observer,
                           HINTERNET session);

  std::atomic<bool> cancelled_{false};
  std::atomic<bool> timedOut_{false};
  Throttle throttle_;
  std::mutex lock_;
  std::condition_variable finished_;
  HINTERNET request_ = nullptr;  // guarded by lock_; owned by Perform until closed here
  bool running_ = false;         // guarded by lock_
};

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
  throttle_.Reset(request.maxBytesPerSecond);
  timedOut_.store(false);

  std::wstring agent = request.userAgent.empty() ? std::wstring(kDefaultUserAgent)
                                                 : Utf8ToWide(request.userAgent);
  std::wstring proxy = Utf8ToWide(request.proxy);
  InternetHandle session(WinHttpOpen(
      agent.c_str(), proxy.empty() ? WINHTTP_ACCESS_TYPE_NO_PROXY : WINHTTP_ACCESS_TYPE_NAMED_PROXY,
      proxy.empty() ? WINHTTP_NO_PROXY_NAME : proxy.c_str(), WINHTTP_NO_PROXY_BYPASS, 0));
  if (!session.get()) {
    outcome.failure = ResultFromWinHttp(GetLastError());
    return outcome;
  }
  int connectMs = static_cast<int>(request.connectTimeoutSeconds * 1000);
  // No receive time-out: a silent server is the caller's to give up on, as with libcurl.
  WinHttpSetTimeouts(session.get(), connectMs, connectMs, kSendTimeoutMs, 0);

  // The whole-transfer time-out closes the request from a watchdog thread.
  std::thread watchdog;
  if (request.totalTimeoutMs > 0) {
    {
      std::lock_guard<std::mutex> lock(lock_);
      running_ = true;
    }
    auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(request.totalTimeoutMs);
    watchdog = std::thread([this, deadline] {
      std::unique_lock<std::mutex> lock(lock_);
      if (!finished_.wait_until(lock, deadline, [this] { return !running_; })) {
        timedOut_.store(true);
        throttle_.Cancel();
        CloseRequestLocked();
      }
    });
  }

  outcome = Exchange(request, observer, session.get());

  if (watchdog.joinable()) {
    {
      std::lock_guard<std::mutex> lock(lock_);
      running_ = false;
    }
    finished_.notify_all();
    watchdog.join();
  }
  {
    std::lock_guard<std::mutex> lock(lock_);
    CloseRequestLocked();
  }
  if (cancelled_.load()) {
    outcome.end = TransferEnd::kCancelled;
  } else if (timedOut_.load()) {
    outcome.end = TransferEnd::kFailed;
    outcome.failure = ResultFromWinHttp(ERROR_WINHTTP_TIMEOUT);
  }
  return outcome;
}

TransferOutcome WinHttpTransport::Exchange(const TransferRequest& request,
                                           TransferObserver& observer, HINTERNET session) {
  TransferOutcome outcome;
  auto failed = [&outcome](DWORD error) {
    outcome.end = TransferEnd::kFailed;
    outcome.failure = ResultFromWinHttp(error);
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
  if (request.rangeStart > 0) {
    headers += Utf8ToWide("Range: bytes=" + std::to_string(request.rangeStart) + "-") + L"\r\n";
    if (!request.ifRange.empty()) headers += Utf8ToWide("If-Range: " + request.ifRange) + L"\r\n";
  }
  const bool post = request.method == "POST";
  DWORD bodyLength = post ? static_cast<DWORD>(request.body.size()) : 0;
  void* body = post && bodyLength ? const_cast<char*>(request.body.data()) : WINHTTP_NO_REQUEST_DATA;
  if (!WinHttpSendRequest(raw, headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headers.c_str(),
                          headers.empty() ? 0 : static_cast<DWORD>(-1L), body, bodyLength,
                          bodyLength, 0)) {
    return failed(GetLastError());
  }
  if (!WinHttpReceiveResponse(raw, nullptr)) return failed(GetLastError());

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
