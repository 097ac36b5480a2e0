// The product's device port: USB DFU over WinUSB (on the host, over the virtual bus).
#include "device/DfuDevicePortFactory.h"

#include "device/DfuDevicePortUsbDfu.h"

namespace plendrik {

std::unique_ptr<DfuDevicePortInterface> CreateDfuDevicePort() { return std::make_unique<DfuDevicePortUsbDfu>(); }

}  // namespace plendrik
