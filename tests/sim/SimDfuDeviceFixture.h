// Shared support of the simulated DFU device's tests: a scheduler stepped by hand, a stand-in
// bus that records arrivals and removals, and a fixture that hands requests to the model and
// plays the host's side of a download.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <vector>

#include "sim/SimDfuDevice.h"

namespace plendrik::sim {
namespace testing_support {

using namespace std::chrono_literals;
using dfu::State;

// Runs scheduled work only when the test advances its virtual clock.
class ManualScheduler : public SimScheduler {
 public:
  TaskId ScheduleAfter(std::chrono::microseconds delay, std::function<void()> work) override {
    const TaskId id = mNextId++;
    mTasks.emplace(std::make_pair(mNow + delay, id), std::move(work));
    return id;
  }
  bool Cancel(TaskId id) override {
    for (auto it = mTasks.begin(); it != mTasks.end(); ++it) {
      if (it->first.second == id) {
        mTasks.erase(it);
        return true;
      }
    }
    return false;
  }
  // Moves the clock on, running what falls due in order (work scheduled meanwhile included).
  void Advance(std::chrono::microseconds delta) {
    const std::chrono::microseconds end = mNow + delta;
    while (!mTasks.empty() && mTasks.begin()->first.first <= end) {
      auto node = mTasks.extract(mTasks.begin());
      mNow = node.key().first;
      node.mapped()();
    }
    mNow = end;
  }
  size_t PendingTasks() const { return mTasks.size(); }
  Clock::time_point Now() const override { return Clock::time_point(mNow); }

 private:
  std::chrono::microseconds mNow{0};
  TaskId mNextId = 1;
  std::map<std::pair<std::chrono::microseconds, TaskId>, std::function<void()>> mTasks;
};

struct BusEvent {
  bool arrival = false;
  uint16_t productId = 0;
  uint64_t deviceId = 0;
};

// Records arrivals and removals and tells the model of them, as the bus does.
class RecordingBus : public SimBusAccess {
 public:
  RecordingBus() = default;
  RecordingBus(const RecordingBus&) = delete;
  RecordingBus& operator=(const RecordingBus&) = delete;
  // A device and its model hold each other while on the bus; unplugging ends that.
  ~RecordingBus() override {
    while (!mAttached.empty()) {
      Detach(mAttached.begin()->first);
    }
  }
  SimScheduler& Scheduler() override { return mScheduler; }
  SimDevicePtr Attach(const SimDeviceSpec& spec, std::shared_ptr<SimDeviceModel> model) override {
    auto device = std::make_shared<SimDevice>(mNextId++, spec);
    mAttached[device->Id()] = {device, model};
    device->SetModel(model);
    events.push_back({true, spec.productId, device->Id()});
    model->OnAttached(*device);
    return device;
  }
  bool Detach(uint64_t deviceId) override {
    const auto it = mAttached.find(deviceId);
    if (it == mAttached.end()) {
      return false;
    }
    auto [device, model] = it->second;
    mAttached.erase(it);
    device->MarkDetached();
    events.push_back({false, device->Spec().productId, deviceId});
    model->OnDetached(*device);
    return true;
  }
  ManualScheduler& Clock() { return mScheduler; }

  std::vector<BusEvent> events;

 private:
  ManualScheduler mScheduler;
  uint64_t mNextId = 1;
  std::map<uint64_t, std::pair<SimDevicePtr, std::shared_ptr<SimDeviceModel>>> mAttached;
};

struct StatusRecord {
  SimTransferStatus transfer = SimTransferStatus::Pending;
  uint8_t bStatus = 0xFF;
  uint32_t pollTimeout = 0;
  State state = State::dfuERROR;
};

inline std::vector<uint8_t> Pattern(size_t size, uint8_t seed) {
  std::vector<uint8_t> data(size);
  for (size_t i = 0; i < size; ++i) {
    data[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
  }
  return data;
}

class SimDfuDeviceTest : public ::testing::Test {
 protected:
  static SimDfuDeviceConfig Config(SimRunMode mode = SimRunMode::Bootloader) {
    SimDfuDeviceConfig config;
    config.startMode = mode;
    config.wTransferSize = 4096;
    config.detachDelay = 0us;
    config.randomSeed = 42;
    return config;
  }

  void Start(const SimDfuDeviceConfig& config) {
    mDevice = SimDfuDevice::Create(mBus, config);
    ASSERT_TRUE(mDevice->Plug());
    mTransferSize = config.wTransferSize;
  }

  SimControlRequestPtr Send(uint8_t type, uint8_t request, uint16_t value, uint16_t length,
                            std::vector<uint8_t> out = {}, uint16_t index = 0) {
    const SimSetupPacket setup{type, request, value, index, length};
    auto r = std::make_shared<SimControlRequest>(setup, std::move(out));
    SimDevicePtr device = mDevice->CurrentDevice();
    EXPECT_NE(device, nullptr);
    if (device) {
      mDevice->HandleRequest(*device, r);
    }
    return r;
  }
  SimControlRequestPtr Out(uint8_t request, uint16_t value = 0) { return Send(dfu::kClassOut, request, value, 0); }
  SimControlRequestPtr Dnload(uint16_t block, const std::vector<uint8_t>& data) {
    return Send(dfu::kClassOut, dfu::kDnload, block, static_cast<uint16_t>(data.size()), data);
  }
  StatusRecord GetStatus(uint16_t length = 6) {
    const auto r = Send(dfu::kClassIn, dfu::kGetStatus, 0, length);
    StatusRecord s;
    s.transfer = r->Status();
    const auto data = r->InData();
    if (data.size() >= 5) {
      s.bStatus = data[0];
      s.pollTimeout = data[1] | data[2] << 8 | data[3] << 16;
      s.state = static_cast<State>(data[4]);
    }
    return s;
  }
  State GetState() {
    const auto r = Send(dfu::kClassIn, dfu::kGetState, 0, 1);
    EXPECT_EQ(r->Status(), SimTransferStatus::Success);
    const auto data = r->InData();
    return data.size() == 1 ? static_cast<State>(data[0]) : State::dfuERROR;
  }

  // The host's side of a download by the DFU 1.1 handshake; returns the number of polls that
  // found the device busy.
  int Download(const std::vector<uint8_t>& image) {
    int busyPolls = 0;
    uint16_t block = 0;
    for (size_t offset = 0; offset < image.size(); offset += mTransferSize, ++block) {
      const size_t n = std::min<size_t>(mTransferSize, image.size() - offset);
      const auto r = Dnload(block, std::vector<uint8_t>(image.begin() + offset, image.begin() + offset + n));
      EXPECT_EQ(r->Status(), SimTransferStatus::Success) << "block " << block;
      EXPECT_EQ(r->TransferredLength(), n);
      StatusRecord s = GetStatus();
      for (int polls = 0; s.state != State::dfuDNLOAD_IDLE && polls < 100; ++polls) {
        EXPECT_TRUE(s.state == State::dfuDNBUSY || s.state == State::dfuDNLOAD_SYNC) << static_cast<int>(s.state);
        if (s.state == State::dfuDNBUSY) {
          ++busyPolls;
          mBus.Clock().Advance(std::max<std::chrono::microseconds>(std::chrono::milliseconds(s.pollTimeout), 1ms));
        }
        s = GetStatus();
      }
      EXPECT_EQ(s.state, State::dfuDNLOAD_IDLE);
    }
    EXPECT_EQ(Dnload(block, {})->Status(), SimTransferStatus::Success);
    return busyPolls;
  }

  // Polls through manifestation until the device reports dfuIDLE.
  void Manifest() {
    StatusRecord s = GetStatus();
    for (int polls = 0; s.state != State::dfuIDLE && polls < 100; ++polls) {
      ASSERT_TRUE(s.state == State::dfuMANIFEST || s.state == State::dfuMANIFEST_SYNC);
      mBus.Clock().Advance(std::max<std::chrono::microseconds>(std::chrono::milliseconds(s.pollTimeout), 1ms));
      s = GetStatus();
    }
    EXPECT_EQ(s.state, State::dfuIDLE);
  }

  RecordingBus mBus;
  SimDfuDevicePtr mDevice;
  uint16_t mTransferSize = 4096;
};

}  // namespace testing_support
}  // namespace plendrik::sim
