#include <windows.h>

#include "QXOsSystem.h"

namespace plendrik {

int64_t QXOsQueryPerformanceCounter() {
  LARGE_INTEGER v;
  QueryPerformanceCounter(&v);
  return v.QuadPart;
}

int64_t QXOsQueryPerformanceFrequency() {
  LARGE_INTEGER v;
  QueryPerformanceFrequency(&v);
  return v.QuadPart;
}

QXOsSystemTime QXOsGetSystemTimeUtc() {
  SYSTEMTIME st;
  GetSystemTime(&st);
  return {st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds};
}

uint32_t QXOsGetCurrentProcessId() { return GetCurrentProcessId(); }
uint32_t QXOsGetCurrentThreadId() { return GetCurrentThreadId(); }

QXOsModuleHandle QXOsGetLibraryModule() {
  HMODULE module = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&QXOsGetLibraryModule), &module);
  return module;
}

QXSTATUS QXWinGetModulePathAndFileName(QXOsModuleHandle module, QXWString& pathAndFileName) {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    DWORD n = GetModuleFileNameW(static_cast<HMODULE>(module), buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) {
      return GetLastError();
    }
    if (n < buffer.size()) {
      buffer.resize(n);
      pathAndFileName = buffer;
      return QXSTATUS_SUCCESS;
    }
    if (buffer.size() >= 32768) {
      return ERROR_INSUFFICIENT_BUFFER;
    }
    buffer.resize(buffer.size() * 2);
  }
}

QXWString QXOsExpandEnvironmentStrings(const QXWString& text, size_t maxUnits) {
  std::wstring buffer(maxUnits, L'\0');
  DWORD n = ExpandEnvironmentStringsW(text.c_str(), buffer.data(), static_cast<DWORD>(maxUnits));
  if (n == 0 || n > maxUnits) {
    return QXWString();
  }
  buffer.resize(n - 1);
  return buffer;
}

void QXOsOutputDebugStringPlatform(const char* text) { OutputDebugStringA(text); }

}  // namespace plendrik
