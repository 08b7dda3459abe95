#include "checksum_manifest.h"

#include <cctype>
#include <vector>

#include "platform/engine_file.h"
#include "zdl/zdl_engine.h"

namespace zdl {
namespace {

constexpr size_t kMaxManifestBytes = 16u * 1024 * 1024;
constexpr size_t kReadChunk = 256 * 1024;

std::string BaseName(const std::string& path) {
  size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Splits one line into digest and name; false when it is not a digest line.
bool ParseLine(std::string line, std::string* digest, std::string* name) {
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
  // md5sum marks lines whose name holds a backslash or newline with a leading backslash.
  if (!line.empty() && line[0] == '\\') line.erase(0, 1);
  if (line.size() < 34) return false;
  for (size_t i = 0; i < 32; ++i) {
    if (!std::isxdigit(static_cast<unsigned char>(line[i]))) return false;
  }
  if (line[32] != ' ' || (line[33] != ' ' && line[33] != '*')) return false;
  digest->clear();
  for (size_t i = 0; i < 32; ++i) {
    digest->push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(line[i]))));
  }
  *name = line.substr(34);
  return !name->empty();
}

}  // namespace

bool FindManifestDigest(const std::string& manifest, const std::string& fileName,
                        std::string* digestHex) {
  // No line names "nothing" (a line whose name ends in a separator has an empty last element).
  if (fileName.empty()) return false;
  std::string text = manifest;
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
  std::string byBaseName;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string digest, name;
    if (ParseLine(text.substr(pos, end - pos), &digest, &name)) {
      if (name == fileName) {
        *digestHex = digest;
        return true;
      }
      if (byBaseName.empty() && BaseName(name) == fileName) byBaseName = digest;
    }
    pos = end + 1;
  }
  if (byBaseName.empty()) return false;
  *digestHex = byBaseName;
  return true;
}

EngineResult LoadExpectedDigest(const lumo::WString& path, const std::string& fileName,
                                std::string* digestHex) {
  lumo::platform::EngineFile file;
  if (lumo::platform::EngineFile::OpenForRead(path, &file) != 0) {
    return EngineResult{kZdlResultChecksum, 0};
  }
  std::string text;
  std::vector<char> buffer(64 * 1024);
  for (;;) {
    size_t got = 0;
    if (file.Read(buffer.data(), buffer.size(), &got) != 0) return {kZdlResultChecksum, 0};
    if (got == 0) break;
    text.append(buffer.data(), got);
    if (text.size() > kMaxManifestBytes) return {kZdlResultChecksum, 0};
  }
  if (!FindManifestDigest(text, fileName, digestHex)) return {kZdlResultChecksum, 0};
  return {kZdlResultSuccess, 0};
}

EngineResult FileMd5Hex(const lumo::WString& path, std::string* digestHex,
                        const std::atomic<bool>* cancelled) {
  lumo::platform::EngineFile file;
  int32_t status = lumo::platform::EngineFile::OpenForRead(path, &file);
  if (status != 0) return {kZdlResultFileSystem, status};
  lumo::platform::Md5Digest md5;
  std::vector<char> buffer(kReadChunk);
  for (;;) {
    if (cancelled != nullptr && cancelled->load()) return {kZdlResultAborted, 0};
    size_t got = 0;
    status = file.Read(buffer.data(), buffer.size(), &got);
    if (status != 0) return {kZdlResultFileSystem, status};
    if (got == 0) break;
    md5.Update(buffer.data(), got);
  }
  *digestHex = lumo::platform::DigestHex(md5.Finish());
  return {kZdlResultSuccess, 0};
}

}  // namespace zdl
