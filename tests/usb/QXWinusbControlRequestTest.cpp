// Control requests on a claimed interface: completion now or later, never, stall, short
// answers, unplug, and the library's own time-out with cancellation.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "support/TestLogTarget.h"
#include "usb/UsbSimFixture.h"

namespace plendrik {
namespace {

using sim::SimControlRequestPtr;
using sim::SimDevicePtr;

class QXWinusbControlRequestTest : public UsbSimFixture {
 protected:
  void SetUp() override {
    mDevice = Attach(DfuDeviceSpec());
    ASSERT_EQ(mUsb.OpenUsbDevice(PathOf(mDevice)), QXSTATUS_SUCCESS);
    ASSERT_EQ(mInterface.OpenUsbInterface(&mUsb, 0), QXSTATUS_SUCCESS);
    ASSERT_EQ(mInterface.ClaimUsbInterface(), QXSTATUS_SUCCESS);
  }
  void TearDown() override {
    for (std::thread& t : mThreads) t.join();
    mInterface.ReleaseUsbInterface();
    mUsb.CloseUsbDevice();
    UsbSimFixture::TearDown();
  }
  void Later(std::chrono::milliseconds delay, std::function<void()> action) {
    mThreads.emplace_back([delay, action] {
      std::this_thread::sleep_for(delay);
      action();
    });
  }

  SimDevicePtr mDevice;
  QXOsUsbDevice mUsb;
  QXOsUsbInterface mInterface;
  std::vector<std::thread> mThreads;
};

TEST_F(QXWinusbControlRequestTest, OutRequestCarriesSetupAndData) {
  std::vector<uint8_t> seen;
  sim::SimSetupPacket setup;
  mDevice->SetRequestHandler([&](const SimControlRequestPtr& r) {
    setup = r->Setup();
    seen = r->OutData();
    r->CompleteOut();
  });
  uint8_t data[3] = {7, 8, 9};
  uint32_t transferred = 99;
  EXPECT_EQ(mInterface.ClassOrVendorOutRequest(1, 0x01, 0x1234, {data, 3}, &transferred, 1000), QXSTATUS_SUCCESS);
  EXPECT_EQ(transferred, 3u);
  EXPECT_EQ(setup.bmRequestType, 0x21);
  EXPECT_EQ(setup.bRequest, 0x01);
  EXPECT_EQ(setup.wValue, 0x1234);
  EXPECT_EQ(setup.wIndex, 0);
  EXPECT_EQ(setup.wLength, 3);
  EXPECT_EQ(seen, std::vector<uint8_t>({7, 8, 9}));
}

TEST_F(QXWinusbControlRequestTest, InRequestShortAnswerReportsTheBytesReceived) {
  mDevice->SetRequestHandler([](const SimControlRequestPtr& r) {
    const uint8_t answer[6] = {0, 0x20, 0, 0, 2, 0};
    r->Complete(std::span<const uint8_t>(answer, r->Setup().bRequest == 3 ? 6 : 2));
  });
  uint8_t buffer[64] = {};
  uint32_t transferred = 0;
  EXPECT_EQ(mInterface.ClassOrVendorInRequest(1, 0x03, 0, {buffer, 6}, &transferred, 1000), QXSTATUS_SUCCESS);
  EXPECT_EQ(transferred, 6u);
  EXPECT_EQ(buffer[4], 2);
  EXPECT_EQ(mDevice->RequestLog().back().bmRequestType, 0xA1);
  EXPECT_EQ(mInterface.ClassOrVendorInRequest(2, 0x05, 0, {buffer, 64}, &transferred, 1000), QXSTATUS_SUCCESS);
  EXPECT_EQ(transferred, 2u);
  EXPECT_EQ(mDevice->RequestLog().back().bmRequestType, 0xC1);
}

TEST_F(QXWinusbControlRequestTest, StallIsTheSystemErrorUnchanged) {
  uint8_t buffer[4];
  uint32_t transferred = 5;
  // No handler: the device stalls class requests.
  EXPECT_EQ(mInterface.ClassOrVendorInRequest(1, 0x03, 0, {buffer, 4}, &transferred, 1000), kQXErrorGenFailure);
  EXPECT_EQ(transferred, 0u);
}

TEST_F(QXWinusbControlRequestTest, LateCompletionFromAnotherThreadIsWaitedFor) {
  mDevice->SetRequestHandler([this](const SimControlRequestPtr& r) {
    Later(std::chrono::milliseconds(150), [r] {
      const uint8_t answer[2] = {0xAB, 0xCD};
      r->Complete(answer);
    });
  });
  uint8_t buffer[2] = {};
  uint32_t transferred = 0;
  const auto start = Clock::now();
  EXPECT_EQ(mInterface.ClassOrVendorInRequest(1, 0x03, 0, {buffer, 2}, &transferred, 3000), QXSTATUS_SUCCESS);
  EXPECT_GE(MsSince(start), 140);
  EXPECT_EQ(transferred, 2u);
  EXPECT_EQ(buffer[1], 0xCD);
}

TEST_F(QXWinusbControlRequestTest, NegativeTimeoutWaitsWithoutLimit) {
  mDevice->SetRequestHandler([this](const SimControlRequestPtr& r) {
    Later(std::chrono::milliseconds(300), [r] { r->CompleteOut(); });
  });
  EXPECT_EQ(mInterface.ClassOrVendorOutRequest(1, 0x00, 0, {}, nullptr, -1), QXSTATUS_SUCCESS);
}

TEST_F(QXWinusbControlRequestTest, UnansweredRequestTimesOutIsCancelledAndTheObjectStaysUsable) {
  SimControlRequestPtr kept;
  mDevice->SetRequestHandler([&](const SimControlRequestPtr& r) { kept = r; });
  uint8_t buffer[6] = {};
  uint32_t transferred = 7;
  const auto start = Clock::now();
  EXPECT_EQ(mInterface.ClassOrVendorInRequest(1, 0x03, 0, {buffer, 6}, &transferred, 200), QXSTATUS_TIMEOUT);
  EXPECT_GE(MsSince(start), 190);
  EXPECT_EQ(transferred, 0u);
  ASSERT_TRUE(kept);
  EXPECT_EQ(kept->Status(), sim::SimTransferStatus::Cancelled);
  // The device answering afterwards changes nothing: the request is over.
  const uint8_t late[6] = {1, 2, 3, 4, 5, 6};
  EXPECT_FALSE(kept->Complete(late));
  EXPECT_EQ(buffer[0], 0);

  mDevice->SetRequestHandler([](const SimControlRequestPtr& r) { r->CompleteOut(); });
  EXPECT_EQ(mInterface.ClassOrVendorOutRequest(1, 0x00, 0, {}, nullptr, 200), QXSTATUS_SUCCESS);
}

TEST_F(QXWinusbControlRequestTest, SlowCancellationIsWaitedForInSteps) {
  mDevice->SetRequestHandler([](const SimControlRequestPtr&) {});
  mDevice->SetCancelDelay(std::chrono::milliseconds(1300));
  TestLogTarget log;
  const auto start = Clock::now();
  EXPECT_EQ(mInterface.ClassOrVendorOutRequest(1, 0x00, 0, {}, nullptr, 100), QXSTATUS_TIMEOUT);
  EXPECT_GE(MsSince(start), 1390);
  EXPECT_EQ(log.Count("TIMED OUT after CancelOverlapped. Trying again."), 1u);
  EXPECT_EQ(mDevice->PendingRequestCount(), 0u);
}

TEST_F(QXWinusbControlRequestTest, UnplugDuringARequestEndsIt) {
  mDevice->SetRequestHandler([](const SimControlRequestPtr&) {});
  const uint64_t id = mDevice->Id();
  Later(std::chrono::milliseconds(100), [id] { sim::VirtualUsbBus::Instance().Detach(id); });
  const auto start = Clock::now();
  EXPECT_EQ(mInterface.ClassOrVendorOutRequest(1, 0x00, 0, {}, nullptr, 5000), kQXErrorDeviceNotConnected);
  EXPECT_LT(MsSince(start), 4000);
  TestLogTarget log;
  EXPECT_EQ(mInterface.ClassOrVendorOutRequest(1, 0x00, 0, {}, nullptr, 5000), kQXErrorDeviceNotConnected);
  EXPECT_TRUE(log.Contains("WinUsbControlTransfer failed"));
}

TEST_F(QXWinusbControlRequestTest, DeviceAndInterfaceRequestsMayOverlap) {
  std::promise<SimControlRequestPtr> submitted;
  mDevice->SetRequestHandler([&](const SimControlRequestPtr& r) { submitted.set_value(r); });
  std::thread interfaceRequest([this] {
    EXPECT_EQ(mInterface.ClassOrVendorOutRequest(1, 0x00, 0, {}, nullptr, 5000), QXSTATUS_SUCCESS);
  });
  const SimControlRequestPtr held = submitted.get_future().get();
  // While the interface waits, the device object still reads its descriptor.
  uint8_t descriptor[18];
  EXPECT_EQ(mUsb.GetDeviceDescriptor({descriptor, 18}, nullptr), QXSTATUS_SUCCESS);
  held->CompleteOut();
  interfaceRequest.join();
}

}  // namespace
}  // namespace plendrik
