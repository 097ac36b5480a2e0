// Steps of a caller's upgrade through the exported API, shared by the tests that drive the
// library against simulated devices: open the first listed device, read the upgrade status,
// wait for the upgrade's end.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "flashbridge.h"

namespace fbtest {

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

}  // namespace fbtest
