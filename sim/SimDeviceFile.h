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

// A device that a load of the device file put on the bus, with the description it came from.
struct FileAttached {
  SimDeviceSpec spec;
  uint64_t deviceId = 0;
};

// Brings the bus in line with a new list of descriptions: devices of attached whose
// description is still listed stay, the others are detached, and descriptions not yet on the
// bus are attached, in list order. attached becomes the new state.
void SyncFileDevices(std::vector<FileAttached>& attached, const std::vector<SimDeviceSpec>& specs);

// Reads and parses a device file, then brings the devices an earlier load attached in line
// with it (SyncFileDevices). Nothing changes when the file has an error.
SimDeviceFileResult LoadSimDeviceFile(const QXWString& path, const SimGuid& interfaceClassGuid);

}  // namespace plendrik::sim
