#include "base/endpoints.h"

#include "lumo/build_config.h"

namespace lumo {

Endpoints Endpoints::Production() {
  return Endpoints{LUMO_REPORT_URL, LUMO_CDN_CONFIG_URL, LUMO_HTTPDNS_URL, LUMO_CDN_HOST};
}

}  // namespace lumo
