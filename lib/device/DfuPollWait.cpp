#include "device/DfuPollWait.h"

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

}  // namespace

void DfuPollWaitFor(uint32_t milliseconds) {
  if (DfuPollWaitObserver* observer = gObserver.load(std::memory_order_acquire)) {
    observer->OnPollWait(milliseconds);
    return;
  }
  DfuPollSleep(milliseconds);
}

void DfuPollSleep(uint32_t milliseconds) {
  UseExactTimers();
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void SetDfuPollWaitObserver(DfuPollWaitObserver* observer) { gObserver.store(observer, std::memory_order_release); }

}  // namespace plendrik
