// The engine's only contact with an HTTP stack: one Transport performs one HTTP exchange at a
// time and streams what arrives to a TransferObserver. libcurl (curl_transport.cpp) and WinHTTP
// (winhttp_transport.cpp) implement it; everything above this header is shared.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace zdl {

class Throttle;

// A result code of GetResult with its extended code.
struct EngineResult {
  int32_t result = 0;
  int32_t extended = 0;
};

// What one exchange asks for.
struct TransferRequest {
  std::string method = "GET";  // "GET" or "POST"
  std::string url;             // http:// or https:// only
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;            // sent with POST
  uint64_t rangeStart = 0;     // > 0: ask for the bytes from this offset on ("Range: bytes=N-")
  uint64_t rangeEnd = 0;       // > 0: ask only for the bytes before this offset ("bytes=N-M")
  std::string ifRange;         // with rangeStart: the validator sent as If-Range
  // Bounds the connection; the connection plus kHeadGraceSeconds bounds the whole response
  // head (interim 1xx answers and redirects included).
  uint32_t connectTimeoutSeconds = 30;
  // Empty: libcurl connects directly (the environment's proxy is not used), WinHTTP uses the
  // system's proxy settings.
  std::string proxy;
  std::string userAgent;            // empty = the stack's default
  std::string caFile;               // empty = the system's trusted roots; else a PEM file (curl)
};

// Seconds beyond the connect time-out within which the whole response head must have arrived:
// a server dripping header lines or endless "100 Continue" answers cannot hold an exchange.
constexpr uint32_t kHeadGraceSeconds = 30;

// The head of the final response (after redirects).
struct ResponseHead {
  uint32_t status = 0;
  bool hasContentLength = false;
  uint64_t contentLength = 0;
  std::string etag;           // as sent, quotes and W/ included
  std::string lastModified;
  std::string contentRange;   // e.g. "bytes 100-199/200" or "bytes */200"
  std::string contentEncoding;
  bool acceptsRanges = false;  // "Accept-Ranges: bytes"
};

// The Range header value of a request ("bytes=N-" or "bytes=N-M"); empty when it asks for the
// whole body.
inline std::string RangeHeaderValue(const TransferRequest& request) {
  if (request.rangeStart == 0 && request.rangeEnd == 0) return std::string();
  std::string value = "bytes=" + std::to_string(request.rangeStart) + "-";
  if (request.rangeEnd > request.rangeStart) value += std::to_string(request.rangeEnd - 1);
  return value;
}

// Receives one exchange's events on the thread that runs Perform.
class TransferObserver {
 public:
  virtual ~TransferObserver() = default;
  // Once, before any data, with the final response's head. False stops the exchange.
  virtual bool OnResponse(const ResponseHead& head) = 0;
  // Body bytes in order. False stops the exchange.
  virtual bool OnData(const void* data, size_t length) = 0;
};

// How an exchange ended, seen from the network.
enum class TransferEnd {
  kCompleted,  // the whole response arrived (whatever its status)
  kStopped,    // the observer returned false
  kCancelled,  // Cancel was called
  kFailed,     // the network or the stack failed: see `failure`
};

struct TransferOutcome {
  TransferEnd end = TransferEnd::kFailed;
  bool responded = false;  // OnResponse was called
  // For kFailed, the one mapping of the stack's error: refused/reset/name resolution -> 3,
  // time-out -> 7, redirect loops and broken replies -> 6, anything else -> 1; the extended
  // code is the stack's own error number. A response head that does not arrive within its bound
  // is a network error (3).
  EngineResult failure;
  // Why the stack failed, when it says more than the code: for a certificate that does not
  // verify, "certificate verification failed: " and the stack's reason.
  std::string detail;
};

// The detail of a certificate failure.
inline std::string CertificateFailureDetail(const std::string& reason) {
  return "certificate verification failed: " + reason;
}

class Transport {
 public:
  virtual ~Transport() = default;

  // Performs one exchange, blocking, and reports to the observer on the calling thread.
  // Follows redirects (never from https to http), verifies certificates for https, asks for the
  // body without content encoding, honours every field of the request. Returns kCancelled
  // within about 100 ms of Cancel, whatever the network does.
  virtual TransferOutcome Perform(const TransferRequest& request, TransferObserver& observer) = 0;

  // Any thread, any time: the byte rate of the running exchange and of later ones (0 =
  // unlimited). Takes effect within the next read.
  virtual void SetMaxBytesPerSecond(uint32_t bytesPerSecond) = 0;
  // Any thread, any time: an exchange still running at `deadline` ends as kFailed with a
  // time-out (7). time_point::max() = none.
  virtual void SetDeadline(std::chrono::steady_clock::time_point deadline) = 0;

  // Any thread, any time, repeatable: makes the running Perform (or the next one) end with
  // kCancelled promptly.
  virtual void Cancel() = 0;
};

// Once per process before the first transport (mod_init); true when the stack is usable.
bool TransportGlobalInit();
// Closes the connections kept open for later exchanges (mod_term, once no exchange runs).
void TransportCloseIdle();

// A fresh transport for one session or request; null when the stack cannot provide one. Given
// a throttle, the transport paces and times out through it, so transports sharing one keep a
// rate and a deadline together (Cancel on one of them leaves the throttle to its owner).
std::unique_ptr<Transport> CreateTransport(std::shared_ptr<Throttle> throttle = nullptr);

}  // namespace zdl
