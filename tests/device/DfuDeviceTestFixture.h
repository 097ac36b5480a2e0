// A fixture for session and upgrade tests through the exported device functions: one listed
// device on the virtual bus whose session gets a scripted port, images loaded from memory,
// and the handles closed after each test.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "api/DfuApi.h"
#include "device/ScriptedDfuPort.h"
#include "discovery/EnumerationTestBus.h"
#include "flashbridge.h"
#include "image/ImageTestFiles.h"
#include "support/ApiUpgradeSteps.h"

// windows.h (through the image helpers) maps GetObject to a GDI function name.
#ifdef GetObject
#undef GetObject
#endif

namespace fbdev {

using fbtest::UpgradeResult;

class DfuDeviceTest : public EnumerationBusTest {
 protected:
  void SetUp() override {
    EnumerationBusTest::SetUp();
    mSavedGuid = gDfuApi.GetDriverInterfaceGuid();
    gDfuApi.SetDriverInterfaceGuid(kTestGuidText);
    Attach(DfuDeviceSpec(0x1209, 0x2002, 0x0100, "S1"));
    mDevice = std::make_shared<ScriptedDfuDevice>();
    mInstaller = std::make_unique<ScriptedPortInstaller>(mDevice);
  }

  void TearDown() override {
    for (uint32_t h : mDeviceHandles) {
      QXDFU_CloseDevice(h);
    }
    for (uint32_t h : mImageHandles) {
      QXDFU_UnloadFirmwareImage(h);
    }
    mInstaller.reset();
    gDfuApi.SetDriverInterfaceGuid(mSavedGuid);
    EnumerationBusTest::TearDown();
  }

  // A fresh scripted device for the next case of a table (the installer goes first, so that
  // the new one stays installed).
  void NewScriptedDevice() {
    mInstaller.reset();
    mDevice = std::make_shared<ScriptedDfuDevice>();
    mInstaller = std::make_unique<ScriptedPortInstaller>(mDevice);
  }

  // Opens the listed device; the enumeration is closed again (the session does not need it).
  uint32_t Open() {
    uint32_t enumeration = 0;
    uint32_t count = 0;
    EXPECT_EQ(QXDFU_EnumerateUsbDfuDevices("VID=0x1209, PID=0x2002", &enumeration, &count, 0, 0, 0), QXSTATUS_SUCCESS);
    EXPECT_GE(count, 1u);
    uint32_t handle = 0;
    EXPECT_EQ(QXDFU_OpenDevice(enumeration, 0, &handle, 0), QXSTATUS_SUCCESS);
    EXPECT_EQ(QXDFU_CloseEnumeration(enumeration), QXSTATUS_SUCCESS);
    mDeviceHandles.push_back(handle);
    return handle;
  }

  uint32_t Load(const fbimg::Bytes& bytes, uint32_t imageType = QXDFU_IMAGE_TYPE_RAW_BINARY) {
    uint32_t handle = 0;
    EXPECT_EQ(QXDFU_LoadFirmwareFromBuffer(bytes.data(), bytes.size(), imageType, &handle, 0), QXSTATUS_SUCCESS);
    mImageHandles.push_back(handle);
    return handle;
  }

  static UpgradeResult Status(uint32_t device) { return fbtest::ReadUpgradeStatus(device); }

  // Polls until the upgrade is Finished or Failed (10 s at most).
  static UpgradeResult WaitForEnd(uint32_t device) { return fbtest::WaitForUpgradeEnd(device, std::chrono::seconds(10)); }

  // Starts an upgrade of bytes into target 0 and waits for its end.
  UpgradeResult Upgrade(const fbimg::Bytes& bytes, uint32_t flags = 0,
                        uint32_t imageType = QXDFU_IMAGE_TYPE_RAW_BINARY) {
    const uint32_t device = Open();
    const uint32_t image = Load(bytes, imageType);
    EXPECT_EQ(QXDFU_StartUpgrade(device, image, 0, flags), QXSTATUS_SUCCESS);
    mLastDevice = device;
    return WaitForEnd(device);
  }

  std::shared_ptr<ScriptedDfuDevice> mDevice;
  std::unique_ptr<ScriptedPortInstaller> mInstaller;
  std::vector<uint32_t> mDeviceHandles;
  std::vector<uint32_t> mImageHandles;
  uint32_t mLastDevice = 0;
  std::string mSavedGuid;
};

}  // namespace fbdev
