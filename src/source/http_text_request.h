// A short GET through the engine's HTTP service whose answer is wanted as text: the preferred
// CDN domain and the HTTP DNS query use it. The wait looks at the handler often, ends as soon as
// the answer is complete, is bounded (a number of handler polls) and ends early when the worker
// is quitting.
#pragma once

#include <cstdint>
#include <string>

#include "base/timing.h"
#include "zdl/zdl_engine.h"

namespace lumo {

class Signal;

class HttpTextRequest {
 public:
  HttpTextRequest(IZHttpService* http, const Timing& timing, const Signal& quit);

  // GETs url with the cache-busting parameter appended. 0 when an answer with status 200 and a
  // non-empty body of at most 64 KiB arrived whole within the bound (body then holds it), else
  // 0x80004005 with the "WARN" line; body may then hold a partial or empty text (at most
  // 64 KiB). body is assigned, not appended to.
  int32_t HttpGetText(std::string* body, std::string url) const;

 private:
  IZHttpService* http_;
  const Timing timing_;
  const Signal& quit_;
};

}  // namespace lumo
