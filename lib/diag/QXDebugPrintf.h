// The debugger output of the library: problems of the diagnostics themselves go here and
// never to a log target.
#pragma once

#include <cstdarg>

namespace plendrik {

// Formats with the C run time into a 512-byte buffer (longer text is cut) and hands it to
// the debugger output.
void QXDebugPrintf(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
void QXDebugPrintfV(const char* format, va_list args);

// The module name recorded when logging starts (at most 31 characters); it opens every
// debugger output line.
const char* QXGetModuleName();
void QXSetModuleName(const char* name);

}  // namespace plendrik
