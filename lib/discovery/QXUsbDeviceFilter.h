// A parsed device filter: the ordered entries of a device filter description and the device
// interface class GUID, with the two rules that decide whether a device or a device
// interface path passes it. A value type, copied into each enumeration and registration.
#pragma once

#include <cstdint>
#include <vector>

#include "os/QXOsTypes.h"

namespace plendrik {

// One device line of a filter. A field of -1 was not given and places no condition.
struct QXUsbDeviceFilterEntry {
  int32_t vendorId = -1;
  int32_t productId = -1;
  int32_t minBcdDevice = -1;
  int32_t maxBcdDevice = -1;
  int32_t interfaceNumber = -1;
  int32_t interfaceClass = -1;
  int32_t interfaceSubClass = -1;
  int32_t interfaceProtocol = -1;
};

// The identifiers of one enumerated device; -1 where unknown.
struct QXUsbDeviceIdentifiers {
  int32_t vendorId = -1;
  int32_t productId = -1;
  int32_t bcdDevice = -1;
  int32_t interfaceNumber = -1;
  int32_t interfaceClass = -1;
  int32_t interfaceSubClass = -1;
  int32_t interfaceProtocol = -1;
};

enum : uint32_t {
  kQXUsbDeviceFilterKindDevice = 0,     // entries compare the device fields only
  kQXUsbDeviceFilterKindInterface = 1,  // the interface fields are compared as well
};

class QXUsbDeviceFilter {
 public:
  uint32_t kind = kQXUsbDeviceFilterKindDevice;
  std::vector<QXUsbDeviceFilterEntry> entries;
  // Set by every parse; while false every device passes MatchDevice.
  bool applyFilter = false;
  // Braced 38-character text form of the device interface class GUID, or empty.
  QXWString interfaceGuid;

  // Empties entries and GUID and arms the filter; kind stays as it is.
  void Reset();

  // Device identifiers: true when the filter is not applied or some entry accepts them.
  // Given bcdDevice bounds need a known bcdDevice; interface fields count for interface filters.
  bool MatchDevice(const QXUsbDeviceIdentifiers& device) const;

  // Device interface path of a device-change message: true when some entry's pattern
  // "VID_xxxx&PID_xxxx&MI_xx" (built from its given fields) occurs in the path, ASCII
  // letters compared case-insensitively. An entry with none of the three fields matches
  // every path; a filter without entries matches none.
  bool MatchDeviceInterfacePath(QXWStringView path) const;
};

}  // namespace plendrik
