// The md5sum-style checksum manifest a session verifies its file against: one line per file,
// "<32 hex digits>  <name>" (text mode) or "<32 hex digits> *<name>" (binary mode).
#pragma once

#include <atomic>
#include <string>

#include "platform/platform.h"
#include "transport/transport.h"

namespace zdl {

// The digest (lower-case hex) of the line naming `fileName` (UTF-8). A line whose name is a
// relative path matches by its last element when no line names the file exactly. False when
// no line names it.
bool FindManifestDigest(const std::string& manifest, const std::string& fileName,
                        std::string* digestHex);

// Reads the manifest at `path` and finds the digest of `fileName`. A manifest that cannot be
// read, or holds no line for the file, gives result 8.
EngineResult LoadExpectedDigest(const lumo::WString& path, const std::string& fileName,
                                std::string* digestHex);

// MD5 of a file as lower-case hex; a read failure gives result 4 with its status code. Looks at
// *cancelled between chunks and gives result 2 once it is set (a large file takes seconds).
EngineResult FileMd5Hex(const lumo::WString& path, std::string* digestHex,
                        const std::atomic<bool>* cancelled = nullptr);

}  // namespace zdl
