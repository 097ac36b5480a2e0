// The enumeration exports called in-process against the virtual USB bus (on windows with the
// bus put behind the SetupAPI seam): handles, counts, retries, filters and configuration.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "EnumerationTestBus.h"
#include "api/DfuApi.h"
#include "discovery/QXWinClockResolution.h"
#include "flashbridge.h"
#include "support/TestLogTarget.h"

namespace plendrik {
namespace {

class QXDFUEnumerationApiTest : public EnumerationBusTest {
 protected:
  void SetUp() override {
    EnumerationBusTest::SetUp();
    mSavedGuid = gDfuApi.GetDriverInterfaceGuid();
    gDfuApi.SetDriverInterfaceGuid(kTestGuidText);
  }
  void TearDown() override {
    gDfuApi.SetDriverInterfaceGuid(mSavedGuid);
    EnumerationBusTest::TearDown();
  }
  std::string mSavedGuid;
};

TEST_F(QXDFUEnumerationApiTest, NoDeviceGivesCountZeroAndAHandleToClose) {
  TestLogTarget log;
  uint32_t handle = 0xDEAD;
  uint32_t count = 0xDEAD;
  ASSERT_EQ(QXDFU_EnumerateUsbDfuDevices("VID=0x1209, PID=0x0001", &handle, &count, 0, 0, 0), QXSTATUS_SUCCESS);
  EXPECT_EQ(count, 0u);
  EXPECT_NE(handle, 0u);
  EXPECT_EQ(mApi.classDevsCalls, 1);
  // The handle in eight hex digits (its upper digits count the enumerations made so far).
  char expected[64];
  std::snprintf(expected, sizeof(expected), "Found 0 device(s), handle=0x%08X", handle);
  EXPECT_TRUE(log.Contains(expected, kQXLogLevelInfo)) << log.Dump();
  EXPECT_EQ(QXDFU_CloseEnumeration(handle), QXSTATUS_SUCCESS);
  EXPECT_TRUE(log.Contains("was closed", kQXLogLevelInfo)) << log.Dump();
  // Closed, stale and foreign handles are refused.
  EXPECT_EQ(QXDFU_CloseEnumeration(handle), QXSTATUS_INVALID_HANDLE);
  EXPECT_EQ(QXDFU_CloseEnumeration(0), QXSTATUS_INVALID_HANDLE);
  EXPECT_TRUE(log.Contains("invalid enumerationHandle 0x0", kQXLogLevelError)) << log.Dump();
}

TEST_F(QXDFUEnumerationApiTest, DevicesAreCountedAndEachEnumerationHasItsOwnHandle) {
  Attach(DfuDeviceSpec(0x1209, 0x0001, 0x0100, "A"));
  Attach(DfuDeviceSpec(0x1209, 0x0001, 0x0200, "B"));
  Attach(DfuDeviceSpec(0x1209, 0x0002, 0x0100, "C"));
  uint32_t h1 = 0, n1 = 0, h2 = 0, n2 = 0;
  ASSERT_EQ(QXDFU_EnumerateUsbDfuDevices("VID=0x1209, PID=0x0001", &h1, &n1, 0, 0, 0), QXSTATUS_SUCCESS);
  ASSERT_EQ(
      QXDFU_EnumerateUsbDfuDevices("VID=0x1209, PID=2\nVID=0x1209, PID=1, MIN_BCDDEVICE=0x0150", &h2, &n2, 0, 0, 0),
      QXSTATUS_SUCCESS);
  EXPECT_EQ(n1, 2u);
  EXPECT_EQ(n2, 2u);
  EXPECT_NE(h1, h2);
  auto e1 = gDfuApi.mEnumerations.GetObject(h1);
  ASSERT_TRUE(e1);
  EXPECT_EQ(e1->GetDeviceType(), QXDFU_DEVICE_TYPE_USB_DFU);
  EXPECT_EQ(QXDFU_CloseEnumeration(h1), QXSTATUS_SUCCESS);
  // A holder of a reference keeps the closed enumeration usable.
  EXPECT_EQ(e1->GetDeviceCount(), 2u);
  EXPECT_EQ(QXDFU_CloseEnumeration(h2), QXSTATUS_SUCCESS);
}

TEST_F(QXDFUEnumerationApiTest, RetriesMakeRetryCountPlusOneAttempts) {
  uint32_t handle = 0, count = 0;
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(QXDFU_EnumerateUsbDfuDevices("VID=0x1209, PID=0x0001", &handle, &count, 3, 25, 0), QXSTATUS_SUCCESS);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(mApi.classDevsCalls, 4);
  EXPECT_EQ(count, 0u);
  EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count(),
            3 * static_cast<int64_t>(RoundUpMillisecsToClockResolution(25)));
  EXPECT_EQ(QXDFU_CloseEnumeration(handle), QXSTATUS_SUCCESS);

  TestLogTarget log;
  mApi.classDevsCalls = 0;
  ASSERT_EQ(QXDFU_EnumerateUsbDfuDevices("VID=0x1209, PID=0x0001", &handle, &count, 2, 0, 0), QXSTATUS_SUCCESS);
  EXPECT_EQ(mApi.classDevsCalls, 3);
  EXPECT_TRUE(log.Contains("retryDelay is zero but retryCount (2) is greater zero", kQXLogLevelWarn)) << log.Dump();
  EXPECT_TRUE(log.Contains("retryDelay is zero but retryCount (1) is greater zero", kQXLogLevelWarn)) << log.Dump();
  EXPECT_EQ(QXDFU_CloseEnumeration(handle), QXSTATUS_SUCCESS);
}

TEST_F(QXDFUEnumerationApiTest, DeviceJoiningFromAnotherThreadEndsTheRetries) {
  std::thread plug([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(120));
    Attach(DfuDeviceSpec(0x1209, 0x0001, 0x0100, "LATE"));
  });
  uint32_t handle = 0, count = 0;
  const QXSTATUS st = QXDFU_EnumerateUsbDfuDevices("VID=0x1209, PID=0x0001", &handle, &count, 500, 10, 0);
  plug.join();
  ASSERT_EQ(st, QXSTATUS_SUCCESS);
  EXPECT_EQ(count, 1u);
  EXPECT_LT(mApi.classDevsCalls, 501);
  EXPECT_EQ(QXDFU_CloseEnumeration(handle), QXSTATUS_SUCCESS);
}

TEST_F(QXDFUEnumerationApiTest, FailuresIssueNoHandle) {
  TestLogTarget log;
  uint32_t handle = 77, count = 77;
  EXPECT_EQ(QXDFU_EnumerateUsbDfuDevices("VID=0x1209, PID=0x0001", nullptr, &count, 0, 0, 0),
            QXSTATUS_INVALID_PARAMETER);
  EXPECT_TRUE(log.Contains("enumerationHandle is nullptr"));
  EXPECT_EQ(QXDFU_EnumerateUsbDfuDevices("VID=0x1209, PID=0x0001", &handle, nullptr, 0, 0, 0),
            QXSTATUS_INVALID_PARAMETER);
  EXPECT_TRUE(log.Contains("deviceCount is nullptr"));
  EXPECT_EQ(handle, 77u);

  EXPECT_EQ(QXDFU_EnumerateUsbDfuDevices("VID=0x1209, PID=0x0001", &handle, &count, 0, 0, 2),
            QXSTATUS_INVALID_PARAMETER);
  EXPECT_EQ(handle, 0u);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(QXDFU_EnumerateUsbDfuDevices("GUID={6E45736A-2B1B-4078-B772-B3AF2B6FDE1C}", &handle, &count, 0, 0, 0),
            QXSTATUS_INVALID_FORMAT);
  EXPECT_TRUE(log.Contains("unknown key 'GUID'")) << log.Dump();

  gDfuApi.SetDriverInterfaceGuid("");
  handle = 77;
  EXPECT_EQ(QXDFU_EnumerateUsbDfuDevices("VID=0x1209, PID=0x0001", &handle, &count, 0, 0, 0),
            QXSTATUS_INVALID_CONFIGURATION);
  EXPECT_EQ(handle, 0u);
  EXPECT_TRUE(log.Contains("No DriverInterfaceGuidString, invalid configuration", kQXLogLevelError));
  EXPECT_TRUE(log.Contains("EnumerateDevices failed, st=0xee000052", kQXLogLevelError)) << log.Dump();
  EXPECT_EQ(gDfuApi.mEnumerations.GetObjectCount(), 0u);
}

TEST_F(QXDFUEnumerationApiTest, HardwareIdWithoutRevisionIsNotListed) {
  auto spec = DfuDeviceSpec(0x1209, 0x0001, 0x0100, "NOREV");
  spec.identity.revisionInHardwareId = false;
  Attach(spec);
  uint32_t handle = 0, count = 0;
  ASSERT_EQ(QXDFU_EnumerateUsbDfuDevices("VID=0x1209, PID=0x0001", &handle, &count, 0, 0, 0), QXSTATUS_SUCCESS);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(QXDFU_CloseEnumeration(handle), QXSTATUS_SUCCESS);
}

// Many listings open at once: each is found by its own handle and keeps the devices it saw,
// a destroyed one is refused (also a second time), and the others are not disturbed.
TEST_F(QXDFUEnumerationApiTest, ManyOpenDeviceSetsEachKeepTheirOwnSnapshot) {
  QXWinSetupApiVirtualBus api;
  const QXGuid guid = QXWinSetupApiVirtualBus::ToGuid(TestGuid());
  std::vector<QXHDevInfo> sets;
  std::vector<uint32_t> expected;
  for (uint32_t i = 0; i < 300; ++i) {
    if (i % 100 == 0) {
      char serial[16];
      std::snprintf(serial, sizeof(serial), "S%u", static_cast<unsigned>(i));
      Attach(DfuDeviceSpec(0x1209, 0x0001, 0x0100, serial));
    }
    QXHDevInfo set = QXInvalidDevInfo();
    ASSERT_EQ(api.GetClassDevs(guid, kQXDigcfPresent | kQXDigcfDeviceInterface, set), 0u);
    sets.push_back(set);
    expected.push_back(i / 100 + 1);
  }
  auto countOf = [&](QXHDevInfo set) {
    uint32_t n = 0;
    QXSpDevInfoData data{};
    data.cbSize = sizeof(data);
    while (api.EnumDeviceInfo(set, n, data) == 0) {
      ++n;
    }
    return n;
  };
  for (size_t i = 0; i < sets.size(); i += 2) {
    ASSERT_EQ(api.DestroyDeviceInfoList(sets[i]), 0u);
  }
  for (size_t i = 0; i < sets.size(); ++i) {
    QXSpDevInfoData data{};
    data.cbSize = sizeof(data);
    if (i % 2 == 0) {
      EXPECT_EQ(api.EnumDeviceInfo(sets[i], 0, data), kQXErrorInvalidHandle) << i;
      EXPECT_EQ(api.DestroyDeviceInfoList(sets[i]), kQXErrorInvalidHandle) << i;
    } else {
      EXPECT_EQ(countOf(sets[i]), expected[i]) << i;
      EXPECT_EQ(api.DestroyDeviceInfoList(sets[i]), 0u) << i;
    }
  }
  EXPECT_EQ(api.DestroyDeviceInfoList(nullptr), kQXErrorInvalidHandle);
}

}  // namespace
}  // namespace plendrik
