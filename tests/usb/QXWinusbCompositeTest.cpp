// A function of a composite device as WinUSB presents it (the handle of "...&MI_02" serves the
// function's first interface and its own copy of the configuration), and WinUSB's control pipe
// time-out, which is kept per handle.
#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "support/TestLogTarget.h"
#include "usb/QXUsbConfigDescriptor.h"
#include "usb/QXWinOverlapped.h"
#include "usb/UsbSimFixture.h"

namespace plendrik {
namespace {

using sim::SimControlRequestPtr;
using sim::SimDevicePtr;
using sim::SimDeviceSpec;

std::vector<uint8_t> InterfaceDescriptor(uint8_t number, uint8_t cls, uint8_t protocol) {
  return {9, 4, number, 0, 0, cls, 1, protocol, 0};
}

std::vector<uint8_t> Association(uint8_t first, uint8_t count, uint8_t cls) {
  return {8, 11, first, count, cls, 0, 0, 0};
}

// Audio (interfaces 0 and 1) and a DFU function (interface 2, DFU runtime, with a vendor
// interface 3 grouped with it): the function Windows lists as MI_02.
SimDeviceSpec AudioWithDfuFunctionSpec() {
  std::vector<uint8_t> body;
  for (const std::vector<uint8_t>& part :
       {Association(0, 2, 0x01), InterfaceDescriptor(0, 0x01, 0), InterfaceDescriptor(1, 0x01, 0),
        Association(2, 2, 0xFE), InterfaceDescriptor(2, 0xFE, 1),
        std::vector<uint8_t>{9, 0x21, 0x0B, 0xE8, 0x03, 0x00, 0x04, 0x10, 0x01}, InterfaceDescriptor(3, 0xFF, 0)}) {
    body.insert(body.end(), part.begin(), part.end());
  }
  const uint16_t total = static_cast<uint16_t>(9 + body.size());
  const uint8_t totalLow = static_cast<uint8_t>(total & 0xFF);
  const uint8_t totalHigh = static_cast<uint8_t>(total >> 8);
  std::vector<uint8_t> config = {9, 2, totalLow, totalHigh, 4, 1, 0, 0x80, 50};
  config.insert(config.end(), body.begin(), body.end());
  SimDeviceSpec spec = DfuDeviceSpec();
  spec.identity.composite = true;
  spec.identity.compositeInterfaces = {0, 2};
  spec.rawConfigurationDescriptors = {config};
  return spec;
}

QXWString FunctionPath(const SimDevicePtr& device, int interfaceNumber) {
  for (const sim::SimDeviceListEntry& e : sim::VirtualUsbBus::Instance().ListAllDevices()) {
    if (e.deviceId == device->Id() && e.interfaceNumber == interfaceNumber) return e.interfacePath;
  }
  return QXWString();
}

// Answers every class and vendor request after a delay, as a device that erases flash before
// it ends the status stage; the wIndex of each request is kept.
void AnswerLate(const SimDevicePtr& device, std::chrono::milliseconds delay, std::vector<uint16_t>* indexes) {
  device->SetRequestHandler([delay, indexes](const SimControlRequestPtr& r) {
    if (indexes != nullptr) indexes->push_back(r->Setup().wIndex);
    sim::VirtualUsbBus::Instance().Scheduler().ScheduleAfter(delay, [r] { r->CompleteOut(); });
  });
}

class QXWinusbCompositeTest : public UsbSimFixture {
 protected:
  void TearDown() override {
    sim::SimWinusbDrvApi::SetDefaultControlTimeout(std::chrono::milliseconds(0));
    UsbSimFixture::TearDown();
  }
};

TEST_F(QXWinusbCompositeTest, FunctionHandleServesTheFunctionsFirstInterfaceAndItsOwnConfiguration) {
  const SimDevicePtr device = Attach(AudioWithDfuFunctionSpec());
  const QXWString path = FunctionPath(device, 2);
  ASSERT_FALSE(path.empty());
  std::vector<uint16_t> indexes;
  AnswerLate(device, std::chrono::milliseconds(0), &indexes);

  QXOsUsbDevice usb;
  ASSERT_EQ(usb.OpenUsbDevice(path), QXSTATUS_SUCCESS);
  EXPECT_EQ(usb.GetFirstInterfaceNumber(), 2);
  // The cached configuration is the function's: interfaces 2 and 3 only, while the device
  // itself (what a raw GET_DESCRIPTOR would return) has all four.
  QXUsbConfigDescriptor view(usb.GetCachedConfigurationDescriptor());
  std::vector<int> numbers;
  for (auto* i = view.FindNextInterfaceDescriptor(nullptr); i != nullptr; i = view.FindNextInterfaceDescriptor(i)) {
    numbers.push_back(i->bInterfaceNumber);
  }
  EXPECT_EQ(numbers, (std::vector<int>{2, 3}));
  EXPECT_EQ(device->ConfigurationDescriptor(0)->at(4), 4);

  // Interface 2 is the device's own handle; interface 3 is WinUSB's associated interface 0.
  QXOsUsbInterface dfu;
  QXOsUsbInterface vendor;
  ASSERT_EQ(dfu.OpenUsbInterface(&usb, 2), QXSTATUS_SUCCESS);
  ASSERT_EQ(vendor.OpenUsbInterface(&usb, 3), QXSTATUS_SUCCESS);
  ASSERT_EQ(dfu.ClaimUsbInterface(), QXSTATUS_SUCCESS);
  ASSERT_EQ(vendor.ClaimUsbInterface(), QXSTATUS_SUCCESS);
  EXPECT_EQ(dfu.ClassOrVendorOutRequest(1, 0x00, 1000, {nullptr, 0}, nullptr, 1000), QXSTATUS_SUCCESS);
  EXPECT_EQ(vendor.ClassOrVendorOutRequest(2, 0x01, 0, {nullptr, 0}, nullptr, 1000), QXSTATUS_SUCCESS);
  EXPECT_EQ(indexes, (std::vector<uint16_t>{2, 3}));
}

TEST_F(QXWinusbCompositeTest, RequestsOnEveryHandleMayOutlastWinUsbsDefaultControlTimeOut) {
  // WinUSB's default (5 s) shortened: the device answers after twice that. A plain device with
  // two interfaces: interface 0 on the device's own handle, 1 on an associated one.
  sim::SimWinusbDrvApi::SetDefaultControlTimeout(std::chrono::milliseconds(150));
  SimDeviceSpec spec = DfuDeviceSpec();
  auto& interfaces = spec.configurations.front().interfaces;
  interfaces.push_back(interfaces.front());
  interfaces.back().interfaceNumber = 1;
  const SimDevicePtr device = Attach(spec);
  AnswerLate(device, std::chrono::milliseconds(300), nullptr);
  QXOsUsbDevice usb;
  ASSERT_EQ(usb.OpenUsbDevice(PathOf(device)), QXSTATUS_SUCCESS);
  for (uint32_t number : {0u, 1u}) {
    SCOPED_TRACE(number);
    QXOsUsbInterface usbInterface;
    ASSERT_EQ(usbInterface.OpenUsbInterface(&usb, number), QXSTATUS_SUCCESS);
    ASSERT_EQ(usbInterface.ClaimUsbInterface(), QXSTATUS_SUCCESS);
    TestLogTarget log;
    EXPECT_EQ(usbInterface.ClassOrVendorOutRequest(1, 0x01, 0, {nullptr, 0}, nullptr, 5000), QXSTATUS_SUCCESS)
        << log.Dump();
  }
}

// The simulated WinUSB itself: a handle that keeps the default ends a slow transfer with
// ERROR_SEM_TIMEOUT; one whose time-out is off leaves it to the caller.
TEST_F(QXWinusbCompositeTest, SimulatedWinUsbKeepsTheControlTimeOutPerHandle) {
  sim::SimWinusbDrvApi::SetDefaultControlTimeout(std::chrono::milliseconds(100));
  const SimDevicePtr device = Attach(AudioWithDfuFunctionSpec());
  AnswerLate(device, std::chrono::milliseconds(400), nullptr);
  sim::SimWinusbDrvApi& api = sim::SimWinusbDrvApi::Instance();
  QXOsHandle file = QXOsInvalidHandle();
  ASSERT_EQ(api.CreateDeviceFile(FunctionPath(device, 2), 0xC0000000, 3, nullptr, file), 0u);
  QXOsHandle own = QXOsInvalidHandle();
  ASSERT_EQ(api.WinUsbInitialize(file, own), 0u);
  QXOsHandle associated = QXOsInvalidHandle();
  ASSERT_EQ(api.WinUsbGetAssociatedInterface(own, 0, associated), 0u);
  uint32_t off = 0;
  ASSERT_EQ(api.WinUsbSetPipePolicy(own, 0, 3, sizeof(off), &off), 0u);

  struct Case {
    QXOsHandle handle;
    uint32_t expected;
  };
  for (const Case& c : {Case{associated, kQXErrorSemTimeout}, Case{own, 0u}}) {
    QXWinOverlapped overlapped;
    ASSERT_EQ(overlapped.InitOverlapped(), 0u);
    QXUsbSetupPacket setup;
    setup.bmRequestType = 0x21;
    setup.bRequest = 0x01;
    setup.wIndex = 2;
    uint32_t transferred = 0;
    ASSERT_EQ(api.WinUsbControlTransfer(c.handle, setup, nullptr, 0, transferred, overlapped), kQXErrorIoPending);
    ASSERT_EQ(api.WaitForEvent(overlapped.EventHandle(), 5000), 0u);
    EXPECT_EQ(api.WinUsbGetOverlappedResult(own, overlapped, transferred), c.expected);
    overlapped.CloseEvent();
  }
  api.WinUsbFree(associated);
  api.WinUsbFree(own);
  api.CloseOsHandle(file);
}

}  // namespace
}  // namespace plendrik
