// The fixed addresses the module talks to. Built from the LUMO_* cache variables; tests hand
// their own value down instead.
#pragma once

#include <string>

namespace lumo {

struct Endpoints {
  std::string reportUrl;     // telemetry form posts (port 6015, path /post)
  std::string cdnConfigUrl;  // preferred-domain prefix, ends in "/cdn-domain/"
  std::string httpDnsUrl;    // HTTP DNS prefix, ends in "/?ws_domain="
  std::string cdnHost;       // host the HTTP DNS fallback resolves

  static Endpoints Production();
};

}  // namespace lumo
