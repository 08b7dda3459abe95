// Long paths on Windows. A Win32 file call refuses a path at MAX_PATH (260 characters with the
// NUL; 248 for a directory to create, which keeps room for an 8.3 name) unless it is given the
// extended-length form "\\?\C:\..." or "\\?\UNC\server\share\...". Only the platform layer's
// file calls use that form: callers keep, report and compare the path as they know it.
#pragma once

#include "platform/platform.h"

namespace lumo {
namespace platform {

enum class PathKind { kFile, kDirectoryToCreate };

// True when a full path (as GetFullPathNameW gives it) is too long for a call on that kind of
// path. Paths already in an extended or device form ("\\?\", "\\.\") never need it.
bool NeedsExtendedLength(const WString& fullPath, PathKind kind);
// The extended-length form of a full path; "/" becomes "\", which that form takes literally.
WString ExtendedLengthForm(const WString& fullPath);

// Windows only: the path itself, or the extended-length form of its full path when the call
// needs it.
WString PathForFileCall(const WString& path, PathKind kind);

}  // namespace platform
}  // namespace lumo
