// The tool's platform seam for loading the library at run time: the file check, the load, the
// look-up of an export by name and the release. LoadLibraryW/GetProcAddress/FreeLibrary on
// windows, dlopen/dlsym/dlclose on the host.
#pragma once

#include "flashbridge.h"

namespace plendrik {

using QXToolModuleHandle = void*;

// The library's bare file name: "flashbridge.dll" on windows, "flashbridge.so" on the host.
const QXDFU_WCHAR* QXToolLibraryFileName();

// True when the file system answers "file not found" or "path not found" for fileName (a bare
// name is taken from the current directory). Other answers count as present.
bool QXToolFileIsMissing(const QXDFU_WCHAR* fileName);

// Loads the module. 0 and module set on success; otherwise module is null and the answer is the
// system's error: the Windows error code unchanged (it may be 0 when the system gave none), on
// the host the C run-time error number as status (0xE0010000 | errno), ENOEXEC when the loader
// names no number (a file that is no loadable library).
QXSTATUS QXToolLoadModule(const QXDFU_WCHAR* fileName, QXToolModuleHandle& module);

// The address of an export, or null.
void* QXToolGetProcAddress(QXToolModuleHandle module, const char* name);

void QXToolFreeModule(QXToolModuleHandle module);

}  // namespace plendrik
