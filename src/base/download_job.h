// One file to download, as the host queued it. A plain value: every copy is deep.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace lumo {

constexpr size_t kJobPathCapacity = 260;  // characters, terminator included

struct DownloadJob {
  std::vector<std::string> urls;                // never empty in a queued job
  std::array<WChar, kJobPathCapacity> saveDir{};   // zero-terminated
  std::array<WChar, kJobPathCapacity> fileName{};  // zero-terminated, may be empty
  std::vector<std::string> checksumUrls;
  std::string checksumMd5;   // expected MD5 of the checksum file; empty: no check
  WString checksumFile;      // verified checksum file of this run, or empty
  int32_t retryCount = 0;

  WString SaveDir() const { return WString(saveDir.data()); }
  WString FileName() const { return WString(fileName.data()); }
  // The host's name, or the one the first URL implies: the name the file is written under.
  WString EffectiveFileName() const;
};

// Length of a zero-terminated UTF-16 text, looking at no more than limit characters; returns
// limit when no terminator lies within them.
size_t BoundedLength(const WChar* text, size_t limit);

// Copies a zero-terminated text into a job buffer; false (buffer untouched) when it does not
// fit with its terminator. A null text leaves the buffer empty.
bool CopyIntoJobBuffer(const WChar* text, std::array<WChar, kJobPathCapacity>* buffer);

}  // namespace lumo
