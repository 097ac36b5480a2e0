// The libusb backend, in this process, over the kernel's USB file interface as umockdev
// emulates it. The devices are the project's simulated DFU device models: each runs once
// through real libusb and, where the outcome must match, once through the virtual bus's
// WinUSB seam.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "api/DfuApi.h"
#include "api/QXHostBackend.h"
#include "api/QXLibraryVersion.h"
#include "api/QXPlatformBackendName.h"
#include "device/DfuDevicePortFactory.h"
#include "device/DfuDevicePortUsbDfu.h"
#include "discovery/EnumerationTestBus.h"
#include "discovery/QXWinSetupApiLibusb.h"
#include "flashbridge.h"
#include "image/ImageTestFiles.h"
#include "libusb/UmockdevUsbBus.h"
#include "os/QXWinErrors.h"
#include "record/QXRecordingConfig.h"
#include "sim/SimDfuDevice.h"
#include "sim/SimRecording.h"
#include "sim/SimReplayModel.h"
#include "sim/SimSetupApi.h"
#include "sim/SimWinusbDrvApi.h"
#include "sim/VirtualUsbBus.h"
#include "support/ApiUpgradeSteps.h"
#include "support/CompositeDevice.h"
#include "support/LibraryRecording.h"
#include "support/RecordingFile.h"
#include "support/ReplayModelReader.h"
#include "support/ShortTimeoutPort.h"
#include "support/TempDir.h"
#include "support/TestLogTarget.h"
#include "usb/QXWinusbDrvApi.h"
#include "usb/QXWinusbDrvApiLibusb.h"

namespace plendrik {
namespace {

using namespace std::chrono_literals;
using fbimg::Bytes;
using fbimg::Filler;
using sim::SimDfuDevice;
using sim::SimDfuDeviceConfig;
using sim::SimDfuDevicePtr;
using sim::SimDfuFault;
using sim::SimDfuFaultAction;
using sim::SimDfuRequestKind;
using sim::SimRunMode;

constexpr uint16_t kVid = 0x1209;
constexpr uint16_t kAppPid = 0x5B01;
constexpr uint16_t kBootPid = 0x5B02;

// The testbed exists before libusb starts, and the library runs on libusb from then on.
class UmockdevEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    fbtest::UmockdevUsbBus::Instance();
    QXSelectHostBackend(QXHostBackend::Libusb);
  }
  void TearDown() override {
    sim::VirtualUsbBus::Instance().DetachAll();
    sim::VirtualUsbBus::Instance().WaitIdle();
    QXShutdownHostBackend();
  }
};
[[maybe_unused]] ::testing::Environment* const gEnvironment =
    ::testing::AddGlobalTestEnvironment(new UmockdevEnvironment);

enum class Path { Libusb, VirtualBus };

std::string Name(const ::testing::TestParamInfo<Path>& info) {
  return info.param == Path::Libusb ? "Libusb" : "VirtualBus";
}

std::string Filter(uint16_t pid) { return fbtest::VidPidFilter(kVid, pid); }

using fbtest::UpgradeResult;

using fbtest::ShortTimeoutPort;

class LibusbBackendTest : public ::testing::TestWithParam<Path> {
 protected:
  void SetUp() override {
    sim::VirtualUsbBus::Instance().DetachAll();
    sim::VirtualUsbBus::Instance().WaitIdle();
    mSavedGuid = gDfuApi.GetDriverInterfaceGuid();
    gDfuApi.SetDriverInterfaceGuid(kTestGuidText);
    SetDfuDevicePortFactory(nullptr);
    if (GetParam() == Path::VirtualBus) {
      QXSetWinusbDrvApi(&sim::SimWinusbDrvApi::Instance());
      QXWinSetSetupApi(&mBusSetupApi);
    }
  }

  void TearDown() override {
    for (uint32_t h : mDevices) {
      QXDFU_CloseDevice(h);
    }
    for (uint32_t h : mImages) {
      QXDFU_UnloadFirmwareImage(h);
    }
    for (const SimDfuDevicePtr& model : mModels) {
      model->Unplug();
    }
    sim::VirtualUsbBus::Instance().WaitIdle();
    QXSetWinusbDrvApi(nullptr);
    QXWinSetSetupApi(nullptr);
    SetDfuDevicePortFactory(nullptr);
    gDfuApi.SetDriverInterfaceGuid(mSavedGuid);
    if (GetParam() == Path::Libusb) {
      // Every transfer ended, and its memory with it; every device handle is closed.
      EXPECT_EQ(fbtest::UmockdevUsbBus::Instance().UrbsInFlight(), 0u);
      EXPECT_EQ(QXWinusbDrvApiLibusb::Instance().OpenHandleCount(), 0u);
    }
  }

  static SimDfuDeviceConfig Config(SimRunMode start = SimRunMode::Application) {
    SimDfuDeviceConfig config;
    config.vendorId = kVid;
    config.applicationProductId = kAppPid;
    config.bootloaderProductId = kBootPid;
    config.identity.interfaceClassGuid = TestGuid();
    config.startMode = start;
    config.detachDelay = 0us;
    config.rejoinDelay = 30ms;
    config.randomSeed = 7;
    return config;
  }

  SimDfuDevicePtr Plug(const SimDfuDeviceConfig& config) {
    SimDfuDevicePtr model = SimDfuDevice::Create(sim::VirtualUsbBus::Instance(), config);
    EXPECT_TRUE(model->Plug());
    mModels.push_back(model);
    sim::VirtualUsbBus::Instance().WaitIdle();
    return model;
  }

  // Opens the first device of pid (enumeration retried for up to five seconds); 0 when none.
  uint32_t Open(uint16_t pid, QXSTATUS expected = QXSTATUS_SUCCESS) {
    const uint32_t handle = fbtest::OpenFirstListed(Filter(pid), 500, 10, expected);
    if (handle != 0) {
      mDevices.push_back(handle);
    }
    return handle;
  }

  void Close(uint32_t device) {
    EXPECT_EQ(QXDFU_CloseDevice(device), QXSTATUS_SUCCESS);
    std::erase(mDevices, device);
  }

  static uint32_t Property(uint32_t device, uint32_t id) {
    uint32_t value = 0xFFFFFFFF;
    EXPECT_EQ(QXDFU_GetDevicePropertyUint(device, id, &value), QXSTATUS_SUCCESS);
    return value;
  }

  static std::u16string StringProperty(uint32_t device, uint32_t id) {
    QXDFU_WCHAR buffer[256] = {};
    EXPECT_EQ(QXDFU_GetDevicePropertyString(device, id, buffer, 256), QXSTATUS_SUCCESS);
    return std::u16string(reinterpret_cast<const char16_t*>(buffer));
  }

  UpgradeResult Upgrade(uint32_t device, const Bytes& bytes) {
    uint32_t image = 0;
    EXPECT_EQ(QXDFU_LoadFirmwareFromBuffer(bytes.data(), bytes.size(), QXDFU_IMAGE_TYPE_RAW_BINARY, &image, 0),
              QXSTATUS_SUCCESS);
    mImages.push_back(image);
    EXPECT_EQ(QXDFU_StartUpgrade(device, image, 0, 0), QXSTATUS_SUCCESS);
    const UpgradeResult r = fbtest::WaitForUpgradeEnd(device, 30s);
    // The finish answers success only for a finished upgrade, else the upgrade's own status.
    EXPECT_EQ(QXDFU_FinishUpgrade(device, 0),
              r.state == QXDFU_UPGRADE_STATE_FINISHED ? QXSTATUS_SUCCESS : r.completionStatus);
    return r;
  }

  uint32_t RebootToBootloader() {
    const uint32_t app = Open(kAppPid);
    EXPECT_NE(app, 0u);
    if (app == 0) {
      return 0;
    }
    EXPECT_EQ(QXDFU_RebootDevice(app, QXDFU_RUN_MODE_BOOTLOADER, 0), QXSTATUS_SUCCESS);
    Close(app);
    return Open(kBootPid);
  }

  std::string mSavedGuid;
  QXWinSetupApiVirtualBus mBusSetupApi;
  std::vector<SimDfuDevicePtr> mModels;
  std::vector<uint32_t> mDevices;
  std::vector<uint32_t> mImages;
};

// ---- whole upgrades, byte-exact ----

struct ManifestationCase {
  const char* name;
  uint8_t bmAttributes;
  sim::SimDfuVariants variants;
};

class LibusbUpgradeTest : public LibusbBackendTest {};

TEST_P(LibusbUpgradeTest, ApplicationToBootloaderDownloadAndBack) {
  for (const ManifestationCase& c :
       {ManifestationCase{"tolerant", sim::dfu::kCanDnload | sim::dfu::kManifestationTolerant | sim::dfu::kWillDetach},
        ManifestationCase{"resets", sim::dfu::kCanDnload | sim::dfu::kWillDetach},
        // Waits in dfuMANIFEST_WAIT_RESET: the engine resets it through libusb.
        ManifestationCase{"strict", sim::dfu::kCanDnload | sim::dfu::kWillDetach, sim::SimDfuVariants::Strict()}}) {
    SCOPED_TRACE(c.name);
    SimDfuDeviceConfig config = Config();
    config.bmAttributes = c.bmAttributes;
    config.variants = c.variants;
    config.wTransferSize = 1024;
    config.manifestationTime = 5ms;
    const SimDfuDevicePtr model = Plug(config);
    const Bytes image = Filler(5000, c.bmAttributes);
    const uint32_t boot = RebootToBootloader();
    ASSERT_NE(boot, 0u) << "the bootloader did not come back";
    EXPECT_EQ(Property(boot, QXDFU_DEVICE_PROPERTY_CURRENT_RUN_MODE), QXDFU_RUN_MODE_BOOTLOADER);
    const UpgradeResult r = Upgrade(boot, image);
    EXPECT_EQ(r.state, QXDFU_UPGRADE_STATE_FINISHED);
    EXPECT_EQ(r.completionStatus, QXSTATUS_SUCCESS);
    EXPECT_EQ(r.currentBytes, image.size());
    if ((c.bmAttributes & sim::dfu::kManifestationTolerant) != 0) {
      EXPECT_EQ(QXDFU_RebootDevice(boot, QXDFU_RUN_MODE_APPLICATION, 0), QXSTATUS_SUCCESS);
    }
    Close(boot);
    const uint32_t app = Open(kAppPid);
    ASSERT_NE(app, 0u) << "the application did not come back";
    EXPECT_EQ(Property(app, QXDFU_DEVICE_PROPERTY_CURRENT_RUN_MODE), QXDFU_RUN_MODE_APPLICATION);
    Close(app);
    EXPECT_EQ(model->Firmware(0), image);
    EXPECT_EQ(model->ManifestationCount(), 1u);
    model->Unplug();
    sim::VirtualUsbBus::Instance().WaitIdle();
  }
}

// ---- faults: the same outcome through libusb as through the WinUSB seam ----

struct FaultCase {
  const char* name;
  SimDfuFault fault;
  QXSTATUS expected;
};

class LibusbFaultTest : public LibusbBackendTest {};

TEST_P(LibusbFaultTest, DownloadFaultEndsTheUpgradeWithTheTransportsStatus) {
  const FaultCase cases[] = {
      {"stall", SimDfuFault{SimDfuFaultAction::Stall, SimDfuRequestKind::Dnload, uint16_t{1}}, kQXErrorGenFailure},
      {"no answer", SimDfuFault{SimDfuFaultAction::NoAnswer, SimDfuRequestKind::GetStatus, uint16_t{1}},
       QXSTATUS_TIMEOUT},
      {"unplug", SimDfuFault{SimDfuFaultAction::Unplug, SimDfuRequestKind::Dnload, uint16_t{2}},
       kQXErrorDeviceNotConnected},
  };
  SetDfuDevicePortFactory(&ShortTimeoutPort);
  for (const FaultCase& c : cases) {
    SCOPED_TRACE(c.name);
    SimDfuDeviceConfig config = Config(SimRunMode::Bootloader);
    config.wTransferSize = 1024;
    config.faults.push_back(c.fault);
    const SimDfuDevicePtr model = Plug(config);
    const uint32_t boot = Open(kBootPid);
    ASSERT_NE(boot, 0u);
    const size_t discards = fbtest::UmockdevUsbBus::Instance().DiscardCount();
    const UpgradeResult r = Upgrade(boot, Filler(6000, 4));
    EXPECT_EQ(r.state, QXDFU_UPGRADE_STATE_FAILED);
    EXPECT_EQ(r.completionStatus, c.expected);
    EXPECT_EQ(model->ManifestationCount(), 0u);
    if (GetParam() == Path::Libusb && c.expected == QXSTATUS_TIMEOUT) {
      // The library's own time-out cancelled the transfer through libusb.
      EXPECT_GT(fbtest::UmockdevUsbBus::Instance().DiscardCount(), discards);
    }
    Close(boot);
    model->Unplug();
    sim::VirtualUsbBus::Instance().WaitIdle();
  }
}

INSTANTIATE_TEST_SUITE_P(Paths, LibusbUpgradeTest, ::testing::Values(Path::Libusb, Path::VirtualBus), Name);
INSTANTIATE_TEST_SUITE_P(Paths, LibusbFaultTest, ::testing::Values(Path::Libusb, Path::VirtualBus), Name);

// ---- libusb only: identities, composite devices, hot-plug, permissions ----

class LibusbOnlyTest : public LibusbBackendTest {};

TEST_P(LibusbOnlyTest, IdentitiesAreMadeAsWindowsPresentsThem) {
  SimDfuDeviceConfig config = Config();
  config.serialNumber = QXW("ID-42");
  Plug(config);
  const uint32_t app = Open(kAppPid);
  ASSERT_NE(app, 0u);
  EXPECT_EQ(Property(app, QXDFU_DEVICE_PROPERTY_VENDOR_ID), kVid);
  EXPECT_EQ(Property(app, QXDFU_DEVICE_PROPERTY_PRODUCT_ID), kAppPid);
  EXPECT_EQ(StringProperty(app, QXDFU_DEVICE_PROPERTY_DEVICE_INSTANCE_ID), u"USB\\VID_1209&PID_5B01\\ID-42");
  EXPECT_EQ(StringProperty(app, QXDFU_DEVICE_PROPERTY_SERIAL_NUMBER), u"ID-42");
  const std::u16string container = StringProperty(app, QXDFU_DEVICE_PROPERTY_CONTAINER_ID);
  EXPECT_EQ(container.size(), 38u);
  EXPECT_EQ(QXDFU_RebootDevice(app, QXDFU_RUN_MODE_BOOTLOADER, 0), QXSTATUS_SUCCESS);
  Close(app);
  const uint32_t boot = Open(kBootPid);
  ASSERT_NE(boot, 0u);
  // The bootloader is another product, but the same container.
  EXPECT_EQ(StringProperty(boot, QXDFU_DEVICE_PROPERTY_DEVICE_INSTANCE_ID), u"USB\\VID_1209&PID_5B02\\ID-42");
  EXPECT_EQ(StringProperty(boot, QXDFU_DEVICE_PROPERTY_CONTAINER_ID), container);
}

TEST_P(LibusbOnlyTest, CompositeDeviceIsUpgradedThroughItsDfuFunction) {
  SimDfuDeviceConfig config = Config();
  fbtest::AddAudioFunctionBeforeDfu(config);
  const SimDfuDevicePtr model = Plug(config);
  const uint32_t app = Open(kAppPid);
  ASSERT_NE(app, 0u);
  EXPECT_EQ(StringProperty(app, QXDFU_DEVICE_PROPERTY_DEVICE_INSTANCE_ID).find(u"USB\\VID_1209&PID_5B01&MI_01\\"), 0u);
  EXPECT_EQ(QXDFU_RebootDevice(app, QXDFU_RUN_MODE_BOOTLOADER, 0), QXSTATUS_SUCCESS);
  Close(app);
  const uint32_t boot = Open(kBootPid);
  ASSERT_NE(boot, 0u);
  const Bytes image = Filler(3000, 21);
  EXPECT_EQ(Upgrade(boot, image).completionStatus, QXSTATUS_SUCCESS);
  EXPECT_EQ(model->Firmware(0), image);
}

TEST_P(LibusbOnlyTest, HotplugArrivalAndRemovalReachTheCallback) {
  struct Seen {
    std::atomic<int> arrivals{0};
    std::atomic<int> removals{0};
  } seen;
  uint32_t registration = 0;
  ASSERT_EQ(QXDFU_RegisterDeviceChangeCallback(
                Filter(kAppPid).c_str(),
                [](void* context, uint32_t event) {
                  auto* s = static_cast<Seen*>(context);
                  (event == QXDFU_DEVICE_CHANGE_ARRIVAL ? s->arrivals : s->removals)++;
                },
                &seen, &registration),
            QXSTATUS_SUCCESS);
  const SimDfuDevicePtr model = Plug(Config());
  const auto waitFor = [](const std::atomic<int>& count) {
    const auto until = std::chrono::steady_clock::now() + 10s;
    while (count.load() == 0 && std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(5ms);
    }
    return count.load();
  };
  EXPECT_EQ(waitFor(seen.arrivals), 1);
  model->Unplug();
  EXPECT_EQ(waitFor(seen.removals), 1);
  EXPECT_EQ(QXDFU_UnregisterDeviceChangeCallback(registration), QXSTATUS_SUCCESS);
}

TEST_P(LibusbOnlyTest, OpenWithoutPermissionNamesTheUdevRules) {
  Plug(Config());
  uint32_t enumeration = 0;
  uint32_t count = 0;
  ASSERT_EQ(QXDFU_EnumerateUsbDfuDevices(Filter(kAppPid).c_str(), &enumeration, &count, 500, 10, 0), QXSTATUS_SUCCESS);
  ASSERT_EQ(count, 1u);
  TestLogTarget log;
  uint32_t handle = 0;
  // The kernel refuses the device node, as for a node that belongs to root. (umockdev cannot
  // refuse it: the tests run as root, and its preload library aborts when the node is refused.)
  QXWinusbDrvApiLibusb::SetOpenFunction([](libusb_device*, libusb_device_handle**) {
    return -3; /* ACCESS */
  });
  const QXSTATUS st = QXDFU_OpenDevice(enumeration, 0, &handle, 0);
  QXWinusbDrvApiLibusb::SetOpenFunction(nullptr);
  EXPECT_EQ(st, QXSTATUS_IN_USE);
  EXPECT_TRUE(log.Contains("install the udev rules file contrib/udev/70-flashbridge-dfu.rules")) << log.Dump();
  EXPECT_EQ(QXDFU_CloseEnumeration(enumeration), QXSTATUS_SUCCESS);
  // With the permission the same entry opens.
  EXPECT_NE(Open(kAppPid), 0u);
}

TEST_P(LibusbOnlyTest, UsbResetReachesTheDeviceWhichEnumeratesAgain) {
  const SimDfuDevicePtr model = Plug(Config(SimRunMode::Bootloader));
  const uint32_t boot = Open(kBootPid);  // listed, so its path is known to the transport
  ASSERT_NE(boot, 0u);
  Close(boot);
  const sim::SimDevicePtr before = model->CurrentDevice();
  ASSERT_NE(before, nullptr);
  const size_t resets = fbtest::UmockdevUsbBus::Instance().ResetCount();
  QXWinusbDrvApi& api = QXWinusbDrvApiLibusb::Instance();
  const QXWString path = QXW("\\\\?\\usb#vid_1209&pid_5b02#sim0001#{6e45736a-2b1b-4078-b772-b3af2b6fde1c}");
  QXOsHandle file = QXOsInvalidHandle();
  ASSERT_EQ(api.CreateDeviceFile(path, 0xC0000000u, 3, nullptr, file), 0u);
  QXOsHandle winUsb = QXOsInvalidHandle();
  ASSERT_EQ(api.WinUsbInitialize(file, winUsb), 0u);
  EXPECT_EQ(api.ResetUsbDevice(winUsb), 0u);
  EXPECT_EQ(fbtest::UmockdevUsbBus::Instance().ResetCount(), resets + 1);
  // The handle is dead: the device enumerated again.
  uint8_t speed = 0;
  uint32_t length = 1;
  EXPECT_EQ(api.WinUsbQueryDeviceInformation(winUsb, 1, length, &speed), kQXErrorDeviceNotConnected);
  EXPECT_EQ(api.WinUsbFree(winUsb), 0u);
  api.CloseOsHandle(file);
  // It joins the bus again (a bootloader may start its application) and is found anew.
  const auto until = std::chrono::steady_clock::now() + 5s;
  while ((!model->IsOnBus() || model->CurrentDevice() == before) && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(5ms);
  }
  EXPECT_NE(Open(model->RunMode() == SimRunMode::Application ? kAppPid : kBootPid), 0u);
}

INSTANTIATE_TEST_SUITE_P(Paths, LibusbOnlyTest, ::testing::Values(Path::Libusb), Name);

// ---- the session recording: the same records whichever stack is below the seams ----

class LibusbRecordingTest : public LibusbBackendTest {};

TEST_P(LibusbRecordingTest, UpgradeIsRecordedAlikeOnEitherStack) {
  fbtest::TempDir dir;
  QXRecordingSettings settings;
  settings.file = fbtest::ToQXWString(dir.File("session.jsonl"));
  settings.backend = QXRecordedBackendName();
  settings.libraryVersion = kQXLibraryVersionText;
  ASSERT_TRUE(QXStartSessionRecording(settings));
  SimDfuDeviceConfig config = Config();
  config.wTransferSize = 1024;
  Plug(config);
  const Bytes image = Filler(5000, 9);
  const uint32_t boot = RebootToBootloader();
  ASSERT_NE(boot, 0u);
  EXPECT_EQ(Upgrade(boot, image).state, QXDFU_UPGRADE_STATE_FINISHED);
  Close(boot);
  QXStopSessionRecording();

  const fbtest::RecordingFile file(dir.File("session.jsonl"));
  ASSERT_FALSE(file.Records().empty());
  EXPECT_EQ(file.Records()[0]["backend"].Str(), GetParam() == Path::Libusb ? "libusb" : "virtual-bus");
  std::string bootLabel;
  for (const fbtest::JsonValue& arrival : file.OfType("arrival")) {
    const std::string& instance = arrival["node"]["instance"].Str();
    EXPECT_EQ(instance.rfind("USB\\VID_1209&PID_5B0", 0), 0u) << instance;
    if (instance.find("PID_5B02") != std::string::npos) {
      bootLabel = arrival["device"].Str();
    }
  }
  ASSERT_FALSE(bootLabel.empty());
  const std::vector<fbtest::JsonValue> images = file.OfType("image");
  ASSERT_EQ(images.size(), 1u);
  EXPECT_EQ(images[0]["sha256"].Str(), "454c5e87b42326966e5799e52055135113c6eed74ec4a828bae94d4407156594");
  size_t offset = 0;
  for (const fbtest::JsonValue& block : file.DnloadBlocks(bootLabel)) {
    const size_t length = static_cast<size_t>(block["out_len"].Int());
    EXPECT_EQ(static_cast<size_t>(block["offset"].Int()), offset);
    ASSERT_LE(offset + length, image.size());
    char crc[16];
    std::snprintf(crc, sizeof(crc), "%08x", fbtest::BitwiseCrc32(image.data() + offset, length));
    EXPECT_EQ(block["out_crc32"].Str(), crc);
    EXPECT_EQ(block["result"].Int(), 0);
    offset += length;
  }
  EXPECT_EQ(offset, image.size());
  for (const char* type : {"open", "claim", "descriptor", "release", "close"}) {
    EXPECT_FALSE(file.OfType(type).empty()) << type;
  }
  EXPECT_TRUE(file.OfType("timeout").empty());
}

INSTANTIATE_TEST_SUITE_P(Paths, LibusbRecordingTest, ::testing::Values(Path::Libusb, Path::VirtualBus), Name);

// ---- a libusb recording replays on the virtual bus ----

// An upgrade from the application as a caller runs it (the flow of the regression folder's
// "from-application" cases): reboot into the bootloader, download, finish, reboot back.
class LibusbReplayTest : public LibusbBackendTest {
 protected:
  UpgradeResult UpgradeFromTheApplication(const Bytes& image) {
    const uint32_t boot = RebootToBootloader();
    EXPECT_NE(boot, 0u) << "the bootloader was not found";
    if (boot == 0) {
      return {};
    }
    const UpgradeResult r = Upgrade(boot, image);
    EXPECT_EQ(QXDFU_RebootDevice(boot, QXDFU_RUN_MODE_APPLICATION, 0), QXSTATUS_SUCCESS);
    Close(boot);
    return r;
  }

  // Records the upgrade of a simulated device through libusb, with inline data as the
  // regression recordings are made; the recording's text.
  std::string RecordThroughLibusb(const Bytes& image, UpgradeResult& live, bool composite = false) {
    fbtest::LibraryRecording recording;
    EXPECT_EQ(recording.Start(true), QXSTATUS_SUCCESS);
    SimDfuDeviceConfig config = Config();
    config.serialNumber = QXW("UMD0001");
    config.wTransferSize = 1024;
    if (composite) fbtest::AddAudioFunctionBeforeDfu(config);
    const SimDfuDevicePtr model = Plug(config);
    live = UpgradeFromTheApplication(image);
    const std::string text = recording.Stop();
    EXPECT_EQ(model->Firmware(0), image);
    model->Unplug();
    sim::VirtualUsbBus::Instance().WaitIdle();
    return text;
  }

  // Replays the recording on the virtual bus (its seams in place of libusb's) through the same
  // flow: the live outcome, nothing unmatched, the recording played to its end, the image
  // received, and the device listed under the identity libusb gave it.
  void ReplayOnTheVirtualBus(const std::string& text, const Bytes& image, const UpgradeResult& live) {
    const sim::SimRecordingResult loaded = sim::ParseSimRecording(text, "libusb-umockdev.jsonl");
    ASSERT_NE(loaded.recording, nullptr) << loaded.error;
    EXPECT_EQ(loaded.recording->backend, "libusb");
    const sim::SimRecordedDevice* recorded = loaded.recording->FindDevice("");
    ASSERT_NE(recorded, nullptr);
    EXPECT_EQ(recorded->InlineImage(), std::optional<std::vector<uint8_t>>(image));
    std::string error;
    const sim::SimReplayModelPtr model = sim::SimReplayModel::Create(sim::VirtualUsbBus::Instance(), loaded.recording,
                                                                     "", sim::SimReplayLatency::Zero, &error);
    ASSERT_NE(model, nullptr) << error;
    QXSetWinusbDrvApi(&sim::SimWinusbDrvApi::Instance());
    QXWinSetSetupApi(&mBusSetupApi);
    ASSERT_TRUE(model->Plug());
    const std::vector<sim::SimDeviceListEntry> listed = sim::VirtualUsbBus::Instance().ListDevices(TestGuid());
    ASSERT_EQ(listed.size(), 1u);
    const sim::SimRecordedNode& node = recorded->identities.front().nodes.front();
    EXPECT_EQ(sim::SimNarrow(listed[0].instanceId), node.instance);
    EXPECT_EQ(sim::SimNarrow(listed[0].interfacePath), node.path);
    EXPECT_EQ(listed[0].containerId, node.container);

    const UpgradeResult replayed = UpgradeFromTheApplication(image);
    EXPECT_EQ(replayed.state, live.state);
    EXPECT_EQ(replayed.completionStatus, live.completionStatus);
    EXPECT_FALSE(model->Mismatch().has_value()) << model->Mismatch()->text;
    EXPECT_TRUE(fbtest::WaitUntilFinished(model));
    EXPECT_EQ(model->ReceivedImage(), image);
    model->Unplug();
    sim::VirtualUsbBus::Instance().WaitIdle();
    // libusb below the seams again.
    QXSetWinusbDrvApi(nullptr);
    QXWinSetSetupApi(nullptr);
  }
};

TEST_P(LibusbReplayTest, RecordingOfAnUpgradeReplaysOnTheVirtualBus) {
  for (const bool composite : {false, true}) {
    SCOPED_TRACE(composite ? "composite application" : "application");
    const Bytes image = Filler(4000, 12);
    UpgradeResult live;
    const std::string text = RecordThroughLibusb(image, live, composite);
    EXPECT_EQ(live.state, QXDFU_UPGRADE_STATE_FINISHED);
    ReplayOnTheVirtualBus(text, image, live);
  }
}

// Writes the regression folder's libusb case (libusb-umockdev.jsonl and .expected) into the
// folder FB_RECORDINGS_OUT names; scripts/make-recordings.sh runs it.
TEST_P(LibusbReplayTest, WritesTheRegressionRecording) {
  const char* out = std::getenv("FB_RECORDINGS_OUT");
  if (out == nullptr || *out == '\0') {
    GTEST_SKIP() << "FB_RECORDINGS_OUT names no folder";
  }
  const std::filesystem::path folder(out);
  ASSERT_TRUE(std::filesystem::is_directory(folder)) << out;
  const Bytes image = Filler(8192, 31);
  UpgradeResult live;
  const std::string text = RecordThroughLibusb(image, live);
  // Only a session that upgraded and replays is written: a hiccup of the live run never becomes
  // the committed outcome.
  ASSERT_EQ(live.state, QXDFU_UPGRADE_STATE_FINISHED) << "nothing written";
  ASSERT_EQ(live.completionStatus, QXSTATUS_SUCCESS) << "nothing written";
  ReplayOnTheVirtualBus(text, image, live);
  ASSERT_FALSE(HasFailure()) << "nothing written";
  fbtest::WriteFileBytes(folder / "libusb-umockdev.jsonl", text);
  fbtest::WriteFileBytes(folder / "libusb-umockdev.expected",
                         "; a simulated DFU device upgraded from its application through libusb under umockdev "
                         "(tests/libusb/LibusbBackendTest.cpp)\n[Replay]\nFlow = from-application\nImage = inline\n"
                         "[Expected]\nState = Finished\nStatus = QXSTATUS_SUCCESS\n");
}

INSTANTIATE_TEST_SUITE_P(Paths, LibusbReplayTest, ::testing::Values(Path::Libusb), Name);

}  // namespace
}  // namespace plendrik
