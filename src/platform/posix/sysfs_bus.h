// Linux only: the bus of a block device from its sysfs device directory (the target of
// /sys/dev/block/MAJ:MIN), as a Windows STORAGE_BUS_TYPE value; 0 when it cannot be told.
#pragma once

#include <stdint.h>

#include <string>

namespace lumo {
namespace platform {

uint32_t BusTypeOfBlockDevice(const std::string& sysfsDevicePath);

}  // namespace platform
}  // namespace lumo
