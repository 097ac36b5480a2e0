// Tearing a WinUSB object down while another thread is inside a control request, and a wait
// for a request's completion that fails. Threaded: these also run under ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <thread>

#include "support/TestLogTarget.h"
#include "usb/UsbSimFixture.h"

namespace plendrik {
namespace {

using sim::SimControlRequestPtr;
using sim::SimDevicePtr;

class QXWinusbTeardownThreads : public UsbSimFixture {
 protected:
  void SetUp() override {
    mDevice = Attach(DfuDeviceSpec());
    ASSERT_EQ(mUsb.OpenUsbDevice(PathOf(mDevice)), QXSTATUS_SUCCESS);
    ASSERT_EQ(mInterface.OpenUsbInterface(&mUsb, 0), QXSTATUS_SUCCESS);
    ASSERT_EQ(mInterface.ClaimUsbInterface(), QXSTATUS_SUCCESS);
  }
  void TearDown() override {
    mInterface.ReleaseUsbInterface();
    mUsb.CloseUsbDevice();
    UsbSimFixture::TearDown();
  }
  // A handler that keeps every request unanswered and hands the first one to the test.
  std::future<SimControlRequestPtr> HoldRequests(sim::SimHandlerScope scope = sim::SimHandlerScope::NonDescriptor) {
    auto held = std::make_shared<std::promise<SimControlRequestPtr>>();
    auto first = std::make_shared<std::atomic<bool>>(true);
    mDevice->SetRequestHandler(
        [held, first](const SimControlRequestPtr& r) {
          if (first->exchange(false)) held->set_value(r);
        },
        scope);
    return held->get_future();
  }

  SimDevicePtr mDevice;
  QXOsUsbDevice mUsb;
  QXOsUsbInterface mInterface;
};

TEST_F(QXWinusbTeardownThreads, ReleasingAnInterfaceEndsItsRequestUnsuccessfullyAndDropsTheLateAnswer) {
  auto held = HoldRequests();
  auto buffer = std::make_unique<uint8_t[]>(6);
  QXSTATUS st = QXSTATUS_SUCCESS;
  uint32_t transferred = 99;
  std::thread request([&] { st = mInterface.ClassOrVendorInRequest(1, 0x03, 0, {buffer.get(), 6}, &transferred, 400); });
  const SimControlRequestPtr pending = held.get();
  mInterface.ReleaseUsbInterface();
  EXPECT_FALSE(mInterface.IsClaimed());
  request.join();
  // The device never answered: no success, nothing transferred.
  EXPECT_EQ(st, kQXErrorOperationAborted);
  EXPECT_EQ(transferred, 0u);
  // The caller frees its buffer; the device's late answer must not reach it.
  buffer.reset();
  const uint8_t late[6] = {1, 2, 3, 4, 5, 6};
  EXPECT_FALSE(pending->Complete(late));
  EXPECT_EQ(pending->Status(), sim::SimTransferStatus::Cancelled);
  // The object can be claimed and used again.
  mDevice->SetRequestHandler([](const SimControlRequestPtr& r) { r->CompleteOut(); });
  ASSERT_EQ(mInterface.ClaimUsbInterface(), QXSTATUS_SUCCESS);
  EXPECT_EQ(mInterface.ClassOrVendorOutRequest(1, 0x00, 0, {}, nullptr, 1000), QXSTATUS_SUCCESS);
}

TEST_F(QXWinusbTeardownThreads, ReleaseEndsARequestThatWouldWaitWithoutLimit) {
  auto held = HoldRequests();
  std::promise<QXSTATUS> result;
  std::thread request([&] { result.set_value(mInterface.ClassOrVendorOutRequest(1, 0x00, 0, {}, nullptr, -1)); });
  const SimControlRequestPtr pending = held.get();
  const auto start = Clock::now();
  mInterface.ReleaseUsbInterface();
  auto done = result.get_future();
  const bool ended = done.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  if (!ended) pending->CompleteOut();  // lets the stuck request end so the test can report
  request.join();
  ASSERT_TRUE(ended) << "the request outlived the release";
  EXPECT_EQ(done.get(), kQXErrorOperationAborted);
  EXPECT_LT(MsSince(start), 1000);
}

TEST_F(QXWinusbTeardownThreads, ClosingTheDeviceDuringItsDescriptorReadEndsTheReadUnsuccessfully) {
  mInterface.ReleaseUsbInterface();
  auto held = HoldRequests(sim::SimHandlerScope::All);
  uint8_t descriptor[18] = {};
  uint32_t transferred = 99;
  QXSTATUS st = QXSTATUS_SUCCESS;
  std::thread request([&] { st = mUsb.GetDeviceDescriptor({descriptor, sizeof(descriptor)}, &transferred); });
  held.get();
  mUsb.CloseUsbDevice();
  request.join();
  EXPECT_NE(st, QXSTATUS_SUCCESS);
  EXPECT_EQ(transferred, 0u);
  EXPECT_FALSE(mUsb.IsOpen());
}

TEST_F(QXWinusbTeardownThreads, ManyRequestsRacingReleaseNeverReportUnansweredSuccess) {
  // The device answers late and only sometimes; releases race the requests.
  mDevice->SetRequestHandler([](const SimControlRequestPtr& r) {
    if (r->Setup().wValue % 2 == 0) r->CompleteOut();
  });
  for (uint16_t round = 0; round < 20; ++round) {
    ASSERT_EQ(mInterface.IsClaimed() ? QXSTATUS_SUCCESS : mInterface.ClaimUsbInterface(), QXSTATUS_SUCCESS);
    QXSTATUS st = QXSTATUS_SUCCESS;
    const uint16_t value = static_cast<uint16_t>(round | 1);  // odd: never answered
    std::thread request([&] { st = mInterface.ClassOrVendorOutRequest(1, 0x00, value, {}, nullptr, 200); });
    std::this_thread::sleep_for(std::chrono::milliseconds(round % 5));
    mInterface.ReleaseUsbInterface();
    request.join();
    EXPECT_NE(st, QXSTATUS_SUCCESS) << "round " << round;
  }
}

// Forwards to the virtual bus's seam, but the first waits for a completion event fail.
class FailingWaitApi final : public QXWinusbDrvApi {
 public:
  explicit FailingWaitApi(int failures) : mFailuresLeft(failures) {}
  std::atomic<int> mFailuresLeft;
  std::atomic<int> mWaits{0};

  uint32_t WaitForEvent(QXOsHandle event, int32_t timeoutMs) override {
    ++mWaits;
    if (mFailuresLeft.fetch_sub(1) > 0) return kQXErrorInvalidHandle;
    return mApi.WaitForEvent(event, timeoutMs);
  }
  uint32_t CreateDeviceFile(const QXWString& p, uint32_t a, uint32_t s, void* sa, QXOsHandle& f) override {
    return mApi.CreateDeviceFile(p, a, s, sa, f);
  }
  void CloseOsHandle(QXOsHandle h) override { mApi.CloseOsHandle(h); }
  uint32_t CreateNamedMutex(const QXWString& n, QXOsHandle& m, bool& e) override { return mApi.CreateNamedMutex(n, m, e); }
  uint32_t CreateManualResetEvent(QXOsHandle& e) override { return mApi.CreateManualResetEvent(e); }
  uint32_t WinUsbInitialize(QXOsHandle f, QXOsHandle& w) override { return mApi.WinUsbInitialize(f, w); }
  uint32_t WinUsbFree(QXOsHandle w) override { return mApi.WinUsbFree(w); }
  uint32_t WinUsbGetAssociatedInterface(QXOsHandle w, uint8_t i, QXOsHandle& h) override {
    return mApi.WinUsbGetAssociatedInterface(w, i, h);
  }
  uint32_t WinUsbSetPipePolicy(QXOsHandle w, uint8_t p, uint32_t t, uint32_t l, void* v) override {
    return mApi.WinUsbSetPipePolicy(w, p, t, l, v);
  }
  uint32_t WinUsbGetDescriptor(QXOsHandle w, uint8_t t, uint8_t i, uint16_t l, uint8_t* b, uint32_t n,
                               uint32_t& x) override {
    return mApi.WinUsbGetDescriptor(w, t, i, l, b, n, x);
  }
  uint32_t WinUsbQueryDeviceInformation(QXOsHandle w, uint32_t t, uint32_t& l, void* b) override {
    return mApi.WinUsbQueryDeviceInformation(w, t, l, b);
  }
  uint32_t WinUsbSetCurrentAlternateSetting(QXOsHandle w, uint8_t a) override {
    return mApi.WinUsbSetCurrentAlternateSetting(w, a);
  }
  uint32_t WinUsbControlTransfer(QXOsHandle w, const QXUsbSetupPacket& s, uint8_t* b, uint32_t l, uint32_t& x,
                                 QXWinOverlapped& o) override {
    return mApi.WinUsbControlTransfer(w, s, b, l, x, o);
  }
  uint32_t WinUsbGetOverlappedResult(QXOsHandle w, QXWinOverlapped& o, uint32_t& x) override {
    return mApi.WinUsbGetOverlappedResult(w, o, x);
  }
  uint32_t CancelOverlappedIo(QXOsHandle f, QXWinOverlapped& o) override { return mApi.CancelOverlappedIo(f, o); }

 private:
  QXWinusbDrvApi& mApi = sim::SimWinusbDrvApi::Instance();
};

class QXWinusbFailedWaitThreads : public QXWinusbTeardownThreads {
 protected:
  void Install(FailingWaitApi& api) {
    mPrevious = &QXGetWinusbDrvApi();
    QXSetWinusbDrvApi(&api);
  }
  void TearDown() override {
    if (mPrevious != nullptr) QXSetWinusbDrvApi(mPrevious);
    QXWinusbTeardownThreads::TearDown();
  }
  QXWinusbDrvApi* mPrevious = nullptr;
};

TEST_F(QXWinusbFailedWaitThreads, AFailedWaitEndsTheRequestWithItsErrorWithoutSpinning) {
  auto held = HoldRequests();
  FailingWaitApi api(50);
  Install(api);
  TestLogTarget log;
  uint8_t buffer[6] = {};
  uint32_t transferred = 99;
  const QXSTATUS st = mInterface.ClassOrVendorInRequest(1, 0x03, 0, {buffer, 6}, &transferred, 1000);
  EXPECT_EQ(st, kQXErrorInvalidHandle);
  EXPECT_EQ(transferred, 0u);
  EXPECT_EQ(log.Count("TIMED OUT after CancelOverlapped. Trying again."), 0u) << log.Dump();
  EXPECT_EQ(log.Count("WaitForCompletion failed", kQXLogLevelFatal), 1u);
  EXPECT_EQ(api.mWaits.load(), 1);
  // The transfer was ended before the call returned: a late answer goes nowhere.
  const SimControlRequestPtr pending = held.get();
  EXPECT_EQ(pending->Status(), sim::SimTransferStatus::Cancelled);
  EXPECT_EQ(mDevice->PendingRequestCount(), 0u);
}

TEST_F(QXWinusbFailedWaitThreads, AFailedWaitStillWaitsForASlowCancellation) {
  HoldRequests();
  mDevice->SetCancelDelay(std::chrono::milliseconds(300));
  FailingWaitApi api(1);
  Install(api);
  const auto start = Clock::now();
  EXPECT_EQ(mInterface.ClassOrVendorOutRequest(1, 0x00, 0, {}, nullptr, 1000), kQXErrorInvalidHandle);
  EXPECT_GE(MsSince(start), 290);
  EXPECT_EQ(mDevice->PendingRequestCount(), 0u);
}

}  // namespace
}  // namespace plendrik
