// The library's device filter: a caller's text of VID/PID lines (bcdDevice bounds optional)
// with the device interface class GUID from the library's configuration.
#pragma once

#include <string>

#include "discovery/QXUsbDeviceFilter.h"
#include "os/QXOsTypes.h"

namespace plendrik {

// Parses text with the keys VID, PID, MIN_BCDDEVICE and MAX_BCDDEVICE (VID and PID required
// on every line) into filter and gives it driverInterfaceGuid as its interface class GUID.
// filter is written only on success. The caller passes the configured GUID text (empty when
// the configuration gave none).
QXSTATUS CreateDfuDeviceFilter(QXUsbDeviceFilter& filter, const char* text, const std::string& driverInterfaceGuid);

}  // namespace plendrik
