#include "QXStdFileStream.h"

#include <cerrno>

#include "diag/QXLog.h"
#include "os/QXOsFile.h"

namespace plendrik {

QXStdFileStream::~QXStdFileStream() { Close(); }

QXSTATUS QXStdFileStream::Open(const QXWString& path, const char* mode, bool sharedOpen) {
  Close();
  errno = 0;
  mFile = QXOsOpenFile(path, mode, sharedOpen);
  if (mFile == nullptr) {
    return QXSTATUS_FROM_ERRNO(errno != 0 ? errno : EIO);
  }
  return QXSTATUS_SUCCESS;
}

void QXStdFileStream::Close() {
  if (mFile == nullptr) {
    return;
  }
  // Forget the stream first: the log line below may be written to this very file's target.
  FILE* file = mFile;
  mFile = nullptr;
  if (fclose(file) != 0) {
    const int err = errno;
    QX_LOG_WARN("fclose failed, err={}", err);
  }
}

QXSTATUS QXStdFileStream::SeekToEnd() {
  if (QXOsSeek64(mFile, 0, SEEK_END) != 0) {
    const int err = errno;
    QX_LOG_ERROR("fseek failed, {}", err);
    return QXSTATUS_FROM_ERRNO(err);
  }
  return QXSTATUS_SUCCESS;
}

QXSTATUS QXStdFileStream::SeekToStart() {
  if (QXOsSeek64(mFile, 0, SEEK_SET) != 0) {
    const int err = errno;
    QX_LOG_ERROR("fseek failed, {}", err);
    return QXSTATUS_FROM_ERRNO(err);
  }
  return QXSTATUS_SUCCESS;
}

QXSTATUS QXStdFileStream::Tell(int64_t& position) {
  position = QXOsTell64(mFile);
  if (position < 0) {
    const int err = errno;
    QX_LOG_ERROR("ftell failed, {}", err);
    return QXSTATUS_FROM_ERRNO(err);
  }
  return QXSTATUS_SUCCESS;
}

size_t QXStdFileStream::Read(void* buffer, size_t size) { return fread(buffer, 1, size, mFile); }

size_t QXStdFileStream::Write(const void* data, size_t size) { return fwrite(data, 1, size, mFile); }

int QXStdFileStream::PrintfV(const char* format, va_list args) { return vfprintf(mFile, format, args); }

QXSTATUS QXStdFileStream::Flush() {
  if (fflush(mFile) != 0) {
    return QXSTATUS_FROM_ERRNO(errno);
  }
  return QXSTATUS_SUCCESS;
}

}  // namespace plendrik
