#include "file_name.h"

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

// Device names Windows reserves whatever the extension ("con.txt" opens the console).
bool IsDeviceName(const WString& name) {
  std::string stem;
  for (auto c : name) {
    if (c == '.') break;
    if (c > 0x7F) return false;
    stem.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
  }
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  if (stem == "CON" || stem == "PRN" || stem == "AUX" || stem == "NUL") return true;
  if (stem.size() == 4 && (stem.compare(0, 3, "COM") == 0 || stem.compare(0, 3, "LPT") == 0) &&
      stem[3] >= '1' && stem[3] <= '9') {
    return true;
  }
  return false;
}

}  // namespace

WString Utf8ToWide(const std::string& text) {
  WString out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    unsigned char b = static_cast<unsigned char>(text[i]);
    uint32_t c = 0xFFFD;
    size_t extra = 0;
    uint32_t min = 0;
    if (b < 0x80) {
      c = b;
    } else if ((b & 0xE0) == 0xC0) {
      c = b & 0x1F; extra = 1; min = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
      c = b & 0x0F; extra = 2; min = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
      c = b & 0x07; extra = 3; min = 0x10000;
    } else {
      extra = 0;
    }
    size_t next = i + 1;
    if (extra > 0) {
      bool ok = i + extra < text.size();
      for (size_t k = 1; ok && k <= extra; ++k) {
        unsigned char cont = static_cast<unsigned char>(text[i + k]);
        if ((cont & 0xC0) != 0x80) ok = false;
        else c = (c << 6) | (cont & 0x3F);
      }
      if (ok && c >= min && c <= 0x10FFFF && !(c >= 0xD800 && c <= 0xDFFF)) {
        next = i + extra + 1;
      } else {
        c = 0xFFFD;
      }
    }
    if (c >= 0x10000) {
      c -= 0x10000;
      out.push_back(static_cast<lumo::WChar>(0xD800 + (c >> 10)));
      out.push_back(static_cast<lumo::WChar>(0xDC00 + (c & 0x3FF)));
    } else {
      out.push_back(static_cast<lumo::WChar>(c));
    }
    i = next;
  }
  return out;
}

std::string WideToUtf8(const WString& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t c = static_cast<uint16_t>(text[i]);
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() &&
        static_cast<uint16_t>(text[i + 1]) >= 0xDC00 &&
        static_cast<uint16_t>(text[i + 1]) <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<uint16_t>(text[i + 1]) - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
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
  if (name.size() > kMaxNameLength) {
    name.resize(kMaxNameLength);
    // Never cut a surrogate pair in half.
    if (!name.empty() && name.back() >= 0xD800 && name.back() <= 0xDBFF) name.pop_back();
  }
  while (!name.empty() && (name.back() == '.' || name.back() == ' ')) name.pop_back();
  if (name.empty()) return Utf8ToWide("unnamed");
  if (IsDeviceName(name)) name.insert(name.begin(), '_');
  return name;
}

WString JoinPath(const WString& dir, const WString& name) {
  if (dir.empty()) return name;
  WString path = dir;
  if (!lumo::platform::IsPathSeparator(path.back())) path.push_back(lumo::platform::kPathSeparator);
  return path + name;
}

}  // namespace zdl
