// Whole upgrades through the exports (open, start, poll the status, finish) on simulated DFU
// devices in their bootloader, each with a known time model: bwPollTimeout and the flash
// write time per block. The figures: the total time against the device's modelled time, the
// host's own cost per block with a device that takes no time, the waits between status polls,
// and many devices upgraded at once against one.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "device/DfuPollWait.h"
#include "flashbridge.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using plendrik::sim::SimDfuDevice;
using plendrik::sim::SimDfuDeviceConfig;
using plendrik::sim::SimDfuDevicePtr;

struct TimeModel {
  uint32_t pollMs = 0;                  // bwPollTimeout of every status answer
  std::chrono::microseconds flash{0};  // flash write time of each block
};

// The device's own time for a download: with a write time, each data block costs one wait of
// bwPollTimeout (the write ends within it); the closing block's manifestation costs one more.
double ModelledSeconds(size_t dataBlocks, const TimeModel& model) {
  const size_t waits = (model.flash.count() > 0 ? dataBlocks : 0) + (model.pollMs > 0 ? 1 : 0);
  return static_cast<double>(waits) * model.pollMs / 1e3;
}

// Records the waits between status polls and sleeps them with the library's own sleep.
class PollWaitRecorder final : public plendrik::DfuPollWaitObserver {
 public:
  PollWaitRecorder() { plendrik::SetDfuPollWaitObserver(this); }
  ~PollWaitRecorder() override { plendrik::SetDfuPollWaitObserver(nullptr); }
  PollWaitRecorder(const PollWaitRecorder&) = delete;
  PollWaitRecorder& operator=(const PollWaitRecorder&) = delete;

  void OnPollWait(uint32_t milliseconds) override {
    // The worker's time between the end of its last wait and this one: the host's work for
    // one block (a DFU_GETSTATUS, the next block read and sent, the next DFU_GETSTATUS).
    thread_local Clock::time_point lastEnd{};
    const auto start = Clock::now();
    const auto between = std::chrono::duration_cast<std::chrono::microseconds>(start - lastEnd);
    if (lastEnd != Clock::time_point{} && between < 1s) {
      mBetweenUs.fetch_add(static_cast<uint64_t>(between.count()), std::memory_order_relaxed);
      mBetweenCount.fetch_add(1, std::memory_order_relaxed);
    }
    plendrik::DfuPollSleep(milliseconds);
    lastEnd = Clock::now();
    const auto slept = std::chrono::duration_cast<std::chrono::microseconds>(lastEnd - start);
    mWaits.fetch_add(1, std::memory_order_relaxed);
    mRequestedMs.fetch_add(milliseconds, std::memory_order_relaxed);
    mSleptUs.fetch_add(static_cast<uint64_t>(slept.count()), std::memory_order_relaxed);
  }
  uint64_t Waits() const { return mWaits.load(); }
  uint64_t RequestedMs() const { return mRequestedMs.load(); }
  uint64_t SleptUs() const { return mSleptUs.load(); }
  double MeanBetweenUs() const {
    const uint64_t n = mBetweenCount.load();
    return n > 0 ? static_cast<double>(mBetweenUs.load()) / static_cast<double>(n) : 0;
  }

 private:
  std::atomic<uint64_t> mWaits{0};
  std::atomic<uint64_t> mRequestedMs{0};
  std::atomic<uint64_t> mSleptUs{0};
  std::atomic<uint64_t> mBetweenUs{0};
  std::atomic<uint64_t> mBetweenCount{0};
};

std::vector<uint8_t> Image(size_t size) {
  std::vector<uint8_t> bytes(size);
  uint32_t x = 0x2545F491u;
  for (auto& b : bytes) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(x >> 16);
  }
  return bytes;
}

// n simulated DFU devices in their bootloader, each opened through the exports with its own
// handle (and so its own worker), and an image loaded for each.
class Fleet {
 public:
  Fleet(size_t n, uint16_t blockSize, const TimeModel& model, size_t imageSize) : mImage(Image(imageSize)) {
    for (size_t i = 0; i < n; ++i) {
      SimDfuDeviceConfig config;
      config.vendorId = fbbench::kVid;
      config.applicationProductId = fbbench::kAppPid;
      config.bootloaderProductId = fbbench::kBootPid;
      config.identity.interfaceClassGuid = fbbench::BenchGuid();
      config.startMode = plendrik::sim::SimRunMode::Bootloader;
      char serial[32];
      std::snprintf(serial, sizeof(serial), "BENCH%04zu", i);
      config.serialNumber = plendrik::sim::SimWiden(serial);
      config.wTransferSize = blockSize;
      config.pollTimeoutMs = model.pollMs;
      config.flashWritePerBlock = model.flash;
      config.detachDelay = 0us;
      config.randomSeed = 1;
      SimDfuDevicePtr device = SimDfuDevice::Create(plendrik::sim::VirtualUsbBus::Instance(), config);
      if (!device->Plug()) {
        mError = "plug failed";
        return;
      }
      mModels.push_back(device);
    }
    uint32_t enumeration = 0;
    uint32_t count = 0;
    const std::string filter = fbbench::Filter(fbbench::kBootPid);
    if (QXDFU_EnumerateUsbDfuDevices(filter.c_str(), &enumeration, &count, 100, 10, 0) != QXSTATUS_SUCCESS ||
        count != n) {
      mError = "enumeration failed";
      QXDFU_CloseEnumeration(enumeration);
      return;
    }
    for (uint32_t i = 0; i < count; ++i) {
      uint32_t device = 0;
      uint32_t image = 0;
      if (QXDFU_OpenDevice(enumeration, i, &device, 0) != QXSTATUS_SUCCESS) {
        mError = "open failed";
        break;
      }
      mDevices.push_back(device);
      if (QXDFU_LoadFirmwareFromBuffer(mImage.data(), mImage.size(), QXDFU_IMAGE_TYPE_RAW_BINARY, &image, 0) !=
          QXSTATUS_SUCCESS) {
        mError = "load failed";
        break;
      }
      mImages.push_back(image);
    }
    QXDFU_CloseEnumeration(enumeration);
  }
  ~Fleet() {
    for (uint32_t device : mDevices) {
      QXDFU_CloseDevice(device);
    }
    for (uint32_t image : mImages) {
      QXDFU_UnloadFirmwareImage(image);
    }
    for (const SimDfuDevicePtr& model : mModels) {
      model->Unplug();
    }
  }
  Fleet(const Fleet&) = delete;
  Fleet& operator=(const Fleet&) = delete;

  const char* Error() const { return mError; }

  // Upgrades every device at once and waits for all of them, as one caller polling the
  // status of each would; false when one failed.
  // pollInterval: the caller's sleep between two rounds of status queries.
  bool UpgradeAll(std::chrono::microseconds pollInterval) {
    for (size_t i = 0; i < mDevices.size(); ++i) {
      if (QXDFU_StartUpgrade(mDevices[i], mImages[i], 0, 0) != QXSTATUS_SUCCESS) {
        return false;
      }
    }
    bool ok = true;
    std::vector<bool> done(mDevices.size(), false);
    for (size_t left = mDevices.size(); left > 0;) {
      for (size_t i = 0; i < mDevices.size(); ++i) {
        if (done[i]) {
          continue;
        }
        uint32_t state = 0;
        uint64_t current = 0;
        uint64_t total = 0;
        QXSTATUS completion = 0;
        if (QXDFU_GetUpgradeStatus(mDevices[i], &state, &current, &total, &completion) != QXSTATUS_SUCCESS) {
          return false;
        }
        if (state == QXDFU_UPGRADE_STATE_FINISHED || state == QXDFU_UPGRADE_STATE_FAILED) {
          ok = ok && state == QXDFU_UPGRADE_STATE_FINISHED && completion == QXSTATUS_SUCCESS &&
               current == mImage.size();
          ok = QXDFU_FinishUpgrade(mDevices[i], 0) == QXSTATUS_SUCCESS && ok;
          done[i] = true;
          --left;
        }
      }
      if (left > 0) {
        std::this_thread::sleep_for(pollInterval);
      }
    }
    return ok;
  }

 private:
  std::vector<uint8_t> mImage;
  std::vector<SimDfuDevicePtr> mModels;
  std::vector<uint32_t> mDevices;
  std::vector<uint32_t> mImages;
  const char* mError = nullptr;
};

size_t DataBlocks(size_t imageSize, size_t blockSize) { return (imageSize + blockSize - 1) / blockSize; }

// Arguments: block size, image size in KiB, bwPollTimeout in ms, flash write time in us.
void BM_Download(benchmark::State& state) {
  const auto blockSize = static_cast<uint16_t>(state.range(0));
  const size_t imageSize = static_cast<size_t>(state.range(1)) * 1024;
  const TimeModel model{static_cast<uint32_t>(state.range(2)), std::chrono::microseconds(state.range(3))};
  fbbench::BusScope bus;
  PollWaitRecorder waits;
  Fleet fleet(1, blockSize, model, imageSize);
  if (fleet.Error() != nullptr) {
    state.SkipWithError(fleet.Error());
    return;
  }
  // The caller finds the end up to one poll interval late: short for the short downloads of a
  // device without time, 1 ms (under 2% of the shortest) for the others.
  const std::chrono::microseconds pollInterval = model.pollMs == 0 ? 50us : 1000us;
  for (auto _ : state) {
    if (!fleet.UpgradeAll(pollInterval)) {
      state.SkipWithError("upgrade failed");
      break;
    }
  }
  const size_t blocks = DataBlocks(imageSize, blockSize);
  const double iterations = static_cast<double>(state.iterations());
  state.counters["blocks"] = static_cast<double>(blocks);
  // Real time per data block (the closing block and the upgrade's fixed steps included).
  state.counters["per_block"] = benchmark::Counter(static_cast<double>(blocks),
                                                   benchmark::Counter::kIsIterationInvariantRate |
                                                       benchmark::Counter::kInvert);
  state.counters["modelled_s"] = ModelledSeconds(blocks, model);
  state.counters["waits"] = iterations > 0 ? static_cast<double>(waits.Waits()) / iterations : 0;
  state.counters["wait_ms"] =
      waits.Waits() > 0 ? static_cast<double>(waits.RequestedMs()) / static_cast<double>(waits.Waits()) : 0;
  // How much longer than asked a wait lasted (the platform's timers and scheduling).
  state.counters["late_us"] =
      waits.Waits() > 0 ? (static_cast<double>(waits.SleptUs()) - 1e3 * static_cast<double>(waits.RequestedMs())) /
                              static_cast<double>(waits.Waits())
                        : 0;
  state.counters["between_us"] = waits.MeanBetweenUs();
}

// Arguments: devices upgraded at once. Each device: 1024-byte blocks, a 64 KiB image,
// bwPollTimeout 2 ms and 1.5 ms flash write time per block.
void BM_ParallelDownload(benchmark::State& state) {
  const auto devices = static_cast<size_t>(state.range(0));
  const TimeModel model{2, 1500us};
  constexpr size_t kImageSize = 64 * 1024;
  fbbench::BusScope bus;
  Fleet fleet(devices, 1024, model, kImageSize);
  if (fleet.Error() != nullptr) {
    state.SkipWithError(fleet.Error());
    return;
  }
  for (auto _ : state) {
    if (!fleet.UpgradeAll(1000us)) {
      state.SkipWithError("upgrade failed");
      break;
    }
  }
  state.counters["devices"] = static_cast<double>(devices);
  state.counters["modelled_s"] = ModelledSeconds(DataBlocks(kImageSize, 1024), model);
}

constexpr int64_t k64KiB = 64;
constexpr int64_t k1536KiB = 1536;

BENCHMARK(BM_Download)
    ->ArgNames({"block", "KiB", "poll_ms", "flash_us"})
    // A device that takes no time: the host's own cost per block.
    ->Args({64, k64KiB, 0, 0})
    ->Args({1024, k64KiB, 0, 0})
    ->Args({4096, k64KiB, 0, 0})
    ->Args({64, k1536KiB, 0, 0})
    ->Args({1024, k1536KiB, 0, 0})
    ->Args({4096, k1536KiB, 0, 0})
    // A device with a time model: 1 ms per block at every block size.
    ->Args({64, k64KiB, 1, 500})
    ->Args({1024, k64KiB, 1, 500})
    ->Args({4096, k64KiB, 1, 500})
    // A realistic device: 4096-byte blocks, 5 ms each.
    ->Args({4096, k64KiB, 5, 4500})
    ->Args({4096, k1536KiB, 5, 4500})
    // Waits: bwPollTimeout 10 ms, only the busy device is waited for.
    ->Args({4096, k64KiB, 10, 0})
    ->Args({4096, k64KiB, 10, 9000})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

BENCHMARK(BM_ParallelDownload)
    ->ArgName("devices")
    ->Arg(1)
    ->Arg(4)
    ->Arg(16)
    ->Arg(64)
    ->MinTime(1.0)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
