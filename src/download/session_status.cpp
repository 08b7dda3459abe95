#include "download/session_status.h"

#include "zdl/zdl_engine.h"

namespace lumo {
namespace {

struct StatusText {
  int32_t status;
  const char* name;
};

constexpr StatusText kStatusNames[] = {
    {kZdlStatusInit, "Init"},
    {kZdlStatusConnecting, "Connecting"},
    {kZdlStatusAllocating, "Allocating"},
    {kZdlStatusDownloading, "Downloading"},
    {kZdlStatusDownloaded, "Downloaded"},
    {kZdlStatusError, "Error"},
};

}  // namespace

std::string StatusName(int32_t status) {
  for (const StatusText& entry : kStatusNames) {
    if (entry.status == status) return entry.name;
  }
  return std::to_string(status);
}

bool IsPreparingStatus(int32_t status) {
  return status == kZdlStatusInit || status == kZdlStatusConnecting ||
         status == kZdlStatusAllocating;
}

}  // namespace lumo
