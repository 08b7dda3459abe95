// The one rule that names a file after its URL. The module (records, progress paths, completed
// files, telemetry, log), the engine (the file it writes) and the checksum step all call it, so
// what is reported is what is written. No dependencies: the engine links it too.
#pragma once

#include <cstddef>
#include <string>

namespace lumo {

// So that name + ".part.meta" stays within a 255-byte file-system limit.
constexpr size_t kMaxFileNameBytes = 240;

// The last segment of the URL's path (query and fragment removed, percent escapes kept), as
// UTF-8: invalid UTF-8 bytes, control characters, the characters Windows forbids in names and
// ";" (the separator of the completed-files list) become "_"; trailing dots and spaces go;
// Windows device names (CON, NUL, COM1, ...) get a "_" in front; at most kMaxFileNameBytes,
// cut at a character boundary keeping the extension. "unnamed" when nothing remains.
std::string FileNameFromUrl(const std::string& url);

// True when name is a Windows device name whatever its extension or case ("con.txt", "LPT1").
bool IsDeviceName(const std::string& name);

// True when a host's file name (UTF-8) names a file inside the save folder on every platform:
// a relative path whose segments, split at "/" and "\", are not empty, hold no ":" (drive
// letters, streams), no control character and none of * ? " < > |, do not end in a dot or a
// space (so neither "." nor ".." passes, nor a segment Windows would rename) and are no device
// name. The empty name passes: the name then comes from the URL.
bool IsLegalHostFileName(const std::string& name);

}  // namespace lumo
