// Opening devices, the configuration descriptor cache, interface claims and descriptor reads.
#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "support/TestLogTarget.h"
#include "usb/UsbSimFixture.h"

namespace plendrik {
namespace {

using sim::SimDevicePtr;
using sim::SimDeviceSpec;

class QXWinusbDeviceTest : public UsbSimFixture {
 protected:
  void SetUp() override { sim::SimWinusbDrvApi::Instance().ClearDescriptorCalls(); }
};

// Configuration descriptor reads through WinUsb_GetDescriptor with a buffer of that length.
size_t CountConfigReads(uint32_t length) {
  size_t n = 0;
  for (const sim::SimWinusbDrvApi::DescriptorCall& call : sim::SimWinusbDrvApi::Instance().DescriptorCalls()) {
    if (call.type == 2 && call.index == 0 && call.length == length) ++n;
  }
  return n;
}

// GET_DESCRIPTOR requests of the configuration that reached the device itself.
size_t CountConfigRequestsOnTheWire(const SimDevicePtr& device) {
  size_t n = 0;
  for (const sim::SimSetupPacket& s : device->RequestLog()) {
    if (s.bRequest == 0x06 && (s.wValue >> 8) == 2) ++n;
  }
  return n;
}

TEST_F(QXWinusbDeviceTest, LongConfigurationDescriptorIsReadTwiceAndCachedWhole) {
  SimDeviceSpec spec = DfuDeviceSpec();
  // 9 + 9 + 9 (functional) + 39 vendor descriptors of 7 bytes = 300 bytes.
  auto& alt = spec.configurations.front().interfaces.front().altSettings.front();
  for (int i = 0; i < 39; ++i) alt.functionalDescriptors.push_back({7, 0x41, 1, 2, 3, 4, static_cast<uint8_t>(i)});
  const SimDevicePtr device = Attach(spec);
  ASSERT_EQ(sim::BuildSimConfigurationDescriptor(spec.configurations.front()).size(), 300u);

  QXOsUsbDevice usb;
  ASSERT_EQ(usb.OpenUsbDevice(PathOf(device)), QXSTATUS_SUCCESS);
  EXPECT_EQ(CountConfigReads(255), 1u);
  EXPECT_EQ(CountConfigReads(300), 1u);
  EXPECT_EQ(usb.GetCachedConfigurationDescriptor(), *device->ConfigurationDescriptor(0));

  // A fresh read asks WinUSB again: header, then the whole descriptor.
  std::vector<uint8_t> fresh;
  ASSERT_EQ(usb.GetConfigurationDescriptor(fresh), QXSTATUS_SUCCESS);
  EXPECT_EQ(fresh, *device->ConfigurationDescriptor(0));
  EXPECT_EQ(CountConfigReads(9), 1u);
  EXPECT_EQ(CountConfigReads(300), 2u);
  // WinUSB answers them from its own copy: none reached the device.
  EXPECT_EQ(CountConfigRequestsOnTheWire(device), 0u);
}

TEST_F(QXWinusbDeviceTest, ShortConfigurationDescriptorIsReadOnce) {
  const SimDevicePtr device = Attach(DfuDeviceSpec());
  QXOsUsbDevice usb;
  ASSERT_EQ(usb.OpenUsbDevice(PathOf(device)), QXSTATUS_SUCCESS);
  EXPECT_EQ(CountConfigReads(255), 1u);
  EXPECT_EQ(usb.GetCachedConfigurationDescriptor().size(), 27u);
  EXPECT_EQ(usb.GetFirstInterfaceNumber(), 0);
}

TEST_F(QXWinusbDeviceTest, FailedOpensLeaveTheDeviceClosedAndNothingOpen) {
  const size_t handlesBefore = sim::SimWinusbDrvApi::Instance().OpenHandleCount();
  TestLogTarget log;
  {
    SimDeviceSpec spec = DfuDeviceSpec();
    spec.rawConfigurationDescriptors = {{9, 2, 9, 0, 0, 1, 0, 0x80, 50}};
    QXOsUsbDevice usb;
    EXPECT_EQ(usb.OpenUsbDevice(PathOf(Attach(spec))), QXSTATUS_INVALID_DESCRIPTOR);
    EXPECT_FALSE(usb.IsOpen());
    EXPECT_TRUE(log.Contains("no interface descriptor available"));
  }
  {
    SimDeviceSpec spec = DfuDeviceSpec();
    spec.rawConfigurationDescriptors = {{9, 4, 9, 0, 0, 1, 0, 0x80, 50}};
    QXOsUsbDevice usb;
    EXPECT_EQ(usb.OpenUsbDevice(PathOf(Attach(spec))), QXSTATUS_INVALID_DESCRIPTOR);
    EXPECT_TRUE(log.Contains("invalid type for config. desc."));
  }
  {
    SimDeviceSpec spec = DfuDeviceSpec();
    spec.rawConfigurationDescriptors = {{9, 2, 9, 0, 0, 1, 0, 0x80}};
    QXOsUsbDevice usb;
    EXPECT_EQ(usb.OpenUsbDevice(PathOf(Attach(spec))), QXSTATUS_INVALID_DESCRIPTOR);
    EXPECT_TRUE(log.Contains("too few data for config. desc., got 8, min. 9"));
  }
  {
    QXOsUsbDevice usb;
    EXPECT_EQ(usb.OpenUsbDevice(QXW("\\\\?\\usb#vid_dead&pid_beef#none#{00000000-0000-0000-0000-000000000000}")),
              kQXErrorFileNotFound);
    EXPECT_TRUE(log.Contains("OpenDevice failed"));
  }
  EXPECT_EQ(sim::SimWinusbDrvApi::Instance().OpenHandleCount(), handlesBefore);
}

TEST_F(QXWinusbDeviceTest, DeviceHeldElsewhereIsInUseAndOpenTwiceIsRefused) {
  const SimDevicePtr device = Attach(DfuDeviceSpec());
  QXOsUsbDevice first;
  ASSERT_EQ(first.OpenUsbDevice(PathOf(device)), QXSTATUS_SUCCESS);
  TestLogTarget log;
  EXPECT_EQ(first.OpenUsbDevice(PathOf(device)), QXSTATUS_ALREADY_OPEN);
  EXPECT_TRUE(log.Contains("Device already open"));
  QXOsUsbDevice second;
  EXPECT_EQ(second.OpenUsbDevice(PathOf(device)), QXSTATUS_IN_USE);
  first.CloseUsbDevice();
  EXPECT_EQ(second.OpenUsbDevice(PathOf(device)), QXSTATUS_SUCCESS);
}

TEST_F(QXWinusbDeviceTest, FirstInterfaceIsHandedOutOnce) {
  const SimDevicePtr device = Attach(DfuDeviceSpec());
  QXOsUsbDevice usb;
  ASSERT_EQ(usb.OpenUsbDevice(PathOf(device)), QXSTATUS_SUCCESS);
  QXOsUsbInterface a;
  QXOsUsbInterface b;
  ASSERT_EQ(a.OpenUsbInterface(&usb, 0), QXSTATUS_SUCCESS);
  ASSERT_EQ(b.OpenUsbInterface(&usb, 0), QXSTATUS_SUCCESS);
  EXPECT_EQ(a.ClaimUsbInterface(), QXSTATUS_SUCCESS);
  EXPECT_EQ(a.ClaimUsbInterface(), QXSTATUS_ALREADY_DONE);
  TestLogTarget log;
  EXPECT_EQ(b.ClaimUsbInterface(), QXSTATUS_IN_USE);
  EXPECT_TRUE(log.Contains("IF 0 is already claimed"));
  // Releasing the object that holds no claim must not free the other's claim.
  b.ReleaseUsbInterface();
  EXPECT_EQ(b.ClaimUsbInterface(), QXSTATUS_IN_USE);
  a.ReleaseUsbInterface();
  EXPECT_EQ(b.ClaimUsbInterface(), QXSTATUS_SUCCESS);
  b.ReleaseUsbInterface();
}

TEST_F(QXWinusbDeviceTest, InterfaceStateChecks) {
  QXOsUsbInterface unbound;
  TestLogTarget log;
  EXPECT_EQ(unbound.ClaimUsbInterface(), QXSTATUS_NOT_OPENED);
  EXPECT_TRUE(log.Contains("Interface not opened"));
  QXOsUsbDevice usb;
  EXPECT_EQ(unbound.OpenUsbInterface(&usb, 256), QXSTATUS_INVALID_PARAMETER);
  EXPECT_TRUE(log.Contains("interfaceNumber=256 is invalid"));
  EXPECT_EQ(unbound.OpenUsbInterface(&usb, 1), QXSTATUS_SUCCESS);
  EXPECT_EQ(unbound.OpenUsbInterface(&usb, 1), QXSTATUS_ALREADY_OPEN);
}

TEST_F(QXWinusbDeviceTest, ClaimOnADeviceThatIsNotOpenIsRefusedAndChangesNothing) {
  const SimDevicePtr device = Attach(DfuDeviceSpec());
  QXOsUsbDevice usb;
  QXOsUsbInterface interface;
  ASSERT_EQ(interface.OpenUsbInterface(&usb, 0), QXSTATUS_SUCCESS);
  TestLogTarget log;
  EXPECT_EQ(interface.ClaimUsbInterface(), QXSTATUS_NOT_OPENED);
  EXPECT_TRUE(log.Contains("Interface not opened"));
  EXPECT_FALSE(interface.IsClaimed());
  QXOsHandle handle = nullptr;
  EXPECT_EQ(usb.GetInterfaceHandleForInterface(0, handle), QXSTATUS_NOT_OPENED);
  EXPECT_FALSE(QXOsIsValidHandle(handle));
  // Once the device is open the same interface is claimed normally.
  ASSERT_EQ(usb.OpenUsbDevice(PathOf(device)), QXSTATUS_SUCCESS);
  EXPECT_EQ(interface.ClaimUsbInterface(), QXSTATUS_SUCCESS);
  EXPECT_TRUE(interface.IsClaimed());
  interface.ReleaseUsbInterface();
}

TEST_F(QXWinusbDeviceTest, DeviceKeepsTheIdentityItWasOpenedFromUntilClosed) {
  const SimDevicePtr device = Attach(DfuDeviceSpec());
  QXOsUsbDevice usb;
  EXPECT_TRUE(usb.GetDeviceIdentity().IsEmpty());
  ASSERT_EQ(usb.OpenUsbDevice(PathOf(device)), QXSTATUS_SUCCESS);
  QXUsbDeviceIdentity identity;
  identity.devicePath = PathOf(device);
  identity.instanceId = QXW("USB\\VID_1209&PID_0001\\SN1");
  identity.containerId = QXW("{11111111-2222-3333-4444-555555555555}");
  identity.vendorId = 0x1209;
  identity.productId = 1;
  identity.bcdDevice = 0x0100;
  usb.SetDeviceIdentity(identity);
  EXPECT_EQ(usb.GetDeviceIdentity().instanceId, identity.instanceId);
  EXPECT_EQ(usb.GetDeviceIdentity().productId, 1);
  EXPECT_EQ(usb.GetDeviceIdentity().interfaceNumber, -1);
  usb.CloseUsbDevice();
  EXPECT_TRUE(usb.GetDeviceIdentity().IsEmpty());
  EXPECT_EQ(usb.GetDeviceIdentity().vendorId, -1);
}

TEST_F(QXWinusbDeviceTest, DescriptorReadsOfADeviceThatStopsAnsweringTimeOut) {
  const SimDevicePtr device = Attach(DfuDeviceSpec());
  QXOsUsbDevice usb;
  ASSERT_EQ(usb.OpenUsbDevice(PathOf(device)), QXSTATUS_SUCCESS);
  // From now on the device takes every request, descriptor reads included, and never answers.
  device->SetRequestHandler([](const sim::SimControlRequestPtr&) {}, sim::SimHandlerScope::All);
  TestLogTarget log;
  const auto start = std::chrono::steady_clock::now();
  auto read = std::async(std::launch::async, [&usb] {
    QXWString text;
    return usb.GetStringDescriptorString(text, 1, 0x0409);
  });
  const bool ended = read.wait_for(std::chrono::seconds(6)) == std::future_status::ready;
  if (!ended) {
    sim::VirtualUsbBus::Instance().Detach(device->Id());  // unblocks the hanging read
  }
  ASSERT_TRUE(ended) << "a descriptor read hung on a device that does not answer";
  EXPECT_EQ(read.get(), QXSTATUS_TIMEOUT);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(990));
  EXPECT_TRUE(log.Contains("WinUsb_GetDescriptor failed"));
  // The configuration descriptor comes from WinUSB's copy and does not wait for the device.
  std::vector<uint8_t> config;
  auto configRead = std::async(std::launch::async, [&] { return usb.GetConfigurationDescriptor(config); });
  ASSERT_EQ(configRead.wait_for(std::chrono::seconds(6)), std::future_status::ready);
  EXPECT_EQ(configRead.get(), QXSTATUS_SUCCESS);
  EXPECT_EQ(config, *device->ConfigurationDescriptor(0));
  EXPECT_EQ(device->PendingRequestCount(), 0u);
}

TEST_F(QXWinusbDeviceTest, OtherInterfacesComeFromWinUsbAssociatedInterfaces) {
  SimDeviceSpec spec = DfuDeviceSpec();
  auto& interfaces = spec.configurations.front().interfaces;
  interfaces.push_back(interfaces.front());
  interfaces.back().interfaceNumber = 1;
  interfaces.push_back(interfaces.front());
  interfaces.back().interfaceNumber = 2;
  const SimDevicePtr device = Attach(spec);
  QXOsUsbDevice usb;
  ASSERT_EQ(usb.OpenUsbDevice(PathOf(device)), QXSTATUS_SUCCESS);

  QXOsUsbInterface third;
  ASSERT_EQ(third.OpenUsbInterface(&usb, 2), QXSTATUS_SUCCESS);
  ASSERT_EQ(third.ClaimUsbInterface(), QXSTATUS_SUCCESS);
  // WinUSB hands out an associated interface once.
  QXOsHandle again = QXOsInvalidHandle();
  EXPECT_EQ(usb.GetInterfaceHandleForInterface(2, again), kQXErrorAlreadyExists);
  QXOsHandle none = QXOsInvalidHandle();
  TestLogTarget log;
  EXPECT_EQ(usb.GetInterfaceHandleForInterface(3, none), kQXErrorNoMoreItems);
  EXPECT_TRUE(log.Contains("WinUsb_GetAssociatedInterface failed"));
  EXPECT_FALSE(QXOsIsValidHandle(none));

  // The handed-out handle reaches interface 2: SET_INTERFACE names it.
  EXPECT_EQ(third.SetAlternateSetting(0), 0u);
  EXPECT_EQ(third.SetAlternateSetting(5), kQXErrorGenFailure);
  const sim::SimSetupPacket last = device->RequestLog().back();
  EXPECT_EQ(last.bRequest, 0x0B);
  EXPECT_EQ(last.wIndex, 2);
  third.ReleaseUsbInterface();
  EXPECT_EQ(third.ClaimUsbInterface(), QXSTATUS_SUCCESS);
}

TEST_F(QXWinusbDeviceTest, DeviceDescriptorGoesThroughAControlRequest) {
  const SimDevicePtr device = Attach(DfuDeviceSpec());
  QXOsUsbDevice usb;
  ASSERT_EQ(usb.OpenUsbDevice(PathOf(device)), QXSTATUS_SUCCESS);
  uint8_t descriptor[18] = {};
  uint32_t transferred = 0;
  ASSERT_EQ(usb.GetDeviceDescriptor({descriptor, sizeof(descriptor)}, &transferred), QXSTATUS_SUCCESS);
  EXPECT_EQ(transferred, 18u);
  EXPECT_EQ(std::vector<uint8_t>(descriptor, descriptor + 18), device->DeviceDescriptor());
  const sim::SimSetupPacket last = device->RequestLog().back();
  EXPECT_EQ(last.bmRequestType, 0x80);
  EXPECT_EQ(last.wValue, 0x0100);
  EXPECT_EQ(last.wLength, 18);
}

TEST_F(QXWinusbDeviceTest, StringsAndLanguageIds) {
  SimDeviceSpec spec = DfuDeviceSpec();
  spec.langIds = {0x0407, 0x0409};
  spec.iProduct = 2;
  spec.strings[2] = QXW("Widget \u00e4");
  const SimDevicePtr device = Attach(spec);
  QXOsUsbDevice usb;
  ASSERT_EQ(usb.OpenUsbDevice(PathOf(device)), QXSTATUS_SUCCESS);
  EXPECT_EQ(usb.FirstSupportedLanguageId(), 0x0407);
  QXWString text;
  ASSERT_EQ(usb.GetStringDescriptorString(text, 2, 0x0407), QXSTATUS_SUCCESS);
  EXPECT_EQ(text, QXW("Widget \u00e4"));
  TestLogTarget log;
  EXPECT_NE(usb.GetStringDescriptorString(text, 7, 0x0407), QXSTATUS_SUCCESS);
  EXPECT_TRUE(log.Contains("GetRawStringDescriptorImpl(7, 0x0407) failed"));
}

TEST_F(QXWinusbDeviceTest, DeviceWithoutStringsHasLanguageZeroAndIsAskedOnce) {
  SimDeviceSpec spec = DfuDeviceSpec();
  spec.langIds.clear();
  const SimDevicePtr device = Attach(spec);
  QXOsUsbDevice usb;
  ASSERT_EQ(usb.OpenUsbDevice(PathOf(device)), QXSTATUS_SUCCESS);
  TestLogTarget log;
  EXPECT_EQ(usb.FirstSupportedLanguageId(), 0);
  const size_t requests = device->RequestCount();
  EXPECT_EQ(usb.FirstSupportedLanguageId(), 0);
  EXPECT_EQ(device->RequestCount(), requests);
  EXPECT_EQ(log.Count("GetLanguageIdListImpl() failed"), 1u);
}

TEST_F(QXWinusbDeviceTest, DeviceSpeedAnswersWhileConnected) {
  const SimDevicePtr device = Attach(DfuDeviceSpec());
  QXOsUsbDevice usb;
  ASSERT_EQ(usb.OpenUsbDevice(PathOf(device)), QXSTATUS_SUCCESS);
  uint8_t speed = 0;
  EXPECT_EQ(usb.QueryDeviceSpeed(speed), QXSTATUS_SUCCESS);
  EXPECT_EQ(speed, 3);
  sim::VirtualUsbBus::Instance().Detach(device->Id());
  EXPECT_EQ(usb.QueryDeviceSpeed(speed), kQXErrorDeviceNotConnected);
}

TEST(QXWinusbStatusTest, TimeOutErrorsMapToTimeoutOthersStay) {
  TestLogTarget log;
  EXPECT_EQ(QXWinusbDrvBase::MapUsbStatusToQXSTATUS(0), QXSTATUS_SUCCESS);
  EXPECT_EQ(QXWinusbDrvBase::MapUsbStatusToQXSTATUS(121), QXSTATUS_TIMEOUT);
  EXPECT_EQ(QXWinusbDrvBase::MapUsbStatusToQXSTATUS(1460), QXSTATUS_TIMEOUT);
  EXPECT_EQ(QXWinusbDrvBase::MapUsbStatusToQXSTATUS(31), 31u);
  EXPECT_EQ(log.Count("winUsbStatus="), 2u);
}

}  // namespace
}  // namespace plendrik
