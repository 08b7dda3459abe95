// lumoget's progress display: one redrawn line on a terminal, plain periodic lines otherwise.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

namespace lumoget {

// What the downloader reports at one moment (GetProgress and GetStatistics).
struct ProgressSnapshot {
  uint32_t runState = 0;
  uint64_t bytes = 0;          // downloaded bytes of the files of this run
  uint64_t total = 0;          // known sizes of those files; 0 while unknown
  uint32_t averageSpeed = 0;   // bytes per second
  uint32_t currentSpeed = 0;   // bytes per second
  uint32_t filesStarted = 0;   // file records
  uint32_t filesUnfinished = 0;
  size_t jobCount = 0;
  std::string currentPath;
  bool stopping = false;
};

std::string FormatBytes(uint64_t bytes);
std::string FormatSpeed(uint64_t bytesPerSecond);
// m:ss below an hour, else h:mm:ss.
std::string FormatEta(uint64_t seconds);
// The run state in words, as the user should read it.
std::string RunStateText(uint32_t runState, bool stopping);
// True for the run states that mean "paused on a full or failing disk".
bool IsDiskHalt(uint32_t runState);

// Percent (0..100) when the total is known, else -1.
int PercentDone(const ProgressSnapshot& snapshot);
// Seconds left at the average speed (the current one when no average yet); -1 when unknown.
int64_t SecondsLeft(const ProgressSnapshot& snapshot);

std::string TerminalLine(const ProgressSnapshot& snapshot);
std::string PlainLine(const ProgressSnapshot& snapshot);

// Draws snapshots: on a terminal it rewrites one line in place (cut to the width), otherwise it
// writes a plain line every plainIntervalMs and whenever the run state changes.
class ProgressView {
 public:
  ProgressView(std::ostream& out, bool terminal, int columns, int64_t plainIntervalMs);
  void Update(const ProgressSnapshot& snapshot, int64_t nowMs);
  // Ends the in-place line so that ordinary output can follow.
  void Finish();

 private:
  std::ostream& out_;
  bool terminal_;
  int columns_;
  int64_t plainIntervalMs_;
  size_t drawnLength_ = 0;
  bool drawing_ = false;
  int64_t lastPlainMs_ = -1;
  uint32_t lastState_ = UINT32_MAX;
  bool lastStopping_ = false;
};

}  // namespace lumoget
