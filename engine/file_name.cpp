#include "file_name.h"

#include "platform/platform.h"

#include <cctype>

namespace zdl {
namespace {

constexpr size_t kMaxNameLength = 200;

bool IsForbidden(char16_t c) {
  if (c < 0x20 || c == 0x7F) return true;
  switch (c) {
    case '\\': case '/': case ':': case '*': case '?': case '"': case '<': case '>': case '|':
      return true;
    default:
      return false;
  }
}

// Device names Windows reserves whatever the extension ("con.txt" opens the console,
// "CONIN$" its input). COM and LPT take the digits 0-9 and the superscripts 1, 2 and 3.
bool IsDeviceName(const WString& name) {
  std::string stem;
  for (auto c : name) {
    if (c == '.') break;
    if (c == 0xB9 || c == 0xB2 || c == 0xB3) {
      stem.push_back('1');  // any digit: only the position matters below
      continue;
    }
    if (c > 0x7F) return false;
    stem.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
  }
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  if (stem == "CON" || stem == "PRN" || stem == "AUX" || stem == "NUL" || stem == "CONIN$" ||
      stem == "CONOUT$") {
    return true;
  }
  if (stem.size() == 4 && (stem.compare(0, 3, "COM") == 0 || stem.compare(0, 3, "LPT") == 0) &&
      stem[3] >= '0' && stem[3] <= '9') {
    return true;
  }
  return false;
}

}  // namespace

WString Utf8ToWide(const std::string& text) {
  WString out;
  lumo::platform::MultiByteToWide(lumo::platform::CodePage::kUtf8, text.data(), text.size(), &out);
  return out;
}

std::string WideToUtf8(const WString& text) {
  std::string out;
  lumo::platform::WideToMultiByte(lumo::platform::CodePage::kUtf8, text.data(), text.size(), &out);
  return out;
}

WString SafeFileNameFromUrl(const std::string& url) {
  std::string path = url.substr(0, url.find_first_of("?#"));
  size_t scheme = path.find("://");
  if (scheme != std::string::npos) {
    size_t slash = path.find('/', scheme + 3);
    path = slash == std::string::npos ? std::string() : path.substr(slash);
  }
  size_t last = path.find_last_of("/\\");
  std::string element = last == std::string::npos ? path : path.substr(last + 1);

  WString name = Utf8ToWide(element);
  for (auto& c : name) {
    if (IsForbidden(c)) c = '_';
  }
  // The device prefix may lengthen the name, so the bound is applied after it.
  while (!name.empty() && (name.back() == '.' || name.back() == ' ')) name.pop_back();
  if (name.empty()) return Utf8ToWide("unnamed");
  if (IsDeviceName(name)) name.insert(name.begin(), '_');
  if (name.size() > kMaxNameLength) {
    name.resize(kMaxNameLength);
    // Never cut a surrogate pair in half.
    if (name.back() >= 0xD800 && name.back() <= 0xDBFF) name.pop_back();
    while (!name.empty() && (name.back() == '.' || name.back() == ' ')) name.pop_back();
  }
  if (name.empty()) return Utf8ToWide("unnamed");
  return name;
}

WString JoinPath(const WString& dir, const WString& name) {
  if (dir.empty()) return name;
  WString path = dir;
  if (!lumo::platform::IsPathSeparator(path.back())) path.push_back(lumo::platform::kPathSeparator);
  return path + name;
}

}  // namespace zdl
