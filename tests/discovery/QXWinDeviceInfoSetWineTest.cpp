// The real SetupAPI listing under Wine: devices registered in Wine's device database are
// listed by the library's windows seam with their identities. Skipped outside Wine.
#if defined(_WIN32)

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "EnumerationWineRegistry.h"
#include "discovery/DfuEnumerator.h"
#include "discovery/DfuEnumeratorPortUsbDfu.h"
#include "discovery/QXWinSetupApi.h"
#include "support/TestLogTarget.h"

namespace plendrik {
namespace {

// A class of the test's own, so that nothing else in the prefix is listed.
const wchar_t* kWineGuidW = L"{D4A3E2F1-0B1C-4D5E-8F90-A1B2C3D4E5F6}";
const char* kWineGuid = "{D4A3E2F1-0B1C-4D5E-8F90-A1B2C3D4E5F6}";

class QXWinDeviceInfoSetWineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fbtest::RunningUnderWine()) {
      GTEST_SKIP() << "registers devices only under Wine";
    }
    QXWinSetSetupApi(nullptr);  // the real SetupAPI
    mRegistry = std::make_unique<fbtest::WineDeviceRegistry>(kWineGuidW);
  }
  void TearDown() override { mRegistry.reset(); }

  void Add(const fbtest::WineDeviceRegistry::Device& device) {
    const std::string error = mRegistry->Add(device);
    ASSERT_TRUE(error.empty()) << error;
  }
  static fbtest::WineDeviceRegistry::Device Device(const wchar_t* instanceId, const wchar_t* hwid) {
    fbtest::WineDeviceRegistry::Device d;
    d.instanceId = instanceId;
    d.hardwareIds = {hwid, L"USB\\COMPAT"};
    return d;
  }

  std::unique_ptr<fbtest::WineDeviceRegistry> mRegistry;
};

TEST_F(QXWinDeviceInfoSetWineTest, ListsRegisteredDevicesWithTheirIdentities) {
  auto composite = Device(L"USB\\VID_1209&PID_0001&MI_00\\6&1234&0&0000", L"USB\\VID_1209&PID_0001&REV_0100&MI_00");
  composite.containerId = L"{01234567-89AB-CDEF-0123-456789ABCDEF}";
  Add(composite);
  Add(Device(L"USB\\VID_1209&PID_0002\\SN2", L"USB\\VID_1209&PID_0002&REV_0200"));
  Add(Device(L"USB\\VID_1209&PID_0001\\NOREV", L"USB\\VID_1209&PID_0001"));
  const auto paths = mRegistry->InterfacePaths();
  ASSERT_EQ(paths.size(), 3u);

  TestLogTarget log;
  auto enumerator = QXMakeShared<DfuEnumerator>(kWineGuid);
  ASSERT_EQ(enumerator->EnumerateDevices("VID=0x1209, PID=0x0001\nVID=0x1209, PID=0x0002", 0, 0, 0), QXSTATUS_SUCCESS)
      << log.Dump();
  // The device without REV is dropped.
  ASSERT_EQ(enumerator->GetDeviceCount(), 2u) << log.Dump();
  std::vector<QXWinUsbDevInstanceId> records(2);
  for (uint32_t i = 0; i < 2; ++i) {
    ASSERT_EQ(enumerator->GetPortUsbDfu()->GetUsbDevInstanceId(i, records[i]), QXSTATUS_SUCCESS);
  }
  // Order of the set is the system's; find each by its instance id.
  const QXWinUsbDevInstanceId* first = nullptr;
  const QXWinUsbDevInstanceId* second = nullptr;
  for (const auto& r : records) {
    if (_wcsicmp(r.instanceId.c_str(), L"USB\\VID_1209&PID_0001&MI_00\\6&1234&0&0000") == 0) {
      first = &r;
    } else if (_wcsicmp(r.instanceId.c_str(), L"USB\\VID_1209&PID_0002\\SN2") == 0) {
      second = &r;
    }
  }
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(first->productId, 1);
  EXPECT_EQ(first->bcdDevice, 0x0100);
  EXPECT_EQ(first->interfaceNumber, 0);
  EXPECT_EQ(_wcsicmp(first->devicePath.c_str(), paths[0].c_str()), 0);
  EXPECT_EQ(first->GetContainerIdString(), L"{01234567-89AB-CDEF-0123-456789ABCDEF}");
  EXPECT_EQ(second->bcdDevice, 0x0200);
  EXPECT_EQ(_wcsicmp(second->devicePath.c_str(), paths[1].c_str()), 0);
  EXPECT_TRUE(second->GetContainerIdString().empty());
}

TEST_F(QXWinDeviceInfoSetWineTest, DeviceWithTwoInterfacesDoesNotShiftTheOthersPaths) {
  auto twice = Device(L"USB\\VID_1209&PID_0003\\TWO", L"USB\\VID_1209&PID_0003&REV_0100");
  twice.referenceStrings = {L"", L"second"};
  Add(twice);
  Add(Device(L"USB\\VID_1209&PID_0004\\ONE", L"USB\\VID_1209&PID_0004&REV_0100"));
  auto enumerator = QXMakeShared<DfuEnumerator>(kWineGuid);
  ASSERT_EQ(enumerator->EnumerateDevices("VID=0x1209, PID=3\nVID=0x1209, PID=4", 0, 0, 0), QXSTATUS_SUCCESS);
  ASSERT_EQ(enumerator->GetDeviceCount(), 2u);
  for (uint32_t i = 0; i < 2; ++i) {
    QXWinUsbDevInstanceId r;
    ASSERT_EQ(enumerator->GetPortUsbDfu()->GetUsbDevInstanceId(i, r), QXSTATUS_SUCCESS);
    // Every path names its own device.
    std::wstring path = r.devicePath;
    for (auto& c : path) c = static_cast<wchar_t>(towlower(c));
    const wchar_t* own = r.productId == 3 ? L"pid_0003" : L"pid_0004";
    EXPECT_NE(path.find(own), std::wstring::npos) << "index " << i;
  }
}

TEST_F(QXWinDeviceInfoSetWineTest, DeviceRegisteredDuringRetriesEndsTheLoop) {
  std::string error;
  std::thread plug([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    error = mRegistry->Add(Device(L"USB\\VID_1209&PID_0005\\LATE", L"USB\\VID_1209&PID_0005&REV_0100"));
  });
  auto enumerator = QXMakeShared<DfuEnumerator>(kWineGuid);
  const QXSTATUS st = enumerator->EnumerateDevices("VID=0x1209, PID=5", 300, 10, 0);
  plug.join();
  ASSERT_TRUE(error.empty()) << error;
  ASSERT_EQ(st, QXSTATUS_SUCCESS);
  EXPECT_EQ(enumerator->GetDeviceCount(), 1u);
}

}  // namespace
}  // namespace plendrik

#endif  // _WIN32
