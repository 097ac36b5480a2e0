// Small text helpers of the console tool: UTF-16 file names to UTF-8 for printing and for
// the host's loader, and the tool's one output channel.
#pragma once

#include <cstdio>
#include <string>

#include "flashbridge.h"

namespace plendrik {

// UTF-16 (the library's wide string) to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string QXToolToUtf8(const QXDFU_WCHAR* text);

// Where the tool's messages go: standard output unless a test redirects them.
void QXToolSetOutput(FILE* out);
FILE* QXToolGetOutput();

// printf to the tool's output, flushed at once so that progress shows while the download runs
// (also when standard output is a pipe).
#if defined(__GNUC__)
void QXToolPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
#else
void QXToolPrintf(const char* format, ...);
#endif

}  // namespace plendrik
