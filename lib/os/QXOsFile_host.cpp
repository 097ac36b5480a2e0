#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

#include "QXOsFile.h"
#include "QXOsString.h"

namespace plendrik {

FILE* QXOsOpenFile(const QXWString& path, const char* mode, bool /*sharedOpen: POSIX files are never locked*/) {
  return fopen(QXUtf16ToUtf8(path).c_str(), mode);
}

int QXOsRemoveFile(const QXWString& path) { return remove(QXUtf16ToUtf8(path).c_str()) == 0 ? 0 : errno; }

int QXOsRenameFile(const QXWString& from, const QXWString& to) {
  return rename(QXUtf16ToUtf8(from).c_str(), QXUtf16ToUtf8(to).c_str()) == 0 ? 0 : errno;
}

bool QXOsFileExists(const QXWString& path) {
  struct stat st {};
  return stat(QXUtf16ToUtf8(path).c_str(), &st) == 0;
}

int QXOsSeek64(FILE* stream, int64_t offset, int origin) { return fseeko(stream, static_cast<off_t>(offset), origin); }
int64_t QXOsTell64(FILE* stream) { return static_cast<int64_t>(ftello(stream)); }

}  // namespace plendrik
