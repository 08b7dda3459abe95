// The md5sum-style checksum manifest a session verifies its file against: one line per file,
// "<32 hex digits>  <name>" (text mode) or "<32 hex digits> *<name>" (binary mode).
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/platform.h"
#include "transport/transport.h"
#include "zdl/zdl_engine.h"

namespace zdl {

// A manifest longer than this is refused: no game's list of files comes near it.
constexpr uint64_t kMaxManifestBytes = kZdlMaxChecksumFileBytes;

enum class ManifestMatch { kFound, kMissing, kAmbiguous };

// The digest (lower-case hex) of the line for a file (its name relative to the save folder,
// UTF-8, either separator; and the URL it comes from). Lines match by the name's last element;
// when several such lines disagree, lines naming the relative name exactly decide, else the
// URL's folders: lines whose folders contradict them (compared from the file outwards, as far
// as both go) are out, and those agreeing the furthest win. kAmbiguous when disagreeing lines
// are still left; kMissing when no line names the file.
ManifestMatch FindManifestDigest(const std::string& manifest, const std::string& fileName,
                                 const std::string& url, std::string* digestHex);

// Reads the manifest at `path` and finds the digest of the file. A manifest that cannot be read,
// is longer than kMaxManifestBytes or holds no line for the file gives result 8; one whose lines
// leave the file ambiguous gives result 8 with kZdlExtChecksumAmbiguous.
EngineResult LoadExpectedDigest(const lumo::WString& path, const std::string& fileName,
                                const std::string& url, std::string* digestHex);

// MD5 of a file as lower-case hex; a read failure gives result 4 with its status code. Looks at
// *cancelled between chunks and gives result 2 once it is set (a large file takes seconds).
EngineResult FileMd5Hex(const lumo::WString& path, std::string* digestHex,
                        const std::atomic<bool>* cancelled = nullptr);

}  // namespace zdl
