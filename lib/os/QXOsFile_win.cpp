#include <share.h>
#include <windows.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "QXOsFile.h"

namespace plendrik {

FILE* QXOsOpenFile(const QXWString& path, const char* mode, bool sharedOpen) {
  std::wstring wideMode(mode, mode + strlen(mode));
  if (sharedOpen) {
    return _wfsopen(path.c_str(), wideMode.c_str(), _SH_DENYNO);
  }
  return _wfopen(path.c_str(), wideMode.c_str());
}

int QXOsRemoveFile(const QXWString& path) { return _wremove(path.c_str()) == 0 ? 0 : errno; }

int QXOsRenameFile(const QXWString& from, const QXWString& to) {
  return _wrename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

bool QXOsFileExists(const QXWString& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

int QXOsSeek64(FILE* stream, int64_t offset, int origin) { return _fseeki64(stream, offset, origin); }
int64_t QXOsTell64(FILE* stream) { return _ftelli64(stream); }

}  // namespace plendrik
