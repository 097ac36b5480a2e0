// Threads on windows run as callbacks of a private thread pool of one thread each, not as
// threads of their own. A thread's end can only be waited for by a caller that lets it take the
// loader lock (its exit notifies every library); a pool callback's end is signalled by the pool
// once the callback's code has returned, so a join needs no thread to exit. Each callback also
// holds a reference to the module that runs it, taken before it is submitted and given back by
// the pool after the callback has returned (FreeLibraryWhenCallbackReturns): the library is
// never unloaded under a thread of its own, so its unload never waits for one under the loader
// lock (where a callback that loads a library, or a FreeLibrary made on that very thread, would
// wait for ever). The pool's thread leaves afterwards on its own, running only system code.
#include <windows.h>

#include <atomic>
#include <new>

#include "os/QXOsThread.h"

namespace plendrik {

namespace {
// How long a start waits for the pool to run the callback (so the thread is there before a
// stop can come, and its id is known); a pool that is slower still runs it later.
constexpr DWORD kStartWaitMs = 10000;

std::atomic<bool> gProcessEnding{false};
}  // namespace

struct QXOsThreadRecord {
  PTP_POOL pool = nullptr;
  PTP_WORK work = nullptr;
  HANDLE started = nullptr;
  HANDLE done = nullptr;
  QXOsThreadEntry entry = nullptr;
  void* context = nullptr;
  std::atomic<uint32_t> threadId{0};
  HMODULE module = nullptr;  // the reference the running callback holds
};

namespace {

VOID CALLBACK CallbackMain(PTP_CALLBACK_INSTANCE instance, PVOID argument, PTP_WORK /*work*/) {
  auto* record = static_cast<QXOsThreadRecord*>(argument);
  // Both done by the pool after this function has returned, not by this code: the event is
  // set first, then the module's reference is given back.
  SetEventWhenCallbackReturns(instance, record->done);
  FreeLibraryWhenCallbackReturns(instance, record->module);
  record->threadId.store(GetCurrentThreadId(), std::memory_order_release);
  SetEvent(record->started);
  record->entry(record->context);
}

void FreeRecord(QXOsThreadRecord* record) {
  if (record->work != nullptr) {
    CloseThreadpoolWork(record->work);
  }
  if (record->pool != nullptr) {
    CloseThreadpool(record->pool);
  }
  if (record->started != nullptr) {
    CloseHandle(record->started);
  }
  if (record->done != nullptr) {
    CloseHandle(record->done);
  }
  delete record;
}

QXSTATUS LastErrorStatus() {
  const DWORD err = GetLastError();
  return err != 0 ? err : QXSTATUS_FAILED;
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
  record->started = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  record->done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (record->started == nullptr || record->done == nullptr) {
    const QXSTATUS st = LastErrorStatus();
    FreeRecord(record);
    return st;
  }
  record->pool = CreateThreadpool(nullptr);
  if (record->pool == nullptr) {
    const QXSTATUS st = LastErrorStatus();
    FreeRecord(record);
    return st;
  }
  SetThreadpoolThreadMaximum(record->pool, 1);
  TP_CALLBACK_ENVIRON environment;
  InitializeThreadpoolEnvironment(&environment);
  SetThreadpoolCallbackPool(&environment, record->pool);
  SetThreadpoolCallbackRunsLong(&environment);
  record->work = CreateThreadpoolWork(&CallbackMain, record, &environment);
  DestroyThreadpoolEnvironment(&environment);
  if (record->work == nullptr) {
    const QXSTATUS st = LastErrorStatus();
    FreeRecord(record);
    return st;
  }
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&CallbackMain),
                          &record->module)) {
    const QXSTATUS st = LastErrorStatus();
    FreeRecord(record);
    return st;
  }
  SubmitThreadpoolWork(record->work);
  WaitForSingleObject(record->started, kStartWaitMs);
  thread.record = record;
  return QXSTATUS_SUCCESS;
}

uint32_t QXOsGetThreadId(const QXOsThread& thread) {
  return thread.record != nullptr ? thread.record->threadId.load(std::memory_order_acquire) : 0;
}

bool QXOsWaitAndReleaseThread(QXOsThread& thread, uint32_t timeoutMs) {
  QXOsThreadRecord* record = thread.record;
  if (record == nullptr) {
    return true;
  }
  if (gProcessEnding.load(std::memory_order_acquire)) {
    // The system has ended every other thread and will never set the event; the record and
    // the pool go with the process.
    thread = QXOsThread();
    return true;
  }
  if (WaitForSingleObject(record->done, timeoutMs) != WAIT_OBJECT_0) {
    return false;
  }
  // The pool gives the module's reference back right after it set the event. Waiting for the
  // whole callback (never from the thread itself: its callers let that one go) makes sure it
  // has, so that a caller that unloads the library next unloads it on its own thread.
  WaitForThreadpoolWorkCallbacks(record->work, FALSE);
  FreeRecord(record);
  thread = QXOsThread();
  return true;
}

bool QXOsIsCurrentThread(const QXOsThread& thread) {
  return thread.record != nullptr && QXOsGetThreadId(thread) == GetCurrentThreadId();
}

void QXOsDetachThread(QXOsThread& thread) {
  QXOsThreadRecord* record = thread.record;
  if (record == nullptr) {
    return;
  }
  thread = QXOsThread();
  if (WaitForSingleObject(record->done, 0) == WAIT_OBJECT_0) {
    FreeRecord(record);
    return;
  }
  // The pool sets the record's event after the callback has returned, so the record cannot be
  // closed before; it is left to the process (this happens only for a thread that would have
  // had to wait for itself).
}

bool QXOsIsProcessEnding() { return gProcessEnding.load(std::memory_order_acquire); }

void QXOsMarkProcessEnding() { gProcessEnding.store(true, std::memory_order_release); }

}  // namespace plendrik
