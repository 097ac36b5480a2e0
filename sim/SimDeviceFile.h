// Simulated devices described in a text file (the format is documented in README.md,
// "Simulated devices"), so that the host library and the console tool run without code or
// hardware.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/SimDfuDevice.h"
#include "sim/SimRecording.h"
#include "sim/SimReplayModel.h"
#include "sim/VirtualUsbBus.h"

namespace plendrik::sim {

// A device of the file that behaves as a DFU device (SimDfuDevice).
struct SimDfuFileDevice {
  SimDfuDeviceConfig config;
  // target -> the file (UTF-8, as written; relative to the device file's folder) into which
  // the device writes the firmware it received.
  std::map<uint8_t, std::string> firmwareFiles;
};

// A device of the file that replays a recorded device (Model = replay).
struct SimReplayFileDevice {
  std::shared_ptr<const SimRecording> recording;
  std::string label;  // RecordedDevice; empty: the recording's first device
  SimReplayLatency latency = SimReplayLatency::Recorded;
  // The file (UTF-8, as written; relative to the device file's folder) into which the device
  // writes the DFU_DNLOAD data it received when a download ends; empty: none.
  std::string receivedFirmwareFile;
};

struct SimDeviceFileResult {
  bool ok = false;
  std::string error;                 // "line N: what is wrong" when not ok
  std::vector<SimDeviceSpec> specs;  // the devices in file order (a DFU device: as it starts)
  // Per device, in the same order: its DFU behaviour, none for a device that only answers
  // its descriptors.
  std::vector<std::optional<SimDfuFileDevice>> dfuDevices;
  // Per device, in the same order: the recorded device it replays, if it does.
  std::vector<std::optional<SimReplayFileDevice>> replayDevices;
  // Per device, in the same order: its section (keys and values, in no particular order),
  // which tells a reload whether the device is still described as before.
  std::vector<std::string> sections;
};

// Where the devices of a loaded file report what goes wrong while they run (a firmware file
// that cannot be written); by default nowhere.
void SetSimDeviceFileReporter(std::function<void(const std::string& message)> reporter);

// Parses the text of a device file; interfaceClassGuid is the class of devices that name none.
// Recordings of replayed devices are read from `folder` unless their names are absolute.
SimDeviceFileResult ParseSimDeviceFile(std::string_view text, const SimGuid& interfaceClassGuid,
                                       const std::filesystem::path& folder = {});

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
// with it: a device whose section is unchanged stays on the bus as it is (a DFU device with its
// run mode, its firmware and its received-firmware files), the others leave, and new or
// changed sections arrive. Nothing changes when the file has an error.
SimDeviceFileResult LoadSimDeviceFile(const QXWString& path, const SimGuid& interfaceClassGuid);

}  // namespace plendrik::sim
