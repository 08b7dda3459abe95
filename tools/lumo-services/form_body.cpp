#include "form_body.h"

namespace lumo::services {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool IsUnreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_' || c == '.' || c == '~';
}

}  // namespace

bool PercentDecode(const std::string& text, std::string& out) {
  out.clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return false;
    const int high = HexValue(text[i + 1]);
    const int low = HexValue(text[i + 2]);
    if (high < 0 || low < 0) return false;
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return true;
}

bool ParseForm(const std::string& body, FormPairs& pairs) {
  pairs.clear();
  if (body.empty()) return true;
  size_t start = 0;
  while (start <= body.size()) {
    size_t end = body.find('&', start);
    if (end == std::string::npos) end = body.size();
    const std::string pair = body.substr(start, end - start);
    const size_t equals = pair.find('=');
    if (equals == std::string::npos) return false;
    std::string value;
    if (!PercentDecode(pair.substr(equals + 1), value)) return false;
    pairs.emplace_back(pair.substr(0, equals), value);
    start = end + 1;
  }
  return true;
}

std::string FormValue(const FormPairs& pairs, const std::string& key) {
  for (const auto& pair : pairs) {
    if (pair.first == key) return pair.second;
  }
  return std::string();
}

std::string PercentEncode(const std::string& value) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : value) {
    if (IsUnreserved(c)) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kDigits[c >> 4];
      out += kDigits[c & 0x0F];
    }
  }
  return out;
}

std::string EncodeForm(const FormPairs& pairs) {
  std::string out;
  for (const auto& pair : pairs) {
    if (pair.first.empty() || pair.second.empty()) continue;
    if (!out.empty()) out += '&';
    out += pair.first + "=" + PercentEncode(pair.second);
  }
  return out;
}

}  // namespace lumo::services
