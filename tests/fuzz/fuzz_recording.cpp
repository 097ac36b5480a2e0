// Device-session recordings: users send them in from the field, and the replay reads them
// line by line (a JSON reader of its own), joins a device's run modes, and builds devices
// from the recorded identities and raw descriptors. Every input is either refused with a
// message that names the file, or read into devices whose descriptions the bus can list.
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/FuzzSupport.h"
#include "sim/SimRecording.h"
#include "sim/SimReplayModel.h"
#include "sim/VirtualUsbBus.h"

namespace {

using namespace plendrik;

void ReadDevices(const sim::SimRecording& recording) {
  for (const sim::SimRecordedDevice& device : recording.devices) {
    FB_FUZZ_CHECK(recording.FindDevice(device.label) == &device);
    (void)sim::SimReplayModel::Check(recording, device.label);
    if (const auto image = device.InlineImage()) {
      FB_FUZZ_CHECK(image->size() <= sim::kSimRecordingMaxImageOffset + 65536);
    }
    for (const sim::SimRecordedIdentity& identity : device.identities) {
      if (identity.nodes.empty()) {
        continue;
      }
      const sim::SimDeviceSpec spec = identity.Spec();
      (void)sim::BuildSimDeviceListEntries(1, spec);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool silenced = (fuzz::SilenceLogs(), true);
  (void)silenced;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const sim::SimRecordingResult result = sim::ParseSimRecording(text, "fuzz.jsonl");
  // Either a recording or a reason, and the reason names the file.
  FB_FUZZ_CHECK((result.recording == nullptr) != result.error.empty());
  if (result.recording == nullptr) {
    FB_FUZZ_CHECK(result.error.rfind("fuzz.jsonl: ", 0) == 0);
    return 0;
  }
  ReadDevices(*result.recording);
  return 0;
}
