// Storage bus of the disk holding a path, from sysfs, as Windows STORAGE_BUS_TYPE values.
#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/sysfs_bus.h"

namespace lumo {
namespace platform {
namespace {

// Windows STORAGE_BUS_TYPE values.
constexpr uint32_t kBusUnknown = 0;
constexpr uint32_t kBusScsi = 1;
constexpr uint32_t kBus1394 = 4;
constexpr uint32_t kBusFibre = 6;
constexpr uint32_t kBusUsb = 7;
constexpr uint32_t kBusRaid = 8;
constexpr uint32_t kBusIScsi = 9;
constexpr uint32_t kBusSas = 10;
constexpr uint32_t kBusSata = 11;
constexpr uint32_t kBusSd = 12;
constexpr uint32_t kBusMmc = 13;
constexpr uint32_t kBusVirtual = 14;
constexpr uint32_t kBusFileBackedVirtual = 15;
constexpr uint32_t kBusNvme = 17;

bool Exists(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0;
}

std::string RealPath(const std::string& path) {
  char resolved[PATH_MAX];
  if (realpath(path.c_str(), resolved) == nullptr) return std::string();
  return resolved;
}

std::string BaseName(const std::string& path) {
  size_t cut = path.find_last_of('/');
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

std::string DirName(const std::string& path) {
  size_t cut = path.find_last_of('/');
  return cut == std::string::npos || cut == 0 ? std::string("/") : path.substr(0, cut);
}

bool StartsWith(const std::string& text, const char* prefix) {
  return text.compare(0, std::strlen(prefix), prefix) == 0;
}

// True when a component of a sysfs device path is <prefix> followed by a digit (e.g. "usb2",
// "ata1", "virtio1"); a plain substring test would also match names like "data".
bool HasComponent(const std::string& path, const char* prefix, bool digitFollows = true) {
  const size_t prefixLength = std::strlen(prefix);
  size_t start = 0;
  while (start < path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const std::string part = path.substr(start, end - start);
    if (part.size() > prefixLength && part.compare(0, prefixLength, prefix) == 0 &&
        (!digitFollows || (part[prefixLength] >= '0' && part[prefixLength] <= '9'))) {
      return true;
    }
    start = end + 1;
  }
  return false;
}

// The nearest existing ancestor of a path (the path itself when it exists), stat'ed.
bool StatNearest(std::string path, struct stat* info) {
  for (int guard = 0; guard < 4096; ++guard) {
    if (stat(path.c_str(), info) == 0) return true;
    if (path == "/" || path == ".") return false;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    size_t cut = path.find_last_of('/');
    if (cut == std::string::npos) {
      path = ".";
    } else {
      path.resize(cut == 0 ? 1 : cut);
    }
  }
  return false;
}

std::string SysfsOfDevice(dev_t device) {
  char link[64];
  std::snprintf(link, sizeof(link), "/sys/dev/block/%u:%u", major(device), minor(device));
  return RealPath(link);
}

// File systems without a block device number of their own (btrfs, for one) name their source
// device in the mount table.
std::string SysfsOfMountSource(dev_t device) {
  std::FILE* mounts = std::fopen("/proc/self/mountinfo", "re");
  if (mounts == nullptr) return std::string();
  char wanted[32];
  std::snprintf(wanted, sizeof(wanted), "%u:%u", major(device), minor(device));
  std::string found;
  char line[4096];
  while (found.empty() && std::fgets(line, sizeof(line), mounts) != nullptr) {
    char id[16], parent[16], numbers[32];
    if (std::sscanf(line, "%15s %15s %31s", id, parent, numbers) != 3) continue;
    if (std::strcmp(numbers, wanted) != 0) continue;
    const char* tail = std::strstr(line, " - ");
    if (tail == nullptr) continue;
    char type[64], source[1024];
    if (std::sscanf(tail + 3, "%63s %1023s", type, source) != 2) continue;
    struct stat info {};
    if (StartsWith(source, "/dev/") && stat(source, &info) == 0 && S_ISBLK(info.st_mode)) {
      found = SysfsOfDevice(info.st_rdev);
    }
  }
  std::fclose(mounts);
  return found;
}

std::string FirstSlave(const std::string& disk) {
  DIR* dir = opendir((disk + "/slaves").c_str());
  if (dir == nullptr) return std::string();
  std::vector<std::string> names;
  while (struct dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
  }
  closedir(dir);
  if (names.empty()) return std::string();
  std::sort(names.begin(), names.end());
  return RealPath(disk + "/slaves/" + names.front());
}

uint32_t BusOfBlockDevice(std::string device, int depth) {
  if (device.empty() || depth > 8) return kBusUnknown;
  // A partition's whole disk is its parent directory.
  if (Exists(device + "/partition")) device = DirName(device);
  const std::string name = BaseName(device);

  if (StartsWith(name, "dm-")) return BusOfBlockDevice(FirstSlave(device), depth + 1);
  if (StartsWith(name, "md")) return kBusRaid;
  if (StartsWith(name, "loop")) return kBusFileBackedVirtual;
  if (StartsWith(name, "nvme") || HasComponent(device, "nvme")) return kBusNvme;
  if (HasComponent(device, "usb")) return kBusUsb;
  if (StartsWith(name, "mmcblk")) {
    std::FILE* file = std::fopen((device + "/device/type").c_str(), "re");
    char type[16] = {};
    if (file != nullptr) {
      if (std::fgets(type, sizeof(type), file) == nullptr) type[0] = '\0';
      std::fclose(file);
    }
    return StartsWith(type, "SD") ? kBusSd : kBusMmc;
  }
  if (HasComponent(device, "virtio") || StartsWith(name, "xvd")) return kBusVirtual;
  if (HasComponent(device, "ata")) return kBusSata;
  if (HasComponent(device, "session")) return kBusIScsi;
  if (HasComponent(device, "rport-", false)) return kBusFibre;
  if (HasComponent(device, "end_device-", false)) return kBusSas;
  if (HasComponent(device, "fw")) return kBus1394;
  if (HasComponent(device, "host") || HasComponent(device, "target")) return kBusScsi;
  return kBusUnknown;
}

}  // namespace

uint32_t BusTypeOfBlockDevice(const std::string& sysfsDevicePath) {
  return BusOfBlockDevice(sysfsDevicePath, 0);
}

BusQuery QueryStorageBusType(const WString& path, uint32_t* busType) {
  std::string narrow;
  if (busType == nullptr || path.empty() ||
      !WideToMultiByte(CodePage::kAnsi, path.data(), path.size(), &narrow) ||
      narrow.find('\0') != std::string::npos) {
    return BusQuery::kInvalidHandle;
  }
  struct stat info {};
  if (!StatNearest(narrow, &info)) return BusQuery::kInvalidHandle;
  std::string device = SysfsOfDevice(info.st_dev);
  if (device.empty()) device = SysfsOfMountSource(info.st_dev);
  // No block device at all (tmpfs, network file systems): the bus is unknown.
  *busType = BusTypeOfBlockDevice(device);
  return BusQuery::kOk;
}

}  // namespace platform
}  // namespace lumo
