// Conversions between the module's UTF-16 texts and its narrow texts, which are UTF-8 on every
// platform.
#pragma once

#include <string>

#include "platform/platform.h"

namespace lumo {

// UTF-8 form of a UTF-16 text up to its first NUL; an absent text gives the empty text.
void WideToUtf8(const WChar* text, std::string* out);
void WideToUtf8(const WString& text, std::string* out);

// Convenience forms for UTF-8.
std::string Utf8Of(const WString& text);
WString WideOfUtf8(const std::string& text);

}  // namespace lumo
