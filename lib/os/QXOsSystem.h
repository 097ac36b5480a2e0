// Small services of the operating system: clocks, process and thread ids, the path of the
// library's own module, environment expansion and the debugger output.
#pragma once

#include <functional>

#include "QXOsTypes.h"

namespace plendrik {

struct QXOsSystemTime {
  uint16_t year, month, day, hour, minute, second, millisecond;
};

int64_t QXOsQueryPerformanceCounter();
int64_t QXOsQueryPerformanceFrequency();
// Wall-clock time in UTC.
QXOsSystemTime QXOsGetSystemTimeUtc();
uint32_t QXOsGetCurrentProcessId();
uint32_t QXOsGetCurrentThreadId();

// Opaque handle of a loaded module; QXOsGetLibraryModule answers the module that holds this code.
using QXOsModuleHandle = void*;
QXOsModuleHandle QXOsGetLibraryModule();

// The full file name of a module as the system reports it, extension included.
QXSTATUS QXWinGetModulePathAndFileName(QXOsModuleHandle module, QXWString& pathAndFileName);

// Expands %NAME% references to environment variables; unknown names stay as written.
// At most maxUnits - 1 units of the result are kept.
QXWString QXOsExpandEnvironmentStrings(const QXWString& text, size_t maxUnits);

// Hands one text to the system's debugger output (OutputDebugStringA on windows).
void QXOsOutputDebugString(const char* text);

// Tests observe the debugger output through this hook; it sees every text before the system
// does. Pass an empty function to remove it.
void QXOsSetDebugOutputObserver(std::function<void(const char*)> observer);

}  // namespace plendrik
