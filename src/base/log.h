// The module's one log file: lumodownload.log in the parent of the host executable's folder.
#pragma once

#include <string>

#include "base/text_format.h"
#include "platform/platform.h"

namespace lumo {

// The level words of the log: "INFO", "WARN", "ERROR", and the initialisation's "Info" and
// "Error".
enum class LogLevel { kInfo, kWarn, kError, kInitInfo, kInitError };
const char* LevelWord(LogLevel level);

// The one log call: a level and a whole message template with its values, e.g.
//   WriteLog(LogLevel::kInfo, "Download file success from %s.", url.c_str());
// Appends "<local time> <level> - <message>" and a line end, control characters escaped (see
// EscapeLogText); drops the line silently when the file cannot be opened. Opens and closes the
// file per call, so deleting it is harmless. Texts are UTF-8.
void WriteLog(LogLevel level, const char* format, ...) LUMO_PRINTF(2, 3);

// The log path computed once at load: the executable directory followed by
// "../lumodownload.log" ("../lumodownload.log" alone when the directory is unknown). Kept in
// UTF-16 and opened as such, so a folder outside the ANSI code page still gets its log.
const WString& LogPath();

// The text with its control characters (bytes below 0x20, and 0x7F) written as visible escapes:
// \r, \n, \t, else \xNN. Other bytes pass unchanged, whatever the text's code page.
std::string EscapeLogText(const std::string& text);

// Pieces of the above, exposed for tests.
WString LogPathFor(const WString& executableDirectory);
std::string FormatLogLine(const platform::CalendarTime& time, const std::string& level,
                          const std::string& message);
// "%Y-%m-%dT%H:%M:%S" of a calendar time.
std::string IsoSecondsText(const platform::CalendarTime& time);

}  // namespace lumo
