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
  // The library is taken from the current directory by its full path, but what it loads in
  // turn must never come from there: from now on the process resolves names of modules in the
  // system folder and the program's own folder only. A failure leaves the system's default.
  SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_APPLICATION_DIR);
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
