// Names and text conversions of the engine's files.
#pragma once

#include <string>

#include "platform/platform.h"

namespace zdl {

using lumo::WString;

// UTF-8 <-> UTF-16; malformed input becomes U+FFFD.
WString Utf8ToWide(const std::string& text);
std::string WideToUtf8(const WString& text);

// A file name for a URL whose caller gave none: the last path element (query and fragment cut
// off, percent escapes kept as they are, UTF-8 read as UTF-8), made safe for every file
// system: no path separators, none of \ / : * ? " < > | or control characters (each becomes
// '_'), no trailing dots or spaces, no device name such as CON or COM1, at most 200 characters.
// "unnamed" when nothing usable remains ("", ".", "..").
WString SafeFileNameFromUrl(const std::string& url);

// saveDir joined with name, with one separator between them.
WString JoinPath(const WString& dir, const WString& name);

}  // namespace zdl
