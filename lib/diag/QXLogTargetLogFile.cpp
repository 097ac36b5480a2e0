#include "QXLogTargetLogFile.h"

#include <cstdarg>

#include "diag/QXDebugPrintf.h"
#include "os/QXOsFile.h"
#include "os/QXOsString.h"
#include "os/QXOsSystem.h"
#include "os/QXOsThread.h"

namespace plendrik {

QXSTATUS QXLogFile::OpenLogFile() {
  const QXSTATUS st = mStream.Open(mPath, mAppend ? "ab" : "wb", mSharedOpen);
  if (st != QXSTATUS_SUCCESS) {
    return st;
  }
  mCurrentSize = 0;
  if (mStream.SeekToEnd() != QXSTATUS_SUCCESS) {
    QXDebugPrintf("%s: ERROR: %s: SeekToEnd failed (0x%08x)\n", QXGetModuleName(), "plendrik::QXLogFile::OpenLogFile",
                  QXSTATUS_FAILED);
    return QXSTATUS_SUCCESS;
  }
  int64_t position = 0;
  const QXSTATUS tell = mStream.Tell(position);
  if (tell != QXSTATUS_SUCCESS) {
    QXDebugPrintf("%s: ERROR: %s: Tell failed (0x%08x)\n", QXGetModuleName(), "plendrik::QXLogFile::OpenLogFile", tell);
    return QXSTATUS_SUCCESS;
  }
  mCurrentSize = static_cast<uint64_t>(position);
  return QXSTATUS_SUCCESS;
}

void QXLogFile::CloseLogFile() { mStream.Close(); }

bool QXLogFile::MakeBackup() {
  if (!QXOsFileExists(mPath)) {
    return true;
  }
  const QXWString backup = mPath + QXW(".bak");
  if (QXOsFileExists(backup)) {
    QXOsRemoveFile(backup);
  }
  const int error = QXOsRenameFile(mPath, backup);
  if (error == 0) {
    mBackupFailureReported = false;
    return true;
  }
  // Another program may hold the file or the backup name may be a folder; this can last,
  // so it is reported once rather than on every attempt.
  if (!mBackupFailureReported) {
    mBackupFailureReported = true;
    QXDebugPrintf("%s: ERROR: %s: Rename '%s' to '%s' failed, st=0x%08x, appending to the log file\n",
                  QXGetModuleName(), "plendrik::QXLogFile::MakeBackup", QXUtf16ToUtf8(mPath).c_str(),
                  QXUtf16ToUtf8(backup).c_str(), QXSTATUS_FROM_ERRNO(error));
  }
  return false;
}

QXSTATUS QXLogFile::OpenLogFileAfterBackup() {
  mRotationBase = 0;
  if (MakeBackup()) {
    return OpenLogFile();
  }
  const bool append = mAppend;
  mAppend = true;
  const QXSTATUS st = OpenLogFile();
  mAppend = append;
  mRotationBase = mCurrentSize;
  return st;
}

QXSTATUS QXLogFile::WriteToLogFileFormatted(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int written = mStream.PrintfV(format, args);
  va_end(args);
  if (written < 0) {
    QXDebugPrintf("%s: ERROR: %s: PrintfV failed\n", QXGetModuleName(), "plendrik::QXLogFile::WriteToLogFileFormatted");
    return QXSTATUS_FAILED;
  }
  if (mFlushAfterWrite) {
    mStream.Flush();
  }
  mCurrentSize += static_cast<uint64_t>(written);
  if (mMaxSize != 0 && mCurrentSize - mRotationBase >= mMaxSize) {
    CloseLogFile();
    OpenLogFileAfterBackup();
  }
  return QXSTATUS_SUCCESS;
}

QXLogTargetLogFile::QXLogTargetLogFile() : QXLogTarget("LogFile", kQXLogLevelAll, 0x733) {}

QXLogTargetLogFile::~QXLogTargetLogFile() {
  if (QXOsIsProcessEnding()) {
    // A thread the system ended may hold the lock or the stream's own lock: the file is left
    // to the system as it is (a log that flushes after each line has every line in it).
    mLogFile.Abandon();
    return;
  }
  QXOsLockGuard guard(mLock);
  mLogFile.CloseLogFile();
}

QXSTATUS QXLogTargetLogFile::SetLogFileName(const QXWString& name) {
  QXOsLockGuard guard(mLock);
  return SetLogFileNameImpl(name);
}

QXSTATUS QXLogTargetLogFile::SetLogFileNameImpl(const QXWString& name) {
  auto blank = [](QXWChar c) { return c == ' ' || (c >= 0x09 && c <= 0x0D); };
  size_t first = 0;
  size_t last = name.size();
  while (first < last && blank(name[first])) {
    ++first;
  }
  while (last > first && blank(name[last - 1])) {
    --last;
  }
  const QXWString trimmed = name.substr(first, last - first);
  if (trimmed.empty()) {
    mFileName.clear();
    return QXSTATUS_SUCCESS;
  }
  const QXWString expanded = QXOsExpandEnvironmentStrings(trimmed, 512);
  if (expanded.empty()) {
    QXDebugPrintf("%s: ERROR: %s: string is empty after expansion of '%s'\n", QXGetModuleName(),
                  "plendrik::QXLogTargetLogFile::SetLogFileNameImpl", QXUtf16ToUtf8(trimmed).c_str());
    return QXSTATUS_FAILED;
  }
  mFileName = expanded;
  return QXSTATUS_SUCCESS;
}

void QXLogTargetLogFile::SetAppendMode(bool append) {
  QXOsLockGuard guard(mLock);
  mLogFile.mAppend = append;
}

void QXLogTargetLogFile::SetFlushAfterWrite(bool flush) {
  QXOsLockGuard guard(mLock);
  mLogFile.mFlushAfterWrite = flush;
}

QXSTATUS QXLogTargetLogFile::StartWithFileName(const QXWString& name, bool append, bool flush) {
  QXOsLockGuard guard(mLock);
  if (mStarted) {
    // A running file keeps its options: a refused second start must not change how it is written.
    QXDebugPrintf("%s: WARNING: %s: already started\n", QXGetModuleName(), "plendrik::QXLogTargetLogFile::StartTargetImpl");
    return QXSTATUS_ALREADY_DONE;
  }
  const QXSTATUS st = SetLogFileNameImpl(name);
  if (st != QXSTATUS_SUCCESS) {
    return st;
  }
  mLogFile.mAppend = append;
  mLogFile.mFlushAfterWrite = flush;
  QXLogConfiguration empty;
  return StartTargetImpl(empty);
}

bool QXLogTargetLogFile::GetAppendMode() {
  QXOsLockGuard guard(mLock);
  return mLogFile.mAppend;
}

bool QXLogTargetLogFile::GetFlushAfterWrite() {
  QXOsLockGuard guard(mLock);
  return mLogFile.mFlushAfterWrite;
}

bool QXLogTargetLogFile::IsStarted() {
  QXOsLockGuard guard(mLock);
  return mStarted;
}

QXWString QXLogTargetLogFile::GetLogFileName() {
  QXOsLockGuard guard(mLock);
  return mFileName;
}

QXWString QXLogTargetLogFile::GetOpenPath() {
  QXOsLockGuard guard(mLock);
  return mLogFile.mPath;
}

uint64_t QXLogTargetLogFile::GetMaxFileSize() {
  QXOsLockGuard guard(mLock);
  return mLogFile.mMaxSize;
}

QXSTATUS QXLogTargetLogFile::StartTarget(QXLogConfiguration* configuration) {
  QXLogConfiguration empty;
  QXOsLockGuard guard(mLock);
  return StartTargetImpl(configuration != nullptr ? *configuration : empty);
}

QXSTATUS QXLogTargetLogFile::StartTargetImpl(QXLogConfiguration& configuration) {
  if (mStarted) {
    QXDebugPrintf("%s: WARNING: %s: already started\n", QXGetModuleName(),
                  "plendrik::QXLogTargetLogFile::StartTargetImpl");
    return QXSTATUS_ALREADY_DONE;
  }
  const char* fileName = nullptr;
  if (configuration.GetTargetString(mName, "LogFile", fileName) == QXSTATUS_SUCCESS && fileName != nullptr) {
    const QXSTATUS st = SetLogFileNameImpl(QXWidenBytes(fileName));
    if (st != QXSTATUS_SUCCESS) {
      return st;
    }
  }
  uint32_t value = 0;
  if (configuration.GetTargetUint(mName, "AppendMode", value) == QXSTATUS_SUCCESS) {
    mLogFile.mAppend = value != 0;
  }
  if (configuration.GetTargetUint(mName, "FlushAfterWrite", value) == QXSTATUS_SUCCESS) {
    mLogFile.mFlushAfterWrite = value != 0;
  }
  if (configuration.GetTargetUint(mName, "MaxFileSizeKB", value) == QXSTATUS_SUCCESS && value < 0x80000000u) {
    mLogFile.mMaxSize = static_cast<uint64_t>(value) * 1024u;
  }
  if (mFileName.empty()) {
    return QXSTATUS_SUCCESS;
  }
  mLogFile.mPath = mFileName;
  mLogFile.mBackupFailureReported = false;
  mLogFile.mRotationBase = 0;
  const QXSTATUS st = mLogFile.mAppend ? mLogFile.OpenLogFile() : mLogFile.OpenLogFileAfterBackup();
  if (st != QXSTATUS_SUCCESS) {
    const std::string path = QXUtf16ToUtf8(mLogFile.mPath);
    QXDebugPrintf("%s: ERROR: %s: Open file '%s' failed, st=0x%08X\n", QXGetModuleName(), "plendrik::QXLogFile::OpenLogFile",
                  path.c_str(), st);
    QXDebugPrintf("%s: ERROR: %s: OpenLogFile(%s) failed, st=0x%08X\n", QXGetModuleName(),
                  "plendrik::QXLogTargetLogFile::StartTargetImpl", path.c_str(), st);
    mLogFile.mPath.clear();
    return st;
  }
  mStarted = true;
  mStartedHint.store(true, std::memory_order_release);
  return QXSTATUS_SUCCESS;
}

void QXLogTargetLogFile::StopTarget() {
  QXOsLockGuard guard(mLock);
  mLogFile.CloseLogFile();
  mLogFile.mPath.clear();
  mStarted = false;
  mStartedHint.store(false, std::memory_order_release);
}

bool QXLogTargetLogFile::WillWrite(int32_t level) const {
  return level <= mLevel && mStartedHint.load(std::memory_order_acquire);
}

void QXLogTargetLogFile::OutputMessage(QXLogMessage& message, const QXLogger& logger, const QXLogRecord& record) {
  if (!WillWrite(record.level)) {
    return;
  }
  CreatePrefix(mPrefixOptions, message, logger, record);
  QXOsLockGuard guard(mLock);
  if (!mLogFile.IsOpen()) {
    return;
  }
  const QXSTATUS st = mLogFile.WriteToLogFileFormatted("%s%s\r\n", message.prefix, message.text);
  if (st != QXSTATUS_SUCCESS) {
    QXDebugPrintf("%s: ERROR: %s: WriteToLogFileFormatted(%s%s) failed, st=0x%08x\n", QXGetModuleName(),
                  "plendrik::QXLogTargetLogFile::OutputMessage", message.prefix, message.text, st);
  }
}

}  // namespace plendrik
