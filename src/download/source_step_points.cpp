// Call points of the source-selection steps (checksum file, preferred CDN domain, download by
// resolved address). The source-selection change defines these members in src/source and
// removes this file. Until then a job has no checksum check, keeps its URL order and has no
// resolved-address fallback.
#include "download/download_worker.h"

namespace lumo {

int32_t DownloadWorker::CheckChecksumFile() { return 0; }

int32_t DownloadWorker::ApplyPreferredDomain() { return 0; }

bool DownloadWorker::DownloadByResolvedAddressFallback(DownloadResult*) { return false; }

void DownloadWorker::SetFileAside(const WString&) {}

void DownloadWorker::ClearDnsCache() {}

}  // namespace lumo
