#include "device/DfuPollWait.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

namespace plendrik {
namespace {

std::atomic<DfuPollWaitObserver*> gObserver{nullptr};

// How often a long wait looks at the stop request.
constexpr uint32_t kStopCheckMs = 10;

}  // namespace

void DfuPollWaitFor(uint32_t milliseconds, const QXOsWorkerThread* worker) {
  if (DfuPollWaitObserver* observer = gObserver.load(std::memory_order_acquire)) {
    observer->OnPollWait(milliseconds);
    return;
  }
  if (worker == nullptr) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    return;
  }
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  for (auto now = std::chrono::steady_clock::now(); now < end && !worker->IsStopRequested();
       now = std::chrono::steady_clock::now()) {
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(end - now,
                                                                              std::chrono::milliseconds(kStopCheckMs)));
  }
}

void SetDfuPollWaitObserver(DfuPollWaitObserver* observer) { gObserver.store(observer, std::memory_order_release); }

}  // namespace plendrik
