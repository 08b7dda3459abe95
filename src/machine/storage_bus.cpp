#include "machine/storage_bus.h"

namespace lumo {
namespace {

struct BusTypeRow {
  uint32_t value;
  const char* name;
};

// 17 is named "BusTypeMax" on purpose: reports keep the older enumeration's name.
constexpr BusTypeRow kBusTypeNames[] = {
    {0, "BusTypeUnknown"},
    {1, "BusTypeScsi"},
    {2, "BusTypeAtapi"},
    {3, "BusTypeAta"},
    {4, "BusType1394"},
    {5, "BusTypeSsa"},
    {6, "BusTypeFibre"},
    {7, "BusTypeUsb"},
    {8, "BusTypeRAID"},
    {9, "BusTypeiScsi"},
    {10, "BusTypeSas"},
    {11, "BusTypeSata"},
    {12, "BusTypeSd"},
    {13, "BusTypeMmc"},
    {14, "BusTypeVirtual"},
    {15, "BusTypeFileBackedVirtual"},
    {16, "BusTypeSpaces"},
    {17, "BusTypeMax"},
    {127, "BusTypeMaxReserved"},
};

constexpr char kNullPath[] = "NULL";
constexpr char kInvalidHandle[] = "Invalid handle";

}  // namespace

const char* BusTypeName(uint32_t busType) {
  for (const BusTypeRow& row : kBusTypeNames) {
    if (row.value == busType) return row.name;
  }
  return kBusTypeNames[0].name;
}

std::string GetStorageBusType(const WChar* path) {
  if (path == nullptr) return kNullPath;
  uint32_t busType = 0;
  switch (platform::QueryStorageBusType(WString(path), &busType)) {
    case platform::BusQuery::kOk:
      return BusTypeName(busType);
    case platform::BusQuery::kInvalidHandle:
      return kInvalidHandle;
    case platform::BusQuery::kQueryFailed:
      break;
  }
  return BusTypeName(0);
}

}  // namespace lumo
