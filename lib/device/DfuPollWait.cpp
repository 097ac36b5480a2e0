#include "device/DfuPollWait.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace plendrik {
namespace {

std::atomic<DfuPollWaitObserver*> gObserver{nullptr};

}  // namespace

void DfuPollWaitFor(uint32_t milliseconds) {
  if (DfuPollWaitObserver* observer = gObserver.load(std::memory_order_acquire)) {
    observer->OnPollWait(milliseconds);
    return;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void SetDfuPollWaitObserver(DfuPollWaitObserver* observer) { gObserver.store(observer, std::memory_order_release); }

}  // namespace plendrik
