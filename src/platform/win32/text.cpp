// Status-code messages and code-page conversions on Windows.
#include <climits>

#include "platform/platform.h"
#include "platform/win32/win_headers.h"

namespace lumo {
namespace platform {
namespace {

UINT CodePageId(CodePage codePage) { return codePage == CodePage::kUtf8 ? CP_UTF8 : CP_ACP; }

// Memory that FormatMessageW allocated.
class LocalText {
 public:
  LocalText() = default;
  ~LocalText() {
    if (text_ != nullptr) LocalFree(text_);
  }
  LocalText(const LocalText&) = delete;
  LocalText& operator=(const LocalText&) = delete;
  wchar_t** Out() { return &text_; }
  const wchar_t* Get() const { return text_; }

 private:
  wchar_t* text_ = nullptr;
};

}  // namespace

std::string SystemErrorText(int32_t code) {
  LocalText message;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
      reinterpret_cast<LPWSTR>(message.Out()), 0, nullptr);
  if (length == 0 || message.Get() == nullptr) return std::string();
  std::string text;
  if (!WideToMultiByte(CodePage::kUtf8, message.Get(), length, &text)) return std::string();
  const size_t lineEnd = text.find("\r\n");
  if (lineEnd != std::string::npos) text.erase(lineEnd, 2);
  return text;
}

bool WideToMultiByte(CodePage codePage, const WChar* text, size_t length, std::string* out) {
  if (out == nullptr || (text == nullptr && length != 0) || length > INT_MAX) return false;
  if (length == 0) {
    out->clear();
    return true;
  }
  const UINT page = CodePageId(codePage);
  const int wideLength = static_cast<int>(length);
  const int size = WideCharToMultiByte(page, 0, text, wideLength, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return false;
  std::string result(static_cast<size_t>(size), '\0');
  if (WideCharToMultiByte(page, 0, text, wideLength, &result[0], size, nullptr, nullptr) != size) {
    return false;
  }
  out->swap(result);
  return true;
}

bool MultiByteToWide(CodePage codePage, const char* text, size_t length, WString* out) {
  if (out == nullptr || (text == nullptr && length != 0) || length > INT_MAX) return false;
  if (length == 0) {
    out->clear();
    return true;
  }
  const UINT page = CodePageId(codePage);
  const int narrowLength = static_cast<int>(length);
  const int size = MultiByteToWideChar(page, 0, text, narrowLength, nullptr, 0);
  if (size <= 0) return false;
  WString result(static_cast<size_t>(size), L'\0');
  if (MultiByteToWideChar(page, 0, text, narrowLength, &result[0], size) != size) return false;
  out->swap(result);
  return true;
}

}  // namespace platform
}  // namespace lumo
