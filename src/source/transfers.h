// What the source steps need of the job driver above them: its running flag and one monitored
// transfer. The driver implements it; the steps never see the driver itself.
#pragma once

#include <string>

#include "base/download_result.h"
#include "platform/platform.h"

namespace lumo {

class Transfers {
 public:
  virtual bool Running() const = 0;
  // One attempt at one URL of the current job, into saveDir/fileName (worker thread).
  virtual DownloadResult TransferFromUrl(const std::string& url, const WString& checksumPath,
                                         const WString& saveDir, const WString& fileName) = 0;
  // One attempt at a checksum file (worker thread).
  virtual DownloadResult TransferPlain(const std::string& url, const WString& saveDir,
                                       const WString& fileName) = 0;

 protected:
  ~Transfers() = default;
};

}  // namespace lumo
