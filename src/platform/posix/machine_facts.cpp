// MAC address, host name, IPv4 resolution and GUIDs on Linux.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace lumo {
namespace platform {
namespace {

// First line of a small sysfs file, without its line end; empty when unreadable.
std::string ReadLine(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "re");
  if (file == nullptr) return std::string();
  char buffer[128] = {};
  std::string line;
  if (std::fgets(buffer, sizeof(buffer), file) != nullptr) line = buffer;
  std::fclose(file);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  return line;
}

bool IsMacText(const std::string& text) {
  if (text.size() != 17) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (i % 3 == 2) {
      if (text[i] != ':') return false;
    } else if (!std::isxdigit(static_cast<unsigned char>(text[i]))) {
      return false;
    }
  }
  return text != "00:00:00:00:00:00";
}

std::string DottedQuad(const unsigned char* bytes) {
  char text[16];
  std::snprintf(text, sizeof(text), "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
  return text;
}

}  // namespace

std::string QueryMacAddress() {
  const std::string root = "/sys/class/net/";
  DIR* dir = opendir(root.c_str());
  if (dir == nullptr) return std::string();
  std::vector<std::string> names;
  while (struct dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());

  // Physical adapters only (virtual ones have no 'device' link), up, with a real address;
  // the last one in enumeration order wins.
  std::string mac;
  for (const std::string& name : names) {
    const std::string base = root + name;
    struct stat info {};
    if (stat((base + "/device").c_str(), &info) != 0) continue;
    if (ReadLine(base + "/operstate") != "up") continue;
    std::string address = ReadLine(base + "/address");
    if (!IsMacText(address)) continue;
    for (char& c : address) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    mac = address;
  }
  return mac;
}

std::string QueryHostName() {
  char buffer[256] = {};
  if (gethostname(buffer, sizeof(buffer) - 1) != 0) return std::string();
  return std::string(buffer);
}

std::vector<std::string> ResolveIPv4(const std::string& host) {
  std::vector<std::string> addresses;
  if (host.empty()) return addresses;
  struct addrinfo hints {};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;  // one entry per address, not one per socket type
  struct addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) return addresses;
  for (struct addrinfo* item = found; item != nullptr; item = item->ai_next) {
    if (item->ai_family != AF_INET || item->ai_addr == nullptr) continue;
    const struct sockaddr_in* ip = reinterpret_cast<const struct sockaddr_in*>(item->ai_addr);
    addresses.push_back(DottedQuad(reinterpret_cast<const unsigned char*>(&ip->sin_addr)));
  }
  freeaddrinfo(found);
  return addresses;
}

bool NewGuid(GuidFields* out) {
  if (out == nullptr) return false;
  unsigned char bytes[16];
  int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  size_t filled = 0;
  while (filled < sizeof(bytes)) {
    ssize_t got = read(fd, bytes + filled, sizeof(bytes) - filled);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    filled += static_cast<size_t>(got);
  }
  close(fd);
  if (filled != sizeof(bytes)) return false;

  GuidFields guid;
  guid.data1 = (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) |
               (uint32_t{bytes[2]} << 8) | bytes[3];
  guid.data2 = static_cast<uint16_t>((bytes[4] << 8) | bytes[5]);
  // Random (version 4, RFC 4122 variant) GUID, like the system generator's.
  guid.data3 = static_cast<uint16_t>((((bytes[6] << 8) | bytes[7]) & 0x0FFF) | 0x4000);
  std::memcpy(guid.data4, bytes + 8, 8);
  guid.data4[0] = static_cast<uint8_t>((guid.data4[0] & 0x3F) | 0x80);
  *out = guid;
  return true;
}

}  // namespace platform
}  // namespace lumo
