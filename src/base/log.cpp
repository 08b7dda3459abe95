#include "base/log.h"

#include <cstdio>

namespace lumo {
namespace {

const char kLogFileSuffix[] = "../lumodownload.log";

// Computed during static initialisation, as the host may log from any thread later.
const WString g_logPath = LogPathFor(platform::ExecutableDirectory());

}  // namespace

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
  return IsoSecondsText(time) + " " + level + " - " + message + "\n";
}

void WriteLog(std::string level, std::string message) {
  const std::string line = FormatLogLine(platform::LocalTimeNow(), level, message);
  // Text mode: the line end becomes CR LF on Windows. One write per line keeps concurrent
  // appends from interleaving.
  std::FILE* file = platform::OpenFile(g_logPath, "a");
  if (file == nullptr) return;
  std::fwrite(line.data(), 1, line.size(), file);
  std::fclose(file);
}

}  // namespace lumo
