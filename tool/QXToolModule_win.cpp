#include <windows.h>

#include <string>

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
  // LoadLibraryW would search a bare name in the program's folder and the system folders
  // first; the library to load is the file just checked in the current directory, so it is
  // named by its full path.
  std::wstring path(fileName);
  const DWORD needed = GetFullPathNameW(fileName, 0, nullptr, nullptr);
  if (needed != 0) {
    std::wstring full(needed, L'\0');
    const DWORD written = GetFullPathNameW(fileName, needed, full.data(), nullptr);
    if (written != 0 && written < needed) {
      full.resize(written);
      path = full;
    }
  }
  module = LoadLibraryW(path.c_str());
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
