// The virtual bus's device list, identities, broadcasts and the device file.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <cstdio>
#include <iterator>
#include <vector>

#include "sim/SimDeviceFile.h"
#include "sim/VirtualUsbBus.h"
#include "support/TempDir.h"

namespace plendrik::sim {
namespace {

using dfu::State;

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

// Among many devices each is found by id and by its path in any letter case; the list keeps
// the order of arrival when devices in between leave; of two devices with one path the first
// arrived is found, and the second once the first has left.
TEST_F(VirtualUsbBusTest, ManyDevicesAreFoundByIdAndPathInArrivalOrder) {
  VirtualUsbBus& bus = VirtualUsbBus::Instance();
  std::vector<SimDevicePtr> devices;
  for (int i = 0; i < 200; ++i) {
    SimDeviceSpec spec;
    spec.iSerialNumber = 3;
    char serial[16];
    std::snprintf(serial, sizeof(serial), "Dev%d", i);
    spec.strings[3] = SimWiden(serial);
    spec.identity.interfaceClassGuid = mGuid;
    devices.push_back(Attach(spec));
  }
  for (int i = 0; i < 200; i += 3) {
    ASSERT_TRUE(bus.Detach(devices[i]->Id()));
  }
  EXPECT_FALSE(bus.Detach(devices[0]->Id()));
  const auto list = bus.ListDevices(mGuid);
  std::vector<uint64_t> expected;
  for (int i = 0; i < 200; ++i) {
    if (i % 3 != 0) expected.push_back(devices[i]->Id());
  }
  std::vector<uint64_t> listed;
  for (const SimDeviceListEntry& e : list) listed.push_back(e.deviceId);
  EXPECT_EQ(listed, expected);
  for (int i = 0; i < 200; ++i) {
    const bool present = i % 3 != 0;
    EXPECT_EQ(bus.FindDevice(devices[i]->Id()), present ? devices[i] : nullptr) << i;
    char path[128];
    std::snprintf(path, sizeof(path), "\\\\?\\USB#VID_1209&PID_0001#DEV%d#{D3E9A8B0-1C2D-4E5F-8A9B-0C1D2E3F4A5B}", i);
    EXPECT_EQ(bus.FindDeviceByInterfacePath(SimWiden(path)), present ? devices[i] : nullptr) << i;
  }

  SimDeviceSpec twin;
  twin.iSerialNumber = 3;
  twin.strings[3] = QXW("Dev1");  // the path of devices[1]
  twin.identity.interfaceClassGuid = mGuid;
  const SimDevicePtr second = Attach(twin);
  const QXWString path = QXW("\\\\?\\usb#vid_1209&pid_0001#dev1#{d3e9a8b0-1c2d-4e5f-8a9b-0c1d2e3f4a5b}");
  EXPECT_EQ(bus.FindDeviceByInterfacePath(path), devices[1]);
  ASSERT_TRUE(bus.Detach(devices[1]->Id()));
  EXPECT_EQ(bus.FindDeviceByInterfacePath(path), second);
  ASSERT_TRUE(bus.Detach(second->Id()));
  EXPECT_EQ(bus.FindDeviceByInterfacePath(path), nullptr);
  EXPECT_FALSE(bus.FindByInterfacePath(path).has_value());
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

TEST(SimDeviceFileTest, DfuDeviceKeysDescribeTheModel) {
  const char* text =
      "[Device]\n"
      "VendorId = 0x1209\n"
      "ProductId = 0x0001\n"
      "BootloaderProductId = 0x0002\n"
      "SerialNumber = D1\n"
      "RunMode = bootloader\n"
      "DfuTransferSize = 1024\n"
      "PollTimeoutMs = 5\n"
      "FlashTimePerBlockMs = 4\n"
      "ManifestationTimeMs = 100\n"
      "DetachDelayMs = 200\n"
      "RejoinDelayMs = 300\n"
      "ManifestationTolerant = yes\n"
      "WillDetach = no\n"
      "Targets = 3\n"
      "ReceivedFirmwareFile = t0.bin\n"
      "Target2.ReceivedFirmwareFile = t2.bin\n"
      "ErrorAtBlock = 12\n"
      "ErrorStatus = 0x07\n"
      "NoAnswerAtBlock = 20\n"
      "StayOnBusAfterDetach = yes\n"
      "[Device 2]\n"
      "Model = dfu\n"
      "SerialNumber = D2\n";
  const SimDeviceFileResult result = ParseSimDeviceFile(text, SimGuid());
  ASSERT_TRUE(result.ok) << result.error;
  ASSERT_EQ(result.dfuDevices.size(), 2u);
  ASSERT_TRUE(result.dfuDevices[0].has_value());
  const SimDfuDeviceConfig& c = result.dfuDevices[0]->config;
  EXPECT_EQ(c.startMode, SimRunMode::Bootloader);
  EXPECT_EQ(c.applicationProductId, 0x0001);
  EXPECT_EQ(c.bootloaderProductId, 0x0002);
  EXPECT_EQ(c.wTransferSize, 1024);
  EXPECT_EQ(c.pollTimeoutMs, 5u);
  EXPECT_EQ(c.flashWritePerBlock, std::chrono::milliseconds(4));
  EXPECT_EQ(c.manifestationTime, std::chrono::milliseconds(100));
  EXPECT_EQ(c.detachDelay, std::chrono::microseconds(std::chrono::milliseconds(200)));
  EXPECT_EQ(c.rejoinDelay, std::chrono::milliseconds(300));
  EXPECT_EQ(c.bmAttributes, 0x07);  // 0x0B with manifestation tolerance on and will-detach off
  EXPECT_EQ(c.targets.size(), 3u);
  EXPECT_EQ(result.dfuDevices[0]->firmwareFiles, (std::map<uint8_t, std::string>{{0, "t0.bin"}, {2, "t2.bin"}}));
  ASSERT_EQ(c.faults.size(), 5u);  // the error, the silence and three ways off the bus
  EXPECT_EQ(c.faults[0].action, SimDfuFaultAction::DfuError);
  EXPECT_EQ(c.faults[0].block, 12);
  EXPECT_EQ(c.faults[0].bStatus, 0x07);
  EXPECT_EQ(c.faults[1].action, SimDfuFaultAction::NoAnswer);
  EXPECT_EQ(c.faults[1].block, 20);
  EXPECT_EQ(c.faults[2].action, SimDfuFaultAction::StayOnBus);
  EXPECT_EQ(c.faults[2].count, 0u);
  // The listed device is the one it starts as: the bootloader, with one alternate setting per target.
  EXPECT_EQ(result.specs[0].productId, 0x0002);
  const auto& alts = result.specs[0].configurations.front().interfaces.front().altSettings;
  ASSERT_EQ(alts.size(), 3u);
  EXPECT_EQ(alts.front().interfaceProtocol, 0x02);
  // Model = dfu alone: an application-mode device with the file's defaults.
  ASSERT_TRUE(result.dfuDevices[1].has_value());
  EXPECT_EQ(result.dfuDevices[1]->config.startMode, SimRunMode::Application);
  EXPECT_EQ(result.dfuDevices[1]->config.bootloaderProductId, result.dfuDevices[1]->config.applicationProductId);
  EXPECT_EQ(result.specs[1].configurations.front().interfaces.front().altSettings.front().interfaceProtocol, 0x01);
  EXPECT_NE(result.specs[0].identity.containerId, result.specs[1].identity.containerId);
}

TEST(SimDeviceFileTest, SettingsPerInterfaceDescribeACompositeDevice) {
  const SimDeviceFileResult plain = ParseSimDeviceFile(
      "[Device]\nInterfaces = 0, 1\nInterface1.Class = 0x01\nInterface1.SubClass = 2\nInterface1.DfuFunctional = no\n"
      "Interface0x0.DfuTransferSize = 64\n",
      SimGuid());
  ASSERT_TRUE(plain.ok) << plain.error;
  EXPECT_FALSE(plain.dfuDevices[0].has_value());
  const auto& interfaces = plain.specs[0].configurations.front().interfaces;
  ASSERT_EQ(interfaces.size(), 2u);
  EXPECT_EQ(interfaces[0].altSettings[0].interfaceClass, 0xFE);
  EXPECT_EQ(interfaces[0].altSettings[0].functionalDescriptors.at(0)[5], 64);
  EXPECT_EQ(interfaces[1].altSettings[0].interfaceClass, 0x01);
  EXPECT_EQ(interfaces[1].altSettings[0].interfaceSubClass, 0x02);
  EXPECT_EQ(interfaces[1].altSettings[0].interfaceProtocol, 0x02);  // the device-wide default
  EXPECT_TRUE(interfaces[1].altSettings[0].functionalDescriptors.empty());

  // A DFU interface among an audio function and a vendor interface.
  const SimDeviceFileResult dfu = ParseSimDeviceFile(
      "[Device]\nModel = dfu\nInterfaces = 0, 1, 2\nDfuInterface = 2\nInterface0.Class = 0x01\n"
      "Interface0.SubClass = 0x01\n",
      SimGuid());
  ASSERT_TRUE(dfu.ok) << dfu.error;
  const SimDfuDeviceConfig& c = dfu.dfuDevices[0]->config;
  EXPECT_EQ(c.applicationDfuInterface, 2);
  ASSERT_EQ(c.otherApplicationInterfaces.size(), 2u);
  EXPECT_EQ(c.otherApplicationInterfaces[0].altSettings[0].interfaceClass, 0x01);
  EXPECT_EQ(c.otherApplicationInterfaces[1].altSettings[0].interfaceClass, 0xFF);
  EXPECT_TRUE(c.otherApplicationInterfaces[1].altSettings[0].functionalDescriptors.empty());
  EXPECT_TRUE(dfu.specs[0].identity.composite);  // Windows lists the DFU function on its own
}

TEST(SimDeviceFileTest, DfuKeyErrorsNameTheLine) {
  const SimGuid guid;
  const auto error = [&guid](const std::string& text) { return ParseSimDeviceFile(text, guid).error; };
  EXPECT_EQ(error("[Device]\nRunMode = dfu\n"),
            "line 2: invalid value 'dfu' for 'runmode': 'application' or 'bootloader'");
  EXPECT_EQ(error("[Device]\nModel = hub\n"), "line 2: invalid value 'hub' for 'model': 'dfu', 'plain' or 'replay'");
  EXPECT_EQ(error("[Device]\nErrorAtBlock = 3\nErrorStatus = 0x10\n"),
            "line 3: invalid value '0x10' for 'errorstatus': a DFU bStatus from 0x01 to 0x0F");
  EXPECT_EQ(error("[Device]\nFlashTimePerBlockMs = 60001\n"),
            "line 2: invalid value '60001' for 'flashtimeperblockms': a number of milliseconds from 0 to 60000");
  EXPECT_EQ(error("[Device]\nTargets = 0\n"), "line 2: invalid value '0' for 'targets': a number from 1 to 32");
  EXPECT_EQ(error("[Device]\nReceivedFirmwareFile =\n"),
            "line 2: invalid value '' for 'receivedfirmwarefile': a file name in UTF-8");
  EXPECT_EQ(error("[Device]\nReceivedFirmwareFile = a\nTarget0.ReceivedFirmwareFile = b\n"),
            "line 3: key 'receivedfirmwarefile' given twice in one device (first on line 2)");
  // Checks over the whole section name the line of the key at fault, wherever Model stands.
  EXPECT_EQ(error("[Device]\nWillDetach = no\nModel = plain\n"),
            "line 2: 'willdetach' needs a DFU device, not 'Model = plain'");
  EXPECT_EQ(error("[Device]\nInterfaceProtocol = 1\nVendorId = 1\nModel = dfu\n").substr(0, 45),
            "line 2: 'interfaceprotocol' does not apply to");
  EXPECT_EQ(error("[Device]\nInterfaces = 0\n\nInterface3.Class = 1\n"), "line 4: interface 3 is not in 'Interfaces'");
  EXPECT_EQ(error("[Device]\nModel = dfu\nInterface0.Protocol = 1\n"),
            "line 3: interface 0 is the DFU interface, which the run mode describes");
  EXPECT_EQ(error("[Device]\nInterfaces = 0, 1\nDfuInterface = 2\n"), "line 2: the DFU interface 2 is not listed");
  EXPECT_EQ(error("[Device]\nTargets = 2\nTarget2.ReceivedFirmwareFile = x\n"),
            "line 3: target 2 does not exist (Targets = 2)");
  EXPECT_EQ(error("[Device]\nErrorStatus = 4\n"), "line 2: 'errorstatus' needs 'ErrorAtBlock'");
  EXPECT_EQ(error("[Device]\nInterface1.Colour = 1\n"), "line 2: unknown key 'interface1.colour'");
  EXPECT_EQ(error("[Device]\nInterface256.Class = 1\n"), "line 2: unknown key 'interface256.class'");
}

// The device file's DFU device on the process's bus: it answers as a DFU device and writes what
// it received into its file; a file of an earlier run is removed when the device file loads.
TEST(SimDeviceFileTest, LoadedDfuDeviceWritesTheFirmwareItReceived) {
  fbtest::TempDir dir;
  {
    std::ofstream stale(dir.File("received.bin"), std::ios::binary);
    stale << "an earlier run";
  }
  {
    std::ofstream file(dir.File("devices.ini"), std::ios::binary);
    file << "[Device]\nVendorId = 0x1209\nProductId = 0x7A01\nRunMode = bootloader\nDfuTransferSize = 64\n"
            "ManifestationTolerant = yes\nReceivedFirmwareFile = received.bin\n";
  }
  const SimGuid guid = Guid("{6b4e2a10-3c5d-4e6f-9a0b-1c2d3e4f5a6b}");
  const SimDeviceFileResult result = LoadSimDeviceFile(fbtest::ToQXWString(dir.File("devices.ini")), guid);
  ASSERT_TRUE(result.ok) << result.error;
  EXPECT_FALSE(std::filesystem::exists(dir.File("received.bin")));
  const auto entries = VirtualUsbBus::Instance().ListDevices(guid);
  ASSERT_EQ(entries.size(), 1u);
  SimDevicePtr device = VirtualUsbBus::Instance().FindDevice(entries.front().deviceId);
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(device->Spec().productId, 0x7A01);

  std::vector<uint8_t> image(100);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7 + 1);
  const auto status = [&device] {
    const auto r = device->Submit({dfu::kClassIn, dfu::kGetStatus, 0, 0, 6}, {});
    EXPECT_TRUE(r->WaitFor(std::chrono::seconds(5)));
    const auto data = r->InData();
    return data.size() == 6 ? data[4] : 0xFF;
  };
  const auto dnload = [&device](uint16_t block, std::vector<uint8_t> data) {
    const auto r = device->Submit({dfu::kClassOut, dfu::kDnload, block, 0, static_cast<uint16_t>(data.size())}, data);
    EXPECT_TRUE(r->WaitFor(std::chrono::seconds(5)));
    EXPECT_EQ(r->Status(), SimTransferStatus::Success);
  };
  dnload(0, std::vector<uint8_t>(image.begin(), image.begin() + 64));
  EXPECT_EQ(status(), static_cast<uint8_t>(State::dfuDNLOAD_IDLE));
  dnload(1, std::vector<uint8_t>(image.begin() + 64, image.end()));
  EXPECT_EQ(status(), static_cast<uint8_t>(State::dfuDNLOAD_IDLE));
  dnload(2, {});
  uint8_t state = status();
  for (int polls = 0; state != static_cast<uint8_t>(State::dfuIDLE) && polls < 10; ++polls) state = status();
  EXPECT_EQ(state, static_cast<uint8_t>(State::dfuIDLE));
  std::ifstream received(dir.File("received.bin"), std::ios::binary);
  EXPECT_EQ(std::vector<uint8_t>(std::istreambuf_iterator<char>(received), {}), image);

  // Loading another file takes the device off the bus.
  {
    std::ofstream empty(dir.File("none.ini"), std::ios::binary);
  }
  ASSERT_TRUE(LoadSimDeviceFile(fbtest::ToQXWString(dir.File("none.ini")), guid).ok);
  EXPECT_TRUE(VirtualUsbBus::Instance().ListDevices(guid).empty());
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
