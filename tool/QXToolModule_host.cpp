#include <dlfcn.h>
#include <errno.h>
#include <sys/stat.h>

#include <string>

#include "QXToolModule.h"
#include "QXToolText.h"

namespace plendrik {

namespace {
// dlopen searches the loader's paths for a name without a slash; the tool takes its library
// from the current directory, as the file check does, so a bare name gets "./".
std::string LoaderPath(const QXDFU_WCHAR* fileName) {
  std::string path = QXToolToUtf8(fileName);
  if (path.find('/') == std::string::npos) {
    path = "./" + path;
  }
  return path;
}
}  // namespace

const QXDFU_WCHAR* QXToolLibraryFileName() { return u"flashbridge.so"; }

bool QXToolFileIsMissing(const QXDFU_WCHAR* fileName) {
  struct stat info;
  if (stat(QXToolToUtf8(fileName).c_str(), &info) == 0) {
    return false;
  }
  return errno == ENOENT || errno == ENOTDIR;
}

QXSTATUS QXToolLoadModule(const QXDFU_WCHAR* fileName, QXToolModuleHandle& module) {
  errno = 0;
  module = dlopen(LoaderPath(fileName).c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module != nullptr) {
    return QXSTATUS_SUCCESS;
  }
  const int err = errno != 0 ? errno : ENOEXEC;
  return QXSTATUS_FROM_ERRNO(err);
}

void* QXToolGetProcAddress(QXToolModuleHandle module, const char* name) { return dlsym(module, name); }

void QXToolFreeModule(QXToolModuleHandle module) { dlclose(module); }

}  // namespace plendrik
