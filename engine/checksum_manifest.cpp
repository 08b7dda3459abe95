#include "checksum_manifest.h"

#include <cctype>
#include <vector>

#include "platform/engine_file.h"
#include "zdl/zdl_engine.h"

namespace zdl {
namespace {

constexpr size_t kReadChunk = 256 * 1024;
// A digest line is 34 bytes and a name; longer lines are passed over unread.
constexpr size_t kMaxLineBytes = 34 + 4096;

// Path elements of a name, either separator; "." elements and empty ones (a leading "./", a
// doubled separator) carry nothing.
std::vector<std::string> Elements(const std::string& path) {
  std::vector<std::string> elements;
  size_t begin = 0;
  while (begin <= path.size()) {
    size_t end = path.find_first_of("/\\", begin);
    if (end == std::string::npos) end = path.size();
    std::string element = path.substr(begin, end - begin);
    if (!element.empty() && element != ".") elements.push_back(std::move(element));
    begin = end + 1;
  }
  return elements;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The folders of a URL's path, percent escapes decoded (a manifest names files as they are).
std::vector<std::string> UrlFolders(const std::string& url) {
  std::string path = url.substr(0, url.find_first_of("?#"));
  const size_t scheme = path.find("://");
  if (scheme != std::string::npos) {
    const size_t slash = path.find('/', scheme + 3);
    path = slash == std::string::npos ? std::string() : path.substr(slash);
  }
  std::vector<std::string> folders;
  size_t begin = 0;
  for (;;) {
    const size_t end = path.find('/', begin);
    if (end == std::string::npos) break;  // what follows the last "/" is the file
    std::string decoded;
    for (size_t i = begin; i < end; ++i) {
      if (path[i] == '%' && i + 2 < end && HexValue(path[i + 1]) >= 0 &&
          HexValue(path[i + 2]) >= 0) {
        decoded.push_back(static_cast<char>(HexValue(path[i + 1]) * 16 + HexValue(path[i + 2])));
        i += 2;
      } else {
        decoded.push_back(path[i]);
      }
    }
    if (!decoded.empty()) folders.push_back(std::move(decoded));
    begin = end + 1;
  }
  return folders;
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

// The digests of a set of lines: the first one, and whether another one differs from it.
struct Digests {
  std::string first;
  bool disagree = false;

  void Add(const std::string& digest) {
    if (first.empty()) {
      first = digest;
    } else if (digest != first) {
      disagree = true;
    }
  }
  bool Any() const { return !first.empty(); }
};

// Takes a manifest line by line and keeps only what the choice needs, so a manifest of any
// length costs no more memory than one line.
class ManifestMatcher {
 public:
  ManifestMatcher(const std::string& fileName, const std::string& url)
      : wanted_(Elements(fileName)), urlFolders_(UrlFolders(url)) {}

  void AddLine(const std::string& line) {
    std::string digest, name;
    if (wanted_.empty() || !ParseLine(line, &digest, &name)) return;
    if (name.back() == '/' || name.back() == '\\') return;  // a folder, not a file
    const std::vector<std::string> elements = Elements(name);
    if (elements.empty() || elements.back() != wanted_.back()) return;
    sameName_.Add(digest);
    if (elements == wanted_) exact_.Add(digest);
    // The line's folders and the URL's, from the file outwards, as far as both go: a line that
    // contradicts the URL is out; of the others, the one that agrees the furthest wins.
    const size_t folders = elements.size() - 1;
    size_t agree = 0;
    for (; agree < folders && agree < urlFolders_.size(); ++agree) {
      if (elements[folders - 1 - agree] != urlFolders_[urlFolders_.size() - 1 - agree]) return;
    }
    if (!byUrl_.Any() || agree > byUrlAgree_) {
      byUrl_ = Digests();
      byUrlAgree_ = agree;
    }
    if (agree == byUrlAgree_) byUrl_.Add(digest);
  }

  ManifestMatch Finish(std::string* digestHex) const {
    for (const Digests* tier : {&exact_, &sameName_, &byUrl_}) {
      if (tier->Any() && !tier->disagree) {
        *digestHex = tier->first;
        return ManifestMatch::kFound;
      }
      if (tier == &exact_ && tier->Any()) return ManifestMatch::kAmbiguous;
    }
    return sameName_.Any() ? ManifestMatch::kAmbiguous : ManifestMatch::kMissing;
  }

 private:
  const std::vector<std::string> wanted_;
  const std::vector<std::string> urlFolders_;
  Digests sameName_;  // lines naming a file of the same last element
  Digests exact_;     // lines naming the relative name itself
  Digests byUrl_;     // lines agreeing with the URL's folders the furthest
  size_t byUrlAgree_ = 0;
};

}  // namespace

ManifestMatch FindManifestDigest(const std::string& manifest, const std::string& fileName,
                                 const std::string& url, std::string* digestHex) {
  ManifestMatcher matcher(fileName, url);
  size_t pos = manifest.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
  while (pos <= manifest.size()) {
    size_t end = manifest.find('\n', pos);
    if (end == std::string::npos) end = manifest.size();
    matcher.AddLine(manifest.substr(pos, end - pos));
    pos = end + 1;
  }
  return matcher.Finish(digestHex);
}

EngineResult LoadExpectedDigest(const lumo::WString& path, const std::string& fileName,
                                const std::string& url, std::string* digestHex) {
  lumo::platform::EngineFile file;
  if (lumo::platform::EngineFile::OpenForRead(path, &file) != 0) {
    return EngineResult{kZdlResultChecksum, 0};
  }
  ManifestMatcher matcher(fileName, url);
  std::vector<char> buffer(64 * 1024);
  std::string line;
  bool lineTooLong = false;
  uint64_t total = 0;
  bool first = true;
  for (;;) {
    size_t got = 0;
    if (file.Read(buffer.data(), buffer.size(), &got) != 0) return {kZdlResultChecksum, 0};
    if (got == 0) break;
    total += got;
    if (total > kMaxManifestBytes) return {kZdlResultChecksum, 0};
    for (size_t i = 0; i < got; ++i) {
      if (buffer[i] != '\n') {
        if (line.size() < kMaxLineBytes) {
          line.push_back(buffer[i]);
        } else {
          lineTooLong = true;
        }
        continue;
      }
      if (first && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
      first = false;
      if (!lineTooLong) matcher.AddLine(line);
      line.clear();
      lineTooLong = false;
    }
  }
  if (first && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
  if (!lineTooLong) matcher.AddLine(line);
  switch (matcher.Finish(digestHex)) {
    case ManifestMatch::kFound:
      return {kZdlResultSuccess, 0};
    case ManifestMatch::kAmbiguous:
      return {kZdlResultChecksum, kZdlExtChecksumAmbiguous};
    case ManifestMatch::kMissing:
      break;
  }
  return {kZdlResultChecksum, 0};
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
