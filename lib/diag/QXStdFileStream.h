// A C run-time file stream opened by wide path, with the library's status codes and log lines.
#pragma once

#include <cstdarg>
#include <cstdio>

#include "os/QXOsTypes.h"

namespace plendrik {

class QXStdFileStream {
 public:
  QXStdFileStream() = default;
  ~QXStdFileStream();
  QXStdFileStream(const QXStdFileStream&) = delete;
  QXStdFileStream& operator=(const QXStdFileStream&) = delete;

  // Failure: the C run-time error number ORed with 0xE0010000.
  QXSTATUS Open(const QXWString& path, const char* mode, bool sharedOpen = false);
  // Closes the stream; a failing close logs "fclose failed, err={}".
  void Close();
  bool IsOpen() const { return mFile != nullptr; }
  // Forgets the stream without closing it (the process is ending).
  void Abandon() { mFile = nullptr; }

  QXSTATUS SeekToEnd();
  QXSTATUS SeekToStart();
  // The current position as 64 bits.
  QXSTATUS Tell(int64_t& position);
  // Number of bytes read.
  size_t Read(void* buffer, size_t size);
  size_t Write(const void* data, size_t size);
  // The C run time's printf result (negative on failure).
  int PrintfV(const char* format, va_list args);
  QXSTATUS Flush();

 private:
  FILE* mFile = nullptr;
};

}  // namespace plendrik
