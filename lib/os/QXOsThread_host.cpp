#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>

#include "os/QXOsSystem.h"
#include "os/QXOsThread.h"

namespace plendrik {

// POSIX threads have no join with a time limit in the standard; the thread reports its end
// through a condition variable, and the join follows once it has.
struct QXOsThreadRecord {
  pthread_t handle{};
  QXOsThreadEntry entry = nullptr;
  void* context = nullptr;
  std::mutex mutex;
  std::condition_variable changed;
  bool done = false;
  bool detached = false;  // nobody joins it: the thread releases its own record
  uint32_t threadId = 0;
};

namespace {

std::atomic<bool> gProcessEnding{false};

void* ThreadMain(void* argument) {
  auto* record = static_cast<QXOsThreadRecord*>(argument);
  {
    std::lock_guard<std::mutex> lock(record->mutex);
    record->threadId = QXOsGetCurrentThreadId();
  }
  record->changed.notify_all();
  record->entry(record->context);
  std::unique_lock<std::mutex> lock(record->mutex);
  record->done = true;
  if (record->detached) {
    lock.unlock();
    delete record;
    return nullptr;
  }
  // Under the lock: a detach that sees done releases the record as soon as it gets the lock.
  record->changed.notify_all();
  return nullptr;
}

}  // namespace

QXSTATUS QXOsStartThread(QXOsThreadEntry entry, void* context, QXOsThread& thread) {
  thread = QXOsThread();
  auto* record = new (std::nothrow) QXOsThreadRecord();
  if (record == nullptr) {
    return QXSTATUS_NO_MEMORY;
  }
  record->entry = entry;
  record->context = context;
  const int err = pthread_create(&record->handle, nullptr, &ThreadMain, record);
  if (err != 0) {
    delete record;
    return QXSTATUS_FROM_ERRNO(err);
  }
  thread.record = record;
  // As on windows, the start returns once the thread runs, so its id is known from here on.
  std::unique_lock<std::mutex> lock(record->mutex);
  record->changed.wait(lock, [record] { return record->threadId != 0; });
  return QXSTATUS_SUCCESS;
}

uint32_t QXOsGetThreadId(const QXOsThread& thread) {
  if (thread.record == nullptr) {
    return 0;
  }
  std::lock_guard<std::mutex> lock(thread.record->mutex);
  return thread.record->threadId;
}

bool QXOsWaitAndReleaseThread(QXOsThread& thread, uint32_t timeoutMs) {
  QXOsThreadRecord* record = thread.record;
  if (record == nullptr) {
    return true;
  }
  if (gProcessEnding.load(std::memory_order_acquire)) {
    thread = QXOsThread();
    return true;
  }
  {
    std::unique_lock<std::mutex> lock(record->mutex);
    if (!record->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [record] { return record->done; })) {
      return false;
    }
  }
  pthread_join(record->handle, nullptr);
  delete record;
  thread = QXOsThread();
  return true;
}

bool QXOsIsCurrentThread(const QXOsThread& thread) {
  return thread.record != nullptr && QXOsGetThreadId(thread) == QXOsGetCurrentThreadId();
}

void QXOsDetachThread(QXOsThread& thread) {
  QXOsThreadRecord* record = thread.record;
  if (record == nullptr) {
    return;
  }
  thread = QXOsThread();
  pthread_detach(record->handle);
  bool done = false;
  {
    std::lock_guard<std::mutex> lock(record->mutex);
    done = record->done;
    record->detached = true;
  }
  if (done) {
    delete record;
  }
}

bool QXOsIsProcessEnding() { return gProcessEnding.load(std::memory_order_acquire); }

void QXOsMarkProcessEnding() { gProcessEnding.store(true, std::memory_order_release); }

}  // namespace plendrik
