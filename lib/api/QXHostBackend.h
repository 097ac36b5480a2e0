// The host's USB stack, chosen in one place: the virtual USB bus (simulated devices, when the
// configuration names a [Simulation] DeviceFile) or libusb (real devices). Both are peers
// below the same seams: transport, device listing and device interface notifications.
#pragma once

#include "os/QXOsTypes.h"

namespace plendrik {

enum class QXHostBackend { VirtualBus, Libusb };

// Chooses the backend once the configuration has been read; logs the choice (log and
// debugger output). Until then, and in unit tests that never choose, the virtual bus serves.
void QXSelectHostBackend(QXHostBackend backend);
// The backend the configuration asks for: the virtual bus when it named a device file.
QXHostBackend QXConfiguredHostBackend();
QXHostBackend QXGetHostBackend();
// Ends the backend's threads (the library unloads).
void QXShutdownHostBackend();

}  // namespace plendrik
