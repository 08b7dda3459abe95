// The one naming rule: whatever the URL holds, the name is valid UTF-8, one element inside the
// save folder, safe on every file system, within its byte bound, and never a device name.
#include <cstddef>
#include <cstdint>
#include <string>

#include "base/file_name.h"
#include "fuzz_check.h"

namespace {

// Valid UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool ValidUtf8(const std::string& text) {
  for (size_t i = 0; i < text.size();) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
    if (length == 0 || lead > 0xF4 || i + length > text.size()) return false;
    uint32_t value = length == 1 ? lead : lead & (0x7Fu >> length);
    for (size_t k = 1; k < length; ++k) {
      const unsigned char next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      value = value << 6 | (next & 0x3Fu);
    }
    const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (value < least[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
      return false;
    }
    i += length;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string url(reinterpret_cast<const char*>(data), size);
  const std::string name = lumo::FileNameFromUrl(url);
  FUZZ_CHECK(!name.empty() && name.size() <= lumo::kMaxFileNameBytes);
  FUZZ_CHECK(ValidUtf8(name));
  for (char c : name) {
    const unsigned char byte = static_cast<unsigned char>(c);
    FUZZ_CHECK(byte >= 0x20 && byte != 0x7F);
    for (char bad : std::string("\\/:*?\"<>|;")) FUZZ_CHECK(c != bad);
  }
  FUZZ_CHECK(name.back() != '.' && name.back() != ' ');
  FUZZ_CHECK(!lumo::IsDeviceName(name));
  FUZZ_CHECK(name != "." && name != "..");
  // Deterministic: the module and the engine derive it apart and must agree.
  FUZZ_CHECK(lumo::FileNameFromUrl(url) == name);
  return 0;
}
