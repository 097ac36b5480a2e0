// The library's device filter: a caller's text of VID/PID lines (bcdDevice bounds optional)
// with the device interface class GUID from the library's configuration.
#pragma once

#include <string>

#include "discovery/QXUsbDeviceFilter.h"
#include "os/QXOsTypes.h"

namespace plendrik {

// The driver interface GUID text read from the configuration file. The api layer sets it
// when it reads the configuration; it is empty until then.
void QXSetDriverInterfaceGuidString(const std::string& guid);
std::string QXGetDriverInterfaceGuidString();

// Parses text with the keys VID, PID, MIN_BCDDEVICE and MAX_BCDDEVICE (VID and PID required
// on every line) into filter and gives it driverInterfaceGuid as its interface class GUID.
// filter is written only on success.
QXSTATUS CreateDfuDeviceFilter(QXUsbDeviceFilter& filter, const char* text, const std::string& driverInterfaceGuid);
// The same with the configured driver interface GUID text.
QXSTATUS CreateDfuDeviceFilter(QXUsbDeviceFilter& filter, const char* text);

}  // namespace plendrik
