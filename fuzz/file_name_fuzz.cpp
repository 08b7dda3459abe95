// Names derived from URLs. FileNameFromUrl keeps the module's byte-for-byte rule (last path
// element, cut at "?", bytes widened as signed 8-bit values); the engine's SafeFileNameFromUrl
// must give a name that is safe on every file system whatever the URL holds.
#include <cstddef>
#include <cstdint>
#include <string>

#include "base/url_helpers.h"
#include "path_text.h"
#include "fuzz_check.h"

namespace {

using lumo::WChar;
using lumo::WString;

WString Ascii(const char* text) {
  WString out;
  for (; *text != 0; ++text) out.push_back(static_cast<WChar>(*text));
  return out;
}

void CheckModuleName(const std::string& url) {
  const WString name = lumo::FileNameFromUrl(url);
  FUZZ_CHECK(!name.empty());
  const size_t slash = url.rfind('/');
  std::string tail = slash == std::string::npos ? std::string() : url.substr(slash + 1);
  tail = tail.substr(0, tail.find('?'));
  if (tail.empty()) {
    FUZZ_CHECK(name == Ascii("unnamed"));
    return;
  }
  FUZZ_CHECK(name.size() == tail.size());
  for (size_t i = 0; i < tail.size(); ++i) {
    const uint16_t unit = static_cast<uint16_t>(name[i]);
    const unsigned char byte = static_cast<unsigned char>(tail[i]);
    FUZZ_CHECK(unit != '/' && unit != '?');
    FUZZ_CHECK(byte < 0x80 ? unit == byte : unit == 0xFF00u + byte);
  }
}

bool IsReservedDevice(const WString& name) {
  std::string stem;
  for (WChar c : name) {
    if (c == '.') break;
    if (c == 0xB9 || c == 0xB2 || c == 0xB3) {  // superscript digits count as digits
      stem.push_back('1');
      continue;
    }
    if (c > 0x7F) return false;
    stem.push_back(static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c));
  }
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  if (stem == "CON" || stem == "PRN" || stem == "AUX" || stem == "NUL" || stem == "CONIN$" ||
      stem == "CONOUT$") {
    return true;
  }
  return stem.size() == 4 && (stem.compare(0, 3, "COM") == 0 || stem.compare(0, 3, "LPT") == 0) &&
         stem[3] >= '0' && stem[3] <= '9';
}

void CheckSafeName(const std::string& url) {
  const WString name = zdl::SafeFileNameFromUrl(url);
  FUZZ_CHECK(!name.empty() && name.size() <= 200);
  for (size_t i = 0; i < name.size(); ++i) {
    const uint16_t c = static_cast<uint16_t>(name[i]);
    FUZZ_CHECK(c >= 0x20 && c != 0x7F);
    for (char bad : std::string("\\/:*?\"<>|")) FUZZ_CHECK(c != static_cast<unsigned char>(bad));
    // Well-formed UTF-16: no surrogate half on its own (a cut pair would be one).
    if (c >= 0xD800 && c <= 0xDBFF) {
      FUZZ_CHECK(i + 1 < name.size());
      const uint16_t next = static_cast<uint16_t>(name[i + 1]);
      FUZZ_CHECK(next >= 0xDC00 && next <= 0xDFFF);
      ++i;
    } else {
      FUZZ_CHECK(!(c >= 0xDC00 && c <= 0xDFFF));
    }
  }
  FUZZ_CHECK(name.back() != '.' && name.back() != ' ');
  FUZZ_CHECK(!IsReservedDevice(name));
  // Whatever the URL, the name stays one element inside the save directory.
  FUZZ_CHECK(name != Ascii(".") && name != Ascii(".."));
}

void CheckUtf8RoundTrip(const std::string& bytes) {
  // Any UTF-8 that comes back unchanged through UTF-16 stays unchanged a second time, and
  // the UTF-16 form is always well-formed enough to convert back and forth stably.
  const WString wide = zdl::Utf8ToWide(bytes);
  const std::string narrow = zdl::WideToUtf8(wide);
  FUZZ_CHECK(zdl::Utf8ToWide(narrow) == wide);
  FUZZ_CHECK(zdl::WideToUtf8(zdl::Utf8ToWide(narrow)) == narrow);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string url(reinterpret_cast<const char*>(data), size);
  CheckModuleName(url);
  CheckSafeName(url);
  CheckUtf8RoundTrip(url);
  return 0;
}
