// Enumeration with retries and filters over the virtual USB bus, through DfuEnumerator and
// its USB DFU port.
#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <thread>

#include "EnumerationTestBus.h"
#include "discovery/DfuEnumerator.h"
#include "discovery/DfuEnumeratorPortUsbDfu.h"
#include "discovery/QXWinClockResolution.h"
#include "support/TestLogTarget.h"

namespace plendrik {
namespace {

using Clock = std::chrono::steady_clock;

class DfuEnumeratorTest : public EnumerationBusTest {
 protected:
  QXIntrusiveSharedPtrT<DfuEnumerator> mEnumerator = QXMakeShared<DfuEnumerator>(kTestGuidText);
};

TEST_F(DfuEnumeratorTest, NoDeviceIsOneAttemptAndSuccess) {
  EXPECT_EQ(mEnumerator->GetDeviceType(), 0u);
  ASSERT_EQ(mEnumerator->EnumerateDevices("VID=0x1209, PID=0x0001", 0, 100, 0), QXSTATUS_SUCCESS);
  EXPECT_EQ(mEnumerator->GetDeviceCount(), 0u);
  EXPECT_EQ(mApi.classDevsCalls, 1);
  EXPECT_EQ(mEnumerator->GetDeviceType(), QXDFU_DEVICE_TYPE_USB_DFU);
}

TEST_F(DfuEnumeratorTest, RetriesWaitTheRoundedDelayBetweenAttempts) {
  const uint32_t delay = 40;
  const auto start = Clock::now();
  ASSERT_EQ(mEnumerator->EnumerateDevices("VID=0x1209, PID=0x0001", 3, delay, 0), QXSTATUS_SUCCESS);
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  EXPECT_EQ(mApi.classDevsCalls, 4);
  EXPECT_EQ(mEnumerator->GetDeviceCount(), 0u);
  EXPECT_GE(elapsed.count(), 3 * static_cast<int64_t>(RoundUpMillisecsToClockResolution(delay)));
}

TEST_F(DfuEnumeratorTest, ZeroDelayRetriesWithoutWaitingAndWarnsEachTime) {
  TestLogTarget log;
  ASSERT_EQ(mEnumerator->EnumerateDevices("VID=0x1209, PID=0x0001", 2, 0, 0), QXSTATUS_SUCCESS);
  EXPECT_EQ(mApi.classDevsCalls, 3);
  EXPECT_EQ(log.Count("retryDelay is zero but retryCount", kQXLogLevelWarn), 2u) << log.Dump();
  // The count of retries left: first 2, then 1.
  const auto lines = log.Lines();
  std::vector<std::string> warns;
  for (const auto& line : lines) {
    if (line.text.find("retryDelay is zero") != std::string::npos) {
      warns.push_back(line.text);
    }
  }
  ASSERT_EQ(warns.size(), 2u);
  EXPECT_NE(warns[0].find("plendrik::DfuEnumerator::EnumerateDevices: retryDelay is zero but retryCount (2) is "
                          "greater zero"),
            std::string::npos)
      << warns[0];
  EXPECT_NE(warns[1].find("retryCount (1) is greater zero"), std::string::npos) << warns[1];
}

TEST_F(DfuEnumeratorTest, DeviceJoiningDuringRetriesEndsTheLoop) {
  std::thread plug([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    Attach(DfuDeviceSpec(0x1209, 0x0001, 0x0100, "LATE1"));
  });
  const auto start = Clock::now();
  const QXSTATUS st = mEnumerator->EnumerateDevices("VID=0x1209, PID=0x0001", 200, 20, 0);
  const auto elapsed = Clock::now() - start;
  plug.join();
  ASSERT_EQ(st, QXSTATUS_SUCCESS);
  EXPECT_EQ(mEnumerator->GetDeviceCount(), 1u);
  EXPECT_LT(mApi.classDevsCalls, 201);
  EXPECT_LT(elapsed, std::chrono::seconds(3));
}

TEST_F(DfuEnumeratorTest, NonZeroFlagsFailBeforeAnyListing) {
  TestLogTarget log;
  Attach(DfuDeviceSpec(0x1209, 0x0001, 0x0100, "A"));
  EXPECT_EQ(mEnumerator->EnumerateDevices("VID=0x1209, PID=0x0001", 0, 0, 1), QXSTATUS_INVALID_PARAMETER);
  EXPECT_EQ(mApi.classDevsCalls, 0);
  EXPECT_TRUE(log.Contains("invalid parameter: flags=1", kQXLogLevelError)) << log.Dump();
  EXPECT_EQ(mEnumerator->GetDeviceType(), 0u);
}

TEST_F(DfuEnumeratorTest, FilterErrorsEndTheEnumerationWithTheirStatus) {
  TestLogTarget log;
  EXPECT_EQ(mEnumerator->EnumerateDevices("VID=0x1209", 3, 0, 0), QXSTATUS_INVALID_FORMAT);
  EXPECT_EQ(mApi.classDevsCalls, 0);
  EXPECT_TRUE(log.Contains("CreateDfuDeviceFilter failed, st=0xee000051")) << log.Dump();
  EXPECT_TRUE(log.Contains("EnumerateDevices failed, st=0xee000051")) << log.Dump();
  EXPECT_EQ(mEnumerator->EnumerateDevices(nullptr, 0, 0, 0), QXSTATUS_INVALID_PARAMETER);
  EXPECT_TRUE(log.Contains("deviceFilterDescription is nullptr")) << log.Dump();
}

TEST_F(DfuEnumeratorTest, WithoutConfiguredGuidEveryEnumerationFails) {
  TestLogTarget log;
  auto enumerator = QXMakeShared<DfuEnumerator>("");
  EXPECT_EQ(enumerator->EnumerateDevices("VID=0x1209, PID=0x0001", 0, 0, 0), QXSTATUS_INVALID_CONFIGURATION);
  EXPECT_TRUE(log.Contains("No DriverInterfaceGuidString, invalid configuration", kQXLogLevelError));
}

TEST_F(DfuEnumeratorTest, UnusableGuidTextIsInvalidFormat) {
  TestLogTarget log;
  for (const char* text : {"6E45736A-2B1B-4078-B772-B3AF2B6FDE1C", "{6E45736A-2B1B-4078-B772-B3AF2B6FDE1}",
                           "{6E45736A-2B1B-4078-B772-B3AF2B6FDE1G}", "{6E45736A+2B1B-4078-B772-B3AF2B6FDE1C}"}) {
    auto enumerator = QXMakeShared<DfuEnumerator>(text);
    EXPECT_EQ(enumerator->EnumerateDevices("VID=0x1209, PID=0x0001", 0, 0, 0), QXSTATUS_INVALID_FORMAT) << text;
  }
  EXPECT_EQ(mApi.classDevsCalls, 0);
  EXPECT_TRUE(log.Contains("IIDFromString failed, res="));
  EXPECT_TRUE(log.Contains("GuidFromString failed, st=0xee000051"));
}

TEST_F(DfuEnumeratorTest, FiltersSelectByVendorProductAndReleaseRange) {
  Attach(DfuDeviceSpec(0x1209, 0x0001, 0x0100, "A"));
  Attach(DfuDeviceSpec(0x1209, 0x0002, 0x0100, "B"));
  Attach(DfuDeviceSpec(0x1234, 0x0001, 0x0100, "C"));
  Attach(DfuDeviceSpec(0x1209, 0x0001, 0x0250, "D"));
  auto other = DfuDeviceSpec(0x1209, 0x0001, 0x0100, "E");
  other.identity.interfaceClassGuid = TestGuid(kOtherGuidText);
  Attach(other);

  struct Case {
    const char* filter;
    std::vector<const char*> serials;
  };
  const Case cases[] = {
      {"VID=0x1209, PID=0x0001", {"A", "D"}},
      {"VID=0x1209, PID=0x0002\nVID=0x1234, PID=1", {"B", "C"}},
      {"VID=0x1209, PID=0x0001, MIN_BCDDEVICE=0x0200", {"D"}},
      {"VID=0x1209, PID=0x0001, MAX_BCDDEVICE=0x0249", {"A"}},
      {"VID=0x1209, PID=0x0001, MIN_BCDDEVICE=0x0100, MAX_BCDDEVICE=0x0250", {"A", "D"}},
      {"VID=0x1209, PID=0x0001, MIN_BCDDEVICE=0x0300, MAX_BCDDEVICE=0x0200", {}},
      {"VID=0x4321, PID=0x0001", {}},
  };
  for (const Case& c : cases) {
    auto enumerator = QXMakeShared<DfuEnumerator>(kTestGuidText);
    ASSERT_EQ(enumerator->EnumerateDevices(c.filter, 0, 0, 0), QXSTATUS_SUCCESS) << c.filter;
    ASSERT_EQ(enumerator->GetDeviceCount(), c.serials.size()) << c.filter;
    // The list keeps the order of arrival; each index names its own device.
    for (uint32_t i = 0; i < c.serials.size(); ++i) {
      QXWinUsbDevInstanceId record;
      ASSERT_EQ(enumerator->GetPortUsbDfu()->GetUsbDevInstanceId(i, record), QXSTATUS_SUCCESS);
      EXPECT_EQ(sim::SimNarrow(record.instanceId).substr(22), c.serials[i]) << c.filter;
      std::string serial = c.serials[i];
      for (char& ch : serial) {
        ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
      }
      EXPECT_NE(sim::SimNarrow(record.devicePath).find("#" + serial + "#"), std::string::npos)
          << sim::SimNarrow(record.devicePath);
    }
  }
}

TEST_F(DfuEnumeratorTest, HardwareIdWithoutRevisionDropsTheDevice) {
  TestLogTarget log;
  auto spec = DfuDeviceSpec(0x1209, 0x0001, 0x0100, "NOREV");
  spec.identity.revisionInHardwareId = false;
  Attach(spec);
  Attach(DfuDeviceSpec(0x1209, 0x0001, 0x0100, "REV"));
  ASSERT_EQ(mEnumerator->EnumerateDevices("VID=0x1209, PID=0x0001", 0, 0, 0), QXSTATUS_SUCCESS);
  ASSERT_EQ(mEnumerator->GetDeviceCount(), 1u);
  QXWinUsbDevInstanceId record;
  ASSERT_EQ(mEnumerator->GetPortUsbDfu()->GetUsbDevInstanceId(0, record), QXSTATUS_SUCCESS);
  EXPECT_NE(sim::SimNarrow(record.instanceId).find("REV"), std::string::npos);
  EXPECT_TRUE(log.Contains("bcdDevice not present", kQXLogLevelError)) << log.Dump();
  EXPECT_TRUE(log.Contains("GetUsbIdentifiers failed, st=0xee000012", kQXLogLevelWarn)) << log.Dump();
}

TEST_F(DfuEnumeratorTest, RecordCarriesIdentityOfTheListedDevice) {
  TestLogTarget log;
  auto composite = DfuDeviceSpec(0x1209, 0x0005, 0x0310, "COMP");
  composite.configurations[0].interfaces = {sim::SimInterfaceSpec{}, sim::SimInterfaceSpec{}};
  composite.configurations[0].interfaces[1].interfaceNumber = 2;
  composite.identity.composite = true;
  composite.identity.compositeInterfaces = {2};
  sim::SimGuid container;
  ASSERT_TRUE(sim::SimGuid::Parse(std::string_view("{01234567-89AB-CDEF-0123-456789ABCDEF}"), container));
  composite.identity.containerId = container;
  Attach(composite);
  auto plain = DfuDeviceSpec(0x1209, 0x0005, 0x0310, "PLAIN");
  Attach(plain);

  ASSERT_EQ(mEnumerator->EnumerateDevices("VID=0x1209, PID=0x0005", 0, 0, 0), QXSTATUS_SUCCESS);
  ASSERT_EQ(mEnumerator->GetDeviceCount(), 2u);
  QXWinUsbDevInstanceId first;
  ASSERT_EQ(mEnumerator->GetPortUsbDfu()->GetUsbDevInstanceId(0, first), QXSTATUS_SUCCESS);
  EXPECT_EQ(first.vendorId, 0x1209);
  EXPECT_EQ(first.productId, 0x0005);
  EXPECT_EQ(first.bcdDevice, 0x0310);
  EXPECT_EQ(first.interfaceNumber, 2);
  EXPECT_EQ(first.interfaceClass, -1);
  EXPECT_EQ(sim::SimNarrow(first.GetContainerIdString()), "{01234567-89AB-CDEF-0123-456789ABCDEF}");
  const auto nodes = sim::VirtualUsbBus::Instance().ListDevices(TestGuid());
  ASSERT_EQ(nodes.size(), 2u);
  EXPECT_EQ(first.instanceId, nodes[0].instanceId);
  EXPECT_EQ(first.devicePath, nodes[0].interfacePath);

  // Without a container id the record still comes, with a warning and an empty text.
  QXWinUsbDevInstanceId second;
  log.Clear();
  ASSERT_EQ(mEnumerator->GetPortUsbDfu()->GetUsbDevInstanceId(1, second), QXSTATUS_SUCCESS);
  EXPECT_EQ(second.interfaceNumber, 0);
  EXPECT_TRUE(second.GetContainerIdString().empty());
  EXPECT_TRUE(log.Contains("continuing without container ID", kQXLogLevelWarn)) << log.Dump();

  QXWinUsbDevInstanceId none;
  EXPECT_EQ(mEnumerator->GetPortUsbDfu()->GetUsbDevInstanceId(2, none), QXSTATUS_INVALID_INDEX);
  EXPECT_TRUE(log.Contains("invalid deviceIndex 2"));
}

TEST_F(DfuEnumeratorTest, ListIsASnapshotAndCompareUsesTheInstanceId) {
  auto a = Attach(DfuDeviceSpec(0x1209, 0x0001, 0x0100, "A"));
  Attach(DfuDeviceSpec(0x1209, 0x0001, 0x0100, "B"));
  ASSERT_EQ(mEnumerator->EnumerateDevices("VID=0x1209, PID=0x0001", 0, 0, 0), QXSTATUS_SUCCESS);
  ASSERT_EQ(mEnumerator->GetDeviceCount(), 2u);
  QXWinUsbDevInstanceId b;
  ASSERT_EQ(mEnumerator->GetPortUsbDfu()->GetUsbDevInstanceId(1, b), QXSTATUS_SUCCESS);
  // A device that leaves after the listing stays in it.
  ASSERT_TRUE(sim::VirtualUsbBus::Instance().Detach(a->Id()));
  EXPECT_EQ(mEnumerator->GetDeviceCount(), 2u);
  DfuEnumeratorPortUsbDfu* port = mEnumerator->GetPortUsbDfu();
  EXPECT_EQ(port->CompareDeviceInstanceId(1, b.instanceId), QXSTATUS_SUCCESS);
  EXPECT_EQ(port->CompareDeviceInstanceId(0, b.instanceId), QXSTATUS_NO_MATCH);
  // Letter case counts.
  QXWString lower = b.instanceId;
  for (auto& c : lower) {
    c = (c >= 'A' && c <= 'Z') ? static_cast<QXWChar>(c - 'A' + 'a') : c;
  }
  EXPECT_EQ(port->CompareDeviceInstanceId(1, lower), QXSTATUS_NO_MATCH);
  EXPECT_EQ(port->CompareDeviceInstanceId(2, b.instanceId), QXSTATUS_INVALID_INDEX);

  // Enumerating again replaces the list.
  ASSERT_EQ(mEnumerator->EnumerateDevices("VID=0x1209, PID=0x0001", 0, 0, 0), QXSTATUS_SUCCESS);
  EXPECT_EQ(mEnumerator->GetDeviceCount(), 1u);
  EXPECT_EQ(mEnumerator->GetPortUsbDfu()->CompareDeviceInstanceId(0, b.instanceId), QXSTATUS_SUCCESS);
}

}  // namespace
}  // namespace plendrik
