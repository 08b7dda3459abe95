#include "base/log.h"

#include <cstdio>

namespace lumo {
namespace {

const char kLogFileSuffix[] = "../lumodownload.log";

// Computed during static initialisation, as the host may log from any thread later.
const std::string g_logPath = LogPathFor(platform::ExecutableDirectory());

}  // namespace

std::string IsoSecondsText(const platform::CalendarTime& t) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%04u-%02u-%02uT%02u:%02u:%02u", unsigned{t.year},
                unsigned{t.month}, unsigned{t.day}, unsigned{t.hour}, unsigned{t.minute},
                unsigned{t.second});
  return buffer;
}

std::string LogPathFor(const WString& executableDirectory) {
  std::string directory;
  if (!platform::WideToMultiByte(platform::CodePage::kAnsi, executableDirectory.data(),
                                 executableDirectory.size(), &directory)) {
    directory.clear();
  }
  return directory + kLogFileSuffix;
}

const std::string& LogPath() { return g_logPath; }

std::string FormatLogLine(const platform::CalendarTime& time, const std::string& level,
                          const std::string& message) {
  return IsoSecondsText(time) + " " + level + " - " + message + "\n";
}

void WriteLog(std::string level, std::string message) {
  const std::string line = FormatLogLine(platform::LocalTimeNow(), level, message);
  // The log sits in a folder others may write to: a link or FIFO planted under its name must
  // neither redirect the lines nor hang the caller.
  platform::AppendTextToFile(g_logPath, line);
}

}  // namespace lumo
