#include "base/file_name.h"

namespace lumo {
namespace {

const char kUnnamed[] = "unnamed";
// An extension longer than this is not kept whole when a name is cut.
constexpr size_t kMaxKeptExtension = 32;

bool ForbiddenAscii(unsigned char c) {
  if (c < 0x20 || c == 0x7F) return true;
  switch (c) {
    case '\\': case '/': case ':': case '*': case '?': case '"': case '<': case '>': case '|':
    case ';':
      return true;
    default:
      return false;
  }
}

// Length of the valid UTF-8 sequence at text[i] (no overlong forms, no surrogates, at most
// U+10FFFF); 0 when the bytes there are not one.
size_t Utf8SequenceLength(const std::string& text, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // bounds of the second byte
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  if (byte(i + 1) < low || byte(i + 1) > high) return 0;
  for (size_t k = 2; k < length; ++k) {
    if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
  }
  return length;
}

void TrimTrailingDotsAndSpaces(std::string* name) {
  while (!name->empty() && (name->back() == '.' || name->back() == ' ')) name->pop_back();
}

// The longest prefix of text of at most limit bytes that ends on a character boundary (text
// is valid UTF-8 here).
std::string CutAtBoundary(const std::string& text, size_t limit) {
  if (text.size() <= limit) return text;
  size_t end = limit;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end);
}

std::string CapLength(const std::string& name) {
  if (name.size() <= kMaxFileNameBytes) return name;
  const size_t dot = name.rfind('.');
  std::string extension;
  if (dot != std::string::npos && dot > 0 && name.size() - dot <= kMaxKeptExtension) {
    extension = name.substr(dot);
  }
  std::string stem = name.substr(0, name.size() - extension.size());
  stem = CutAtBoundary(stem, kMaxFileNameBytes - extension.size());
  if (extension.empty()) TrimTrailingDotsAndSpaces(&stem);
  return stem + extension;
}

std::string LastPathSegment(const std::string& url) {
  std::string path = url.substr(0, url.find_first_of("?#"));
  const size_t scheme = path.find("://");
  if (scheme != std::string::npos) {
    const size_t slash = path.find('/', scheme + 3);
    if (slash == std::string::npos) return std::string();
    path = path.substr(slash);
  }
  const size_t last = path.rfind('/');
  if (last == std::string::npos) return std::string();
  return path.substr(last + 1);
}

}  // namespace

bool IsDeviceName(const std::string& name) {
  std::string stem;
  for (size_t i = 0; i < name.size() && name[i] != '.'; ++i) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    // Superscript one, two and three (UTF-8 C2 B9, C2 B2, C2 B3) count as digits after COM/LPT.
    if (c == 0xC2 && i + 1 < name.size()) {
      const unsigned char next = static_cast<unsigned char>(name[i + 1]);
      if (next == 0xB9 || next == 0xB2 || next == 0xB3) {
        stem.push_back('1');
        ++i;
        continue;
      }
    }
    if (c >= 0x80) return false;
    stem.push_back(c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : static_cast<char>(c));
  }
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  if (stem == "CON" || stem == "PRN" || stem == "AUX" || stem == "NUL" || stem == "CONIN$" ||
      stem == "CONOUT$") {
    return true;
  }
  return stem.size() == 4 && (stem.compare(0, 3, "COM") == 0 || stem.compare(0, 3, "LPT") == 0) &&
         stem[3] >= '0' && stem[3] <= '9';
}

bool IsLegalHostFileName(const std::string& name) {
  size_t begin = 0;
  while (begin <= name.size() && !name.empty()) {
    size_t end = name.find_first_of("/\\", begin);
    if (end == std::string::npos) end = name.size();
    const std::string segment = name.substr(begin, end - begin);
    if (segment.empty() || segment.back() == '.' || segment.back() == ' ') return false;
    for (const char c : segment) {
      // Separators were split off; what else Windows forbids (":" included) is refused.
      if (ForbiddenAscii(static_cast<unsigned char>(c)) && c != ';') return false;
    }
    if (IsDeviceName(segment)) return false;
    begin = end + 1;
  }
  return true;
}

std::string FileNameFromUrl(const std::string& url) {
  const std::string segment = LastPathSegment(url);
  std::string name;
  for (size_t i = 0; i < segment.size();) {
    const size_t length = Utf8SequenceLength(segment, i);
    if (length == 0) {
      name.push_back('_');
      ++i;
    } else if (length == 1) {
      const unsigned char c = static_cast<unsigned char>(segment[i]);
      name.push_back(ForbiddenAscii(c) ? '_' : static_cast<char>(c));
      ++i;
    } else {
      name.append(segment, i, length);
      i += length;
    }
  }
  TrimTrailingDotsAndSpaces(&name);
  if (name.empty()) return kUnnamed;
  if (IsDeviceName(name)) name.insert(name.begin(), '_');
  name = CapLength(name);
  return name.empty() ? std::string(kUnnamed) : name;
}

}  // namespace lumo
