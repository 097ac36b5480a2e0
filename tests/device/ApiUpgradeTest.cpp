// Whole upgrades through the exported functions against simulated DFU devices on the virtual
// USB bus, with the product's USB DFU port: enumeration, run-mode switches with re-enumeration,
// the download, and the faults a caller meets on the way.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "api/DfuApi.h"
#include "device/DfuDevicePortFactory.h"
#include "device/DfuDevicePortUsbDfu.h"
#include "device/DfuPollWait.h"
#include "discovery/EnumerationTestBus.h"
#include "discovery/QXWinClockResolution.h"
#include "flashbridge.h"
#include "image/ImageTestFiles.h"
#include "os/QXWinErrors.h"
#include "sim/SimDfuDevice.h"
#include "sim/SimWinusbDrvApi.h"
#include "sim/VirtualUsbBus.h"
#include "support/ApiUpgradeSteps.h"
#include "support/CompositeDevice.h"
#include "support/ShortTimeoutPort.h"
#include "support/TestLogTarget.h"
#include "usb/QXWinusbDrvApi.h"

#ifdef GetObject
#undef GetObject
#endif

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
constexpr uint16_t kAppPid = 0x5A01;
constexpr uint16_t kBootPid = 0x5A02;

using fbtest::UpgradeResult;

using fbtest::ShortTimeoutPort;

std::string Filter(uint16_t pid) { return fbtest::VidPidFilter(kVid, pid); }

// The DFU_DNLOAD requests (wValue, wLength) a device instance saw.
std::vector<std::pair<uint16_t, uint16_t>> Dnloads(const sim::SimDevicePtr& device) {
  std::vector<std::pair<uint16_t, uint16_t>> out;
  for (const sim::SimSetupPacket& s : device->RequestLog()) {
    if (s.bmRequestType == sim::dfu::kClassOut && s.bRequest == sim::dfu::kDnload) {
      out.emplace_back(s.wValue, s.wLength);
    }
  }
  return out;
}

// A device slow enough (a flash write per block) that a caller can act during the download.
SimDfuDeviceConfig SlowConfig(SimDfuDeviceConfig config) {
  config.wTransferSize = 512;
  config.pollTimeoutMs = 1;
  config.flashWritePerBlock = 3ms;
  return config;
}

// The setup packets of one bRequest (class or vendor, not a descriptor read) a device instance saw.
std::vector<sim::SimSetupPacket> Requests(const sim::SimDevicePtr& device, uint8_t request) {
  std::vector<sim::SimSetupPacket> out;
  for (const sim::SimSetupPacket& s : device->RequestLog()) {
    if ((s.bmRequestType & 0x60) != 0 && s.bRequest == request) {
      out.push_back(s);
    }
  }
  return out;
}

// Counts the waits between status polls instead of sleeping them.
class CountingPollWaits final : public DfuPollWaitObserver {
 public:
  CountingPollWaits() { SetDfuPollWaitObserver(this); }
  ~CountingPollWaits() override { SetDfuPollWaitObserver(nullptr); }
  void OnPollWait(uint32_t milliseconds) override {
    std::lock_guard<std::mutex> lock(mMutex);
    mWaits.push_back(milliseconds);
  }
  std::vector<uint32_t> Waits() {
    std::lock_guard<std::mutex> lock(mMutex);
    return mWaits;
  }

 private:
  std::mutex mMutex;
  std::vector<uint32_t> mWaits;
};

class ApiUpgradeTest : public EnumerationBusTest {
 protected:
  void SetUp() override {
    EnumerationBusTest::SetUp();
    mSavedGuid = gDfuApi.GetDriverInterfaceGuid();
    gDfuApi.SetDriverInterfaceGuid(kTestGuidText);
    mSavedApi = &QXGetWinusbDrvApi();
    QXSetWinusbDrvApi(&sim::SimWinusbDrvApi::Instance());
    SetDfuDevicePortFactory(nullptr);
  }

  void TearDown() override {
    for (uint32_t h : mDeviceHandles) {
      QXDFU_CloseDevice(h);
    }
    for (uint32_t h : mImageHandles) {
      QXDFU_UnloadFirmwareImage(h);
    }
    for (const SimDfuDevicePtr& model : mModels) {
      model->Unplug();
    }
    SetDfuDevicePortFactory(nullptr);
    QXSetWinusbDrvApi(mSavedApi == &QXPlatformWinusbDrvApi() ? nullptr : mSavedApi);
    gDfuApi.SetDriverInterfaceGuid(mSavedGuid);
    EnumerationBusTest::TearDown();
  }

  // A fast device: no poll or write times, leaves the bus at once after a detach and joins
  // again a little later, so that the caller's enumeration has to retry.
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
    return model;
  }

  // Lists the devices of pid, retrying for up to two seconds until at least one is there.
  uint32_t Enumerate(uint16_t pid, uint32_t& count, uint32_t retries = 200) {
    uint32_t enumeration = 0;
    EXPECT_EQ(QXDFU_EnumerateUsbDfuDevices(Filter(pid).c_str(), &enumeration, &count, retries, 10, 0),
              QXSTATUS_SUCCESS);
    return enumeration;
  }

  // Opens the first device of pid; 0 when none is found.
  uint32_t Open(uint16_t pid) {
    uint32_t count = 0;
    const uint32_t enumeration = Enumerate(pid, count);
    uint32_t handle = 0;
    if (count > 0) {
      EXPECT_EQ(QXDFU_OpenDevice(enumeration, 0, &handle, 0), QXSTATUS_SUCCESS);
    }
    EXPECT_EQ(QXDFU_CloseEnumeration(enumeration), QXSTATUS_SUCCESS);
    if (handle != 0) {
      mDeviceHandles.push_back(handle);
    }
    return handle;
  }

  void Close(uint32_t device) {
    EXPECT_EQ(QXDFU_CloseDevice(device), QXSTATUS_SUCCESS);
    mDeviceHandles.erase(std::remove(mDeviceHandles.begin(), mDeviceHandles.end(), device), mDeviceHandles.end());
  }

  uint32_t Load(const Bytes& bytes, uint32_t type = QXDFU_IMAGE_TYPE_RAW_BINARY) {
    uint32_t handle = 0;
    EXPECT_EQ(QXDFU_LoadFirmwareFromBuffer(bytes.data(), bytes.size(), type, &handle, 0), QXSTATUS_SUCCESS);
    mImageHandles.push_back(handle);
    return handle;
  }

  static uint32_t Property(uint32_t device, uint32_t id) {
    uint32_t value = 0xFFFFFFFF;
    EXPECT_EQ(QXDFU_GetDevicePropertyUint(device, id, &value), QXSTATUS_SUCCESS);
    return value;
  }

  static UpgradeResult Status(uint32_t device) { return fbtest::ReadUpgradeStatus(device); }

  // Polls until the upgrade is Finished or Failed (15 s at most).
  static UpgradeResult WaitForEnd(uint32_t device) { return fbtest::WaitForUpgradeEnd(device, 15s); }

  // Polls until at least `bytes` are reported downloaded (15 s at most).
  static bool WaitForProgress(uint32_t device, uint64_t bytes) {
    const auto until = std::chrono::steady_clock::now() + 15s;
    for (UpgradeResult r = Status(device); r.currentBytes < bytes; r = Status(device)) {
      if (r.state != QXDFU_UPGRADE_STATE_IN_PROGRESS && r.state != QXDFU_UPGRADE_STATE_INITIALIZING) {
        return false;
      }
      if (std::chrono::steady_clock::now() >= until) {
        return false;
      }
      std::this_thread::sleep_for(1ms);
    }
    return true;
  }

  // Starts the upgrade and waits for its end.
  UpgradeResult Upgrade(uint32_t device, const Bytes& bytes, uint32_t type = QXDFU_IMAGE_TYPE_RAW_BINARY,
                        uint32_t target = 0, uint32_t flags = 0) {
    const uint32_t image = Load(bytes, type);
    EXPECT_EQ(QXDFU_StartUpgrade(device, image, target, flags), QXSTATUS_SUCCESS);
    return WaitForEnd(device);
  }

  // The caller's first step: open the application, send it to its bootloader, find it again.
  uint32_t RebootToBootloader(uint32_t rebootFlags = 0) {
    const uint32_t app = Open(kAppPid);
    EXPECT_NE(app, 0u);
    if (app == 0) {
      return 0;
    }
    EXPECT_EQ(Property(app, QXDFU_DEVICE_PROPERTY_CURRENT_RUN_MODE), QXDFU_RUN_MODE_APPLICATION);
    EXPECT_EQ(QXDFU_RebootDevice(app, QXDFU_RUN_MODE_BOOTLOADER, rebootFlags), QXSTATUS_SUCCESS);
    Close(app);
    const uint32_t boot = Open(kBootPid);
    EXPECT_NE(boot, 0u) << "the bootloader did not come back";
    if (boot != 0) {
      EXPECT_EQ(Property(boot, QXDFU_DEVICE_PROPERTY_CURRENT_RUN_MODE), QXDFU_RUN_MODE_BOOTLOADER);
      EXPECT_EQ(Property(boot, QXDFU_DEVICE_PROPERTY_PRODUCT_ID), kBootPid);
    }
    return boot;
  }

  // The caller's last step: back to the application, which is found under its own product id.
  void RebootToApplication(uint32_t boot, uint32_t rebootFlags = 0) {
    EXPECT_EQ(QXDFU_RebootDevice(boot, QXDFU_RUN_MODE_APPLICATION, rebootFlags), QXSTATUS_SUCCESS);
    Close(boot);
    const uint32_t app = Open(kAppPid);
    ASSERT_NE(app, 0u) << "the application did not come back";
    EXPECT_EQ(Property(app, QXDFU_DEVICE_PROPERTY_CURRENT_RUN_MODE), QXDFU_RUN_MODE_APPLICATION);
    EXPECT_EQ(Property(app, QXDFU_DEVICE_PROPERTY_PRODUCT_ID), kAppPid);
    Close(app);
  }

  // The device object the model answers behind; the model learns it just after the device
  // joined the bus, so a caller that found it may be a moment ahead.
  static sim::SimDevicePtr CurrentDevice(const SimDfuDevicePtr& model) {
    const auto until = std::chrono::steady_clock::now() + 5s;
    sim::SimDevicePtr device = model->CurrentDevice();
    while (!device && std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(1ms);
      device = model->CurrentDevice();
    }
    return device;
  }

  // A successful upgrade: finished with every byte, then finished by the caller.
  void ExpectFinished(uint32_t device, const UpgradeResult& r, size_t size) {
    EXPECT_EQ(r.state, QXDFU_UPGRADE_STATE_FINISHED);
    EXPECT_EQ(r.completionStatus, QXSTATUS_SUCCESS);
    EXPECT_EQ(r.currentBytes, size);
    EXPECT_EQ(r.totalBytes, size);
    EXPECT_EQ(QXDFU_FinishUpgrade(device, 0), QXSTATUS_SUCCESS);
    EXPECT_EQ(Status(device).state, QXDFU_UPGRADE_STATE_IDLE);
  }

  std::string mSavedGuid;
  QXWinusbDrvApi* mSavedApi = nullptr;
  std::vector<SimDfuDevicePtr> mModels;
  std::vector<uint32_t> mDeviceHandles;
  std::vector<uint32_t> mImageHandles;
};

// ---- whole upgrades ----

TEST_F(ApiUpgradeTest, RawImageFromApplicationToApplication) {
  const SimDfuDevicePtr model = Plug(Config());
  const Bytes image = Filler(10000, 3);
  const uint32_t boot = RebootToBootloader();
  ASSERT_NE(boot, 0u);
  const sim::SimDevicePtr bootDevice = CurrentDevice(model);
  ASSERT_NE(bootDevice, nullptr);
  ExpectFinished(boot, Upgrade(boot, image), image.size());
  // 4096, 4096, 1808 and the closing zero-length block 3.
  const std::vector<std::pair<uint16_t, uint16_t>> blocks{{0, 4096}, {1, 4096}, {2, 1808}, {3, 0}};
  EXPECT_EQ(Dnloads(bootDevice), blocks);
  RebootToApplication(boot);
  EXPECT_EQ(model->RunMode(), SimRunMode::Application);
  EXPECT_EQ(model->Firmware(0), image);
  EXPECT_EQ(model->ManifestationCount(), 1u);
}

TEST_F(ApiUpgradeTest, ImageWithMetadataIntoTargetOneIsJudgedAndStored) {
  SimDfuDeviceConfig config = Config();
  const Bytes oldFirmware = Filler(100, 9);
  config.targets.resize(2);
  config.targets[0].firmware = oldFirmware;
  config.targets[1].acceptedTargetId = 0x12090001;
  config.targets[1].minimumVersion = {2, 39, 0, 0};
  const SimDfuDevicePtr model = Plug(config);
  fbimg::QxImageSpec spec;
  spec.length = 5000;
  const Bytes image = fbimg::MakeQxImage(spec);

  const uint32_t boot = RebootToBootloader();
  ASSERT_NE(boot, 0u);
  ExpectFinished(boot, Upgrade(boot, image, QXDFU_IMAGE_TYPE_QX_BINARY, 1), image.size());
  const Bytes header(image.begin() + static_cast<std::ptrdiff_t>(spec.blockOffset),
                     image.begin() + static_cast<std::ptrdiff_t>(spec.blockOffset + 60));
  EXPECT_EQ(model->StoredHeader(), header);
  const sim::SimDevicePtr bootDevice = CurrentDevice(model);
  ASSERT_NE(bootDevice, nullptr);
  const auto check = Requests(bootDevice, sim::dfu::kPrivCheckCompatibility);
  ASSERT_EQ(check.size(), 1u);
  EXPECT_EQ(check.front().wValue, 1u);
  RebootToApplication(boot);
  EXPECT_EQ(model->Firmware(1), image);
  EXPECT_EQ(model->Firmware(0), oldFirmware) << "another target was written";
}

TEST_F(ApiUpgradeTest, XmosRequestsSwitchRunModesAndSelectTheTarget) {
  SimDfuDeviceConfig config = Config();
  config.targets.resize(3);
  const SimDfuDevicePtr model = Plug(config);
  const Bytes image = Filler(4096 * 2 + 1, 11);
  const sim::SimDevicePtr appDevice = CurrentDevice(model);
  ASSERT_NE(appDevice, nullptr);
  const uint32_t boot = RebootToBootloader(QXDFU_REBOOT_FLAG_USE_XMOS_DFU_EXTENSIONS);
  EXPECT_EQ(Requests(appDevice, sim::dfu::kXmosToBootloader).size(), 1u);
  EXPECT_TRUE(Requests(appDevice, sim::dfu::kDetach).empty());
  ASSERT_NE(boot, 0u);
  ExpectFinished(boot, Upgrade(boot, image, QXDFU_IMAGE_TYPE_RAW_BINARY, 2, QXDFU_UPGRADE_FLAG_USE_XMOS_DFU_EXTENSIONS),
                 image.size());
  EXPECT_EQ(model->SelectedTarget(), 2u);
  const sim::SimDevicePtr bootDevice = CurrentDevice(model);
  ASSERT_NE(bootDevice, nullptr);
  const auto select = Requests(bootDevice, sim::dfu::kXmosSelectImage);
  ASSERT_EQ(select.size(), 1u);
  EXPECT_EQ(select.front().wValue, 2u);
  RebootToApplication(boot, QXDFU_REBOOT_FLAG_USE_XMOS_DFU_EXTENSIONS);
  EXPECT_EQ(Requests(bootDevice, sim::dfu::kXmosToApplication).size(), 1u);
  EXPECT_TRUE(Requests(bootDevice, sim::dfu::kDetach).empty());
  EXPECT_EQ(model->Firmware(2), image);
  EXPECT_NE(model->Firmware(0), image);
}

TEST_F(ApiUpgradeTest, LockedTargetTakesTheImageOnlyAfterTheUnlockHandshake) {
  SimDfuDeviceConfig config = Config();
  config.targets[0].locked = true;
  const Bytes oldFirmware = Filler(64, 1);
  config.targets[0].firmware = oldFirmware;
  const SimDfuDevicePtr model = Plug(config);
  const Bytes image = Filler(6000, 12);
  const uint32_t boot = RebootToBootloader();
  ASSERT_NE(boot, 0u);

  UpgradeResult r = Upgrade(boot, image);
  EXPECT_EQ(r.state, QXDFU_UPGRADE_STATE_FAILED);
  EXPECT_NE(r.completionStatus, QXSTATUS_SUCCESS);
  EXPECT_EQ(model->Firmware(0), oldFirmware);
  EXPECT_TRUE(model->IsLocked(0));
  EXPECT_EQ(QXDFU_FinishUpgrade(boot, 0), r.completionStatus);

  const sim::SimDevicePtr bootDevice = CurrentDevice(model);
  ASSERT_NE(bootDevice, nullptr);
  EXPECT_TRUE(Requests(bootDevice, sim::dfu::kPrivGetUnlockToken).empty());

  // The next start clears the device's error, unlocks and downloads.
  ExpectFinished(boot, Upgrade(boot, image, QXDFU_IMAGE_TYPE_RAW_BINARY, 0, QXDFU_UPGRADE_FLAG_UNLOCK_TARGET),
                 image.size());
  EXPECT_EQ(Requests(bootDevice, sim::dfu::kPrivGetUnlockToken).size(), 1u);
  EXPECT_EQ(Requests(bootDevice, sim::dfu::kPrivUnlockTarget).size(), 1u);
  EXPECT_FALSE(model->IsLocked(0));
  RebootToApplication(boot);
  EXPECT_EQ(model->Firmware(0), image);
}

TEST_F(ApiUpgradeTest, DeviceNotManifestationTolerantResetsIntoItsApplication) {
  SimDfuDeviceConfig config = Config();
  config.bmAttributes = sim::dfu::kCanDnload | sim::dfu::kWillDetach;
  config.manifestationTime = 5ms;
  const SimDfuDevicePtr model = Plug(config);
  const Bytes image = Filler(3000, 5);
  const uint32_t boot = RebootToBootloader();
  ASSERT_NE(boot, 0u);
  ExpectFinished(boot, Upgrade(boot, image), image.size());
  Close(boot);
  // It comes back as its application by itself.
  const uint32_t app = Open(kAppPid);
  ASSERT_NE(app, 0u);
  EXPECT_EQ(Property(app, QXDFU_DEVICE_PROPERTY_CURRENT_RUN_MODE), QXDFU_RUN_MODE_APPLICATION);
  EXPECT_EQ(model->Firmware(0), image);
}

// ---- identity ----

TEST_F(ApiUpgradeTest, CompareDeviceInstanceMatchesTheOpenedDeviceOnly) {
  SimDfuDeviceConfig first = Config();
  first.serialNumber = QXW("CMP-A");
  SimDfuDeviceConfig second = Config();
  second.serialNumber = QXW("CMP-B");
  Plug(first);
  Plug(second);
  uint32_t count = 0;
  const uint32_t enumeration = Enumerate(kAppPid, count, 0);
  ASSERT_EQ(count, 2u);
  uint32_t device = 0;
  ASSERT_EQ(QXDFU_OpenDevice(enumeration, 1, &device, 0), QXSTATUS_SUCCESS);
  mDeviceHandles.push_back(device);
  EXPECT_EQ(QXDFU_CompareDeviceInstance(enumeration, 1, device), QXSTATUS_SUCCESS);
  EXPECT_EQ(QXDFU_CompareDeviceInstance(enumeration, 0, device), QXSTATUS_NO_MATCH);
  EXPECT_EQ(QXDFU_CompareDeviceInstance(enumeration, 2, device), QXSTATUS_INVALID_INDEX);
  EXPECT_EQ(QXDFU_CloseEnumeration(enumeration), QXSTATUS_SUCCESS);
}

TEST_F(ApiUpgradeTest, CompositeDeviceIsOpenedAndDetachedThroughItsDfuFunction) {
  SimDfuDeviceConfig config = Config();
  fbtest::AddAudioFunctionBeforeDfu(config);
  const SimDfuDevicePtr model = Plug(config);
  const sim::SimDevicePtr appDevice = CurrentDevice(model);
  ASSERT_NE(appDevice, nullptr);

  const uint32_t boot = RebootToBootloader();
  ASSERT_NE(boot, 0u);
  // The detach went to the DFU interface, not the audio function.
  bool detachSeen = false;
  for (const sim::SimSetupPacket& s : appDevice->RequestLog()) {
    if (s.bmRequestType == sim::dfu::kClassOut && s.bRequest == sim::dfu::kDetach) {
      EXPECT_EQ(s.wIndex, 1u);
      detachSeen = true;
    }
  }
  EXPECT_TRUE(detachSeen);
  const Bytes image = Filler(700, 2);
  ExpectFinished(boot, Upgrade(boot, image), image.size());
  RebootToApplication(boot);
  EXPECT_EQ(model->Firmware(0), image);
}

// ---- faults ----

TEST_F(ApiUpgradeTest, DfuErrorAfterBlockTwelveGivesItsStatusAndTheNextStartRecovers) {
  SimDfuDeviceConfig config = Config(SimRunMode::Bootloader);
  config.wTransferSize = 256;
  config.faults.push_back(
      SimDfuFault{SimDfuFaultAction::DfuError, SimDfuRequestKind::Dnload, uint16_t{12}, 0, 1, sim::dfu::errVERIFY});
  const SimDfuDevicePtr model = Plug(config);
  const Bytes image = Filler(256 * 20 + 3, 4);
  const uint32_t boot = Open(kBootPid);
  ASSERT_NE(boot, 0u);
  TestLogTarget log;
  const UpgradeResult r = Upgrade(boot, image);
  EXPECT_EQ(r.state, QXDFU_UPGRADE_STATE_FAILED);
  EXPECT_EQ(r.completionStatus, 0xEE001107u);
  EXPECT_TRUE(log.Contains("device has enterred dfuERROR after data block 12")) << log.Dump();
  EXPECT_EQ(model->State(), sim::dfu::State::dfuERROR);
  EXPECT_EQ(model->ManifestationCount(), 0u);
  EXPECT_EQ(QXDFU_FinishUpgrade(boot, 0), 0xEE001107u);

  ExpectFinished(boot, Upgrade(boot, image), image.size());
  EXPECT_EQ(model->Firmware(0), image);
}

TEST_F(ApiUpgradeTest, RequestThatNeverAnswersTimesOut) {
  SetDfuDevicePortFactory(&ShortTimeoutPort);
  SimDfuDeviceConfig config = Config(SimRunMode::Bootloader);
  config.wTransferSize = 512;
  config.faults.push_back(SimDfuFault{SimDfuFaultAction::NoAnswer, SimDfuRequestKind::GetStatus, uint16_t{1}});
  const SimDfuDevicePtr model = Plug(config);
  const Bytes image = Filler(2000, 6);
  const uint32_t boot = Open(kBootPid);
  ASSERT_NE(boot, 0u);
  const auto start = std::chrono::steady_clock::now();
  {
    TestLogTarget log;
    const UpgradeResult r = Upgrade(boot, image);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    EXPECT_EQ(r.state, QXDFU_UPGRADE_STATE_FAILED);
    EXPECT_EQ(r.completionStatus, QXSTATUS_TIMEOUT);
    EXPECT_TRUE(log.Contains("DfuGetStatus(after DfuDnload, block=1) failed, st=0xee000003(QXSTATUS_TIMEOUT)"))
        << log.Dump();
  }
  EXPECT_EQ(model->ManifestationCount(), 0u);
  EXPECT_EQ(QXDFU_FinishUpgrade(boot, 0), QXSTATUS_TIMEOUT);
  // The device was left in dfuDNLOAD_SYNC, where it stalls an abort into dfuERROR: the next
  // start clears that and downloads.
  EXPECT_EQ(model->State(), sim::dfu::State::dfuDNLOAD_SYNC);
  TestLogTarget log;
  TestLogTarget dfuLog(gLogDfu, kQXLogLevelAll);
  ExpectFinished(boot, Upgrade(boot, image), image.size());
  EXPECT_TRUE(dfuLog.Contains("DfuAbort refused", kQXLogLevelWarn)) << dfuLog.Dump();
  EXPECT_FALSE(log.Contains("EnsureDfuIDLE failed")) << log.Dump();
  EXPECT_EQ(model->Firmware(0), image);
}

TEST_F(ApiUpgradeTest, DeviceUnpluggedMidDownloadFailsWithoutHanging) {
  SimDfuDeviceConfig config = Config(SimRunMode::Bootloader);
  config.wTransferSize = 1024;
  config.faults.push_back(SimDfuFault{SimDfuFaultAction::Unplug, SimDfuRequestKind::Dnload, uint16_t{2}});
  const SimDfuDevicePtr model = Plug(config);
  const uint32_t boot = Open(kBootPid);
  ASSERT_NE(boot, 0u);
  const auto start = std::chrono::steady_clock::now();
  const UpgradeResult r = Upgrade(boot, Filler(8000, 8));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  EXPECT_EQ(r.state, QXDFU_UPGRADE_STATE_FAILED);
  // The transport's own code for a device that is gone.
  EXPECT_EQ(r.completionStatus, kQXErrorDeviceNotConnected);
  EXPECT_EQ(r.currentBytes, 2048u);
  EXPECT_FALSE(model->IsOnBus());
  EXPECT_EQ(model->ManifestationCount(), 0u);
  EXPECT_NE(QXDFU_CheckDeviceConnection(boot), QXSTATUS_SUCCESS);
  EXPECT_EQ(QXDFU_FinishUpgrade(boot, 0), kQXErrorDeviceNotConnected);
}

TEST_F(ApiUpgradeTest, FinishDuringTheDownloadAbortsAndTheNextStartCompletes) {
  const SimDfuDevicePtr model = Plug(SlowConfig(Config(SimRunMode::Bootloader)));
  const Bytes image = Filler(512 * 100, 13);
  const uint32_t boot = Open(kBootPid);
  ASSERT_NE(boot, 0u);
  const uint32_t imageHandle = Load(image);
  ASSERT_EQ(QXDFU_StartUpgrade(boot, imageHandle, 0, 0), QXSTATUS_SUCCESS);
  ASSERT_TRUE(WaitForProgress(boot, 2 * 512));
  TestLogTarget log;
  EXPECT_EQ(QXDFU_FinishUpgrade(boot, 0), QXSTATUS_ABORTED);
  EXPECT_TRUE(log.Contains("aborting download")) << log.Dump();
  EXPECT_EQ(Status(boot).state, QXDFU_UPGRADE_STATE_IDLE);
  EXPECT_EQ(model->ManifestationCount(), 0u);
  EXPECT_NE(model->Firmware(0), image);

  ExpectFinished(boot, Upgrade(boot, image), image.size());
  EXPECT_EQ(model->Firmware(0), image);
}

TEST_F(ApiUpgradeTest, CloseDuringTheDownloadAbortsAndAFreshOpenCompletes) {
  const SimDfuDevicePtr model = Plug(SlowConfig(Config(SimRunMode::Bootloader)));
  const Bytes image = Filler(512 * 100, 14);
  uint32_t boot = Open(kBootPid);
  ASSERT_NE(boot, 0u);
  const uint32_t imageHandle = Load(image);
  ASSERT_EQ(QXDFU_StartUpgrade(boot, imageHandle, 0, 0), QXSTATUS_SUCCESS);
  ASSERT_TRUE(WaitForProgress(boot, 2 * 512));
  Close(boot);
  uint32_t state = 0;
  EXPECT_EQ(QXDFU_GetUpgradeStatus(boot, &state, nullptr, nullptr, nullptr), QXSTATUS_INVALID_HANDLE);
  EXPECT_EQ(model->ManifestationCount(), 0u);
  EXPECT_TRUE(model->State() == sim::dfu::State::dfuIDLE || model->State() == sim::dfu::State::dfuERROR)
      << static_cast<int>(model->State());

  boot = Open(kBootPid);
  ASSERT_NE(boot, 0u);
  ExpectFinished(boot, Upgrade(boot, image), image.size());
  EXPECT_EQ(model->Firmware(0), image);
}

TEST_F(ApiUpgradeTest, ShortStatusAnswersAreALengthMismatch) {
  const SimDfuDevicePtr model = Plug(Config(SimRunMode::Bootloader));
  const uint32_t boot = Open(kBootPid);
  ASSERT_NE(boot, 0u);
  for (const uint16_t length : {0, 1, 5}) {
    SimDfuFault shortStatus{SimDfuFaultAction::AnswerLength, SimDfuRequestKind::GetStatus, uint16_t{0}};
    shortStatus.answerLength = length;
    model->AddFault(shortStatus);
    TestLogTarget log;
    const UpgradeResult r = Upgrade(boot, Filler(100));
    EXPECT_EQ(r.state, QXDFU_UPGRADE_STATE_FAILED) << length;
    EXPECT_EQ(r.completionStatus, QXSTATUS_LENGTH_MISMATCH) << length;
    EXPECT_TRUE(log.Contains("unexpected length " + std::to_string(length) + ", exp. 6")) << log.Dump();
    EXPECT_EQ(QXDFU_FinishUpgrade(boot, 0), QXSTATUS_LENGTH_MISMATCH);
  }
  EXPECT_EQ(model->ManifestationCount(), 0u);
  // Answered in full again, the same session completes.
  const Bytes image = Filler(100, 2);
  ExpectFinished(boot, Upgrade(boot, image), image.size());
  EXPECT_EQ(model->Firmware(0), image);
}

// A device stuck busy is given up on once it has had both its fifty polls and the time
// budget of a block in waits.
TEST_F(ApiUpgradeTest, BusyDeviceTimesOutAfterItsPollsAndItsTimeBudget) {
  SimDfuDeviceConfig config = Config(SimRunMode::Bootloader);
  config.pollTimeoutMs = 3;
  config.faults.push_back(SimDfuFault{SimDfuFaultAction::StuckDnBusy, SimDfuRequestKind::Dnload, uint16_t{0}});
  const SimDfuDevicePtr model = Plug(config);
  const uint32_t boot = Open(kBootPid);
  ASSERT_NE(boot, 0u);
  const sim::SimDevicePtr device = CurrentDevice(model);
  ASSERT_NE(device, nullptr);
  CountingPollWaits waits;
  TestLogTarget log;
  const UpgradeResult r = Upgrade(boot, Filler(100));
  EXPECT_EQ(r.state, QXDFU_UPGRADE_STATE_FAILED);
  EXPECT_EQ(r.completionStatus, QXSTATUS_TIMEOUT);
  EXPECT_TRUE(log.Contains("timeout while processing data block 0")) << log.Dump();
  // One status after the block, then one more after each wait of the rounded poll time, until
  // the waits reach the budget.
  const uint32_t wait = RoundUpMillisecsToClockResolution(3);
  const size_t expectedWaits = (DfuDevice::kBlockBusyBudgetMs + wait - 1) / wait;
  EXPECT_EQ(Requests(device, sim::dfu::kGetStatus).size(), expectedWaits + 1);
  EXPECT_EQ(waits.Waits(), std::vector<uint32_t>(expectedWaits, wait));
  EXPECT_EQ(model->State(), sim::dfu::State::dfuDNBUSY);
  EXPECT_EQ(model->ManifestationCount(), 0u);
}

TEST_F(ApiUpgradeTest, ImageUnloadedWhileItsUpgradeRunsIsDownloadedWhole) {
  const SimDfuDevicePtr model = Plug(SlowConfig(Config(SimRunMode::Bootloader)));
  const Bytes image = Filler(512 * 30 + 7, 15);
  const uint32_t boot = Open(kBootPid);
  ASSERT_NE(boot, 0u);
  const uint32_t imageHandle = Load(image);
  ASSERT_EQ(QXDFU_StartUpgrade(boot, imageHandle, 0, 0), QXSTATUS_SUCCESS);
  ASSERT_TRUE(WaitForProgress(boot, 512));
  EXPECT_EQ(QXDFU_UnloadFirmwareImage(imageHandle), QXSTATUS_SUCCESS);
  mImageHandles.clear();
  ExpectFinished(boot, WaitForEnd(boot), image.size());
  EXPECT_EQ(model->Firmware(0), image);
}

TEST_F(ApiUpgradeTest, IncompatibleImageIsRefusedBeforeAnyDownload) {
  SimDfuDeviceConfig config = Config(SimRunMode::Bootloader);
  config.targets[0].acceptedTargetId = 0x0BADF00D;
  const SimDfuDevicePtr model = Plug(config);
  const uint32_t boot = Open(kBootPid);
  ASSERT_NE(boot, 0u);
  const sim::SimDevicePtr device = CurrentDevice(model);
  ASSERT_NE(device, nullptr);
  TestLogTarget log;
  const UpgradeResult r = Upgrade(boot, fbimg::MakeQxImage(), QXDFU_IMAGE_TYPE_QX_BINARY);
  EXPECT_EQ(r.state, QXDFU_UPGRADE_STATE_FAILED);
  EXPECT_NE(r.completionStatus, QXSTATUS_SUCCESS);
  EXPECT_TRUE(log.Contains("device reports that image is incompatible")) << log.Dump();
  EXPECT_TRUE(Dnloads(device).empty());
  EXPECT_FALSE(model->StoredHeader().empty());
  EXPECT_EQ(model->ManifestationCount(), 0u);
}

TEST_F(ApiUpgradeTest, RawImageSendsNoPrivateRequest) {
  SimDfuDeviceConfig config = Config(SimRunMode::Bootloader);
  config.targets[0].compatibilityAnswer = 0x4007;  // would refuse anything it is asked about
  const SimDfuDevicePtr model = Plug(config);
  const uint32_t boot = Open(kBootPid);
  ASSERT_NE(boot, 0u);
  const Bytes image = Filler(300);
  ExpectFinished(boot, Upgrade(boot, image), image.size());
  EXPECT_TRUE(model->StoredHeader().empty());
  EXPECT_EQ(model->Firmware(0), image);
}

TEST_F(ApiUpgradeTest, TokenOfAWrongSizeIsRefused) {
  SimDfuDeviceConfig config = Config(SimRunMode::Bootloader);
  config.targets[0].locked = true;
  SimDfuFault patch{SimDfuFaultAction::PatchAnswer, SimDfuRequestKind::GetUnlockToken};
  patch.patchOffset = 0;
  patch.patchValue = 0x40;
  config.faults.push_back(patch);
  const SimDfuDevicePtr model = Plug(config);
  const uint32_t boot = Open(kBootPid);
  ASSERT_NE(boot, 0u);
  const sim::SimDevicePtr device = CurrentDevice(model);
  TestLogTarget log;
  const UpgradeResult r = Upgrade(boot, Filler(500), QXDFU_IMAGE_TYPE_RAW_BINARY, 0, QXDFU_UPGRADE_FLAG_UNLOCK_TARGET);
  EXPECT_EQ(r.state, QXDFU_UPGRADE_STATE_FAILED);
  EXPECT_EQ(r.completionStatus, QXSTATUS_ACCESS_DENIED);
  EXPECT_TRUE(log.Contains("invalid size 64")) << log.Dump();
  EXPECT_TRUE(model->IsLocked(0));
  EXPECT_TRUE(Dnloads(device).empty());
}

TEST_F(ApiUpgradeTest, DeviceThatNeverLeavesTheBusIsNotFoundInItsBootloader) {
  SimDfuDeviceConfig config = Config();
  config.faults.push_back(SimDfuFault{SimDfuFaultAction::StayOnBus, SimDfuRequestKind::Detach});
  const SimDfuDevicePtr model = Plug(config);
  const uint32_t app = Open(kAppPid);
  ASSERT_NE(app, 0u);
  EXPECT_EQ(QXDFU_RebootDevice(app, QXDFU_RUN_MODE_BOOTLOADER, 0), QXSTATUS_SUCCESS);
  uint32_t count = 99;
  const uint32_t enumeration = Enumerate(kBootPid, count, 20);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(QXDFU_CloseEnumeration(enumeration), QXSTATUS_SUCCESS);
  EXPECT_TRUE(model->IsOnBus());
  EXPECT_EQ(model->RunMode(), SimRunMode::Application);
  uint32_t appCount = 0;
  const uint32_t appEnumeration = Enumerate(kAppPid, appCount, 0);
  EXPECT_EQ(appCount, 1u);
  EXPECT_EQ(QXDFU_CloseEnumeration(appEnumeration), QXSTATUS_SUCCESS);
}

// ---- threads ----

class ApiUpgradeThreads : public ApiUpgradeTest {
 protected:
  // Polls the upgrade of `device` from several threads until told to stop; each checks that
  // what it sees is consistent and that its own view of the progress never goes back.
  void PollWhile(uint32_t device, const std::function<void()>& act) {
    std::atomic<bool> stop{false};
    std::atomic<int> polls{0};
    std::atomic<int> inconsistent{0};
    std::vector<std::thread> pollers;
    for (int i = 0; i < 3; ++i) {
      pollers.emplace_back([&] {
        uint64_t last = 0;
        while (!stop) {
          uint32_t state = 0;
          uint64_t current = 0, total = 0;
          QXSTATUS completion = 0;
          const QXSTATUS st = QXDFU_GetUpgradeStatus(device, &state, &current, &total, &completion);
          if (st == QXSTATUS_SUCCESS) {
            const bool running = state == QXDFU_UPGRADE_STATE_IN_PROGRESS;
            if (state > QXDFU_UPGRADE_STATE_FAILED || current > total || (running && current < last)) {
              ++inconsistent;
            }
            last = running ? current : 0;
          } else if (st != QXSTATUS_INVALID_HANDLE) {
            ++inconsistent;
          }
          ++polls;
          std::this_thread::yield();
        }
      });
    }
    act();
    // Let the pollers see the outcome before they stop.
    const int seen = polls.load();
    const auto until = std::chrono::steady_clock::now() + 5s;
    while (polls.load() < seen + 30 && std::chrono::steady_clock::now() < until) {
      std::this_thread::yield();
    }
    stop = true;
    for (std::thread& t : pollers) {
      t.join();
    }
    EXPECT_EQ(inconsistent.load(), 0);
  }
};

TEST_F(ApiUpgradeThreads, ProgressPolledWhileAnotherThreadFinishes) {
  const SimDfuDevicePtr model = Plug(SlowConfig(Config(SimRunMode::Bootloader)));
  const Bytes image = Filler(512 * 60, 21);
  const uint32_t boot = Open(kBootPid);
  ASSERT_NE(boot, 0u);
  const uint32_t imageHandle = Load(image);
  ASSERT_EQ(QXDFU_StartUpgrade(boot, imageHandle, 0, 0), QXSTATUS_SUCCESS);
  QXSTATUS finished = 0;
  PollWhile(boot, [&] {
    EXPECT_TRUE(WaitForProgress(boot, 512));
    std::thread finisher([&] { finished = QXDFU_FinishUpgrade(boot, 0); });
    finisher.join();
  });
  EXPECT_EQ(finished, QXSTATUS_ABORTED);
  EXPECT_EQ(Status(boot).state, QXDFU_UPGRADE_STATE_IDLE);
  EXPECT_EQ(model->ManifestationCount(), 0u);

  // And a whole run polled by the same threads.
  PollWhile(boot, [&] { ExpectFinished(boot, Upgrade(boot, image), image.size()); });
  EXPECT_EQ(model->Firmware(0), image);
}

TEST_F(ApiUpgradeThreads, ProgressPolledWhileAnotherThreadClosesTheDevice) {
  const SimDfuDevicePtr model = Plug(SlowConfig(Config(SimRunMode::Bootloader)));
  const Bytes image = Filler(512 * 60, 22);
  const uint32_t boot = Open(kBootPid);
  ASSERT_NE(boot, 0u);
  const uint32_t imageHandle = Load(image);
  ASSERT_EQ(QXDFU_StartUpgrade(boot, imageHandle, 0, 0), QXSTATUS_SUCCESS);
  QXSTATUS closed = 0xFFFFFFFF;
  PollWhile(boot, [&] {
    EXPECT_TRUE(WaitForProgress(boot, 512));
    std::thread closer([&] { closed = QXDFU_CloseDevice(boot); });
    closer.join();
  });
  EXPECT_EQ(closed, QXSTATUS_SUCCESS);
  mDeviceHandles.clear();
  uint32_t state = 0;
  EXPECT_EQ(QXDFU_GetUpgradeStatus(boot, &state, nullptr, nullptr, nullptr), QXSTATUS_INVALID_HANDLE);
  EXPECT_EQ(model->ManifestationCount(), 0u);
}

}  // namespace
}  // namespace plendrik
