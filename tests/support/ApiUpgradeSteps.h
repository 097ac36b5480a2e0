// Steps of a caller's upgrade through the exported API, shared by the tests that drive the
// library against simulated devices: open the first listed device, read the upgrade status,
// wait for the upgrade's end, and a whole upgrade from the application as a caller runs it.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "flashbridge.h"

namespace fbtest {

// The filter that names one vendor and product identifier.
inline std::string VidPidFilter(uint16_t vendor, uint16_t product) {
  char text[64];
  std::snprintf(text, sizeof(text), "VID=0x%04X, PID=0x%04X", static_cast<unsigned>(vendor),
                static_cast<unsigned>(product));
  return text;
}

struct UpgradeResult {
  uint32_t state = 0xFFFFFFFF;
  uint64_t currentBytes = 0;
  uint64_t totalBytes = 0;
  QXSTATUS completionStatus = 0xFFFFFFFF;
};

// Opens the first device the filter lists (enumeration retried `retries` times, `retryDelayMs`
// apart), expecting the open to answer `expectedOpen`; 0 when none is listed or the open failed.
inline uint32_t OpenFirstListed(const std::string& filter, uint32_t retries, uint32_t retryDelayMs,
                                QXSTATUS expectedOpen = QXSTATUS_SUCCESS) {
  uint32_t enumeration = 0;
  uint32_t count = 0;
  EXPECT_EQ(QXDFU_EnumerateUsbDfuDevices(filter.c_str(), &enumeration, &count, retries, retryDelayMs, 0),
            QXSTATUS_SUCCESS);
  uint32_t handle = 0;
  if (count > 0) {
    EXPECT_EQ(QXDFU_OpenDevice(enumeration, 0, &handle, 0), expectedOpen);
  }
  EXPECT_EQ(QXDFU_CloseEnumeration(enumeration), QXSTATUS_SUCCESS);
  return handle;
}

inline UpgradeResult ReadUpgradeStatus(uint32_t device) {
  UpgradeResult r;
  EXPECT_EQ(QXDFU_GetUpgradeStatus(device, &r.state, &r.currentBytes, &r.totalBytes, &r.completionStatus),
            QXSTATUS_SUCCESS);
  return r;
}

// Polls until the upgrade is Finished or Failed, or `limit` has passed.
inline UpgradeResult WaitForUpgradeEnd(uint32_t device, std::chrono::milliseconds limit) {
  const auto until = std::chrono::steady_clock::now() + limit;
  UpgradeResult r = ReadUpgradeStatus(device);
  while (r.state != QXDFU_UPGRADE_STATE_FINISHED && r.state != QXDFU_UPGRADE_STATE_FAILED &&
         std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    r = ReadUpgradeStatus(device);
  }
  return r;
}

// A caller's whole upgrade: which devices it opens and how it ends.
struct CallerUpgrade {
  std::string applicationFilter;  // empty: the device is found in its bootloader at once
  std::string bootloaderFilter;
  uint32_t flags = 0;             // of QXDFU_StartUpgrade
  bool backToApplication = true;  // QXDFU_RebootDevice(APPLICATION) before the close
};

// Opens the application (when a filter names it), reboots it into its bootloader and closes
// it; opens the bootloader, downloads the raw image to target 0, waits for the upgrade's end
// (at most `limit`), finishes it, reboots into the application when asked, closes the device
// and unloads the image. The end the caller read; *rebootStatus receives the reboot's answer.
inline UpgradeResult RunCallerUpgrade(const CallerUpgrade& how, const std::vector<uint8_t>& image,
                                      std::chrono::milliseconds limit = std::chrono::seconds(15),
                                      QXSTATUS* rebootStatus = nullptr) {
  if (!how.applicationFilter.empty()) {
    const uint32_t app = OpenFirstListed(how.applicationFilter, 300, 10);
    EXPECT_NE(app, 0u) << "the application was not listed";
    if (app == 0) {
      return {};
    }
    EXPECT_EQ(QXDFU_RebootDevice(app, QXDFU_RUN_MODE_BOOTLOADER, 0), QXSTATUS_SUCCESS);
    EXPECT_EQ(QXDFU_CloseDevice(app), QXSTATUS_SUCCESS);
  }
  const uint32_t boot = OpenFirstListed(how.bootloaderFilter, 300, 10);
  EXPECT_NE(boot, 0u) << "the bootloader was not listed";
  if (boot == 0) {
    return {};
  }
  uint32_t imageHandle = 0;
  EXPECT_EQ(QXDFU_LoadFirmwareFromBuffer(image.data(), image.size(), QXDFU_IMAGE_TYPE_RAW_BINARY, &imageHandle, 0),
            QXSTATUS_SUCCESS);
  EXPECT_EQ(QXDFU_StartUpgrade(boot, imageHandle, 0, how.flags), QXSTATUS_SUCCESS);
  const UpgradeResult result = WaitForUpgradeEnd(boot, limit);
  QXDFU_FinishUpgrade(boot, 0);
  if (how.backToApplication) {
    const QXSTATUS reboot = QXDFU_RebootDevice(boot, QXDFU_RUN_MODE_APPLICATION, 0);
    if (rebootStatus != nullptr) {
      *rebootStatus = reboot;
    }
  }
  EXPECT_EQ(QXDFU_CloseDevice(boot), QXSTATUS_SUCCESS);
  EXPECT_EQ(QXDFU_UnloadFirmwareImage(imageHandle), QXSTATUS_SUCCESS);
  return result;
}

}  // namespace fbtest
