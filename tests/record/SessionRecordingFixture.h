// A fixture for recording tests: the virtual USB bus behind both seams, simulated DFU devices
// built like the API upgrade tests' ones, and recording switched on by a configuration file
// that DfuApi reads as the library does at load (support/LibraryRecording.h). Helpers drive
// an upgrade through the exported functions and pick records out of the recording.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "api/DfuApi.h"
#include "device/DfuDevicePortFactory.h"
#include "discovery/EnumerationTestBus.h"
#include "flashbridge.h"
#include "image/ImageTestFiles.h"
#include "record/QXRecordingConfig.h"
#include "sim/SimDfuDevice.h"
#include "sim/SimWinusbDrvApi.h"
#include "sim/VirtualUsbBus.h"
#include "support/ApiUpgradeSteps.h"
#include "support/LibraryRecording.h"
#include "support/RecordingFile.h"
#include "usb/QXWinusbDrvApi.h"

namespace plendrik {

constexpr uint16_t kRecVid = 0x1209;
constexpr uint16_t kRecAppPid = 0x5A11;
constexpr uint16_t kRecBootPid = 0x5A12;

class SessionRecordingTest : public EnumerationBusTest {
 protected:
  void SetUp() override {
    EnumerationBusTest::SetUp();
    mSavedGuid = gDfuApi.GetDriverInterfaceGuid();
    mSavedApi = QXInstalledWinusbDrvApi();
    QXSetWinusbDrvApi(&sim::SimWinusbDrvApi::Instance());
    SetDfuDevicePortFactory(nullptr);
  }

  void TearDown() override {
    for (uint32_t h : mDevices) {
      QXDFU_CloseDevice(h);
    }
    for (uint32_t h : mImages) {
      QXDFU_UnloadFirmwareImage(h);
    }
    for (const sim::SimDfuDevicePtr& model : mModels) {
      model->Unplug();
    }
    QXStopSessionRecording();
    SetDfuDevicePortFactory(nullptr);
    QXSetWinusbDrvApi(mSavedApi);
    gDfuApi.SetDriverInterfaceGuid(mSavedGuid);
    EnumerationBusTest::TearDown();
  }

  std::filesystem::path RecordingPath() const { return mRecording.RecordingPath(); }

  // Reads a configuration whose [Recording] section holds `recording` (lines without the
  // section header; empty: no section), as the library does when it loads.
  void ReadConfiguration(const std::string& recording) {
    ASSERT_EQ(mRecording.ReadConfiguration(recording), QXSTATUS_SUCCESS);
  }

  static sim::SimDfuDeviceConfig Config(const char* serial = "QX7SER42", uint16_t appPid = kRecAppPid,
                                        uint16_t bootPid = kRecBootPid) {
    sim::SimDfuDeviceConfig config;
    config.vendorId = kRecVid;
    config.applicationProductId = appPid;
    config.bootloaderProductId = bootPid;
    config.identity.interfaceClassGuid = TestGuid();
    config.serialNumber = sim::SimWiden(serial);
    config.detachDelay = std::chrono::microseconds(0);
    config.rejoinDelay = std::chrono::milliseconds(20);
    config.randomSeed = 7;
    return config;
  }

  sim::SimDfuDevicePtr Plug(const sim::SimDfuDeviceConfig& config) {
    sim::SimDfuDevicePtr model = sim::SimDfuDevice::Create(sim::VirtualUsbBus::Instance(), config);
    EXPECT_TRUE(model->Plug());
    mModels.push_back(model);
    return model;
  }

  static std::string Filter(uint16_t pid) { return fbtest::VidPidFilter(kRecVid, pid); }

  uint32_t Open(uint16_t pid) {
    const uint32_t handle = fbtest::OpenFirstListed(Filter(pid), 200, 10);
    if (handle != 0) {
      std::lock_guard<std::mutex> lock(mHandlesLock);
      mDevices.push_back(handle);
    }
    return handle;
  }

  void Close(uint32_t device) {
    EXPECT_EQ(QXDFU_CloseDevice(device), QXSTATUS_SUCCESS);
    std::lock_guard<std::mutex> lock(mHandlesLock);
    mDevices.erase(std::remove(mDevices.begin(), mDevices.end(), device), mDevices.end());
  }

  // Application -> bootloader -> download -> application, as a caller does it; the upgrade's
  // end state.
  fbtest::UpgradeResult Upgrade(const fbimg::Bytes& image, uint32_t flags = 0, uint16_t appPid = kRecAppPid,
                                uint16_t bootPid = kRecBootPid) {
    QXSTATUS reboot = QXSTATUS_SUCCESS;
    const fbtest::UpgradeResult r =
        fbtest::RunCallerUpgrade({Filter(appPid), Filter(bootPid), flags}, image, std::chrono::seconds(15), &reboot);
    EXPECT_EQ(reboot, QXSTATUS_SUCCESS);
    return r;
  }

  static std::vector<fbtest::JsonValue> DnloadBlocks(const fbtest::RecordingFile& file, const std::string& device) {
    return file.DnloadBlocks(device);
  }

  fbtest::LibraryRecording mRecording;
  std::string mSavedGuid;
  QXWinusbDrvApi* mSavedApi = nullptr;  // the windows tests' virtual bus seam
  std::vector<sim::SimDfuDevicePtr> mModels;
  std::mutex mHandlesLock;
  std::vector<uint32_t> mDevices;
  std::vector<uint32_t> mImages;
};

}  // namespace plendrik
