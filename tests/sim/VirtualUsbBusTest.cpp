// The virtual bus's device list, identities, broadcasts and the device file.
#include <gtest/gtest.h>

#include "sim/SimDeviceFile.h"
#include "sim/VirtualUsbBus.h"

namespace plendrik::sim {
namespace {

SimGuid Guid(const char* text) {
  SimGuid guid;
  EXPECT_TRUE(SimGuid::Parse(std::string_view(text), guid));
  return guid;
}

class VirtualUsbBusTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (uint64_t id : mIds) VirtualUsbBus::Instance().Detach(id);
  }
  SimDevicePtr Attach(const SimDeviceSpec& spec) {
    SimDevicePtr device = VirtualUsbBus::Instance().Attach(spec);
    mIds.push_back(device->Id());
    return device;
  }
  std::vector<uint64_t> mIds;
  const SimGuid mGuid = Guid("{d3e9a8b0-1c2d-4e5f-8a9b-0c1d2e3f4a5b}");
};

TEST_F(VirtualUsbBusTest, WholeDeviceIdentities) {
  SimDeviceSpec spec;
  spec.vendorId = 0x1209;
  spec.productId = 0x00af;
  spec.bcdDevice = 0x0102;
  spec.iSerialNumber = 3;
  spec.strings[3] = QXW("SN42");
  spec.identity.interfaceClassGuid = mGuid;
  spec.identity.containerId = Guid("11111111-2222-3333-4444-555555555555");
  const SimDevicePtr device = Attach(spec);
  const auto list = VirtualUsbBus::Instance().ListDevices(mGuid);
  ASSERT_EQ(list.size(), 1u);
  const SimDeviceListEntry& e = list.front();
  ASSERT_EQ(e.hardwareIds.size(), 2u);
  EXPECT_EQ(e.hardwareIds[0], QXW("USB\\VID_1209&PID_00AF&REV_0102"));
  EXPECT_EQ(e.hardwareIds[1], QXW("USB\\VID_1209&PID_00AF"));
  EXPECT_EQ(e.instanceId, QXW("USB\\VID_1209&PID_00AF\\SN42"));
  EXPECT_EQ(e.interfacePath, QXW("\\\\?\\usb#vid_1209&pid_00af#sn42#{d3e9a8b0-1c2d-4e5f-8a9b-0c1d2e3f4a5b}"));
  EXPECT_EQ(e.interfaceNumber, -1);
  ASSERT_TRUE(e.containerId.has_value());
  EXPECT_EQ(e.containerId->ToString(), "{11111111-2222-3333-4444-555555555555}");
  EXPECT_EQ(VirtualUsbBus::Instance().FindDeviceByInterfacePath(QXW("\\\\?\\USB#VID_1209&PID_00AF#SN42#{D3E9A8B0-1C2D-4E5F-8A9B-0C1D2E3F4A5B}")),
            device);
  EXPECT_TRUE(VirtualUsbBus::Instance().ListDevices(Guid("{00000000-0000-0000-0000-000000000001}")).empty());
}

TEST_F(VirtualUsbBusTest, CompositeFunctionsAndHardwareIdsWithoutRevision) {
  SimDeviceSpec spec;
  spec.identity.interfaceClassGuid = mGuid;
  spec.identity.composite = true;
  spec.identity.compositeInterfaces = {0, 2};
  spec.identity.revisionInHardwareId = false;
  Attach(spec);
  const auto list = VirtualUsbBus::Instance().ListDevices(mGuid);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[1].interfaceNumber, 2);
  ASSERT_EQ(list[1].hardwareIds.size(), 1u);
  EXPECT_EQ(list[1].hardwareIds[0], QXW("USB\\VID_1209&PID_0001&MI_02"));
  EXPECT_EQ(list[1].instanceId.rfind(QXW("USB\\VID_1209&PID_0001&MI_02\\6&"), 0), 0u);
  EXPECT_NE(list[0].interfacePath, list[1].interfacePath);
  EXPECT_FALSE(list[0].containerId.has_value());
}

TEST_F(VirtualUsbBusTest, ObserversHearArrivalAndRemovalInOrder) {
  std::vector<std::pair<SimBusEventKind, QXWString>> events;
  const uint64_t observer = VirtualUsbBus::Instance().AddObserver(
      [&](const SimBusEvent& e) { events.emplace_back(e.kind, e.entry.interfacePath); });
  SimDeviceSpec spec;
  spec.identity.interfaceClassGuid = mGuid;
  const SimDevicePtr device = Attach(spec);
  EXPECT_TRUE(VirtualUsbBus::Instance().Detach(device->Id()));
  EXPECT_FALSE(VirtualUsbBus::Instance().Detach(device->Id()));
  VirtualUsbBus::Instance().WaitIdle();
  VirtualUsbBus::Instance().RemoveObserver(observer);
  Attach(spec);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].first, SimBusEventKind::Arrival);
  EXPECT_EQ(events[1].first, SimBusEventKind::Removal);
  EXPECT_EQ(events[0].second, events[1].second);
  EXPECT_FALSE(device->IsAttached());
  // A device that has left fails new requests at once.
  EXPECT_EQ(device->Submit({0x80, 6, 0x0100, 0, 18}, {})->Status(), SimTransferStatus::DeviceGone);
}

TEST_F(VirtualUsbBusTest, StandardDescriptorRequestsAreAnsweredByTheModel) {
  SimDeviceSpec spec;
  spec.langIds = {0x0409};
  spec.strings[1] = QXW("Hi");
  const SimDevicePtr device = Attach(spec);
  auto string = device->Submit({0x80, 6, 0x0301, 0x0409, 255}, {});
  EXPECT_EQ(string->InData(), std::vector<uint8_t>({6, 3, 'H', 0, 'i', 0}));
  auto shortRead = device->Submit({0x80, 6, 0x0200, 0, 4}, {});
  EXPECT_EQ(shortRead->TransferredLength(), 4u);
  EXPECT_EQ(device->Submit({0x80, 6, 0x0305, 0x0409, 255}, {})->Status(), SimTransferStatus::Stall);
  EXPECT_EQ(device->Submit({0x21, 1, 0, 0, 0}, {})->Status(), SimTransferStatus::Stall);
}

TEST(SimDeviceFileTest, ParsesDevicesWithDefaultsAndOverrides) {
  const SimGuid guid = Guid("{d3e9a8b0-1c2d-4e5f-8a9b-0c1d2e3f4a5b}");
  const char* text =
      "; two devices\n"
      "[Device]\n"
      "VendorId = 0x1209\n"
      "ProductId = 0x0002\n"
      "BcdDevice = 0x0203\n"
      "Product = Test DFU\n"
      "SerialNumber = A1\n"
      "DfuTransferSize = 2048\n"
      "\n"
      "[Device 2]\n"
      "Composite = yes\n"
      "Interfaces = 0, 1\n"
      "ContainerId = none\n"
      "RevisionInHardwareId = no\n";
  const SimDeviceFileResult result = ParseSimDeviceFile(text, guid);
  ASSERT_TRUE(result.ok) << result.error;
  ASSERT_EQ(result.specs.size(), 2u);
  const SimDeviceSpec& a = result.specs[0];
  EXPECT_EQ(a.productId, 2);
  EXPECT_EQ(a.bcdDevice, 0x0203);
  EXPECT_EQ(a.identity.interfaceClassGuid, guid);
  EXPECT_TRUE(a.identity.containerId.has_value());
  const auto config = BuildSimConfigurationDescriptor(a.configurations.front());
  ASSERT_EQ(config.size(), 27u);
  EXPECT_EQ(config[18 + 1], 0x21);
  EXPECT_EQ(config[18 + 5] | (config[18 + 6] << 8), 2048);
  const auto entries = BuildSimDeviceListEntries(1, a);
  EXPECT_EQ(entries.front().instanceId, QXW("USB\\VID_1209&PID_0002\\A1"));
  const SimDeviceSpec& b = result.specs[1];
  EXPECT_TRUE(b.identity.composite);
  EXPECT_FALSE(b.identity.containerId.has_value());
  EXPECT_EQ(b.configurations.front().interfaces.size(), 2u);
}

TEST(SimDeviceFileTest, ErrorsNameTheLine) {
  const SimGuid guid;
  EXPECT_EQ(ParseSimDeviceFile("VendorId = 1\n", guid).error, "line 1: key outside a [Device] section");
  EXPECT_EQ(ParseSimDeviceFile("[Device]\nVendorId = 0x10000\n", guid).error,
            "line 2: invalid value '0x10000' for 'vendorid'");
  EXPECT_EQ(ParseSimDeviceFile("[Device]\n\nColour = red\n", guid).error, "line 3: unknown key 'colour'");
  EXPECT_EQ(ParseSimDeviceFile("[Hub]\n", guid).error, "line 1: unknown section '[Hub]'");
  EXPECT_EQ(ParseSimDeviceFile("[Device]\nContainerId = {zz}\n", guid).error,
            "line 2: invalid value '{zz}' for 'containerid'");
  EXPECT_TRUE(ParseSimDeviceFile("", guid).ok);
}

}  // namespace
}  // namespace plendrik::sim
