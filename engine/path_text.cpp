#include "path_text.h"

#include "platform/platform.h"

namespace zdl {

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

WString JoinPath(const WString& dir, const WString& name) {
  if (dir.empty()) return name;
  WString path = dir;
  if (!lumo::platform::IsPathSeparator(path.back())) path.push_back(lumo::platform::kPathSeparator);
  return path + name;
}

}  // namespace zdl
