// The device side: a device on the virtual bus whose descriptors (device, configuration,
// strings, LANGIDs) and whose answers to every DFU, XMOS and private request come from the
// fuzzer's bytes, driven through the exported functions as a caller would: enumerate, open,
// read every property, run a whole upgrade (polled to its end, or aborted by FinishUpgrade),
// reboot, close. Invariants: nothing crashes, every upgrade ends with a status within a
// bounded time, and an upgrade reported finished delivered every block of the image, in
// order, each acknowledged by the device, followed by the closing block.
//
// Input: a header (flags, functional descriptor fields, image size), optional raw
// descriptors, then the script of answers (FuzzDeviceModel.h).
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "api/DfuApi.h"
#include "device/DfuDevicePortFactory.h"
#include "device/DfuDevicePortUsbDfu.h"
#include "flashbridge.h"
#include "fuzz/FuzzDeviceModel.h"
#include "fuzz/FuzzSupport.h"
#include "image/ImageTestFiles.h"
#include "sim/SimDfuProtocol.h"
#include "sim/VirtualUsbBus.h"

namespace {

using namespace plendrik;
using namespace std::chrono_literals;

constexpr const char* kGuidText = "{6E45736A-2B1B-4078-B772-B3AF2B6FDE1C}";
constexpr uint16_t kVid = 0x1209;
constexpr uint16_t kPid = 0x5A02;
// The host's request time-out: a request the device never answers costs this much.
constexpr uint32_t kRequestTimeoutMs = 25;
// How long the harness follows an upgrade before it aborts it with FinishUpgrade: far beyond
// what a sound run takes. A device may ask for long poll waits; that is no fault as such.
constexpr auto kPollDeadline = 400ms;
// FinishUpgrade stops the worker wherever it is: whatever the device asked for, it returns
// within a few request time-outs.
constexpr auto kFinishDeadline = 5s;

std::unique_ptr<DfuDevicePortInterface> ShortTimeoutPort() {
  auto port = std::make_unique<DfuDevicePortUsbDfu>();
  port->SetTimeouts(kRequestTimeoutMs, kRequestTimeoutMs);
  return port;
}

std::vector<uint8_t> Blob(fuzz::FuzzByteReader& in, size_t length) { return in.Bytes(length); }

// Flags of the header's first byte.
enum : uint8_t {
  kRawDevice = 0x01,
  kRawConfiguration = 0x02,
  kRawStrings = 0x04,
  kOwnLangIds = 0x08,
  kXmos = 0x10,
  kUnlock = 0x20,
  kQxImage = 0x40,
  kAbortEarly = 0x80,
};
// Flags of the second byte.
enum : uint8_t {
  kContainerId = 0x01,
  kApplicationMode = 0x02,
  kOldDfuVersion = 0x04,
  kRebootXmos = 0x08,
  kRebootToBootloader = 0x10,
  kNoStrings = 0x20,
  kExtraInterface = 0x40,
};

struct Input {
  sim::SimDeviceSpec spec;
  std::vector<uint8_t> image;
  uint32_t imageType = QXDFU_IMAGE_TYPE_RAW_BINARY;
  uint32_t upgradeFlags = 0;
  uint32_t targetId = 0;
  uint32_t rebootFlags = 0;
  uint32_t rebootMode = QXDFU_RUN_MODE_APPLICATION;
  bool abortEarly = false;
  uint32_t pollTimeoutMs = 0;
  std::vector<uint8_t> script;
};

Input ReadInput(const uint8_t* data, size_t size) {
  fuzz::FuzzByteReader in(data, size);
  Input input;
  const uint8_t flags = in.U8();
  const uint8_t flags2 = in.U8();
  const uint16_t transferSize = in.U16(1024);
  const uint8_t attributes = in.U8(0x0D);
  const uint16_t detachTimeout = in.U16(1000);
  const uint8_t poll = in.U8();
  // Now and then a device that asks for the longest wait there is (4.6 hours).
  input.pollTimeoutMs = poll % 16 == 15 ? 0xFFFFFF : poll % 3;
  const uint16_t imageLength = in.U16(100) % 2049;
  input.targetId = in.U8();

  sim::SimDeviceSpec& spec = input.spec;
  spec.vendorId = kVid;
  spec.productId = kPid;
  sim::SimGuid guid;
  sim::SimGuid::Parse(std::string_view(kGuidText), guid);
  spec.identity.interfaceClassGuid = guid;
  if (flags2 & kContainerId) {
    spec.identity.containerId = guid;
  }
  if (!(flags2 & kNoStrings)) {
    spec.iManufacturer = 1;
    spec.iProduct = 2;
    spec.iSerialNumber = 3;
    spec.strings = {{1, u"Fuzz"}, {2, u"Bootloader"}, {3, u"FZ-0001"}};
  }
  sim::SimAltSettingSpec alt;
  alt.interfaceProtocol = (flags2 & kApplicationMode) ? sim::dfu::kProtocolApplication : sim::dfu::kProtocolBootloader;
  const uint16_t bcdDfu = (flags2 & kOldDfuVersion) ? 0x0100 : sim::dfu::kDfuVersion11;
  alt.functionalDescriptors.push_back({9, sim::dfu::kFunctionalDescriptorType, attributes,
                                       static_cast<uint8_t>(detachTimeout), static_cast<uint8_t>(detachTimeout >> 8),
                                       static_cast<uint8_t>(transferSize), static_cast<uint8_t>(transferSize >> 8),
                                       static_cast<uint8_t>(bcdDfu), static_cast<uint8_t>(bcdDfu >> 8)});
  spec.configurations[0].interfaces[0].altSettings = {alt};
  if (flags2 & kExtraInterface) {
    sim::SimInterfaceSpec other;
    other.interfaceNumber = 1;
    other.altSettings[0].interfaceClass = 0xFF;
    other.altSettings[0].endpoints.push_back(sim::SimEndpointSpec{});
    spec.configurations[0].interfaces.push_back(other);
  }
  if (flags & kRawDevice) {
    spec.rawDeviceDescriptor = Blob(in, in.U8() % 32);
  }
  if (flags & kRawConfiguration) {
    spec.rawConfigurationDescriptors.push_back(Blob(in, in.U8()));
  }
  if (flags & kOwnLangIds) {
    spec.langIds.clear();
    for (uint8_t n = in.U8() % 4; n > 0; --n) {
      spec.langIds.push_back(in.U16());
    }
  }
  if (flags & kRawStrings) {
    const uint16_t lang = spec.langIds.empty() ? 0 : spec.langIds[0];
    spec.rawStringDescriptors[{0, 0}] = Blob(in, in.U8() % 16);
    for (uint8_t index = 1; index <= 3; ++index) {
      spec.rawStringDescriptors[{index, lang}] = Blob(in, in.U8() % 64);
    }
  }

  if (flags & kQxImage) {
    fbimg::QxImageSpec qx;
    qx.length = 256 + imageLength % 1024;
    input.image = fbimg::MakeQxImage(qx);
    input.imageType = QXDFU_IMAGE_TYPE_QX_BINARY;
  } else {
    input.image.resize(imageLength);
    for (size_t i = 0; i < input.image.size(); ++i) {
      input.image[i] = static_cast<uint8_t>((i * 197 + 11) ^ (i >> 8));
    }
  }
  input.upgradeFlags = ((flags & kXmos) ? QXDFU_UPGRADE_FLAG_USE_XMOS_DFU_EXTENSIONS : 0) |
                       ((flags & kUnlock) ? QXDFU_UPGRADE_FLAG_UNLOCK_TARGET : 0);
  input.abortEarly = (flags & kAbortEarly) != 0;
  input.rebootFlags = (flags2 & kRebootXmos) ? QXDFU_REBOOT_FLAG_USE_XMOS_DFU_EXTENSIONS : 0;
  input.rebootMode = (flags2 & kRebootToBootloader) ? QXDFU_RUN_MODE_BOOTLOADER : QXDFU_RUN_MODE_APPLICATION;
  input.script = in.Bytes(size);
  return input;
}

void ReadProperties(uint32_t device) {
  for (uint32_t id = 0; id <= 10; ++id) {
    uint32_t value = 0;
    QXDFU_GetDevicePropertyUint(device, id, &value);
    for (uint32_t capacity : {1u, 5u, 300u}) {
      std::unique_ptr<QXDFU_WCHAR[]> text(new QXDFU_WCHAR[capacity]);
      if (QXDFU_GetDevicePropertyString(device, id, text.get(), capacity) == QXSTATUS_SUCCESS) {
        bool terminated = false;
        for (uint32_t i = 0; i < capacity && !terminated; ++i) {
          terminated = text[i] == 0;
        }
        FB_FUZZ_CHECK(terminated);
      }
    }
  }
  QXDFU_CheckDeviceConnection(device);
}

// Checks what a finished upgrade must have delivered: every byte of the image.
void CheckDelivered(const fuzz::FuzzDfuDevice& model, const std::vector<uint8_t>& image, uint64_t imageSize) {
  std::vector<uint8_t> delivered;
  FB_FUZZ_CHECK(model.DeliveredImage(delivered));
  FB_FUZZ_CHECK(delivered.size() == imageSize);
  FB_FUZZ_CHECK(imageSize <= image.size() && std::memcmp(delivered.data(), image.data(), delivered.size()) == 0);
}

// FB_FUZZ_VERBOSE=1: each input's path through the API on stderr, for reading what a corpus reaches.
bool Verbose() {
  static const bool verbose = std::getenv("FB_FUZZ_VERBOSE") != nullptr;
  return verbose;
}

void RunUpgrade(uint32_t device, uint32_t imageHandle, const Input& input, fuzz::FuzzDfuDevice& model) {
  uint64_t imageSize = 0;
  FB_FUZZ_CHECK(QXDFU_GetImagePropertyUint64(imageHandle, QXDFU_IMAGE_PROPERTY_IMAGE_SIZE, &imageSize) ==
                QXSTATUS_SUCCESS);
  model.ResetDelivery();
  const QXSTATUS started = QXDFU_StartUpgrade(device, imageHandle, input.targetId, input.upgradeFlags);
  if (Verbose()) {
    std::fprintf(stderr, "start: 0x%08x\n", started);
  }
  if (started != QXSTATUS_SUCCESS) {
    return;
  }
  uint32_t state = 0;
  uint64_t current = 0;
  uint64_t total = 0;
  QXSTATUS completion = 0;
  const auto deadline = std::chrono::steady_clock::now() + kPollDeadline;
  while (!input.abortEarly && std::chrono::steady_clock::now() < deadline) {
    FB_FUZZ_CHECK(QXDFU_GetUpgradeStatus(device, &state, &current, &total, &completion) == QXSTATUS_SUCCESS);
    FB_FUZZ_CHECK(current <= total);
    if (state == QXDFU_UPGRADE_STATE_FINISHED || state == QXDFU_UPGRADE_STATE_FAILED) {
      FB_FUZZ_CHECK((state == QXDFU_UPGRADE_STATE_FINISHED) == (completion == QXSTATUS_SUCCESS));
      if (state == QXDFU_UPGRADE_STATE_FINISHED) {
        FB_FUZZ_CHECK(total == imageSize && current == total);
        CheckDelivered(model, input.image, imageSize);
      }
      break;
    }
    std::this_thread::sleep_for(200us);
  }
  // Whatever the harness saw last, the state just before the abort counts too.
  FB_FUZZ_CHECK(QXDFU_GetUpgradeStatus(device, &state, &current, &total, &completion) == QXSTATUS_SUCCESS);
  if (state == QXDFU_UPGRADE_STATE_FINISHED) {
    CheckDelivered(model, input.image, imageSize);
  }
  if (Verbose()) {
    std::fprintf(stderr, "upgrade: state %u, %llu of %llu bytes, completion 0x%08x\n", state,
                 static_cast<unsigned long long>(current), static_cast<unsigned long long>(total), completion);
  }
  const auto finishStart = std::chrono::steady_clock::now();
  const QXSTATUS finished = QXDFU_FinishUpgrade(device, 0);
  if (std::chrono::steady_clock::now() - finishStart > kFinishDeadline) {
    std::fprintf(stderr, "FinishUpgrade did not stop the upgrade in time (state %u, %llu of %llu bytes)\n", state,
                 static_cast<unsigned long long>(current), static_cast<unsigned long long>(total));
    std::abort();
  }
  // FinishUpgrade answers success only for a finished upgrade.
  FB_FUZZ_CHECK(state != QXDFU_UPGRADE_STATE_FAILED || finished != QXSTATUS_SUCCESS);
  FB_FUZZ_CHECK(QXDFU_GetUpgradeStatus(device, &state, &current, &total, &completion) == QXSTATUS_SUCCESS);
  FB_FUZZ_CHECK(state == QXDFU_UPGRADE_STATE_IDLE);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::SilenceLogs();
  gDfuApi.SetDriverInterfaceGuid(kGuidText);
  SetDfuDevicePortFactory(&ShortTimeoutPort);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Input input = ReadInput(data, size);
  auto model = std::make_shared<fuzz::FuzzDfuDevice>(input.script, input.pollTimeoutMs);
  sim::VirtualUsbBus& bus = sim::VirtualUsbBus::Instance();
  bus.Attach(input.spec, model);

  uint32_t imageHandle = 0;
  const QXSTATUS imageSt =
      QXDFU_LoadFirmwareFromBuffer(input.image.data(), input.image.size(), input.imageType, &imageHandle, 0);

  uint32_t enumeration = 0;
  uint32_t count = 0;
  if (QXDFU_EnumerateUsbDfuDevices("VID=0x1209, PID=0x5A02", &enumeration, &count, 0, 0, 0) == QXSTATUS_SUCCESS) {
    FB_FUZZ_CHECK(count <= 1);
    uint32_t device = 0;
    const QXSTATUS opened = count == 1 ? QXDFU_OpenDevice(enumeration, 0, &device, 0) : QXSTATUS_NOT_AVAILABLE;
    if (Verbose()) {
      std::fprintf(stderr, "devices: %u, open: 0x%08x, image: 0x%08x\n", count, opened, imageSt);
    }
    if (opened == QXSTATUS_SUCCESS) {
      ReadProperties(device);
      if (imageSt == QXSTATUS_SUCCESS) {
        RunUpgrade(device, imageHandle, input, *model);
      }
      QXDFU_RebootDevice(device, input.rebootMode, input.rebootFlags);
      ReadProperties(device);
      FB_FUZZ_CHECK(QXDFU_CloseDevice(device) == QXSTATUS_SUCCESS);
    }
    FB_FUZZ_CHECK(QXDFU_CloseEnumeration(enumeration) == QXSTATUS_SUCCESS);
  }
  if (imageSt == QXSTATUS_SUCCESS) {
    FB_FUZZ_CHECK(QXDFU_UnloadFirmwareImage(imageHandle) == QXSTATUS_SUCCESS);
  }
  // A bus reset plugs the device in again under a new id, so everything on the bus goes.
  bus.DetachAll();
  return 0;
}
