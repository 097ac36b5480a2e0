// Simulated devices described in a text file (the format is documented in README.md,
// "Simulated devices"), so that the host library and the console tool run without code or
// hardware.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "sim/VirtualUsbBus.h"

namespace plendrik::sim {

struct SimDeviceFileResult {
  bool ok = false;
  std::string error;                 // "line N: what is wrong" when not ok
  std::vector<SimDeviceSpec> specs;  // the devices in file order
};

// Parses the text of a device file; interfaceClassGuid is the class of devices that name none.
SimDeviceFileResult ParseSimDeviceFile(std::string_view text, const SimGuid& interfaceClassGuid);

// Reads and parses a device file, then replaces the devices an earlier load attached with
// the new ones. Nothing is attached when the file has an error.
SimDeviceFileResult LoadSimDeviceFile(const QXWString& path, const SimGuid& interfaceClassGuid);

}  // namespace plendrik::sim
