// The virtual bus's scheduler: one timer thread, started on first use, that runs tasks in
// the order of their due time (ties in scheduling order).
#pragma once

#include <chrono>
#include <cstdint>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "sim/SimScheduler.h"

namespace plendrik::sim {

class SimTimerScheduler final : public SimScheduler {
 public:
  SimTimerScheduler() = default;
  ~SimTimerScheduler() override;
  SimTimerScheduler(const SimTimerScheduler&) = delete;
  SimTimerScheduler& operator=(const SimTimerScheduler&) = delete;

  TaskId ScheduleAfter(std::chrono::microseconds delay, std::function<void()> work) override;
  bool Cancel(TaskId id) override;

  // Drops every task that has not started, waits for a running one (unless called from it)
  // and ends the thread. Scheduling afterwards starts a new thread.
  void Stop();
  // True on the scheduler's own thread.
  bool IsSchedulerThread() const;
  // Tasks waiting to run (for tests).
  size_t PendingCount() const;

 private:
  using Clock = std::chrono::steady_clock;
  struct Key {
    Clock::time_point due;
    TaskId id;  // ids grow, so equal due times keep their scheduling order
    bool operator<(const Key& other) const { return due != other.due ? due < other.due : id < other.id; }
  };
  void Run(uint64_t generation);

  mutable std::mutex mMutex;
  std::condition_variable mChanged;
  std::map<Key, std::function<void()>> mTasks;
  std::map<TaskId, Clock::time_point> mDueOf;
  TaskId mNextId = 1;
  TaskId mRunning = 0;
  uint64_t mGeneration = 0;  // a thread runs while its generation is current
  std::thread mThread;
  std::thread mRetired;  // a thread stopped from its own task, joined later
  std::thread::id mThreadId;
};

}  // namespace plendrik::sim
