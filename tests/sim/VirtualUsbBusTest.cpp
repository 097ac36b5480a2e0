// The virtual bus's device list, identities, broadcasts and the device file.
#include <gtest/gtest.h>

#include "sim/SimDeviceFile.h"
#include "sim/VirtualUsbBus.h"
#include "support/TempDir.h"

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

TEST(SimDeviceFileTest, RefusesRepeatsAndMalformedValuesWithTheLine) {
  const SimGuid guid;
  EXPECT_EQ(ParseSimDeviceFile("[Device]\nVendorId = 1\nvendorid = 2\n", guid).error,
            "line 3: key 'vendorid' given twice in one device (first on line 2)");
  // The same key in two devices is fine; the same serial number is not, in any letter case.
  EXPECT_TRUE(ParseSimDeviceFile("[Device]\nSerialNumber = A1\n[Device]\nSerialNumber = B1\n", guid).ok);
  EXPECT_EQ(ParseSimDeviceFile("[Device]\nSerialNumber = ab1\n[Device 2]\n\nSerialNumber = AB1\n", guid).error,
            "line 5: serial number already used by the device on line 2");
  for (const char* number : {"+4617", "-1", "0x 1", "0x", "1 2", "12ab", "0x1g", "99999999999999999999"}) {
    EXPECT_EQ(ParseSimDeviceFile(std::string("[Device]\nProductId = ") + number + "\n", guid).error,
              std::string("line 2: invalid value '") + number + "' for 'productid'");
  }
  EXPECT_EQ(ParseSimDeviceFile("[Device]\nInterfaces = 0, 1, 0\n", guid).error,
            "line 2: invalid value '0, 1, 0' for 'interfaces': '0' is listed twice");
  EXPECT_EQ(ParseSimDeviceFile("[Device]\nLangIds = 0x0409, +7\n", guid).error,
            "line 2: invalid value '0x0409, +7' for 'langids': '+7' is not a number from 0 to 65535");
}

TEST(SimDeviceFileTest, StringsAreUtf8AndFitAStringDescriptor) {
  const SimGuid guid;
  const std::string max(126, 'm');
  const SimDeviceFileResult ok =
      ParseSimDeviceFile("[Device]\nProduct = " + max + "\nManufacturer = Gr\xC3\xBC\xC3\x9F\xF0\x9F\x98\x80\n", guid);
  ASSERT_TRUE(ok.ok) << ok.error;
  const SimDeviceSpec& spec = ok.specs.front();
  EXPECT_EQ(spec.strings.at(spec.iProduct).size(), 126u);
  // Two letters of two bytes each and one character beyond 16 bits as a surrogate pair.
  EXPECT_EQ(spec.strings.at(spec.iManufacturer), (QXWString{u'G', u'r', 0x00FC, 0x00DF, 0xD83D, 0xDE00}));

  EXPECT_EQ(ParseSimDeviceFile("[Device]\nProduct = " + max + "m\n", guid).error,
            "line 2: invalid value '" + max.substr(0, 60) + "...' for 'product': longer than 126 UTF-16 units");
  const std::string huge(1 << 20, 's');
  EXPECT_EQ(ParseSimDeviceFile("[Device]\nSerialNumber = " + huge + "\n", guid).error.substr(0, 31),
            "line 2: invalid value 'ssssssss");
  EXPECT_EQ(ParseSimDeviceFile("[Device]\nInstanceSuffix = " + huge + "\n", guid).error.substr(83),
            "...' for 'instancesuffix': longer than 200 characters");
  EXPECT_EQ(ParseSimDeviceFile("[Device]\nProduct = a\xC3\n", guid).error,
            "line 2: invalid value 'a\xC3' for 'product': not valid UTF-8");
  EXPECT_EQ(ParseSimDeviceFile("[Device]\nManufacturer = \xED\xA0\x80\n", guid).error.substr(0, 7), "line 2:");
}

// Editors on Windows start UTF-8 files with a byte order mark; the configuration ini skips it too.
TEST(SimDeviceFileTest, AcceptsAByteOrderMark) {
  const SimDeviceFileResult result = ParseSimDeviceFile("\xEF\xBB\xBF[Device]\nVendorId = 0x1234\n", SimGuid());
  ASSERT_TRUE(result.ok) << result.error;
  EXPECT_EQ(result.specs.front().vendorId, 0x1234);
  // Only at the very start.
  EXPECT_EQ(ParseSimDeviceFile("[Device]\n\xEF\xBB\xBFVendorId = 1\n", SimGuid()).error,
            "line 2: unknown key '\xEF\xBB\xBFvendorid'");
}

TEST(SimDeviceFileTest, AFolderIsNotADeviceFile) {
  fbtest::TempDir dir;
  const SimDeviceFileResult result = LoadSimDeviceFile(fbtest::ToQXWString(dir.Path()), SimGuid());
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.error, "is a folder, not a file");
  EXPECT_EQ(LoadSimDeviceFile(fbtest::ToQXWString(dir.File("missing.ini")), SimGuid()).error, "cannot open the file");
}

}  // namespace
}  // namespace plendrik::sim
