#include "base/log.h"

#include <cstdarg>
#include <cstdio>

namespace lumo {
namespace {

const char kLogFileSuffix[] = "../lumodownload.log";

// Indexed by LogLevel.
const char* const kLevelWords[] = {"INFO", "WARN", "ERROR", "Info", "Error"};
static_assert(sizeof kLevelWords / sizeof kLevelWords[0] == int(LogLevel::kInitError) + 1,
              "one word per level");

// Computed during static initialisation, as the host may log from any thread later.
const WString g_logPath = LogPathFor(platform::ExecutableDirectory());

void AppendHexEscape(unsigned char c, std::string* out) {
  static const char kHex[] = "0123456789ABCDEF";
  out->append("\\x");
  out->push_back(kHex[c >> 4]);
  out->push_back(kHex[c & 0x0F]);
}

}  // namespace

std::string EscapeLogText(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (const char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c == '\r') {
      out.append("\\r");
    } else if (c == '\n') {
      out.append("\\n");
    } else if (c == '\t') {
      out.append("\\t");
    } else if (c < 0x20 || c == 0x7F) {
      AppendHexEscape(c, &out);
    } else {
      out.push_back(ch);
    }
  }
  return out;
}

std::string IsoSecondsText(const platform::CalendarTime& t) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%04u-%02u-%02uT%02u:%02u:%02u", unsigned{t.year},
                unsigned{t.month}, unsigned{t.day}, unsigned{t.hour}, unsigned{t.minute},
                unsigned{t.second});
  return buffer;
}

WString LogPathFor(const WString& executableDirectory) {
  WString path = executableDirectory;
  for (const char* c = kLogFileSuffix; *c != '\0'; ++c) path.push_back(static_cast<WChar>(*c));
  return path;
}

const WString& LogPath() { return g_logPath; }

std::string FormatLogLine(const platform::CalendarTime& time, const std::string& level,
                          const std::string& message) {
  // Levels and messages carry texts from servers and hosts: no control character of theirs may
  // break or forge a line.
  return EscapeLogText(IsoSecondsText(time) + " " + level + " - " + message) + "\n";
}

const char* LevelWord(LogLevel level) { return kLevelWords[static_cast<int>(level)]; }

void WriteLog(LogLevel level, const char* format, ...) {
  va_list values;
  va_start(values, format);
  const std::string message = FormatTextV(format, values);
  va_end(values);
  const std::string line = FormatLogLine(platform::LocalTimeNow(), LevelWord(level), message);
  // The log sits in a folder others may write to: a link or FIFO planted under its name must
  // neither redirect the lines nor hang the caller.
  platform::AppendTextToFile(g_logPath, line);
}

}  // namespace lumo
