// Files by wide path: open a C run-time stream, remove, rename.
#pragma once

#include <cstdio>

#include "QXOsTypes.h"

namespace plendrik {

// Opens a C run-time stream. With sharedOpen the file carries no sharing restriction, so
// other programs may read and write it meanwhile. On failure returns null and sets errno.
FILE* QXOsOpenFile(const QXWString& path, const char* mode, bool sharedOpen);
// 0 on success, else the C run-time error number.
int QXOsRemoveFile(const QXWString& path);
int QXOsRenameFile(const QXWString& from, const QXWString& to);
bool QXOsFileExists(const QXWString& path);
// 64-bit stream positions.
int QXOsSeek64(FILE* stream, int64_t offset, int origin);
int64_t QXOsTell64(FILE* stream);

}  // namespace plendrik
