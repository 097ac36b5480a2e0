// Test support for enumeration tests: puts the virtual USB bus behind the SetupAPI seam (on
// windows; the host library uses it anyway), counts the listings, and builds simple devices.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "sim/SimSetupApi.h"
#include "sim/VirtualUsbBus.h"

namespace plendrik {

// Forwards every call to the bus and counts how often a listing was opened.
class CountingBusSetupApi final : public QXWinSetupApi {
 public:
  std::atomic<int> classDevsCalls{0};

  uint32_t GetClassDevs(const QXGuid& guid, uint32_t flags, QXHDevInfo& set) override {
    ++classDevsCalls;
    return mBus.GetClassDevs(guid, flags, set);
  }
  uint32_t DestroyDeviceInfoList(QXHDevInfo set) override { return mBus.DestroyDeviceInfoList(set); }
  uint32_t EnumDeviceInfo(QXHDevInfo set, uint32_t index, QXSpDevInfoData& data) override {
    return mBus.EnumDeviceInfo(set, index, data);
  }
  uint32_t EnumDeviceInterfaces(QXHDevInfo set, const QXSpDevInfoData* deviceInfo, const QXGuid& guid,
                                uint32_t memberIndex, QXSpDeviceInterfaceData& data) override {
    return mBus.EnumDeviceInterfaces(set, deviceInfo, guid, memberIndex, data);
  }
  uint32_t GetDeviceInterfaceDetail(QXHDevInfo set, const QXSpDeviceInterfaceData& iface,
                                    QXSpDeviceInterfaceDetailData* detail, uint32_t detailSize,
                                    uint32_t* requiredSize) override {
    return mBus.GetDeviceInterfaceDetail(set, iface, detail, detailSize, requiredSize);
  }
  uint32_t GetDeviceInstanceId(QXHDevInfo set, const QXSpDevInfoData& data, QXWChar* buffer, uint32_t bufferChars,
                               uint32_t* requiredChars) override {
    return mBus.GetDeviceInstanceId(set, data, buffer, bufferChars, requiredChars);
  }
  uint32_t GetDeviceRegistryProperty(QXHDevInfo set, const QXSpDevInfoData& data, uint32_t property, uint32_t* regType,
                                     uint8_t* buffer, uint32_t bufferSize, uint32_t* requiredSize) override {
    return mBus.GetDeviceRegistryProperty(set, data, property, regType, buffer, bufferSize, requiredSize);
  }
  uint32_t GetDeviceProperty(QXHDevInfo set, const QXSpDevInfoData& data, const QXDevPropKey& key, uint32_t* propType,
                             uint8_t* buffer, uint32_t bufferSize, uint32_t* requiredSize) override {
    return mBus.GetDeviceProperty(set, data, key, propType, buffer, bufferSize, requiredSize);
  }

 private:
  QXWinSetupApiVirtualBus mBus;
};

// The interface class the tests' devices are registered under, and another one.
inline const char* kTestGuidText = "{6E45736A-2B1B-4078-B772-B3AF2B6FDE1C}";
inline const char* kOtherGuidText = "{A5DCBF10-6530-11D2-901F-00C04FB951ED}";

inline sim::SimGuid TestGuid(const char* text = kTestGuidText) {
  sim::SimGuid g;
  EXPECT_TRUE(sim::SimGuid::Parse(std::string_view(text), g));
  return g;
}

inline sim::SimDeviceSpec DfuDeviceSpec(uint16_t vid, uint16_t pid, uint16_t bcd, const char* serial) {
  sim::SimDeviceSpec spec;
  spec.vendorId = vid;
  spec.productId = pid;
  spec.bcdDevice = bcd;
  spec.iSerialNumber = 3;
  spec.strings[3] = sim::SimWiden(serial);
  spec.identity.interfaceClassGuid = TestGuid();
  return spec;
}

// A fixture base: an empty bus behind a counting seam for every test.
class EnumerationBusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::VirtualUsbBus::Instance().DetachAll();
    QXWinSetSetupApi(&mApi);
  }
  void TearDown() override {
    QXWinSetSetupApi(nullptr);
    sim::VirtualUsbBus::Instance().DetachAll();
  }
  sim::SimDevicePtr Attach(const sim::SimDeviceSpec& spec) { return sim::VirtualUsbBus::Instance().Attach(spec); }

  CountingBusSetupApi mApi;
};

}  // namespace plendrik
