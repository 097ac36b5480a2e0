// Identities of devices found through libusb, made as Windows presents them.
#include <gtest/gtest.h>

#include "discovery/QXUsbNodeIdentity.h"
#include "discovery/QXWinGuid.h"
#include "os/QXOsString.h"

namespace plendrik {
namespace {

const QXGuid kClass = {0x6e45736a, 0x2b1b, 0x4078, {0xb7, 0x72, 0xb3, 0xaf, 0x2b, 0x6f, 0xde, 0x1c}};

QXUsbNodeSource Source(uint16_t pid, const char16_t* serial, bool composite = false, std::vector<uint8_t> dfu = {0}) {
  QXUsbNodeSource source;
  source.vendorId = 0x20B1;
  source.productId = pid;
  source.bcdDevice = 0x0102;
  source.serialNumber = serial;
  source.portPath = "1-1.4";
  source.composite = composite;
  source.dfuInterfaces = std::move(dfu);
  return source;
}

struct IdentityCase {
  const char* name;
  QXUsbNodeSource source;
  std::vector<QXWString> hardwareIds;
  QXWString instanceId;
  QXWString pathStart;
};

TEST(QXUsbNodeIdentityTest, NodesCarryWindowsStyleIdentities) {
  const IdentityCase cases[] = {
      {"serial",
       Source(0x0008, u"SN-7"),
       {u"USB\\VID_20B1&PID_0008&REV_0102", u"USB\\VID_20B1&PID_0008"},
       u"USB\\VID_20B1&PID_0008\\SN-7",
       u"\\\\?\\usb#vid_20b1&pid_0008#sn-7#{6e45736a-2b1b-4078-b772-b3af2b6fde1c}"},
      {"no serial: the port path",
       Source(0x0008, u""),
       {u"USB\\VID_20B1&PID_0008&REV_0102", u"USB\\VID_20B1&PID_0008"},
       u"USB\\VID_20B1&PID_0008\\1-1.4",
       u"\\\\?\\usb#vid_20b1&pid_0008#1-1.4#"},
      {"composite function",
       Source(0x0008, u"SN-7", true, {2}),
       {u"USB\\VID_20B1&PID_0008&REV_0102&MI_02", u"USB\\VID_20B1&PID_0008&MI_02"},
       u"USB\\VID_20B1&PID_0008&MI_02\\SN-7&0002",
       u"\\\\?\\usb#vid_20b1&pid_0008&mi_02#sn-7&0002#"},
      {"serial with characters an instance id cannot hold",
       Source(0x0008, u"A\\B#C D"),
       {u"USB\\VID_20B1&PID_0008&REV_0102", u"USB\\VID_20B1&PID_0008"},
       u"USB\\VID_20B1&PID_0008\\A_B_C_D",
       u"\\\\?\\usb#vid_20b1&pid_0008#a_b_c_d#"},
  };
  for (const IdentityCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<QXUsbNode> nodes = QXBuildUsbNodes(c.source, kClass);
    ASSERT_EQ(nodes.size(), 1u);
    EXPECT_EQ(nodes[0].node.hardwareIds, c.hardwareIds);
    EXPECT_EQ(nodes[0].node.instanceId, c.instanceId);
    EXPECT_EQ(nodes[0].node.interfacePath.rfind(c.pathStart, 0), 0u) << QXUtf16ToUtf8(nodes[0].node.interfacePath);
    EXPECT_TRUE(QXGuidEqual(nodes[0].node.interfaceClassGuid, kClass));
    EXPECT_EQ(nodes[0].interfaceNumber, c.source.dfuInterfaces.front());
  }
}

TEST(QXUsbNodeIdentityTest, OnlyDfuFunctionsAreListed) {
  EXPECT_TRUE(QXBuildUsbNodes(Source(0x0008, u"SN", false, {}), kClass).empty());
  const std::vector<QXUsbNode> nodes = QXBuildUsbNodes(Source(0x0008, u"SN", true, {1, 3}), kClass);
  ASSERT_EQ(nodes.size(), 2u);
  EXPECT_EQ(nodes[0].interfaceNumber, 1);
  EXPECT_EQ(nodes[1].interfaceNumber, 3);
  EXPECT_NE(nodes[0].node.interfacePath, nodes[1].node.interfacePath);
}

TEST(QXUsbNodeIdentityTest, ContainerIdSurvivesTheSwitchIntoTheBootloader) {
  const auto container = [](const QXUsbNodeSource& source) {
    return *QXBuildUsbNodes(source, kClass).front().node.containerId;
  };
  // Application and bootloader differ in product id only.
  EXPECT_TRUE(QXGuidEqual(container(Source(0x0008, u"SN-7")), container(Source(0x0009, u"SN-7"))));
  EXPECT_FALSE(QXGuidEqual(container(Source(0x0008, u"SN-7")), container(Source(0x0008, u"SN-8"))));
  // Without a serial number, the port names the device.
  QXUsbNodeSource otherPort = Source(0x0009, u"");
  otherPort.portPath = "1-2";
  EXPECT_TRUE(QXGuidEqual(container(Source(0x0008, u"")), container(Source(0x0009, u""))));
  EXPECT_FALSE(QXGuidEqual(container(Source(0x0008, u"")), container(otherPort)));
  // A version 5 (name-based) GUID of the RFC 4122 variant.
  const QXGuid guid = container(Source(0x0008, u"SN-7"));
  EXPECT_EQ(guid.Data3 >> 12, 5);
  EXPECT_EQ(guid.Data4[0] & 0xC0, 0x80);
}

}  // namespace
}  // namespace plendrik
