// The [Simulation] section of the library's configuration file: on the host it names a file
// of simulated devices that join the virtual USB bus when the library starts.
#pragma once

#include "os/QXOsTypes.h"

namespace plendrik {

// deviceFile is the key's value (UTF-8), relative to the configuration file's folder unless
// absolute; devices that name no interface class get interfaceGuid (may be null).
// On the host the file is then watched: when its contents change (checked four times a
// second), devices that appeared arrive, devices that went leave, and devices whose
// description changed leave and arrive again.
void QXLoadSimulatedDevices(const QXWString& configFilePath, const char* deviceFile, const char* interfaceGuid);
// Ends the watch of the device file (the library unloads).
void QXStopSimulatedDeviceWatch();
// Whether the configuration named a device file, and the interface class it configured
// (null when none); both as the last QXLoadSimulatedDevices saw them.
bool QXSimulatedDevicesConfigured();
const char* QXConfiguredInterfaceGuid();

}  // namespace plendrik
