#include <gtest/gtest.h>

#include <string>

#include "discovery/QXUsbDeviceFilter.h"
#include "discovery/QXUsbDeviceFilterDescription.h"
#include "discovery/QXUsbDeviceFilterDfu.h"
#include "support/TestLogTarget.h"

namespace plendrik {
namespace {

QXUsbDeviceIdentifiers Device(int32_t vid, int32_t pid, int32_t bcd, int32_t mi = 0) {
  QXUsbDeviceIdentifiers d;
  d.vendorId = vid;
  d.productId = pid;
  d.bcdDevice = bcd;
  d.interfaceNumber = mi;
  return d;
}

QXUsbDeviceFilter Parsed(const char* text, uint32_t kind = kQXUsbDeviceFilterKindDevice) {
  QXUsbDeviceFilter filter;
  filter.kind = kind;
  const QXUsbDeviceFilterDescription all(kQXFilterKeyAll, 0);
  EXPECT_EQ(all.ParseFilterDescription(filter, text), QXSTATUS_SUCCESS) << text;
  return filter;
}

// Matching enumerated devices by their identifiers.

TEST(UsbDeviceFilterMatchDeviceTest, VendorAndProductMustBeEqual) {
  const QXUsbDeviceFilter f = Parsed("VID=0x1234, PID=0x5678\nVID=0x1209, PID=0x0001");
  EXPECT_TRUE(f.MatchDevice(Device(0x1234, 0x5678, 0x100)));
  EXPECT_TRUE(f.MatchDevice(Device(0x1209, 0x0001, -1)));      // the second entry, no bcdDevice condition
  EXPECT_FALSE(f.MatchDevice(Device(0x1234, 0x0001, 0x100)));  // fields of different entries
  EXPECT_FALSE(f.MatchDevice(Device(-1, 0x5678, 0x100)));
  EXPECT_FALSE(f.MatchDevice(Device(0x1234, -1, 0x100)));
}

TEST(UsbDeviceFilterMatchDeviceTest, BcdDeviceRangeIsInclusiveAndNeedsAKnownRelease) {
  const QXUsbDeviceFilter f = Parsed("VID=1, PID=2, MIN_BCDDEVICE=0x0100, MAX_BCDDEVICE=0x0200");
  EXPECT_FALSE(f.MatchDevice(Device(1, 2, 0x00FF)));
  EXPECT_TRUE(f.MatchDevice(Device(1, 2, 0x0100)));
  EXPECT_TRUE(f.MatchDevice(Device(1, 2, 0x0200)));
  EXPECT_FALSE(f.MatchDevice(Device(1, 2, 0x0201)));
  EXPECT_FALSE(f.MatchDevice(Device(1, 2, -1)));

  EXPECT_FALSE(Parsed("VID=1, PID=2, MAX_BCDDEVICE=0xFFFF").MatchDevice(Device(1, 2, -1)));
  EXPECT_TRUE(Parsed("VID=1, PID=2, MAX_BCDDEVICE=0").MatchDevice(Device(1, 2, 0)));
  EXPECT_FALSE(Parsed("VID=1, PID=2, MIN_BCDDEVICE=0").MatchDevice(Device(1, 2, -1)));
  EXPECT_TRUE(Parsed("VID=1, PID=2, MIN_BCDDEVICE=0").MatchDevice(Device(1, 2, 0)));

  const QXUsbDeviceFilter inverted = Parsed("VID=1, PID=2, MIN_BCDDEVICE=0x200, MAX_BCDDEVICE=0x100");
  for (int32_t bcd : {-1, 0, 0x100, 0x150, 0x200, 0xFFFF}) {
    EXPECT_FALSE(inverted.MatchDevice(Device(1, 2, bcd))) << bcd;
  }
}

TEST(UsbDeviceFilterMatchDeviceTest, InterfaceFieldsCountOnlyForInterfaceFilters) {
  const char* text = "VID=1, PID=2, IF_NUMBER=1, IF_CLASS=0xFE, IF_SUBCLASS=1, IF_PROT=2";
  QXUsbDeviceIdentifiers dfu = Device(1, 2, 0x100, 1);
  dfu.interfaceClass = 0xFE;
  dfu.interfaceSubClass = 1;
  dfu.interfaceProtocol = 2;
  QXUsbDeviceIdentifiers otherInterface = dfu;
  otherInterface.interfaceNumber = 0;
  QXUsbDeviceIdentifiers runtimeProtocol = dfu;
  runtimeProtocol.interfaceProtocol = 1;

  const QXUsbDeviceFilter deviceFilter = Parsed(text, kQXUsbDeviceFilterKindDevice);
  EXPECT_TRUE(deviceFilter.MatchDevice(otherInterface));
  EXPECT_TRUE(deviceFilter.MatchDevice(runtimeProtocol));

  const QXUsbDeviceFilter interfaceFilter = Parsed(text, kQXUsbDeviceFilterKindInterface);
  EXPECT_TRUE(interfaceFilter.MatchDevice(dfu));
  EXPECT_FALSE(interfaceFilter.MatchDevice(otherInterface));
  EXPECT_FALSE(interfaceFilter.MatchDevice(runtimeProtocol));
  QXUsbDeviceIdentifiers unknownClass = dfu;
  unknownClass.interfaceClass = -1;
  EXPECT_FALSE(interfaceFilter.MatchDevice(unknownClass));
}

TEST(UsbDeviceFilterMatchDeviceTest, UnarmedFilterAcceptsAllArmedEmptyFilterNone) {
  QXUsbDeviceFilter f;
  EXPECT_TRUE(f.MatchDevice(Device(-1, -1, -1)));
  f.Reset();
  EXPECT_FALSE(f.MatchDevice(Device(1, 2, 3)));
  EXPECT_TRUE(Parsed("MIN_BCDDEVICE=0").MatchDevice(Device(7, 8, 0)));  // an entry without ids
}

// Matching device interface paths of device-change messages.

const QXWChar* const kPath =
    QXW("\\\\?\\usb#vid_1234&pid_abcd&mi_02#6&1a2b3c4d&0&0002#{a5dcbf10-6530-11d2-901f-00c04fb951ed}");

TEST(UsbDeviceFilterMatchPathTest, VidPidPatternIgnoresLetterCase) {
  EXPECT_TRUE(Parsed("VID=0x1234, PID=0xABCD").MatchDeviceInterfacePath(kPath));
  EXPECT_TRUE(Parsed("VID=0x1234, PID=0xabcd").MatchDeviceInterfacePath(QXW("USB#VID_1234&PID_ABCD#5")));
  EXPECT_FALSE(Parsed("VID=0x1234, PID=0xABCD").MatchDeviceInterfacePath(QXW("\\\\?\\USB#VID_1234&PID_ABCE#5")));
  EXPECT_FALSE(Parsed("VID=0x1234, PID=0xABCD").MatchDeviceInterfacePath(QXW("vid_1234")));  // shorter than the pattern
  EXPECT_TRUE(Parsed("VID=1, PID=2\nVID=0x1234, PID=0xABCD").MatchDeviceInterfacePath(kPath));
}

TEST(UsbDeviceFilterMatchPathTest, PatternIsZeroPaddedAndIncludesTheInterfaceNumber) {
  EXPECT_TRUE(Parsed("VID=0x12, PID=0xA").MatchDeviceInterfacePath(QXW("usb#vid_0012&pid_000a#x")));
  EXPECT_FALSE(Parsed("VID=0x12, PID=0xA").MatchDeviceInterfacePath(QXW("usb#vid_12&pid_a#x")));
  EXPECT_TRUE(Parsed("VID=0x1234, PID=0xABCD, IF_NUMBER=2").MatchDeviceInterfacePath(kPath));
  EXPECT_FALSE(Parsed("VID=0x1234, PID=0xABCD, IF_NUMBER=0x12").MatchDeviceInterfacePath(kPath));
  // bcdDevice bounds and interface class fields play no part.
  EXPECT_TRUE(Parsed("VID=0x1234, PID=0xABCD, MIN_BCDDEVICE=0xFFFF, IF_CLASS=3").MatchDeviceInterfacePath(kPath));
}

TEST(UsbDeviceFilterMatchPathTest, EmptyPatternMatchesAnythingNoEntryMatchesNothing) {
  EXPECT_TRUE(Parsed("MAX_BCDDEVICE=1").MatchDeviceInterfacePath(QXW("")));
  EXPECT_FALSE(Parsed("").MatchDeviceInterfacePath(kPath));
  // Letters outside a to z are not folded: a dotless i or a full-width letter is no "I"/"D".
  EXPECT_FALSE(Parsed("VID=0x1234, PID=0xABCD").MatchDeviceInterfacePath(QXW("v\u0131d_1234&pid_abcd")));
  EXPECT_FALSE(Parsed("VID=0x1234, PID=0xABCD").MatchDeviceInterfacePath(QXW("vid_1234&pi\uFF44_abcd")));
}

// The library's filter.

class DfuDeviceFilterTest : public ::testing::Test {
 protected:
  static constexpr const char* kGuid = "{A5DCBF10-6530-11D2-901F-00C04FB951ED}";
  QXUsbDeviceFilter filter;
  TestLogTarget log{gLogGlobal, kQXLogLevelInfo};
};

TEST_F(DfuDeviceFilterTest, VidPidLinesWithTheConfiguredGuid) {
  filter.kind = kQXUsbDeviceFilterKindInterface;
  ASSERT_EQ(CreateDfuDeviceFilter(filter, "VID=0x1234, PID=0x5678\r\nVID=0x20B1, PID=0x0008, MIN_BCDDEVICE=2\r\n",
                                  kGuid),
            QXSTATUS_SUCCESS)
      << log.Dump();
  EXPECT_EQ(filter.kind, kQXUsbDeviceFilterKindDevice);
  EXPECT_TRUE(filter.applyFilter);
  ASSERT_EQ(filter.entries.size(), 2u);
  EXPECT_EQ(filter.entries[1].vendorId, 0x20B1);
  EXPECT_EQ(filter.entries[1].minBcdDevice, 2);
  EXPECT_EQ(filter.interfaceGuid, QXWString(QXW("{A5DCBF10-6530-11D2-901F-00C04FB951ED}")));
  EXPECT_EQ(log.Problems(), 0u) << log.Dump();
}

TEST_F(DfuDeviceFilterTest, EmptyTextHasNoFilter) {
  for (const char* text : {"", "\r\n\r\n", "  \t "}) {
    log.Clear();
    EXPECT_EQ(CreateDfuDeviceFilter(filter, text, kGuid), QXSTATUS_INVALID_FORMAT);
    EXPECT_TRUE(log.Contains("plendrik::CreateDfuDeviceFilter: no valid VID/PID filter specified", kQXLogLevelError))
        << log.Dump();
  }
}

TEST_F(DfuDeviceFilterTest, OnlyVidPidAndReleaseKeysAreKnown) {
  for (const char* key : {"Guid", "IF_NUMBER", "if_class", "IF_SUBCLASS", "IF_PROT"}) {
    log.Clear();
    const std::string text = std::string(key) + "=1";
    EXPECT_EQ(CreateDfuDeviceFilter(filter, text.c_str(), kGuid), QXSTATUS_INVALID_FORMAT) << key;
    EXPECT_TRUE(log.Contains("unknown key '" + std::string(key) + "'")) << log.Dump();
    EXPECT_TRUE(log.Contains("ParseFilterDescription failed, st=0xee000051(QXSTATUS_INVALID_FORMAT)")) << log.Dump();
  }
  EXPECT_EQ(CreateDfuDeviceFilter(filter, "PID=1", kGuid), QXSTATUS_INVALID_FORMAT);
  EXPECT_TRUE(log.Contains("Specification in this line is incomplete: 'PID=1'")) << log.Dump();
}

TEST_F(DfuDeviceFilterTest, StatusesOfTheTextPassThroughAndTheOutputIsUntouched) {
  filter.entries.push_back({});
  EXPECT_EQ(CreateDfuDeviceFilter(filter, "VID=1,VID=1,PID=2", kGuid), QXSTATUS_DUPLICATE);
  EXPECT_EQ(CreateDfuDeviceFilter(filter, "VID=1,PID=0x10000", kGuid), QXSTATUS_OUT_OF_RANGE);
  EXPECT_EQ(CreateDfuDeviceFilter(filter, nullptr, kGuid), QXSTATUS_INVALID_PARAMETER);
  EXPECT_EQ(filter.entries.size(), 1u);
}

TEST_F(DfuDeviceFilterTest, MissingConfiguredGuidIsAConfigurationError) {
  EXPECT_EQ(CreateDfuDeviceFilter(filter, "VID=1, PID=2", ""), QXSTATUS_INVALID_CONFIGURATION);
  EXPECT_TRUE(log.Contains("No DriverInterfaceGuidString, invalid configuration", kQXLogLevelError)) << log.Dump();
  EXPECT_TRUE(filter.entries.empty());
  EXPECT_TRUE(filter.interfaceGuid.empty());
  // A text error is reported before the configuration is looked at.
  log.Clear();
  EXPECT_EQ(CreateDfuDeviceFilter(filter, "", ""), QXSTATUS_INVALID_FORMAT);
  EXPECT_FALSE(log.Contains("No DriverInterfaceGuidString")) << log.Dump();
}

}  // namespace
}  // namespace plendrik
