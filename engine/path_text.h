// Path texts of the engine's files.
#pragma once

#include <string>

#include "platform/platform.h"

namespace zdl {

using lumo::WString;

// UTF-8 <-> UTF-16; malformed input becomes U+FFFD.
WString Utf8ToWide(const std::string& text);
std::string WideToUtf8(const WString& text);

// saveDir joined with name, with one separator between them.
WString JoinPath(const WString& dir, const WString& name);

}  // namespace zdl
