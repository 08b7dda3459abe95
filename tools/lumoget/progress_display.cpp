#include "progress_display.h"

#include <cstdio>

namespace lumoget {
namespace {

std::string BaseName(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::string FormatBytes(uint64_t bytes) {
  static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
  if (bytes < 1024) return std::to_string(bytes) + " B";
  double value = static_cast<double>(bytes) / 1024.0;
  int unit = 0;
  while (value >= 1024.0 && unit < 3) {
    value /= 1024.0;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
  return text;
}

std::string FormatSpeed(uint64_t bytesPerSecond) { return FormatBytes(bytesPerSecond) + "/s"; }

std::string FormatEta(uint64_t seconds) {
  char text[32];
  if (seconds < 3600) {
    std::snprintf(text, sizeof text, "%u:%02u", static_cast<unsigned>(seconds / 60),
                  static_cast<unsigned>(seconds % 60));
  } else {
    std::snprintf(text, sizeof text, "%llu:%02u:%02u",
                  static_cast<unsigned long long>(seconds / 3600),
                  static_cast<unsigned>(seconds / 60 % 60), static_cast<unsigned>(seconds % 60));
  }
  return text;
}

bool IsDiskHalt(uint32_t runState) { return runState >= 5 && runState <= 7; }

std::string RunStateText(uint32_t runState, bool stopping) {
  if (stopping) return "stopping";
  switch (runState) {
    case 0:
      return "starting";
    case 1:
      return "downloading";
    case 2:
      return "finished";
    case 5:
      return "paused: disk full";
    case 6:
      return "paused: volume needs repair";
    case 7:
      return "paused: disk hardware error";
    default:
      return "state " + std::to_string(runState);
  }
}

int PercentDone(const ProgressSnapshot& snapshot) {
  if (snapshot.total == 0) return -1;
  if (snapshot.bytes >= snapshot.total) return 100;
  return static_cast<int>(snapshot.bytes * 100 / snapshot.total);
}

int64_t SecondsLeft(const ProgressSnapshot& snapshot) {
  if (snapshot.total == 0 || snapshot.bytes > snapshot.total) return -1;
  const uint64_t speed = snapshot.averageSpeed ? snapshot.averageSpeed : snapshot.currentSpeed;
  if (speed == 0) return snapshot.bytes == snapshot.total ? 0 : -1;
  const uint64_t left = snapshot.total - snapshot.bytes;
  return static_cast<int64_t>((left + speed - 1) / speed);
}

std::string TerminalLine(const ProgressSnapshot& snapshot) {
  std::string line = RunStateText(snapshot.runState, snapshot.stopping) + "  " +
                     FormatBytes(snapshot.bytes);
  if (snapshot.total > 0) line += " / " + FormatBytes(snapshot.total);
  const int percent = PercentDone(snapshot);
  if (percent >= 0) line += "  " + std::to_string(percent) + "%";
  line += "  " + FormatSpeed(snapshot.currentSpeed) + " (avg " +
          FormatSpeed(snapshot.averageSpeed) + ")";
  const int64_t left = SecondsLeft(snapshot);
  line += "  ETA " + (left >= 0 ? FormatEta(static_cast<uint64_t>(left)) : std::string("--:--"));
  if (snapshot.jobCount > 0) {
    line += "  [" + std::to_string(snapshot.filesStarted) + "/" +
            std::to_string(snapshot.jobCount) + "]";
  }
  if (!snapshot.currentPath.empty()) line += " " + BaseName(snapshot.currentPath);
  return line;
}

std::string PlainLine(const ProgressSnapshot& snapshot) {
  std::string line = "lumoget: " + RunStateText(snapshot.runState, snapshot.stopping) + ", " +
                     FormatBytes(snapshot.bytes);
  if (snapshot.total > 0) line += " of " + FormatBytes(snapshot.total);
  const int percent = PercentDone(snapshot);
  if (percent >= 0) line += " (" + std::to_string(percent) + "%)";
  line += ", " + FormatSpeed(snapshot.currentSpeed) + " now, " +
          FormatSpeed(snapshot.averageSpeed) + " average";
  const int64_t left = SecondsLeft(snapshot);
  if (left >= 0) line += ", ETA " + FormatEta(static_cast<uint64_t>(left));
  if (snapshot.jobCount > 0) {
    line += ", file " + std::to_string(snapshot.filesStarted) + " of " +
            std::to_string(snapshot.jobCount);
  }
  if (!snapshot.currentPath.empty()) line += ": " + snapshot.currentPath;
  return line;
}

ProgressView::ProgressView(std::ostream& out, bool terminal, int columns, int64_t plainIntervalMs)
    : out_(out), terminal_(terminal), columns_(columns), plainIntervalMs_(plainIntervalMs) {}

void ProgressView::Update(const ProgressSnapshot& snapshot, int64_t nowMs) {
  if (terminal_) {
    std::string line = TerminalLine(snapshot);
    // Stay off the last column: some terminals wrap as soon as it is written.
    const size_t width = columns_ > 1 ? static_cast<size_t>(columns_ - 1) : 79;
    if (line.size() > width) line.resize(width);
    std::string padding;
    if (drawnLength_ > line.size()) padding.assign(drawnLength_ - line.size(), ' ');
    out_ << '\r' << line << padding << std::flush;
    drawnLength_ = line.size();
    drawing_ = true;
    return;
  }
  const bool changed = snapshot.runState != lastState_ || snapshot.stopping != lastStopping_;
  if (changed || lastPlainMs_ < 0 || nowMs - lastPlainMs_ >= plainIntervalMs_) {
    out_ << PlainLine(snapshot) << '\n' << std::flush;
    lastPlainMs_ = nowMs;
  }
  lastState_ = snapshot.runState;
  lastStopping_ = snapshot.stopping;
}

void ProgressView::Finish() {
  if (drawing_) {
    out_ << '\n' << std::flush;
    drawing_ = false;
    drawnLength_ = 0;
  }
}

}  // namespace lumoget
