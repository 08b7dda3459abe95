// Status-code messages and UTF-16 <-> UTF-8 conversions on Linux, where UTF-8 is also the
// system code page.
#include <string>

#include "platform/platform.h"

namespace lumo {
namespace platform {
namespace {

struct CodeText {
  uint32_t code;
  const char* text;
};

// Windows' English wording (without the trailing CR LF) for the Win32 errors the module and
// the engine report, looked up by Win32 code, whether given bare or as HRESULT_FROM_WIN32.
constexpr CodeText kWin32Texts[] = {
    {0, "The operation completed successfully."},
    {2, "The system cannot find the file specified."},
    {3, "The system cannot find the path specified."},
    {4, "The system cannot open the file."},
    {5, "Access is denied."},
    {6, "The handle is invalid."},
    {8, "Not enough memory resources are available to process this command."},
    {13, "The data is invalid."},
    {14, "Not enough memory resources are available to complete this operation."},
    {15, "The system cannot find the drive specified."},
    {19, "The media is write protected."},
    {21, "The device is not ready."},
    {23, "Data error (cyclic redundancy check)."},
    {29, "The system cannot write to the specified device."},
    {30, "The system cannot read from the specified device."},
    {31, "A device attached to the system is not functioning."},
    {32, "The process cannot access the file because it is being used by another process."},
    {33, "The process cannot access the file because another process has locked a portion of "
         "the file."},
    {39, "The disk is full."},
    {80, "The file exists."},
    {87, "The parameter is incorrect."},
    {112, "There is not enough space on the disk."},
    {123, "The filename, directory name, or volume label syntax is incorrect."},
    {183, "Cannot create a file when that file already exists."},
    {206, "The filename or extension is too long."},
    {223, "The file size exceeds the limit allowed and cannot be saved."},
    {483, "The request failed due to a fatal device hardware error."},
    {1117, "The request could not be performed because of an I/O device error."},
    {1223, "The operation was canceled by the user."},
    {1460, "This operation returned because the timeout period expired."},
    {6851, "The operation could not be completed because the volume is dirty. Please run chkdsk "
           "and try again."},
};

// COM status codes outside the Win32 facility.
constexpr CodeText kComTexts[] = {
    {0x80004001u, "Not implemented"},
    {0x80004002u, "No such interface supported"},
    {0x80004003u, "Invalid pointer"},
    {0x80004004u, "Operation aborted"},
    {0x80004005u, "Unspecified error"},
    {0x8000000Eu, "A method was called at an unexpected time."},
    {0x8000FFFFu, "Catastrophic failure"},
};

template <size_t N>
const char* Find(const CodeText (&table)[N], uint32_t code) {
  for (const CodeText& row : table) {
    if (row.code == code) return row.text;
  }
  return nullptr;
}

constexpr char32_t kReplacement = 0xFFFD;

void AppendUtf8(char32_t c, std::string* out) {
  if (c < 0x80) {
    out->push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (c >> 6)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (c >> 12)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (c >> 18)));
    out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

void AppendUtf16(char32_t c, WString* out) {
  if (c < 0x10000) {
    out->push_back(static_cast<WChar>(c));
  } else {
    c -= 0x10000;
    out->push_back(static_cast<WChar>(0xD800 + (c >> 10)));
    out->push_back(static_cast<WChar>(0xDC00 + (c & 0x3FF)));
  }
}

// Decodes one UTF-8 sequence at text[*pos]. Returns false for an ill-formed sequence and then
// skips its maximal valid prefix (at least one byte), as the Unicode replacement practice says.
bool DecodeUtf8(const unsigned char* text, size_t length, size_t* pos, char32_t* c) {
  const unsigned char lead = text[*pos];
  if (lead < 0x80) {
    *c = lead;
    ++*pos;
    return true;
  }
  size_t need = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  char32_t value = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 1;
    value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 2;
    value = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 3;
    value = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    ++*pos;
    return false;
  }
  for (size_t k = 1; k <= need; ++k) {
    const size_t at = *pos + k;
    const unsigned char lo = k == 1 ? low : 0x80;
    const unsigned char hi = k == 1 ? high : 0xBF;
    if (at >= length || text[at] < lo || text[at] > hi) {
      *pos += k;
      return false;
    }
    value = (value << 6) | (text[at] & 0x3F);
  }
  *pos += need + 1;
  *c = value;
  return true;
}

}  // namespace

std::string SystemErrorText(int32_t code) {
  const uint32_t value = static_cast<uint32_t>(code);
  const char* text = nullptr;
  if ((value & 0xFFFF0000u) == 0x80070000u) {
    text = Find(kWin32Texts, value & 0xFFFFu);
  } else if (value <= 0xFFFFu) {
    text = Find(kWin32Texts, value);
  } else {
    text = Find(kComTexts, value);
  }
  return text != nullptr ? std::string(text) : std::string();
}

// UTF-8 conversion replaces lone surrogates with U+FFFD, as Windows does; the system code page
// (UTF-8 here) refuses them, so a caller never gets a different name than it asked for.
bool WideToMultiByte(CodePage codePage, const WChar* text, size_t length, std::string* out) {
  if (out == nullptr || (text == nullptr && length != 0)) return false;
  const bool strict = codePage == CodePage::kAnsi;
  std::string result;
  result.reserve(length);
  for (size_t i = 0; i < length; ++i) {
    char32_t c = static_cast<char16_t>(text[i]);
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < length && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<char32_t>(text[i + 1]) - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      if (strict) return false;
      c = kReplacement;
    }
    AppendUtf8(c, &result);
  }
  out->swap(result);
  return true;
}

bool MultiByteToWide(CodePage codePage, const char* text, size_t length, WString* out) {
  if (out == nullptr || (text == nullptr && length != 0)) return false;
  const bool strict = codePage == CodePage::kAnsi;
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
  WString result;
  result.reserve(length);
  size_t pos = 0;
  while (pos < length) {
    char32_t c = 0;
    if (!DecodeUtf8(bytes, length, &pos, &c)) {
      if (strict) return false;
      c = kReplacement;
    }
    AppendUtf16(c, &result);
  }
  out->swap(result);
  return true;
}

}  // namespace platform
}  // namespace lumo
