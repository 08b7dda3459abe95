// The engine's only contact with an HTTP stack: one Transport performs one HTTP exchange at a
// time and streams what arrives to a TransferObserver. libcurl (curl_transport.cpp) and WinHTTP
// (winhttp_transport.cpp) implement it; everything above this header is shared.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace zdl {

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
  std::string ifRange;         // with rangeStart: the validator sent as If-Range
  uint32_t connectTimeoutSeconds = 30;  // also bounds the wait for the response head
  uint32_t maxBytesPerSecond = 0;   // 0 = unlimited
  uint32_t totalTimeoutMs = 0;      // 0 = none
  std::string proxy;                // empty = direct (the environment's proxy is not used)
  std::string userAgent;            // empty = the stack's default
};

// The head of the final response (after redirects).
struct ResponseHead {
  uint32_t status = 0;
  bool hasContentLength = false;
  uint64_t contentLength = 0;
  std::string etag;           // as sent, quotes and W/ included
  std::string lastModified;
  std::string contentRange;   // e.g. "bytes 100-199/200" or "bytes */200"
};

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
  // code is the stack's own error number.
  EngineResult failure;
};

class Transport {
 public:
  virtual ~Transport() = default;

  // Performs one exchange, blocking, and reports to the observer on the calling thread.
  // Follows redirects, verifies certificates for https, honours every field of the request.
  // Returns kCancelled within about 100 ms of Cancel, whatever the network does.
  virtual TransferOutcome Perform(const TransferRequest& request, TransferObserver& observer) = 0;

  // Any thread, any time, repeatable: makes the running Perform (or the next one) end with
  // kCancelled promptly.
  virtual void Cancel() = 0;
};

// Once per process before the first transport (mod_init); true when the stack is usable.
bool TransportGlobalInit();

// A fresh transport for one session or request; null when the stack cannot provide one.
std::unique_ptr<Transport> CreateTransport();

}  // namespace zdl
