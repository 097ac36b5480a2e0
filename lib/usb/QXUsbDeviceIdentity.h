// The identity of the listed device node that a USB device object was opened from: its
// interface path, instance and container identifiers and the USB numbers read from its
// hardware identifier. The opener fills it after a successful open; empty until then.
#pragma once

#include <cstdint>

#include "os/QXOsTypes.h"

namespace plendrik {

struct QXUsbDeviceIdentity {
  QXWString devicePath;
  QXWString instanceId;
  QXWString containerId;  // braced GUID text; empty when the system gave none
  int32_t vendorId = -1;
  int32_t productId = -1;
  int32_t bcdDevice = -1;
  int32_t interfaceNumber = -1;  // the MI_xx function of a composite device; -1 for a whole device

  bool IsEmpty() const { return devicePath.empty() && instanceId.empty(); }
};

}  // namespace plendrik
