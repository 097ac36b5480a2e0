// The texts the device session logs for run modes, the device type and upgrade states. The DFU
// 1.1 states, status codes and the GETSTATUS record are in DfuProtocol.h.
#pragma once

#include <cstdint>

#include "device/DfuProtocol.h"

namespace plendrik {

// "Application", "Bootloader"; "unknown" for 0 and any other value.
const char* DfuRunModeText(uint32_t runMode);
// "USB DFU"; "unknown" for any other value.
const char* DfuDeviceTypeText(uint32_t deviceType);
// "Idle" ... "Failed"; "unknown" for any other value.
const char* DfuUpgradeStateText(uint32_t upgradeState);

}  // namespace plendrik
