#include "base/download_job.h"

#include "base/file_name.h"
#include "base/text_conversion.h"

namespace lumo {

WString DownloadJob::EffectiveFileName() const {
  if (fileName[0] != 0) return FileName();
  return WideOfUtf8(FileNameFromUrl(urls.empty() ? std::string() : urls.front()));
}

size_t BoundedLength(const WChar* text, size_t limit) {
  size_t length = 0;
  while (length < limit && text[length] != 0) ++length;
  return length;
}

bool CopyIntoJobBuffer(const WChar* text, std::array<WChar, kJobPathCapacity>* buffer) {
  if (text == nullptr) {
    buffer->fill(0);
    return true;
  }
  const size_t length = BoundedLength(text, kJobPathCapacity);
  if (length >= kJobPathCapacity) return false;
  buffer->fill(0);
  std::copy(text, text + length, buffer->begin());
  return true;
}

}  // namespace lumo
