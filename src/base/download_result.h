// The outcome of every download step: a result code (0 to 8, shared with the engine) and the
// engine's extended code (a Windows status code with result 4).
#pragma once

#include <cstdint>

namespace lumo {

struct DownloadResult {
  int32_t code = 2;  // "Abort download": what a walk that made no attempt ends with
  int32_t extendedCode = 0;
};

// Result 4 with one of the three local disk failures (disk full, dirty volume, device error).
bool IsDiskFailure(const DownloadResult& result);
// Result 4 because the size a server announced exceeds the free space: that URL's failure.
bool IsShortClaim(const DownloadResult& result);
// The end of a walk whose attempts include a short claim: unless it succeeded, the job ends as
// on a full disk (which pauses the downloader); any other result stands.
DownloadResult SettleShortClaim(const DownloadResult& result, bool claimShort);
// RunState that halts the downloader for a disk-failure extended code: 5, 6 or 7; 0 for any
// other code.
uint32_t RunStateForDiskFailure(int32_t extendedCode);

}  // namespace lumo
