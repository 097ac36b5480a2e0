#include "sim/SimTimerScheduler.h"

#include <vector>

#if defined(__linux__)
#include <sys/prctl.h>
#endif

namespace plendrik::sim {

SimTimerScheduler::~SimTimerScheduler() { Stop(); }

SimScheduler::TaskId SimTimerScheduler::ScheduleAfter(std::chrono::microseconds delay, std::function<void()> work) {
  std::lock_guard<std::mutex> lock(mMutex);
  const TaskId id = mNextId++;
  const Clock::time_point due = Clock::now() + (delay.count() > 0 ? delay : std::chrono::microseconds(0));
  const auto task = mTasks.emplace(Key{due, id}, std::move(work)).first;
  mDueOf.emplace(id, due);
  if (!mThread.joinable()) {
    const uint64_t generation = mGeneration;
    mThread = std::thread([this, generation] { Run(generation); });
    mThreadId = mThread.get_id();
  }
  // The thread sleeps until the earliest task is due; only a new earliest task changes that.
  // With many devices most tasks are not the earliest, and waking the thread for each of
  // them costs a context switch for nothing.
  if (task == mTasks.begin()) {
    mChanged.notify_all();
  }
  return id;
}

bool SimTimerScheduler::Cancel(TaskId id) {
  std::function<void()> dropped;
  std::unique_lock<std::mutex> lock(mMutex);
  const auto due = mDueOf.find(id);
  if (due != mDueOf.end()) {
    const auto task = mTasks.find(Key{due->second, id});
    dropped = std::move(task->second);
    mTasks.erase(task);
    mDueOf.erase(due);
    lock.unlock();
    // The work (and what it holds) is destroyed outside the lock.
    dropped = nullptr;
    return true;
  }
  if (mRunning == id && std::this_thread::get_id() != mThreadId) {
    mChanged.wait(lock, [&] { return mRunning != id; });
  }
  return false;
}

void SimTimerScheduler::Run(uint64_t generation) {
#if defined(__linux__)
  // Tasks run when due, not up to the default timer slack (50 us) later: a device's flash
  // write ends on time, as the host's poll waits (which ask for the same) expect.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
  std::unique_lock<std::mutex> lock(mMutex);
  while (generation == mGeneration) {
    if (mTasks.empty()) {
      mChanged.wait(lock);
      continue;
    }
    const auto first = mTasks.begin();
    if (first->first.due > Clock::now()) {
      // A copy: the task may be cancelled (its node freed) while the lock is released.
      const Clock::time_point due = first->first.due;
      mChanged.wait_until(lock, due);
      continue;
    }
    const TaskId id = first->first.id;
    std::function<void()> work = std::move(first->second);
    mTasks.erase(first);
    mDueOf.erase(id);
    mRunning = id;
    lock.unlock();
    work();
    work = nullptr;
    lock.lock();
    mRunning = 0;
    mChanged.notify_all();
  }
}

void SimTimerScheduler::Stop() {
  std::map<Key, std::function<void()>> dropped;
  std::thread thread;
  std::thread retired;
  const std::thread::id self = std::this_thread::get_id();
  {
    std::lock_guard<std::mutex> lock(mMutex);
    ++mGeneration;
    dropped.swap(mTasks);
    mDueOf.clear();
    thread.swap(mThread);
    if (mRetired.joinable() && mRetired.get_id() != self) {
      retired.swap(mRetired);
    }
    if (thread.joinable() && thread.get_id() == self) {
      // Stopped from one of its own tasks: the thread cannot join itself. It ends after that
      // task returns and is joined by a later Stop or the destructor.
      mRetired.swap(thread);
    }
    mChanged.notify_all();
  }
  dropped.clear();
  if (thread.joinable()) {
    thread.join();
  }
  if (retired.joinable()) {
    retired.join();
  }
  std::lock_guard<std::mutex> lock(mMutex);
  if (!mThread.joinable()) {
    mThreadId = std::thread::id();
  }
}

bool SimTimerScheduler::IsSchedulerThread() const {
  std::lock_guard<std::mutex> lock(mMutex);
  return mThreadId != std::thread::id() && mThreadId == std::this_thread::get_id();
}

size_t SimTimerScheduler::PendingCount() const {
  std::lock_guard<std::mutex> lock(mMutex);
  return mTasks.size();
}

}  // namespace plendrik::sim
