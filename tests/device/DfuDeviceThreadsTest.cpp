// The session's locking under concurrent callers: progress polled from several threads while
// another finishes or closes the device, and a handle closed while another thread is inside
// a call for it. (The suite's name ends in Threads so the ThreadSanitizer run picks it up.)
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "device/DfuDeviceTestFixture.h"

namespace fbdev {
namespace {

class DfuDeviceThreads : public DfuDeviceTest {
 protected:
  // Polls the upgrade from n threads until stop is set; each checks that the progress never
  // goes back and never passes the total, and counts the answers it got.
  void StartPollers(uint32_t device, int n) {
    for (int i = 0; i < n; ++i) {
      mPollers.emplace_back([this, device] {
        uint64_t last = 0;
        while (!mStopPolling) {
          uint32_t state = 0;
          uint64_t current = 0;
          uint64_t total = 0;
          QXSTATUS completion = 0;
          const QXSTATUS st = QXDFU_GetUpgradeStatus(device, &state, &current, &total, &completion);
          if (st == QXSTATUS_INVALID_HANDLE) {
            ++mClosedAnswers;
            continue;
          }
          EXPECT_EQ(st, QXSTATUS_SUCCESS);
          EXPECT_LE(state, QXDFU_UPGRADE_STATE_FAILED);
          if (state == QXDFU_UPGRADE_STATE_IN_PROGRESS) {
            EXPECT_GE(current, last);
            EXPECT_LE(current, total);
            last = current;
          }
          ++mAnswers;
        }
      });
    }
  }
  void StopPollers() {
    mStopPolling = true;
    for (std::thread& t : mPollers) {
      t.join();
    }
    mPollers.clear();
  }
  // Waits until the device holds at least bytes of firmware.
  void WaitForFirmware(size_t bytes) {
    while (mDevice->Firmware().size() < bytes) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  std::vector<std::thread> mPollers;
  std::atomic<bool> mStopPolling{false};
  std::atomic<int> mAnswers{0};
  std::atomic<int> mClosedAnswers{0};
};

TEST_F(DfuDeviceThreads, ProgressPolledWhileAnotherThreadFinishes) {
  mDevice->transferSize = 256;
  mDevice->dnloadDelayMs = 1;
  mDevice->busyPollsPerBlock = 1;
  const uint32_t device = Open();
  const uint32_t image = Load(fbimg::Filler(256 * 200));
  ASSERT_EQ(QXDFU_StartUpgrade(device, image, 0, 0), QXSTATUS_SUCCESS);
  StartPollers(device, 3);
  WaitForFirmware(256 * 10);
  QXSTATUS finished = QXSTATUS_FAILED;
  std::thread finisher([&] { finished = QXDFU_FinishUpgrade(device, 0); });
  finisher.join();
  EXPECT_EQ(finished, QXSTATUS_ABORTED);
  EXPECT_EQ(Status(device).state, QXDFU_UPGRADE_STATE_IDLE);
  StopPollers();
  EXPECT_GT(mAnswers, 0);
  EXPECT_EQ(mDevice->Count(Req::Abort), 1u);
}

TEST_F(DfuDeviceThreads, ProgressPolledWhileAnotherThreadCloses) {
  mDevice->transferSize = 256;
  mDevice->dnloadDelayMs = 1;
  const uint32_t device = Open();
  const uint32_t image = Load(fbimg::Filler(256 * 200));
  ASSERT_EQ(QXDFU_StartUpgrade(device, image, 0, 0), QXSTATUS_SUCCESS);
  StartPollers(device, 3);
  WaitForFirmware(256 * 10);
  QXSTATUS closed = QXSTATUS_FAILED;
  std::thread closer([&] { closed = QXDFU_CloseDevice(device); });
  closer.join();
  EXPECT_EQ(closed, QXSTATUS_SUCCESS);
  // Once the handle is gone every poller is refused.
  while (mClosedAnswers < 3) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  StopPollers();
  EXPECT_EQ(mDevice->portsAlive, 0);
  EXPECT_EQ(mDevice->Count(Req::Abort), 1u);
}

TEST_F(DfuDeviceThreads, ClosingAHandleWhileAnotherThreadIsInsideACall) {
  const uint32_t device = Open();
  std::atomic<bool> release{false};
  mDevice->SetGate(Req::PropertyString, QXDFU_DEVICE_PROPERTY_PRODUCT, [&release] { return release.load(); });
  QXSTATUS inside = QXSTATUS_FAILED;
  QXWChar buffer[32] = {};
  std::thread caller(
      [&] { inside = QXDFU_GetDevicePropertyString(device, QXDFU_DEVICE_PROPERTY_PRODUCT, buffer, 32); });
  while (!mDevice->gateReached) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  // The close removes the handle at once and then waits for the session lock the call holds.
  QXSTATUS closed = QXSTATUS_FAILED;
  std::thread closer([&] { closed = QXDFU_CloseDevice(device); });
  while (gDfuApi.mDevices.GetObject(device)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(mDevice->portsAlive, 1) << "the call's reference keeps the session";
  release = true;
  caller.join();
  closer.join();
  EXPECT_EQ(inside, QXSTATUS_SUCCESS);
  EXPECT_EQ(QXWString(buffer), QXW("Scripted DFU"));
  EXPECT_EQ(closed, QXSTATUS_SUCCESS);
  EXPECT_EQ(mDevice->portsAlive, 0);
  EXPECT_EQ(QXDFU_GetDevicePropertyString(device, QXDFU_DEVICE_PROPERTY_PRODUCT, buffer, 32), QXSTATUS_INVALID_HANDLE);
}

TEST_F(DfuDeviceThreads, ClosingWhileAnotherThreadPollsTheStatus) {
  for (int round = 0; round < 20; ++round) {
    const uint32_t device = Open();
    mStopPolling = false;
    mClosedAnswers = 0;
    StartPollers(device, 2);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(QXDFU_CloseDevice(device), QXSTATUS_SUCCESS);
    while (mClosedAnswers < 2) {
      std::this_thread::yield();
    }
    StopPollers();
    EXPECT_EQ(mDevice->portsAlive, 0);
  }
}

}  // namespace
}  // namespace fbdev
