// The text log file target: one line per message with a date, time, process and thread
// prefix, rotated to a single ".bak" generation at its size limit.
#pragma once

#include "diag/QXLog.h"
#include "diag/QXStdFileStream.h"
#include "os/QXOsMutex.h"

namespace plendrik {

class QXLogFile {
 public:
  static constexpr uint64_t kDefaultMaxSize = 20480ull * 1024ull;

  QXSTATUS OpenLogFile();
  void CloseLogFile();
  bool IsOpen() const { return mStream.IsOpen(); }
  // Renames the log file to its name with ".bak" appended, replacing an older backup.
  void MakeBackup();
  QXSTATUS WriteToLogFileFormatted(const char* format, ...);

  QXStdFileStream mStream;
  QXWString mPath;
  uint64_t mCurrentSize = 0;
  uint64_t mMaxSize = kDefaultMaxSize;
  bool mAppend = false;
  bool mFlushAfterWrite = false;
  bool mSharedOpen = true;
};

class QXLogTargetLogFile : public QXLogTarget {
 public:
  QXLogTargetLogFile();
  ~QXLogTargetLogFile() override;

  QXSTATUS StartTarget(QXLogConfiguration* configuration) override;
  void StopTarget() override;
  void OutputMessage(QXLogMessage& message, const QXLogger& logger, const QXLogRecord& record) override;

  QXSTATUS SetLogFileName(const QXWString& name);
  void SetAppendMode(bool append);
  void SetFlushAfterWrite(bool flush);
  bool IsStarted();
  QXWString GetLogFileName();
  // The path of the file being written (empty when not started).
  QXWString GetOpenPath();
  uint64_t GetMaxFileSize();

 private:
  QXSTATUS SetLogFileNameImpl(const QXWString& name);
  QXSTATUS StartTargetImpl(QXLogConfiguration& configuration);

  QXOsThreadMutexAutoCreate mLock;
  QXWString mFileName;
  QXLogFile mLogFile;
  bool mStarted = false;
};

class QXLogTargetEtw;

// The library's two log targets.
struct QXLogTargets {
  QXLogTargetLogFile& LogFile;
  QXLogTargetEtw& Etw;
};
extern QXLogTargets gLogTargets;

}  // namespace plendrik
