// A device-session recording (JSON Lines, format "flashbridge-recording" version 1) read into
// what a replay needs: per recorded physical device, its identities (each arrival with the
// descriptors read from it) and the ordered steps the device took part in (control transfers,
// removals, arrivals, USB resets). Errors name the file and the record (line) number.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/SimDevice.h"
#include "sim/SimTypes.h"

namespace plendrik::sim {

// The versions of the recording format this code reads.
inline constexpr int64_t kSimRecordingOldestVersion = 1;
inline constexpr int64_t kSimRecordingNewestVersion = 1;

// The largest offset a recorded DFU_DNLOAD block may name: no image a replay rebuilds or
// receives is larger, so a damaged offset cannot make it allocate without bound.
inline constexpr uint64_t kSimRecordingMaxImageOffset = uint64_t{64} << 20;

// One listed node of an arrival record.
struct SimRecordedNode {
  std::string path;
  std::string instance;
  std::vector<std::string> hardwareIds;
  std::optional<SimGuid> container;
  SimGuid interfaceClass;
};

// A standard request answer recorded for an identity (a descriptor read, a SET_INTERFACE).
struct SimRecordedStandard {
  size_t record = 0;
  SimSetupPacket setup;
  uint32_t result = 0;
  bool noAnswer = false;
  std::vector<uint8_t> in;
};

// The device as it showed itself at one arrival: its nodes and what was read from them.
struct SimRecordedIdentity {
  size_t record = 0;  // the first arrival record
  int64_t t = 0;
  std::vector<SimRecordedNode> nodes;
  std::optional<std::vector<uint8_t>> deviceDescriptor;
  std::map<uint8_t, std::vector<uint8_t>> configurationDescriptors;                // index -> longest answer
  std::map<std::pair<uint8_t, uint16_t>, std::vector<uint8_t>> stringDescriptors;  // (index, LANGID)
  std::vector<SimRecordedStandard> standard;  // GET_DESCRIPTOR and SET_INTERFACE answers
  // SET_INTERFACE answers by alternate setting (alt_setting records, which name no interface).
  std::vector<std::pair<uint16_t, SimRecordedStandard>> altSettings;

  // The device description that attaches this identity to the virtual bus.
  SimDeviceSpec Spec() const;
};

struct SimRecordedStep {
  enum class Kind { Transfer, Removal, Arrival, Reset };
  Kind kind = Kind::Transfer;
  size_t record = 0;
  int64_t tStart = 0;  // t_submit, or t of a bus record
  int64_t tEnd = 0;    // t_complete, or t of a bus record

  // Transfer.
  SimSetupPacket setup;
  std::optional<std::vector<uint8_t>> out;  // inline OUT data
  std::optional<uint32_t> outLength;        // OUT data stored by digest
  std::optional<uint32_t> outCrc32;
  std::optional<uint64_t> offset;  // where DNLOAD data goes in the image
  std::vector<uint8_t> in;
  uint32_t result = 0;
  std::optional<uint32_t> transferred;
  bool noAnswer = false;  // the host timed out or cancelled it: the device never answered

  // Removal: the path that vanished.
  std::string path;
  // Removal: seen first from a request the system refused at submission because the device had
  // gone; `setup` and the OUT data above are that request's.
  bool refused = false;

  // Arrival: the identity it shows.
  size_t identity = 0;
};

struct SimRecordedDevice {
  std::string label;
  // Labels the recorder gave the same device in another run mode (another container).
  std::vector<std::string> otherLabels;
  std::vector<SimRecordedIdentity> identities;
  std::vector<SimRecordedStep> steps;  // in recorded order; the first is its first arrival

  // The DFU_DNLOAD data the device took, each block at its offset, when the recording holds it
  // (made with inline data); none when a block is stored by digest only or there is none.
  // What a regression run downloads again to meet the recording.
  std::optional<std::vector<uint8_t>> InlineImage() const;
};

struct SimRecording {
  std::string file;  // as named when loaded, for messages
  int64_t version = 0;
  std::string backend;
  std::vector<SimRecordedDevice> devices;  // in order of first appearance

  // The device with that label (also one of its other labels); the first device for an empty
  // label; null when none.
  const SimRecordedDevice* FindDevice(std::string_view label) const;
};

struct SimRecordingResult {
  std::shared_ptr<const SimRecording> recording;  // null on error
  std::string error;                              // "<file>: record N: what is wrong"
};

// Reads a recording from text; `name` is the file name used in messages.
SimRecordingResult ParseSimRecording(std::string_view text, const std::string& name);
// Reads a recording file.
SimRecordingResult LoadSimRecording(const std::filesystem::path& path);

// zlib's CRC-32, as recorded for DNLOAD data stored by digest.
uint32_t SimCrc32(const uint8_t* data, size_t size);
// Lowercase hex without separators.
std::string SimHex(const uint8_t* data, size_t size);
std::string SimSetupHex(const SimSetupPacket& setup);

}  // namespace plendrik::sim
