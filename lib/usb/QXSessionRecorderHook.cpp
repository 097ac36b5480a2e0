#include "usb/QXSessionRecorderHook.h"

#include <atomic>

namespace plendrik {

namespace {
std::atomic<QXSessionRecorderHook*> gActiveRecorder{nullptr};
}  // namespace

QXSessionRecorderHook* QXGetActiveSessionRecorder() { return gActiveRecorder.load(std::memory_order_acquire); }

void QXSetActiveSessionRecorder(QXSessionRecorderHook* recorder) {
  gActiveRecorder.store(recorder, std::memory_order_release);
}

}  // namespace plendrik
