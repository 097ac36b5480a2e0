// The device listing's own logic over a scripted SetupAPI: index-to-interface pairing,
// registry reads that grow, wrong types, errors in the middle of a listing, and the
// hardware identifier, GUID text and clock rounding helpers.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>

#include "discovery/QXWinClockResolution.h"
#include "discovery/QXWinGuid.h"
#include "discovery/QXWinSetupApi.h"
#include "discovery/QXWinUsbDeviceEnumerator.h"
#include "os/QXOsString.h"
#include "support/TestLogTarget.h"

namespace plendrik {
namespace {

QXWString W(const char* text) { return QXWidenBytes(text); }
std::string N(const QXWString& text) { return QXNarrowUnits(text); }

const char* kGuidText = "{6E45736A-2B1B-4078-B772-B3AF2B6FDE1C}";

QXGuid ParseGuid(const char* text) {
  QXGuid g{};
  EXPECT_EQ(QXWinGuid::GuidFromString(W(text), g), QXSTATUS_SUCCESS);
  return g;
}

// A set scripted by the test. Element i owns the interfaces listed for it, in order.
class ScriptedSetupApi final : public QXWinSetupApi {
 public:
  struct Element {
    QXWString instanceId;
    std::vector<QXWString> hardwareIds;
    uint32_t hardwareIdType = kQXRegMultiSz;
    std::vector<QXWString> interfacePaths;
    std::optional<QXGuid> containerId;
  };
  std::vector<Element> elements;
  uint32_t enumInfoErrorAt = UINT32_MAX;  // index whose SetupDiEnumDeviceInfo fails
  uint32_t enumInfoError = 0;
  int growRegistryTimes = 0;  // data reads that report a larger value first
  int registryCalls = 0;
  bool openFails = false;
  int openSets = 0;

  uint32_t GetClassDevs(const QXGuid&, uint32_t flags, QXHDevInfo& set) override {
    EXPECT_EQ(flags, 0x12u);
    if (openFails) {
      set = QXInvalidDevInfo();
      return 5;  // ERROR_ACCESS_DENIED
    }
    ++openSets;
    set = reinterpret_cast<QXHDevInfo>(this);
    return 0;
  }
  uint32_t DestroyDeviceInfoList(QXHDevInfo) override {
    --openSets;
    return 0;
  }
  uint32_t EnumDeviceInfo(QXHDevInfo, uint32_t index, QXSpDevInfoData& data) override {
    EXPECT_EQ(data.cbSize, 32u);
    if (index == enumInfoErrorAt) {
      return enumInfoError;
    }
    if (index >= elements.size()) {
      return kQXErrorNoMoreItems;
    }
    data.DevInst = 100 + index;
    return 0;
  }
  uint32_t EnumDeviceInterfaces(QXHDevInfo, const QXSpDevInfoData* deviceInfo, const QXGuid&, uint32_t memberIndex,
                                QXSpDeviceInterfaceData& data) override {
    // Interfaces are numbered across the set as SetupAPI does: element by element.
    uint32_t seen = 0;
    for (uint32_t e = 0; e < elements.size(); ++e) {
      if (deviceInfo != nullptr && deviceInfo->DevInst != 100 + e) {
        continue;
      }
      for (uint32_t i = 0; i < elements[e].interfacePaths.size(); ++i) {
        if (seen++ == memberIndex) {
          data.Reserved = (static_cast<uintptr_t>(e) << 16) | i;
          return 0;
        }
      }
    }
    return kQXErrorNoMoreItems;
  }
  uint32_t GetDeviceInterfaceDetail(QXHDevInfo, const QXSpDeviceInterfaceData& iface,
                                    QXSpDeviceInterfaceDetailData* detail, uint32_t detailSize,
                                    uint32_t* requiredSize) override {
    const QXWString& path = elements[iface.Reserved >> 16].interfacePaths[iface.Reserved & 0xFFFF];
    const uint32_t required = static_cast<uint32_t>(4 + (path.size() + 1) * sizeof(QXWChar));
    *requiredSize = required;
    if (detail == nullptr || detailSize < required) {
      return kQXErrorInsufficientBuffer;
    }
    EXPECT_EQ(detail->cbSize, 8u);
    std::memcpy(detail->DevicePath, path.c_str(), (path.size() + 1) * sizeof(QXWChar));
    return 0;
  }
  uint32_t GetDeviceInstanceId(QXHDevInfo, const QXSpDevInfoData& data, QXWChar* buffer, uint32_t bufferChars,
                               uint32_t*) override {
    const QXWString& id = elements[data.DevInst - 100].instanceId;
    EXPECT_EQ(bufferChars, 511u);
    std::memcpy(buffer, id.c_str(), (id.size() + 1) * sizeof(QXWChar));
    return 0;
  }
  uint32_t GetDeviceRegistryProperty(QXHDevInfo, const QXSpDevInfoData& data, uint32_t property, uint32_t* regType,
                                     uint8_t* buffer, uint32_t bufferSize, uint32_t* requiredSize) override {
    ++registryCalls;
    EXPECT_EQ(property, kQXSpdrpHardwareId);
    const Element& e = elements[data.DevInst - 100];
    QXWString multi;
    for (const QXWString& id : e.hardwareIds) {
      multi += id;
      multi.push_back(0);
    }
    multi.push_back(0);
    uint32_t required = static_cast<uint32_t>(multi.size() * sizeof(QXWChar));
    if (buffer != nullptr && growRegistryTimes > 0) {
      --growRegistryTimes;
      required += 64;  // the value grew since the size was asked for
    }
    *regType = e.hardwareIdType;
    *requiredSize = required;
    if (buffer == nullptr || bufferSize < required) {
      return kQXErrorInsufficientBuffer;
    }
    std::memcpy(buffer, multi.data(), multi.size() * sizeof(QXWChar));
    return 0;
  }
  uint32_t GetDeviceProperty(QXHDevInfo, const QXSpDevInfoData& data, const QXDevPropKey&, uint32_t* propType,
                             uint8_t* buffer, uint32_t bufferSize, uint32_t* requiredSize) override {
    const Element& e = elements[data.DevInst - 100];
    if (!e.containerId) {
      return kQXErrorNotFound;
    }
    *propType = kQXDevPropTypeGuid;
    *requiredSize = 16;
    EXPECT_EQ(bufferSize, 16u);
    std::memcpy(buffer, &*e.containerId, 16);
    return 0;
  }
};

class QXWinDeviceInfoListTest : public ::testing::Test {
 protected:
  void SetUp() override { QXWinSetSetupApi(&mApi); }
  void TearDown() override { QXWinSetSetupApi(nullptr); }

  static ScriptedSetupApi::Element Device(const char* id, const char* hwid, std::vector<QXWString> paths) {
    ScriptedSetupApi::Element e;
    e.instanceId = W(id);
    e.hardwareIds = {W(hwid), W("USB\\COMPAT")};
    e.interfacePaths = std::move(paths);
    return e;
  }
  QXSTATUS Enumerate(QXWinUsbDeviceEnumerator& enumerator, const char* filterLine) {
    QXUsbDeviceFilter filter;
    filter.applyFilter = true;
    filter.interfaceGuid = W(kGuidText);
    if (filterLine != nullptr) {
      QXUsbDeviceFilterEntry entry;
      entry.vendorId = 0x1209;
      filter.entries.push_back(entry);
    }
    return enumerator.EnumerateUsbDevices(filter);
  }

  ScriptedSetupApi mApi;
};

TEST_F(QXWinDeviceInfoListTest, EachEntryGetsThePathOfItsOwnInterface) {
  // The first device exposes two interfaces of the class. Pairing the k-th element with the
  // k-th interface of the whole set would give the second device the first one's path.
  mApi.elements = {
      Device("USB\\VID_1209&PID_0001\\A", "USB\\VID_1209&PID_0001&REV_0100",
             {W("\\\\?\\a#first"), W("\\\\?\\a#second")}),
      Device("USB\\VID_1209&PID_0002\\B", "USB\\VID_1209&PID_0002&REV_0100", {W("\\\\?\\b#only")}),
  };
  QXWinUsbDeviceEnumerator enumerator;
  ASSERT_EQ(Enumerate(enumerator, "vid"), QXSTATUS_SUCCESS);
  ASSERT_EQ(enumerator.GetDeviceCount(), 2u);
  QXWinUsbDevInstanceId a, b;
  ASSERT_EQ(enumerator.GetUsbDevInstanceId(0, a), QXSTATUS_SUCCESS);
  ASSERT_EQ(enumerator.GetUsbDevInstanceId(1, b), QXSTATUS_SUCCESS);
  EXPECT_EQ(N(a.devicePath), "\\\\?\\a#first");
  EXPECT_EQ(N(b.devicePath), "\\\\?\\b#only");
  EXPECT_EQ(N(b.instanceId), "USB\\VID_1209&PID_0002\\B");
  EXPECT_EQ(b.productId, 2);
  EXPECT_EQ(enumerator.GetEntries()[1].memberIndex, 1u);
}

TEST_F(QXWinDeviceInfoListTest, DroppedEntriesKeepTheirMemberIndex) {
  mApi.elements = {
      Device("USB\\VID_4321&PID_0001\\X", "USB\\VID_4321&PID_0001&REV_0100", {W("x")}),
      Device("USB\\VID_1209&PID_0001\\A", "USB\\VID_1209&PID_0001&REV_0100", {W("a")}),
      Device("USB\\VID_1209&PID_0001\\NOIF", "USB\\VID_1209&PID_0001&REV_0100", {}),
  };
  TestLogTarget log;
  QXWinUsbDeviceEnumerator enumerator;
  ASSERT_EQ(Enumerate(enumerator, "vid"), QXSTATUS_SUCCESS);
  // X fails the filter; NOIF has no path and is dropped with the failing step logged.
  ASSERT_EQ(enumerator.GetDeviceCount(), 1u);
  EXPECT_EQ(enumerator.GetEntries()[0].memberIndex, 1u);
  EXPECT_TRUE(log.Contains("GetDeviceInterfaceDevicePath failed, st=0x00000103")) << log.Dump();
  EXPECT_TRUE(log.Contains("InitUsbDevInstanceId failed")) << log.Dump();
  QXWinUsbDevInstanceId a;
  ASSERT_EQ(enumerator.GetUsbDevInstanceId(0, a), QXSTATUS_SUCCESS);
  EXPECT_EQ(N(a.devicePath), "a");
}

TEST_F(QXWinDeviceInfoListTest, GrowingRegistryValueIsReadAgain) {
  mApi.elements = {Device("I", "USB\\VID_1209&PID_0001&REV_0100", {W("p")})};
  mApi.growRegistryTimes = 2;
  QXWinUsbDeviceEnumerator enumerator;
  ASSERT_EQ(Enumerate(enumerator, "vid"), QXSTATUS_SUCCESS);
  EXPECT_EQ(enumerator.GetDeviceCount(), 1u);
  // size, data (grew), size, data (grew), size, data
  EXPECT_EQ(mApi.registryCalls, 6);
}

TEST_F(QXWinDeviceInfoListTest, EndlesslyGrowingOrMistypedValuesFailTheRecordNotTheListing) {
  TestLogTarget log;
  mApi.elements = {Device("I", "USB\\VID_1209&PID_0001&REV_0100", {W("p")}),
                   Device("J", "USB\\VID_1209&PID_0001&REV_0100", {W("q")})};
  mApi.elements[1].hardwareIdType = kQXRegSz;
  mApi.growRegistryTimes = 1000;
  QXWinUsbDeviceEnumerator enumerator;
  ASSERT_EQ(Enumerate(enumerator, "vid"), QXSTATUS_SUCCESS);
  EXPECT_EQ(enumerator.GetDeviceCount(), 0u);
  EXPECT_TRUE(log.Contains("GetDeviceRegistryProperty(1) 2 failed, st=0x0000007a")) << log.Dump();
  mApi.growRegistryTimes = 0;
  ASSERT_EQ(Enumerate(enumerator, "vid"), QXSTATUS_SUCCESS);
  EXPECT_EQ(enumerator.GetDeviceCount(), 1u);
  EXPECT_TRUE(log.Contains("unexpected type 1")) << log.Dump();
  EXPECT_TRUE(log.Contains("GetDeviceRegistryPropertyMULTISTRING(SPDRP_HARDWAREID) failed, st=0xee000046"))
      << log.Dump();
}

TEST_F(QXWinDeviceInfoListTest, FailuresOfTheListingItselfEmptyTheList) {
  TestLogTarget log;
  mApi.elements = {Device("I", "USB\\VID_1209&PID_0001&REV_0100", {W("p")}),
                   Device("J", "USB\\VID_1209&PID_0001&REV_0100", {W("q")})};
  mApi.enumInfoErrorAt = 1;
  mApi.enumInfoError = 1167;  // ERROR_DEVICE_NOT_CONNECTED
  QXWinUsbDeviceEnumerator enumerator;
  EXPECT_EQ(Enumerate(enumerator, "vid"), 1167u);
  EXPECT_EQ(enumerator.GetDeviceCount(), 0u);
  EXPECT_EQ(mApi.openSets, 0);
  EXPECT_TRUE(QXIsNullGuid(enumerator.GetInterfaceGuid()));
  EXPECT_TRUE(log.Contains("SetupDiEnumDeviceInfo() failed, err=0x0000048f")) << log.Dump();
  EXPECT_TRUE(log.Contains("FillDevInfoVector() failed, st=0x0000048f")) << log.Dump();

  mApi.enumInfoErrorAt = UINT32_MAX;
  mApi.openFails = true;
  EXPECT_EQ(Enumerate(enumerator, "vid"), 5u);
  EXPECT_TRUE(log.Contains("SetupDiGetClassDevs() failed, err=0x00000005")) << log.Dump();
  EXPECT_TRUE(log.Contains("GetClassDevs() failed, st=0x00000005")) << log.Dump();

  // The list without a filter counts the set first and keeps every element.
  mApi.openFails = false;
  QXWinDeviceInfoList all;
  ASSERT_EQ(all.EnumerateByDeviceInterfaceClass(ParseGuid(kGuidText), nullptr, nullptr), 0u);
  EXPECT_EQ(all.GetDeviceCount(), 2u);
  all.Clear();
  EXPECT_EQ(mApi.openSets, 0);
}

TEST(QXWinUsbHardwareId, ExtractsTheFieldsAtTheirPlaces) {
  QXUsbDeviceIdentifiers ids;
  ASSERT_EQ(ExtractUsbIdsFromHardwareId(ids, {W("USB\\VID_1234&PID_5678&REV_0100")}, 0), QXSTATUS_SUCCESS);
  EXPECT_EQ(ids.vendorId, 0x1234);
  EXPECT_EQ(ids.productId, 0x5678);
  EXPECT_EQ(ids.bcdDevice, 0x0100);
  EXPECT_EQ(ids.interfaceNumber, 0);
  EXPECT_EQ(ids.interfaceClass, -1);

  // Letter case does not matter; only the first identifier counts.
  ASSERT_EQ(ExtractUsbIdsFromHardwareId(ids, {W("usb\\vid_abcd&pid_ef01&rev_ffff&mi_02"), W("USB\\VID_1111")}, 0),
            QXSTATUS_SUCCESS);
  EXPECT_EQ(ids.vendorId, 0xABCD);
  EXPECT_EQ(ids.productId, 0xEF01);
  EXPECT_EQ(ids.bcdDevice, 0xFFFF);
  EXPECT_EQ(ids.interfaceNumber, 2);

  // No REV: the later fields are not where they belong and are skipped.
  ASSERT_EQ(ExtractUsbIdsFromHardwareId(ids, {W("USB\\VID_1234&PID_5678&MI_01")}, 0), QXSTATUS_SUCCESS);
  EXPECT_EQ(ids.productId, 0x5678);
  EXPECT_EQ(ids.bcdDevice, -1);
  EXPECT_EQ(ids.interfaceNumber, 0);

  // Another bus, or HID expected: nothing extracted, still a success.
  ASSERT_EQ(ExtractUsbIdsFromHardwareId(ids, {W("HID\\VID_1234&PID_5678&REV_0100")}, 0), QXSTATUS_SUCCESS);
  EXPECT_EQ(ids.vendorId, -1);
  EXPECT_EQ(ids.interfaceNumber, -1);
  ASSERT_EQ(ExtractUsbIdsFromHardwareId(ids, {W("HID\\VID_1234&PID_5678&REV_0100")}, 1), QXSTATUS_SUCCESS);
  EXPECT_EQ(ids.bcdDevice, 0x0100);
}

TEST(QXWinUsbHardwareId, BadFieldsAndShortTextsAreReported) {
  TestLogTarget log;
  QXUsbDeviceIdentifiers ids;
  ASSERT_EQ(ExtractUsbIdsFromHardwareId(ids, {W("USB\\VID_12G4&PID_5678&REV_01Z0")}, 0), QXSTATUS_SUCCESS);
  EXPECT_EQ(ids.vendorId, -1);
  EXPECT_EQ(ids.productId, 0x5678);
  EXPECT_EQ(ids.bcdDevice, -1);
  EXPECT_TRUE(
      log.Contains("QXConvertStringToNumeric(12G4) failed for VID, hwid=USB\\VID_12G4&PID_5678&REV_01Z0, "
                   "st=0xee000051",
                   kQXLogLevelWarn))
      << log.Dump();
  EXPECT_TRUE(log.Contains("failed for REV", kQXLogLevelWarn)) << log.Dump();

  EXPECT_EQ(ExtractUsbIdsFromHardwareId(ids, {}, 0), QXSTATUS_INVALID_LENGTH);
  EXPECT_TRUE(log.Contains("hwid is empty"));
  EXPECT_EQ(ExtractUsbIdsFromHardwareId(ids, {W("USB")}, 0), QXSTATUS_INVALID_LENGTH);
  EXPECT_TRUE(log.Contains("string length 3 is unexpected, hwid=USB")) << log.Dump();
  // Truncated identifiers never read past their end.
  for (const char* cut : {"USB\\VID_12", "USB\\VID_1234&PID_56", "USB\\VID_1234&PID_5678&REV_01",
                          "USB\\VID_1234&PID_5678&REV_0100&MI_0"}) {
    EXPECT_EQ(ExtractUsbIdsFromHardwareId(ids, {W(cut)}, 0), QXSTATUS_SUCCESS) << cut;
  }
}

TEST(QXWinGuidText, RoundTripsTheBracedForm) {
  QXGuid g{};
  ASSERT_EQ(QXWinGuid::GuidFromString(W("{6e45736a-2b1b-4078-b772-b3af2b6fde1c}"), g), QXSTATUS_SUCCESS);
  EXPECT_EQ(g.Data1, 0x6E45736Au);
  EXPECT_EQ(g.Data2, 0x2B1Bu);
  EXPECT_EQ(g.Data3, 0x4078u);
  EXPECT_EQ(g.Data4[0], 0xB7u);
  EXPECT_EQ(g.Data4[7], 0x1Cu);
  EXPECT_EQ(N(QXWinGuid::StringFromGuid(g)), "{6E45736A-2B1B-4078-B772-B3AF2B6FDE1C}");
  for (const char* bad : {"", "6E45736A-2B1B-4078-B772-B3AF2B6FDE1C", "{6E45736A-2B1B-4078-B772-B3AF2B6FDE1C",
                          "{6E45736A-2B1B-4078-B772-B3AF2B6FDE1X}", "{6E45736A-2B1B-4078-B772-B3AF2B6FDE1C}x"}) {
    QXGuid out = g;
    EXPECT_EQ(QXWinGuid::GuidFromString(W(bad), out), QXSTATUS_INVALID_FORMAT) << bad;
    EXPECT_TRUE(QXIsNullGuid(out)) << bad;
  }
}

TEST(QXWinClockResolutionTest, RoundsUpToMultiplesOfTheResolution) {
  EXPECT_EQ(RoundUpMillisecsToResolution(100, 16), 112u);
  EXPECT_EQ(RoundUpMillisecsToResolution(112, 16), 112u);
  EXPECT_EQ(RoundUpMillisecsToResolution(1, 16), 16u);
  EXPECT_EQ(RoundUpMillisecsToResolution(0, 16), 0u);
  EXPECT_EQ(RoundUpMillisecsToResolution(100, 0), 100u);
  EXPECT_EQ(RoundUpMillisecsToResolution(100, 1), 100u);
  // A multiple beyond 32 bits leaves the delay as it is.
  EXPECT_EQ(RoundUpMillisecsToResolution(UINT32_MAX - 3, 16), UINT32_MAX - 3);
  uint32_t resolution = 0;
  ASSERT_EQ(GetCurrentClockResolution(resolution), QXSTATUS_SUCCESS);
  EXPECT_GE(resolution, 1u);
  EXPECT_EQ(RoundUpMillisecsToClockResolution(100) % resolution, 0u);
  EXPECT_GE(RoundUpMillisecsToClockResolution(100), 100u);
}

}  // namespace
}  // namespace plendrik
