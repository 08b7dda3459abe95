// Name of the storage bus of the drive holding a path, for failure reports and telemetry.
#pragma once

#include <stdint.h>

#include <string>

#include "platform/platform.h"

namespace lumo {

// "NULL" for an absent path, "Invalid handle" when the drive cannot be opened, otherwise the
// bus-type name ("BusTypeUnknown" when the query fails).
std::string GetStorageBusType(const WChar* path);

// Name of a Windows storage bus type value; "BusTypeUnknown" for unlisted values.
const char* BusTypeName(uint32_t busType);

}  // namespace lumo
