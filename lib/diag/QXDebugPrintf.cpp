#include "QXDebugPrintf.h"

#include <cstdio>
#include <cstring>

#include "os/QXOsSystem.h"

namespace plendrik {

namespace {
char gModuleName[32] = "";
}

void QXDebugPrintfV(const char* format, va_list args) {
  char buffer[512];
  int n = vsnprintf(buffer, sizeof(buffer), format, args);
  if (n < 0) {
    return;
  }
  QXOsOutputDebugString(buffer);
}

void QXDebugPrintf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  QXDebugPrintfV(format, args);
  va_end(args);
}

const char* QXGetModuleName() { return gModuleName; }

void QXSetModuleName(const char* name) {
  size_t n = strnlen(name, sizeof(gModuleName) - 1);
  memcpy(gModuleName, name, n);
  gModuleName[n] = '\0';
}

}  // namespace plendrik
