// The endpoints of the teardown copy of the module: ports of the teardown scenarios' own, so
// they can make the collector, the CDN configuration and HTTP DNS stall. Linked ahead of the
// library that holds the build's endpoints, it takes their place; nothing else differs.
#include "base/endpoints.h"

namespace lumo {

Endpoints Endpoints::Production() {
  const std::string host = "http://127.0.0.1:";
  return Endpoints{host + std::to_string(LUMO_TEARDOWN_PORT) + "/post",
                   host + std::to_string(LUMO_TEARDOWN_PORT + 1) + "/cdn-domain/",
                   host + std::to_string(LUMO_TEARDOWN_PORT + 2) + "/?ws_domain=", "cdn.lumo.test"};
}

}  // namespace lumo
