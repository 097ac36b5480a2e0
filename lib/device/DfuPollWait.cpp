#include "device/DfuPollWait.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#if defined(__linux__)
#include <sys/prctl.h>
#endif

namespace plendrik {
namespace {

std::atomic<DfuPollWaitObserver*> gObserver{nullptr};

// On Linux a thread's timed sleeps may end up to its timer slack (50 us by default) late;
// the poll waits ask for the shortest slack, so that a wait lasts its rounded time and no
// more, once per thread.
void UseExactTimers() {
#if defined(__linux__)
  thread_local bool exact = false;
  if (!exact) {
    exact = true;
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  }
#endif
}

// How often a long wait looks at the stop request.
constexpr uint32_t kStopCheckMs = 10;

}  // namespace

void DfuPollWaitFor(uint32_t milliseconds, const QXOsWorkerThread* worker) {
  if (DfuPollWaitObserver* observer = gObserver.load(std::memory_order_acquire)) {
    observer->OnPollWait(milliseconds);
    return;
  }
  if (worker == nullptr) {
    DfuPollSleep(milliseconds);
    return;
  }
  // The full wait in slices, so that a stop request ends it within one slice.
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  for (auto now = std::chrono::steady_clock::now(); now < end && !worker->IsStopRequested();
       now = std::chrono::steady_clock::now()) {
    UseExactTimers();
    std::this_thread::sleep_for(
        std::min<std::chrono::steady_clock::duration>(end - now, std::chrono::milliseconds(kStopCheckMs)));
  }
}

void DfuPollSleep(uint32_t milliseconds) {
  UseExactTimers();
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void SetDfuPollWaitObserver(DfuPollWaitObserver* observer) { gObserver.store(observer, std::memory_order_release); }

}  // namespace plendrik
