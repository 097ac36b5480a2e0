// QXDFU_EnumerateUsbDfuDevices against the number of devices on the bus and the number of
// enumerations the caller left open, and opening each device found: the cost per device
// should stay flat.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "BenchSupport.h"
#include "flashbridge.h"

namespace {

// Arguments: devices on the bus, enumerations left open beside the measured one.
void BM_Enumerate(benchmark::State& state) {
  const auto devices = static_cast<size_t>(state.range(0));
  const auto leftOpen = static_cast<size_t>(state.range(1));
  fbbench::BusScope bus;
  fbbench::PlugPlainDevices(devices);
  const std::string filter = fbbench::Filter(fbbench::kPid);
  std::vector<uint32_t> open;
  for (size_t i = 0; i < leftOpen; ++i) {
    uint32_t handle = 0;
    uint32_t count = 0;
    if (QXDFU_EnumerateUsbDfuDevices(filter.c_str(), &handle, &count, 0, 0, 0) != QXSTATUS_SUCCESS) {
      state.SkipWithError("enumeration failed");
      break;
    }
    open.push_back(handle);
  }
  for (auto _ : state) {
    uint32_t handle = 0;
    uint32_t count = 0;
    if (QXDFU_EnumerateUsbDfuDevices(filter.c_str(), &handle, &count, 0, 0, 0) != QXSTATUS_SUCCESS ||
        count != devices) {
      state.SkipWithError("enumeration failed or found the wrong number of devices");
      break;
    }
    QXDFU_CloseEnumeration(handle);
  }
  for (uint32_t handle : open) {
    QXDFU_CloseEnumeration(handle);
  }
  // Time per device listed (the figure that should not grow with the number of devices).
  state.counters["per_device"] = benchmark::Counter(static_cast<double>(devices),
                                                    benchmark::Counter::kIsIterationInvariantRate |
                                                        benchmark::Counter::kInvert);
}

// Opens and closes every device of one enumeration: the cost per device should stay flat.
void BM_OpenEachDevice(benchmark::State& state) {
  const auto devices = static_cast<size_t>(state.range(0));
  fbbench::BusScope bus;
  fbbench::PlugPlainDevices(devices);
  const std::string filter = fbbench::Filter(fbbench::kPid);
  uint32_t enumeration = 0;
  uint32_t count = 0;
  if (QXDFU_EnumerateUsbDfuDevices(filter.c_str(), &enumeration, &count, 0, 0, 0) != QXSTATUS_SUCCESS ||
      count != devices) {
    state.SkipWithError("enumeration failed");
    return;
  }
  for (auto _ : state) {
    for (uint32_t i = 0; i < count; ++i) {
      uint32_t handle = 0;
      if (QXDFU_OpenDevice(enumeration, i, &handle, 0) != QXSTATUS_SUCCESS) {
        state.SkipWithError("open failed");
        break;
      }
      QXDFU_CloseDevice(handle);
    }
  }
  QXDFU_CloseEnumeration(enumeration);
  state.counters["per_device"] = benchmark::Counter(static_cast<double>(devices),
                                                    benchmark::Counter::kIsIterationInvariantRate |
                                                        benchmark::Counter::kInvert);
}

BENCHMARK(BM_OpenEachDevice)->ArgName("devices")->Arg(1)->Arg(16)->Arg(128)->Arg(1024)->UseRealTime()->Unit(
    benchmark::kMicrosecond);

BENCHMARK(BM_Enumerate)
    ->ArgNames({"devices", "open"})
    ->Args({1, 0})
    ->Args({16, 0})
    ->Args({128, 0})
    ->Args({1024, 0})
    ->Args({16, 1024})
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

}  // namespace
