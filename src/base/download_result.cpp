#include "base/download_result.h"

#include "lumo/lumo_downloader.h"
#include "zdl/zdl_engine.h"

namespace lumo {
namespace {

struct DiskFailure {
  int32_t extendedCode;
  uint32_t runState;
};

// The local disk failures that pause the whole downloader instead of failing the job.
constexpr DiskFailure kDiskFailures[] = {
    {kZdlExtDiskFull, kLumoRunStateDiskFull},
    {kZdlExtVolumeDirty, kLumoRunStateVolumeDirty},
    {kZdlExtDeviceHardware, kLumoRunStateDeviceError},
};

}  // namespace

uint32_t RunStateForDiskFailure(int32_t extendedCode) {
  for (const DiskFailure& failure : kDiskFailures) {
    if (failure.extendedCode == extendedCode) return failure.runState;
  }
  return 0;
}

bool IsDiskFailure(const DownloadResult& result) {
  return result.code == kZdlResultFileSystem && RunStateForDiskFailure(result.extendedCode) != 0;
}

bool IsShortClaim(const DownloadResult& result) {
  return result.code == kZdlResultFileSystem && result.extendedCode == kZdlExtClaimExceedsSpace;
}

DownloadResult SettleShortClaim(const DownloadResult& result, bool claimShort) {
  if (!claimShort || result.code == kZdlResultSuccess) return result;
  return DownloadResult{kZdlResultFileSystem, kZdlExtDiskFull};
}

}  // namespace lumo
