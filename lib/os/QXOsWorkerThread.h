// A worker thread with the bookkeeping the upgrade needs: its thread state, the status its
// routine returned, and a stop request that other threads set and the routine polls. The
// thread stays joinable after its routine ended; only JoinAndDestroy joins it.
#pragma once

#include <atomic>
#include <cstdint>

#include "os/QXOsThread.h"
#include "os/QXOsTypes.h"

namespace plendrik {

class QXOsWorkerThread {
 public:
  enum ThreadState : uint32_t {
    kThreadNone = 0,
    kThreadCreating = 1,
    kThreadRunning = 2,
    kThreadEnded = 3,
    kThreadJoined = 4,
  };
  // The routine runs on the new thread; its status becomes the thread's result.
  using Routine = QXSTATUS (*)(void* context);

  // Length of one wait step of JoinAndDestroy.
  static constexpr uint32_t kJoinStepMs = 1000;

  QXOsWorkerThread() = default;
  // A thread that was never joined is stopped and joined here, so that it cannot outlive the
  // object its routine works on.
  ~QXOsWorkerThread();
  QXOsWorkerThread(const QXOsWorkerThread&) = delete;
  QXOsWorkerThread& operator=(const QXOsWorkerThread&) = delete;

  // Starts routine(context). A thread that exists and was not joined yet: "already created"
  // and QXSTATUS_ALREADY_DONE. A thread that cannot be started leaves the state at none.
  QXSTATUS CreateThread(Routine routine, void* context);

  void RequestStop() { mStopRequested.store(true, std::memory_order_release); }
  bool IsStopRequested() const { return mStopRequested.load(std::memory_order_acquire); }

  // Waits without limit, in steps of kJoinStepMs with a warning after each step that ends
  // without the thread, then releases it; the state becomes joined. No thread: joined at once.
  QXSTATUS JoinAndDestroy();

  // The routine's status; meaningful once the thread was joined.
  QXSTATUS GetResult() const { return mResult.load(std::memory_order_acquire); }
  uint32_t GetThreadState() const { return mThreadState.load(std::memory_order_acquire); }
  // True from a successful start until the join.
  bool HasThread() const { return mThread.record != nullptr; }

 private:
  static void ThreadMain(void* context);

  QXOsThread mThread;
  Routine mRoutine = nullptr;
  void* mContext = nullptr;
  std::atomic<QXSTATUS> mResult{QXSTATUS_SUCCESS};
  std::atomic<uint32_t> mThreadState{kThreadNone};
  std::atomic<bool> mStopRequested{false};
};

}  // namespace plendrik
