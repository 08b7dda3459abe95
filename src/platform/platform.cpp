// Portable parts of the platform layer.
#include "platform/platform.h"

#include "platform/long_path.h"

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

namespace {

constexpr size_t kFilePathLimit = 260;       // MAX_PATH, the NUL included
constexpr size_t kDirectoryPathLimit = 248;  // MAX_PATH less room for an 8.3 name

bool StartsWith(const WString& text, const char* prefix) {
  for (size_t i = 0; prefix[i] != '\0'; ++i) {
    if (i >= text.size() || text[i] != static_cast<WChar>(prefix[i])) return false;
  }
  return true;
}

WString Widened(const char* text) {
  WString out;
  for (; *text != '\0'; ++text) out.push_back(static_cast<WChar>(*text));
  return out;
}

}  // namespace

bool NeedsExtendedLength(const WString& fullPath, PathKind kind) {
  if (StartsWith(fullPath, "\\\\?\\") || StartsWith(fullPath, "\\\\.\\")) return false;
  const size_t limit = kind == PathKind::kDirectoryToCreate ? kDirectoryPathLimit : kFilePathLimit;
  return fullPath.size() >= limit;
}

WString ExtendedLengthForm(const WString& fullPath) {
  WString path = fullPath;
  for (WChar& c : path) {
    if (c == '/') c = '\\';
  }
  if (StartsWith(path, "\\\\?\\") || StartsWith(path, "\\\\.\\")) return path;
  if (StartsWith(path, "\\\\")) return Widened("\\\\?\\UNC\\") + path.substr(2);
  return Widened("\\\\?\\") + path;
}

}  // namespace platform
}  // namespace lumo
