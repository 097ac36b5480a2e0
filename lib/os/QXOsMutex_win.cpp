#include <windows.h>

#include "QXOsMutex.h"

namespace plendrik {

static_assert(sizeof(CRITICAL_SECTION) <= 64);

QXOsThreadMutex::QXOsThreadMutex() { InitializeCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(mStorage)); }
QXOsThreadMutex::~QXOsThreadMutex() { DeleteCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(mStorage)); }
void QXOsThreadMutex::Lock() { EnterCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(mStorage)); }
void QXOsThreadMutex::Unlock() { LeaveCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(mStorage)); }

}  // namespace plendrik
