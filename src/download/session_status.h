// Names of the engine's session statuses, as the status-change log line shows them.
#pragma once

#include <cstdint>
#include <string>

namespace lumo {

// "Init", "Connecting", "Allocating", "Downloading", "Downloaded", "Error"; other values as
// decimal digits.
std::string StatusName(int32_t status);

// Statuses in which the engine is still preparing: polls in them are not counted.
bool IsPreparingStatus(int32_t status);

}  // namespace lumo
