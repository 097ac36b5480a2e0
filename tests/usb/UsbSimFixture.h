// Test devices on the virtual USB bus for the transport tests: a device with one DFU
// interface by default, attached for the test and detached afterwards.
#pragma once

#include <chrono>
#include <cstdint>

#include <gtest/gtest.h>

#include "sim/SimWinusbDrvApi.h"
#include "sim/VirtualUsbBus.h"
#include "usb/QXOsUsbDevice.h"

namespace plendrik {

using Clock = std::chrono::steady_clock;

// Milliseconds from start until now, for bounds on how long a request took.
inline int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

inline sim::SimGuid TestInterfaceGuid() {
  sim::SimGuid guid;
  sim::SimGuid::Parse(std::string_view("{3fe809ab-fb91-4cb5-a643-69670d52366e}"), guid);
  return guid;
}

inline sim::SimDeviceSpec DfuDeviceSpec() {
  sim::SimDeviceSpec spec;
  spec.identity.interfaceClassGuid = TestInterfaceGuid();
  spec.configurations.front().interfaces.front().altSettings.front().functionalDescriptors.push_back(
      {9, 0x21, 0x0B, 0xE8, 0x03, 0x00, 0x04, 0x10, 0x01});
  return spec;
}

class UsbSimFixture : public ::testing::Test {
 protected:
  void TearDown() override {
    for (const sim::SimDevicePtr& device : mDevices) {
      sim::VirtualUsbBus::Instance().Detach(device->Id());
    }
  }

  sim::SimDevicePtr Attach(const sim::SimDeviceSpec& spec) {
    mDevices.push_back(sim::VirtualUsbBus::Instance().Attach(spec));
    return mDevices.back();
  }

  static QXWString PathOf(const sim::SimDevicePtr& device, size_t node = 0) {
    std::vector<sim::SimDeviceListEntry> entries;
    for (const sim::SimDeviceListEntry& e : sim::VirtualUsbBus::Instance().ListAllDevices()) {
      if (e.deviceId == device->Id()) entries.push_back(e);
    }
    return node < entries.size() ? entries[node].interfacePath : QXWString();
  }

  std::vector<sim::SimDevicePtr> mDevices;
};

}  // namespace plendrik
