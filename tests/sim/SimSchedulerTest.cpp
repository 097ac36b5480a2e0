// The virtual bus's timer thread: order, cancellation, stopping and restarting.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "sim/SimTimerScheduler.h"

#if defined(__linux__)
#include <sys/prctl.h>
#endif

namespace plendrik::sim {
namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;

TEST(SimSchedulerThreads, TasksRunByDueTimeThenSchedulingOrderOnTheSchedulerThread) {
  SimTimerScheduler scheduler;
  std::mutex mutex;
  std::vector<int> order;
  std::vector<std::thread::id> threads;
  std::promise<void> done;
  auto record = [&](int n) {
    return [&, n] {
      std::lock_guard<std::mutex> lock(mutex);
      order.push_back(n);
      threads.push_back(std::this_thread::get_id());
      if (order.size() == 5) done.set_value();
    };
  };
  scheduler.ScheduleAfter(milliseconds(60), record(5));
  scheduler.ScheduleAfter(milliseconds(20), record(2));
  scheduler.ScheduleAfter(milliseconds(20), record(3));
  scheduler.ScheduleAfter(microseconds(0), record(1));
  scheduler.ScheduleAfter(milliseconds(40), record(4));
  ASSERT_EQ(done.get_future().wait_for(std::chrono::seconds(5)), std::future_status::ready);
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ(order, std::vector<int>({1, 2, 3, 4, 5}));
  for (const std::thread::id& id : threads) {
    EXPECT_EQ(id, threads.front());
    EXPECT_NE(id, std::this_thread::get_id());
  }
}

TEST(SimSchedulerThreads, CancelBeforeStartDropsTheTaskAndItsCapturesWhileRunningWaits) {
  SimTimerScheduler scheduler;
  std::atomic<int> ran{0};
  auto captured = std::make_shared<int>(7);
  const auto id = scheduler.ScheduleAfter(milliseconds(200), [&ran, captured] { ++ran; });
  EXPECT_NE(id, 0u);
  EXPECT_TRUE(scheduler.Cancel(id));
  EXPECT_EQ(captured.use_count(), 1);
  EXPECT_FALSE(scheduler.Cancel(id));
  EXPECT_FALSE(scheduler.Cancel(987654));

  // A running task is waited for; Cancel then reports false.
  std::promise<void> started;
  std::atomic<bool> finished{false};
  const auto slow = scheduler.ScheduleAfter(microseconds(0), [&] {
    started.set_value();
    std::this_thread::sleep_for(milliseconds(150));
    finished = true;
  });
  started.get_future().wait();
  EXPECT_FALSE(scheduler.Cancel(slow));
  EXPECT_TRUE(finished.load());

  // Cancelling from inside the task itself does not wait for itself.
  std::promise<bool> self;
  std::atomic<SimScheduler::TaskId> selfId{0};
  std::promise<void> idKnown;
  auto idReady = idKnown.get_future().share();
  selfId = scheduler.ScheduleAfter(milliseconds(20), [&, idReady] {
    idReady.wait();
    self.set_value(scheduler.Cancel(selfId));
  });
  idKnown.set_value();
  auto selfResult = self.get_future();
  ASSERT_EQ(selfResult.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_FALSE(selfResult.get());
  EXPECT_EQ(ran.load(), 0);
}

TEST(SimSchedulerThreads, StopDropsPendingTasksAndSchedulingStartsAgain) {
  SimTimerScheduler scheduler;
  std::atomic<int> ran{0};
  auto captured = std::make_shared<int>(1);
  scheduler.ScheduleAfter(milliseconds(500), [&ran, captured] { ++ran; });
  EXPECT_EQ(scheduler.PendingCount(), 1u);
  scheduler.Stop();
  EXPECT_EQ(scheduler.PendingCount(), 0u);
  EXPECT_EQ(captured.use_count(), 1);
  std::promise<void> again;
  scheduler.ScheduleAfter(milliseconds(1), [&] {
    ++ran;
    again.set_value();
  });
  ASSERT_EQ(again.get_future().wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(ran.load(), 1);
  // Stopping from one of its own tasks does not deadlock.
  std::promise<void> stopped;
  scheduler.ScheduleAfter(microseconds(0), [&] {
    scheduler.Stop();
    stopped.set_value();
  });
  ASSERT_EQ(stopped.get_future().wait_for(std::chrono::seconds(5)), std::future_status::ready);
  scheduler.Stop();
}

// A task due before the one the thread sleeps for runs when it is due, not after the other;
// tasks due later than the earliest wait their turn. On Linux tasks run with exact timers.
TEST(SimSchedulerThreads, AnEarlierTaskRunsBeforeTheOneTheThreadWaitsFor) {
  SimTimerScheduler scheduler;
  std::promise<std::chrono::steady_clock::time_point> early;
  std::promise<long> slack;
  std::atomic<int> lateRan{0};
  scheduler.ScheduleAfter(milliseconds(5000), [&] { ++lateRan; });
  scheduler.ScheduleAfter(milliseconds(6000), [&] { ++lateRan; });
  std::this_thread::sleep_for(milliseconds(20));  // the thread now sleeps for the first task
  const auto start = std::chrono::steady_clock::now();
  scheduler.ScheduleAfter(milliseconds(10), [&] {
#if defined(__linux__)
    slack.set_value(prctl(PR_GET_TIMERSLACK, 0UL, 0UL, 0UL, 0UL));
#else
    slack.set_value(1);
#endif
    early.set_value(std::chrono::steady_clock::now());
  });
  auto ran = early.get_future();
  ASSERT_EQ(ran.wait_for(std::chrono::seconds(3)), std::future_status::ready);
  const auto at = ran.get();
  EXPECT_GE(at - start, milliseconds(10));
  EXPECT_LT(at - start, milliseconds(2000));
  EXPECT_EQ(slack.get_future().get(), 1);
  EXPECT_EQ(lateRan, 0);
  EXPECT_EQ(scheduler.PendingCount(), 2u);
  scheduler.Stop();
  EXPECT_EQ(lateRan, 0);
}

}  // namespace
}  // namespace plendrik::sim
