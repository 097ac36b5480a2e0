// The transport over the virtual bus in the situations a DFU engine meets: the DFU function
// of a composite application-mode device, and a device that leaves the bus and joins again
// (another run mode, or a reset) with its state kept.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>

#include "discovery/DfuEnumerator.h"
#include "discovery/EnumerationTestBus.h"
#include "usb/UsbSimFixture.h"
#include "usb/QXUsbConfigDescriptor.h"

namespace plendrik {
namespace {

using sim::SimControlRequestPtr;
using sim::SimDevicePtr;
using sim::SimDeviceSpec;

const std::vector<uint8_t> kDfuFunctional = {9, 0x21, 0x0B, 0xE8, 0x03, 0x00, 0x04, 0x10, 0x01};

SimDeviceSpec CompositeAudioDfuSpec() {
  SimDeviceSpec spec;
  spec.identity.interfaceClassGuid = TestInterfaceGuid();
  spec.identity.composite = true;
  spec.identity.compositeInterfaces = {0, 1};
  auto& interfaces = spec.configurations.front().interfaces;
  interfaces.clear();
  sim::SimInterfaceSpec audio;
  audio.interfaceNumber = 0;
  audio.altSettings.front().interfaceClass = 0x01;
  audio.altSettings.front().interfaceSubClass = 0x01;
  audio.altSettings.front().interfaceProtocol = 0x00;
  interfaces.push_back(audio);
  sim::SimInterfaceSpec dfu;
  dfu.interfaceNumber = 1;
  dfu.altSettings.front().interfaceProtocol = 0x01;  // DFU runtime
  dfu.altSettings.front().functionalDescriptors.push_back(kDfuFunctional);
  interfaces.push_back(dfu);
  return spec;
}

class UsbBusScenarioTest : public UsbSimFixture {};

TEST_F(UsbBusScenarioTest, DfuFunctionOfACompositeDeviceIsClaimedAndAnswersAClassRequest) {
  const SimDevicePtr device = Attach(CompositeAudioDfuSpec());
  std::vector<uint16_t> indexes;
  device->SetRequestHandler([&](const SimControlRequestPtr& r) {
    indexes.push_back(r->Setup().wIndex);
    const uint8_t status[6] = {0, 0x10, 0, 0, 0, 0};  // OK, 16 ms, appIDLE
    r->Complete(status);
  });
  QXWString functionPath;
  for (const sim::SimDeviceListEntry& e : sim::VirtualUsbBus::Instance().ListAllDevices()) {
    if (e.deviceId == device->Id() && e.interfaceNumber == 1) functionPath = e.interfacePath;
  }
  ASSERT_FALSE(functionPath.empty());

  QXOsUsbDevice usb;
  ASSERT_EQ(usb.OpenUsbDevice(functionPath), QXSTATUS_SUCCESS);
  // The function's handle sees only its own interface, as Windows presents a function.
  EXPECT_EQ(usb.GetFirstInterfaceNumber(), 1);
  const std::vector<uint8_t>& config = usb.GetCachedConfigurationDescriptor();
  ASSERT_GE(config.size(), 9u);
  EXPECT_EQ(config[4], 1);  // bNumInterfaces
  EXPECT_EQ(static_cast<size_t>(config[2] | (config[3] << 8)), config.size());
  QXUsbConfigDescriptor view(config);
  const QXUsbInterfaceDescriptor* first = view.FindNextInterfaceDescriptor(nullptr);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->bInterfaceProtocol, 1);
  EXPECT_EQ(view.FindNextInterfaceDescriptor(first), nullptr);
  EXPECT_EQ(device->ConfigurationDescriptor(0)->at(4), 2);  // the device itself has both

  QXOsUsbInterface dfu;
  ASSERT_EQ(dfu.OpenUsbInterface(&usb, usb.GetFirstInterfaceNumber()), QXSTATUS_SUCCESS);
  ASSERT_EQ(dfu.ClaimUsbInterface(), QXSTATUS_SUCCESS);
  uint8_t status[6] = {};
  uint32_t transferred = 0;
  ASSERT_EQ(dfu.ClassOrVendorInRequest(1, 0x03, 0, {status, 6}, &transferred, 1000), QXSTATUS_SUCCESS);
  EXPECT_EQ(transferred, 6u);
  EXPECT_EQ(status[1], 0x10);
  // The request reached the physical device with the real interface number.
  ASSERT_EQ(indexes.size(), 1u);
  EXPECT_EQ(indexes[0], 1);
  dfu.ReleaseUsbInterface();
}

// A device whose run mode changes: vendor OUT 0x01 stores bytes, vendor IN 0x02 reads them
// back, class request 0x00 (a detach) makes it leave the bus and join 50 ms later with the
// other product identifier; vendor 0x03 is a reset: it leaves and joins with the same one.
class RunModeModel : public sim::SimDeviceModel, public std::enable_shared_from_this<RunModeModel> {
 public:
  RunModeModel(sim::SimBusAccess& bus, SimDeviceSpec app, SimDeviceSpec boot)
      : mBus(bus), mApp(std::move(app)), mBoot(std::move(boot)) {}

  void HandleRequest(sim::SimDevice& device, const SimControlRequestPtr& request) override {
    const sim::SimSetupPacket& setup = request->Setup();
    if (setup.bmRequestType == 0x41 && setup.bRequest == 0x01) {
      std::lock_guard<std::mutex> lock(mMutex);
      mStored = request->OutData();
      request->CompleteOut();
    } else if (setup.bmRequestType == 0xC1 && setup.bRequest == 0x02) {
      std::lock_guard<std::mutex> lock(mMutex);
      const std::vector<uint8_t> stored = mStored;
      request->Complete(stored);
    } else if ((setup.bmRequestType == 0x21 && setup.bRequest == 0x00) ||
               (setup.bmRequestType == 0x41 && setup.bRequest == 0x03)) {
      request->CompleteOut();
      const bool detach = setup.bRequest == 0x00;
      bool boot = false;
      {
        std::lock_guard<std::mutex> lock(mMutex);
        if (detach) mInBoot = !mInBoot;
        boot = mInBoot;
      }
      const SimDeviceSpec next = boot ? mBoot : mApp;
      const uint64_t id = device.Id();
      auto self = shared_from_this();
      mBus.Scheduler().ScheduleAfter(std::chrono::microseconds(0), [self, id] { self->mBus.Detach(id); });
      mBus.Scheduler().ScheduleAfter(std::chrono::milliseconds(50), [self, next] { self->mBus.Attach(next, self); });
    } else {
      request->Stall();
    }
  }
  void OnAttached(sim::SimDevice&) override { ++attachments; }

  sim::SimBusAccess& mBus;
  const SimDeviceSpec mApp;
  const SimDeviceSpec mBoot;
  std::mutex mMutex;
  std::vector<uint8_t> mStored;
  bool mInBoot = false;
  std::atomic<int> attachments{0};
};

class UsbReenumerationTest : public EnumerationBusTest {
 protected:
  void TearDown() override {
    mInterface.ReleaseUsbInterface();
    mUsb.CloseUsbDevice();
    EnumerationBusTest::TearDown();
  }
  // Opens the single node of the test interface class and claims its first interface.
  QXSTATUS OpenFirst(QXOsUsbDevice& usb, QXOsUsbInterface& interface) {
    const auto nodes = sim::VirtualUsbBus::Instance().ListDevices(TestGuid());
    if (nodes.size() != 1) return QXSTATUS_NOT_OPENED;
    QXSTATUS st = usb.OpenUsbDevice(nodes.front().interfacePath);
    if (st == QXSTATUS_SUCCESS) st = interface.OpenUsbInterface(&usb, usb.GetFirstInterfaceNumber());
    if (st == QXSTATUS_SUCCESS) st = interface.ClaimUsbInterface();
    return st;
  }
  std::shared_ptr<RunModeModel> MakeModel() {
    SimDeviceSpec app = DfuDeviceSpec(0x1209, 0x0001, 0x0100, "RM1");
    app.configurations.front().interfaces.front().altSettings.front().interfaceProtocol = 1;
    SimDeviceSpec boot = DfuDeviceSpec(0x1209, 0x0002, 0x0100, "RM1");
    return std::make_shared<RunModeModel>(sim::VirtualUsbBus::Instance(), app, boot);
  }

  QXOsUsbDevice mUsb;
  QXOsUsbInterface mInterface;
};

TEST_F(UsbReenumerationTest, DeviceLeavesAfterADetachAndIsFoundAgainWithAnotherProductAndItsState) {
  auto model = MakeModel();
  sim::VirtualUsbBus::Instance().Attach(model->mApp, model);
  ASSERT_EQ(OpenFirst(mUsb, mInterface), QXSTATUS_SUCCESS);
  uint8_t firmware[3] = {0xF1, 0xF2, 0xF3};
  ASSERT_EQ(mInterface.ClassOrVendorOutRequest(2, 0x01, 0, {firmware, 3}, nullptr, 1000), QXSTATUS_SUCCESS);
  ASSERT_EQ(mInterface.ClassOrVendorOutRequest(1, 0x00, 1000, {}, nullptr, 1000), QXSTATUS_SUCCESS);

  auto enumerator = QXMakeShared<DfuEnumerator>(kTestGuidText);
  ASSERT_EQ(enumerator->EnumerateDevices("VID=0x1209, PID=0x0002", 100, 10, 0), QXSTATUS_SUCCESS);
  EXPECT_EQ(enumerator->GetDeviceCount(), 1u);
  EXPECT_EQ(model->attachments.load(), 2);

  // The old handle is stale; the device in its new run mode answers with the kept state.
  uint8_t probe[3] = {};
  EXPECT_EQ(mInterface.ClassOrVendorInRequest(2, 0x02, 0, {probe, 3}, nullptr, 1000), kQXErrorDeviceNotConnected);
  mInterface.ReleaseUsbInterface();
  mInterface.CloseUsbInterface();
  mUsb.CloseUsbDevice();
  ASSERT_EQ(OpenFirst(mUsb, mInterface), QXSTATUS_SUCCESS);
  uint32_t transferred = 0;
  ASSERT_EQ(mInterface.ClassOrVendorInRequest(2, 0x02, 0, {probe, 3}, &transferred, 1000), QXSTATUS_SUCCESS);
  EXPECT_EQ(transferred, 3u);
  EXPECT_EQ(probe[2], 0xF3);
}

TEST_F(UsbReenumerationTest, AResetDeviceUnderTheSamePathFailsTheOldHandleAndOpensAnew) {
  auto model = MakeModel();
  const uint64_t before = sim::VirtualUsbBus::Instance().Attach(model->mApp, model)->Id();
  ASSERT_EQ(OpenFirst(mUsb, mInterface), QXSTATUS_SUCCESS);
  const QXWString path = sim::VirtualUsbBus::Instance().ListDevices(TestGuid()).front().interfacePath;
  uint8_t state[1] = {0x5A};
  ASSERT_EQ(mInterface.ClassOrVendorOutRequest(2, 0x01, 0, {state, 1}, nullptr, 1000), QXSTATUS_SUCCESS);
  ASSERT_EQ(mInterface.ClassOrVendorOutRequest(2, 0x03, 0, {}, nullptr, 1000), QXSTATUS_SUCCESS);
  // As the engine does after a reset: wait until the device has left, then look for it.
  for (int i = 0; i < 500 && sim::VirtualUsbBus::Instance().FindDevice(before); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ASSERT_FALSE(sim::VirtualUsbBus::Instance().FindDevice(before));

  auto enumerator = QXMakeShared<DfuEnumerator>(kTestGuidText);
  ASSERT_EQ(enumerator->EnumerateDevices("VID=0x1209, PID=0x0001", 100, 10, 0), QXSTATUS_SUCCESS);
  ASSERT_EQ(enumerator->GetDeviceCount(), 1u);
  ASSERT_EQ(sim::VirtualUsbBus::Instance().ListDevices(TestGuid()).front().interfacePath, path);

  // The old handle is still open and fails with the device-gone error.
  uint8_t speed = 0;
  EXPECT_EQ(mUsb.QueryDeviceSpeed(speed), kQXErrorDeviceNotConnected);
  EXPECT_EQ(mInterface.ClassOrVendorOutRequest(2, 0x01, 0, {state, 1}, nullptr, 1000), kQXErrorDeviceNotConnected);
  // A new open of the same path succeeds meanwhile and reaches the kept state.
  QXOsUsbDevice fresh;
  QXOsUsbInterface freshInterface;
  ASSERT_EQ(OpenFirst(fresh, freshInterface), QXSTATUS_SUCCESS);
  uint8_t read[1] = {};
  ASSERT_EQ(freshInterface.ClassOrVendorInRequest(2, 0x02, 0, {read, 1}, nullptr, 1000), QXSTATUS_SUCCESS);
  EXPECT_EQ(read[0], 0x5A);
  // A second opener of the live device is still refused, and closing the stale handle does
  // not free the path that the new one holds.
  QXOsUsbDevice third;
  EXPECT_EQ(third.OpenUsbDevice(path), QXSTATUS_IN_USE);
  mInterface.ReleaseUsbInterface();
  mUsb.CloseUsbDevice();
  EXPECT_EQ(third.OpenUsbDevice(path), QXSTATUS_IN_USE);
  freshInterface.ReleaseUsbInterface();
}

}  // namespace
}  // namespace plendrik
