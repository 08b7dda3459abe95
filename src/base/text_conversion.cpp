#include "base/text_conversion.h"

namespace lumo {
namespace {

size_t LengthToNul(const WChar* text) {
  size_t length = 0;
  while (text[length] != 0) ++length;
  return length;
}

}  // namespace

void WideToUtf8(const WChar* text, std::string* out) {
  if (out == nullptr) return;
  std::string converted;
  if (text != nullptr) {
    platform::WideToMultiByte(platform::CodePage::kUtf8, text, LengthToNul(text), &converted);
  }
  out->swap(converted);
}

void WideToUtf8(const WString& text, std::string* out) { WideToUtf8(text.c_str(), out); }

std::string Utf8Of(const WString& text) {
  std::string out;
  WideToUtf8(text, &out);
  return out;
}

WString WideOfUtf8(const std::string& text) {
  WString out;
  platform::MultiByteToWide(platform::CodePage::kUtf8, text.c_str(),
                            std::char_traits<char>::length(text.c_str()), &out);
  return out;
}

}  // namespace lumo
