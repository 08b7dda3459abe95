// Storage bus of a path's drive through the storage property query of its volume.
#include <stddef.h>

#include <cstring>

#include "platform/platform.h"
#include "platform/win32/owners.h"
#include "platform/win32/win_headers.h"

#include <winioctl.h>

namespace lumo {
namespace platform {
namespace {

// The fixed part of STORAGE_DEVICE_DESCRIPTOR is all the query needs.
constexpr DWORD kDescriptorBytes = 40;
constexpr size_t kBusTypeOffset = 28;
static_assert(sizeof(STORAGE_PROPERTY_QUERY) == 12, "query layout");
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, BusType) == kBusTypeOffset, "descriptor layout");

}  // namespace

BusQuery QueryStorageBusType(const WString& path, uint32_t* busType) {
  if (busType == nullptr || path.empty()) return BusQuery::kInvalidHandle;
  // The volume of the path's drive letter: "\\?\D:".
  WString device = L"\\\\?\\";
  device += path[0];
  device += L':';
  ScopedHandle volume(CreateFileW(device.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!volume.Valid()) return BusQuery::kInvalidHandle;

  STORAGE_PROPERTY_QUERY query;
  std::memset(&query, 0, sizeof(query));
  query.PropertyId = StorageDeviceProperty;
  query.QueryType = PropertyStandardQuery;
  unsigned char descriptor[kDescriptorBytes] = {};
  DWORD returned = 0;
  if (!DeviceIoControl(volume.Get(), IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof(query),
                       descriptor, kDescriptorBytes, &returned, nullptr)) {
    return BusQuery::kQueryFailed;
  }
  uint32_t value = 0;
  std::memcpy(&value, descriptor + kBusTypeOffset, sizeof(value));
  *busType = value;
  return BusQuery::kOk;
}

}  // namespace platform
}  // namespace lumo
