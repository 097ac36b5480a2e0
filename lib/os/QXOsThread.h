// The platform half of a worker thread: start a thread on an entry function, wait for its
// end in bounded steps, and release it. A callback of a private one-thread pool on windows
// that keeps the library loaded while it runs, POSIX threads on the host.
#pragma once

#include <cstdint>

#include "os/QXOsTypes.h"

namespace plendrik {

struct QXOsThreadRecord;

// One started thread; empty (null record) when none was started or after it was released.
struct QXOsThread {
  QXOsThreadRecord* record = nullptr;
};

using QXOsThreadEntry = void (*)(void* context);

// Starts entry(context) on a new thread and returns once the thread runs (its id is known).
// On failure thread stays empty and the system's error is returned as a status.
QXSTATUS QXOsStartThread(QXOsThreadEntry entry, void* context, QXOsThread& thread);

// The system's number of the thread (as log lines show it); 0 for an empty thread.
uint32_t QXOsGetThreadId(const QXOsThread& thread);

// Waits up to timeoutMs for the thread to end. When it has ended, the thread is joined and
// released (thread becomes empty) and true is returned; otherwise false and nothing changes.
// Once the process is ending, returns true at once and leaves the thread's record behind.
bool QXOsWaitAndReleaseThread(QXOsThread& thread, uint32_t timeoutMs);

// True when called on the thread itself (a wait for it would never end).
bool QXOsIsCurrentThread(const QXOsThread& thread);

// Lets the thread go without waiting for it (thread becomes empty): what is left of it is
// released when its entry returns. For a thread that would otherwise have to wait for itself.
void QXOsDetachThread(QXOsThread& thread);

// True once QXOsMarkProcessEnding was called.
bool QXOsIsProcessEnding();

// Records that the process is ending: the system has already ended every other thread, so no
// wait for one may be made any more.
void QXOsMarkProcessEnding();

}  // namespace plendrik
