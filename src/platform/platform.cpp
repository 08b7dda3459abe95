// Portable parts of the platform layer.
#include "platform/platform.h"

namespace lumo {
namespace platform {

std::string DigestHex(const std::array<uint8_t, 16>& digest) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(digest.size() * 2);
  for (uint8_t byte : digest) {
    hex.push_back(kDigits[byte >> 4]);
    hex.push_back(kDigits[byte & 0x0F]);
  }
  return hex;
}

}  // namespace platform
}  // namespace lumo
