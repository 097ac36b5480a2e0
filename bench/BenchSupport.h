// Shared set-up of the benchmarks that run against the virtual USB bus: the interface class
// the library enumerates, plain and DFU devices plugged for the length of one benchmark.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "api/DfuApi.h"
#include "sim/SimDfuDevice.h"
#include "sim/SimTypes.h"
#include "sim/VirtualUsbBus.h"

namespace fbbench {

inline constexpr const char* kGuidText = "{6E45736A-2B1B-4078-B772-B3AF2B6FDE1C}";
inline constexpr uint16_t kVid = 0x1209;
inline constexpr uint16_t kPid = 0x0001;
inline constexpr uint16_t kAppPid = 0x5A01;
inline constexpr uint16_t kBootPid = 0x5A02;

inline plendrik::sim::SimGuid BenchGuid() {
  plendrik::sim::SimGuid g;
  plendrik::sim::SimGuid::Parse(std::string_view(kGuidText), g);
  return g;
}

inline std::string Filter(uint16_t pid) {
  char text[64];
  std::snprintf(text, sizeof(text), "VID=0x%04X, PID=0x%04X", kVid, pid);
  return text;
}

// The library enumerates kGuidText while it lives; the bus is emptied before and after.
class BusScope {
 public:
  BusScope() {
    plendrik::sim::VirtualUsbBus::Instance().DetachAll();
    mSavedGuid = plendrik::gDfuApi.GetDriverInterfaceGuid();
    plendrik::gDfuApi.SetDriverInterfaceGuid(kGuidText);
  }
  ~BusScope() {
    plendrik::sim::VirtualUsbBus::Instance().DetachAll();
    plendrik::gDfuApi.SetDriverInterfaceGuid(mSavedGuid);
  }
  BusScope(const BusScope&) = delete;
  BusScope& operator=(const BusScope&) = delete;

 private:
  std::string mSavedGuid;
};

// n devices with the descriptors of a DFU device running its application (kVid/kPid, serial
// numbers S0000, S0001, ...), without a model: enumeration and opening read descriptors only.
inline void PlugPlainDevices(size_t n) {
  for (size_t i = 0; i < n; ++i) {
    plendrik::sim::SimDfuDeviceConfig config;
    config.vendorId = kVid;
    config.applicationProductId = kPid;
    config.bootloaderProductId = kBootPid;
    char serial[32];
    std::snprintf(serial, sizeof(serial), "S%04zu", i);
    config.serialNumber = plendrik::sim::SimWiden(serial);
    config.identity.interfaceClassGuid = BenchGuid();
    plendrik::sim::VirtualUsbBus::Instance().Attach(
        plendrik::sim::SimDfuDevice::BuildSpec(config, plendrik::sim::SimRunMode::Application));
  }
}

}  // namespace fbbench
