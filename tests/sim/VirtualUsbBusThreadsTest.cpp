// The bus's threads: observers called asynchronously and removable safely, devices that
// arrive with their model, and one control request at a time per device.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "sim/VirtualUsbBus.h"

namespace plendrik::sim {
namespace {

using std::chrono::milliseconds;

SimGuid ThreadsGuid() {
  SimGuid guid;
  SimGuid::Parse(std::string_view("{0b7f3a52-41c6-4d0e-9a37-5c2e8f1d6b90}"), guid);
  return guid;
}

SimDeviceSpec PlainSpec() {
  SimDeviceSpec spec;
  spec.identity.interfaceClassGuid = ThreadsGuid();
  return spec;
}

class BusThreadsBase : public ::testing::Test {
 protected:
  void TearDown() override {
    for (uint64_t id : mIds) mBus.Detach(id);
    mBus.WaitIdle();
  }
  SimDevicePtr Attach(const SimDeviceSpec& spec, SimDeviceModelPtr model = nullptr) {
    SimDevicePtr device = model ? mBus.Attach(spec, model) : mBus.Attach(spec);
    mIds.push_back(device->Id());
    return device;
  }
  VirtualUsbBus& mBus = VirtualUsbBus::Instance();
  std::vector<uint64_t> mIds;
};

class VirtualUsbBusObserverThreads : public BusThreadsBase {};

TEST_F(VirtualUsbBusObserverThreads, EventsArriveInOrderOnTheBusThreadNotTheChangingThread) {
  std::mutex mutex;
  std::vector<SimBusEventKind> kinds;
  std::vector<std::thread::id> threads;
  const uint64_t observer = mBus.AddObserver([&](const SimBusEvent& e) {
    std::lock_guard<std::mutex> lock(mutex);
    kinds.push_back(e.kind);
    threads.push_back(std::this_thread::get_id());
  });
  for (int i = 0; i < 3; ++i) {
    const SimDevicePtr device = Attach(PlainSpec());
    mBus.Detach(device->Id());
  }
  mBus.WaitIdle();
  mBus.RemoveObserver(observer);
  std::lock_guard<std::mutex> lock(mutex);
  ASSERT_EQ(kinds.size(), 6u);
  for (size_t i = 0; i < kinds.size(); ++i) {
    EXPECT_EQ(kinds[i], i % 2 == 0 ? SimBusEventKind::Arrival : SimBusEventKind::Removal);
    EXPECT_NE(threads[i], std::this_thread::get_id());
  }
}

TEST_F(VirtualUsbBusObserverThreads, RemoveWaitsForACallInFlightAndNothingIsCalledAfterwards) {
  std::promise<void> entered;
  std::atomic<bool> inside{false};
  std::atomic<int> callsAfterRemove{0};
  std::atomic<bool> removed{false};
  std::atomic<bool> first{true};
  const uint64_t observer = mBus.AddObserver([&](const SimBusEvent&) {
    if (removed) ++callsAfterRemove;
    if (first.exchange(false)) {
      inside = true;
      entered.set_value();
      std::this_thread::sleep_for(milliseconds(200));
      inside = false;
    }
  });
  const SimDevicePtr device = Attach(PlainSpec());
  mBus.Detach(device->Id());  // a second event queued behind the slow first call
  entered.get_future().wait();
  mBus.RemoveObserver(observer);
  removed = true;
  EXPECT_FALSE(inside.load());
  Attach(PlainSpec());
  mBus.WaitIdle();
  EXPECT_EQ(callsAfterRemove.load(), 0);
}

TEST_F(VirtualUsbBusObserverThreads, AnObserverMayRemoveItselfAndOthersFromInsideItsCall) {
  std::atomic<int> calls{0};
  std::atomic<int> otherCalls{0};
  uint64_t other = mBus.AddObserver([&](const SimBusEvent&) { ++otherCalls; });
  std::atomic<uint64_t> self{0};
  std::promise<void> idSet;
  auto idReady = idSet.get_future().share();
  self = mBus.AddObserver([&, idReady](const SimBusEvent&) {
    idReady.wait();
    ++calls;
    mBus.RemoveObserver(self);
    mBus.RemoveObserver(other);
  });
  idSet.set_value();
  Attach(PlainSpec());
  Attach(PlainSpec());
  mBus.WaitIdle();
  EXPECT_EQ(calls.load(), 1);
  EXPECT_LE(otherCalls.load(), 1);  // registered first: it may have heard the first arrival
}

// Answers vendor request 0x01 with a counter it keeps across attachments.
class CountingModel : public SimDeviceModel {
 public:
  void HandleRequest(SimDevice&, const SimControlRequestPtr& request) override {
    const uint8_t count = static_cast<uint8_t>(++mRequests);
    request->Complete(std::span<const uint8_t>(&count, 1));
  }
  void OnAttached(SimDevice& device) override { attachedIds.push_back(device.Id()); }
  void OnDetached(SimDevice& device) override { detachedIds.push_back(device.Id()); }
  std::atomic<int> mRequests{0};
  std::vector<uint64_t> attachedIds;
  std::vector<uint64_t> detachedIds;
};

// A device leaves the list and queues its removal as one step: a thread that finds it gone
// and then waits for the observers hears the removal, even while the detach is still
// failing the device's requests in flight.
TEST_F(VirtualUsbBusObserverThreads, WhoSeesADeviceGoneHearsItsRemovalAfterWaitIdle) {
  std::atomic<int> removals{0};
  const uint64_t observer = mBus.AddObserver([&](const SimBusEvent& e) {
    if (e.kind == SimBusEventKind::Removal) ++removals;
  });
  const SimDevicePtr device = Attach(PlainSpec());
  device->SetRequestHandler([](const SimControlRequestPtr&) {});  // never answers
  const SimControlRequestPtr pending = device->Submit({0xC0, 0x01, 0, 0, 1}, {});
  std::thread watcher;
  std::atomic<bool> listedWhileDetaching{true};
  std::atomic<int> heard{-1};
  pending->AddCompletionCallback([&] {
    // Runs inside the detach; the watcher looks at the bus before the detach returns.
    watcher = std::thread([&] {
      listedWhileDetaching = !mBus.ListAllDevices().empty();
      mBus.WaitIdle();
      heard = removals.load();
    });
    std::this_thread::sleep_for(milliseconds(100));
  });
  mBus.Detach(device->Id());
  watcher.join();
  mBus.RemoveObserver(observer);
  EXPECT_FALSE(listedWhileDetaching.load());
  EXPECT_EQ(heard.load(), 1);
}

TEST_F(VirtualUsbBusObserverThreads, ADeviceAttachedWithItsModelAnswersTheObserverThatHearsOfIt) {
  auto model = std::make_shared<CountingModel>();
  std::promise<SimTransferStatus> answer;
  std::atomic<bool> once{true};
  const uint64_t observer = mBus.AddObserver([&](const SimBusEvent& e) {
    if (e.kind != SimBusEventKind::Arrival || !once.exchange(false)) return;
    // The callback opens the arriving device at once.
    const SimDevicePtr device = mBus.FindDevice(e.entry.deviceId);
    answer.set_value(device ? device->Submit({0xC0, 0x01, 0, 0, 1}, {})->Status() : SimTransferStatus::DeviceGone);
  });
  const SimDevicePtr device = Attach(PlainSpec(), model);
  auto status = answer.get_future();
  ASSERT_EQ(status.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(status.get(), SimTransferStatus::Success);
  mBus.RemoveObserver(observer);
  ASSERT_EQ(model->attachedIds.size(), 1u);
  EXPECT_EQ(model->attachedIds[0], device->Id());
  EXPECT_TRUE(mBus.Detach(device->Id()));
  ASSERT_EQ(model->detachedIds.size(), 1u);
}

class SimDeviceRequestQueueThreads : public BusThreadsBase {};

// Holds each request for a while on the bus's scheduler and records overlaps.
class SlowModel : public SimDeviceModel {
 public:
  explicit SlowModel(SimBusAccess& bus) : mBus(bus) {}
  void HandleRequest(SimDevice&, const SimControlRequestPtr& request) override {
    if (++mActive > 1) mOverlap = true;
    {
      std::lock_guard<std::mutex> lock(mMutex);
      mOrder.push_back(request->Setup().wValue);
    }
    mBus.Scheduler().ScheduleAfter(std::chrono::milliseconds(5), [this, request] {
      --mActive;
      request->CompleteOut();
    });
  }
  std::vector<uint16_t> Order() {
    std::lock_guard<std::mutex> lock(mMutex);
    return mOrder;
  }
  SimBusAccess& mBus;
  std::atomic<int> mActive{0};
  std::atomic<bool> mOverlap{false};
  std::mutex mMutex;
  std::vector<uint16_t> mOrder;
};

TEST_F(SimDeviceRequestQueueThreads, TheModelSeesOneRequestAtATimeInSubmissionOrder) {
  auto model = std::make_shared<SlowModel>(mBus);
  const SimDevicePtr device = Attach(PlainSpec(), model);
  std::vector<SimControlRequestPtr> requests;
  for (uint16_t i = 0; i < 10; ++i) {
    requests.push_back(device->Submit({0x41, 0x02, i, 0, 0}, {}));
  }
  // Descriptor reads do not queue behind them.
  EXPECT_EQ(device->Submit({0x80, 6, 0x0100, 0, 18}, {})->Status(), SimTransferStatus::Success);
  for (const SimControlRequestPtr& r : requests) {
    ASSERT_TRUE(r->WaitFor(std::chrono::seconds(5)));
    EXPECT_EQ(r->Status(), SimTransferStatus::Success);
  }
  EXPECT_FALSE(model->mOverlap.load());
  const std::vector<uint16_t> order = model->Order();
  ASSERT_EQ(order.size(), 10u);
  for (uint16_t i = 0; i < 10; ++i) EXPECT_EQ(order[i], i);
}

TEST_F(SimDeviceRequestQueueThreads, CancelledQueuedRequestsAreSkippedAndRemovalFailsTheQueue) {
  std::mutex mutex;
  std::vector<uint16_t> seen;
  std::vector<SimControlRequestPtr> held;
  const SimDevicePtr device = Attach(PlainSpec());
  device->SetRequestHandler([&](const SimControlRequestPtr& r) {
    std::lock_guard<std::mutex> lock(mutex);
    seen.push_back(r->Setup().wValue);
    held.push_back(r);
  });
  auto a = device->Submit({0x41, 0x02, 1, 0, 0}, {});
  auto b = device->Submit({0x41, 0x02, 2, 0, 0}, {});
  auto c = device->Submit({0x41, 0x02, 3, 0, 0}, {});
  device->Cancel(b);
  EXPECT_EQ(b->Status(), SimTransferStatus::Cancelled);
  {
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(seen, std::vector<uint16_t>({1}));
  }
  a->CompleteOut();  // hands c over, b is skipped
  {
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(seen, std::vector<uint16_t>({1, 3}));
  }
  auto d = device->Submit({0x41, 0x02, 4, 0, 0}, {});
  mBus.Detach(device->Id());
  EXPECT_EQ(c->Status(), SimTransferStatus::DeviceGone);
  EXPECT_EQ(d->Status(), SimTransferStatus::DeviceGone);
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ(seen, std::vector<uint16_t>({1, 3}));
}

TEST_F(SimDeviceRequestQueueThreads, ConcurrentSubmittersNeverOverlapInTheModel) {
  auto model = std::make_shared<SlowModel>(mBus);
  const SimDevicePtr device = Attach(PlainSpec(), model);
  std::vector<std::thread> threads;
  std::atomic<int> succeeded{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 5; ++i) {
        auto r = device->Submit({0x41, 0x02, static_cast<uint16_t>(t * 10 + i), 0, 0}, {});
        if (r->WaitFor(std::chrono::seconds(5)) && r->Status() == SimTransferStatus::Success) ++succeeded;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(succeeded.load(), 20);
  EXPECT_FALSE(model->mOverlap.load());
}

TEST_F(SimDeviceRequestQueueThreads, TasksOfAModelWhoseDeviceLeftRunHarmlessly) {
  auto model = std::make_shared<CountingModel>();
  const SimDevicePtr device = Attach(PlainSpec(), model);
  std::promise<void> ran;
  SimControlRequestPtr late = device->Submit({0xC0, 0x01, 0, 0, 1}, {});
  const uint64_t id = device->Id();
  mBus.Scheduler().ScheduleAfter(std::chrono::milliseconds(30), [&, device, id] {
    const uint8_t byte = 1;
    // The device has gone: completing, submitting and detaching again change nothing.
    SimControlRequestPtr again = device->Submit({0xC0, 0x01, 0, 0, 1}, {});
    EXPECT_EQ(again->Status(), SimTransferStatus::DeviceGone);
    EXPECT_FALSE(again->Complete(std::span<const uint8_t>(&byte, 1)));
    EXPECT_FALSE(mBus.Detach(id));
    ran.set_value();
  });
  EXPECT_TRUE(mBus.Detach(id));
  ASSERT_EQ(ran.get_future().wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(late->Status(), SimTransferStatus::Success);
}

}  // namespace
}  // namespace plendrik::sim
