#include <windows.h>

#include "QXToolModule.h"

namespace plendrik {

const QXDFU_WCHAR* QXToolLibraryFileName() { return L"flashbridge.dll"; }

bool QXToolFileIsMissing(const QXDFU_WCHAR* fileName) {
  if (GetFileAttributesW(fileName) != INVALID_FILE_ATTRIBUTES) {
    return false;
  }
  const DWORD err = GetLastError();
  return err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND;
}

QXSTATUS QXToolLoadModule(const QXDFU_WCHAR* fileName, QXToolModuleHandle& module) {
  module = LoadLibraryW(fileName);
  if (module != nullptr) {
    return QXSTATUS_SUCCESS;
  }
  return GetLastError();
}

void* QXToolGetProcAddress(QXToolModuleHandle module, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name));
}

void QXToolFreeModule(QXToolModuleHandle module) { FreeLibrary(static_cast<HMODULE>(module)); }

}  // namespace plendrik
