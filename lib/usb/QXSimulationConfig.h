// The [Simulation] section of the library's configuration file: on the host it names a file
// of simulated devices that join the virtual USB bus when the library starts.
#pragma once

#include "os/QXOsTypes.h"

namespace plendrik {

// deviceFile is the key's value (UTF-8), relative to the configuration file's folder unless
// absolute; devices that name no interface class get interfaceGuid (may be null).
void QXLoadSimulatedDevices(const QXWString& configFilePath, const char* deviceFile, const char* interfaceGuid);

}  // namespace plendrik
