// The text log file target: one line per message with a date, time, process and thread
// prefix, rotated to a single ".bak" generation at its size limit.
#pragma once

#include <atomic>

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
  // Forgets the file without closing it (the process is ending).
  void Abandon() { mStream.Abandon(); }
  // Renames the log file to its name with ".bak" appended, replacing an older backup. False
  // when the file exists and could not be renamed (reported once until a backup succeeds).
  bool MakeBackup();
  // Opens the file for a fresh start: after a backup, or appending to the file as it is when
  // the backup cannot be made, so that no line is lost.
  QXSTATUS OpenLogFileAfterBackup();
  QXSTATUS WriteToLogFileFormatted(const char* format, ...);

  QXStdFileStream mStream;
  QXWString mPath;
  uint64_t mCurrentSize = 0;
  // The size at which the file was last found not rotatable: the next attempt comes after
  // another mMaxSize bytes, not on every line.
  uint64_t mRotationBase = 0;
  bool mBackupFailureReported = false;
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
  // False while the target is not started.
  bool WillWrite(int32_t level) const override;

  QXSTATUS SetLogFileName(const QXWString& name);
  void SetAppendMode(bool append);
  void SetFlushAfterWrite(bool flush);
  // Sets the name and both options and starts the target, all under the target's lock, so
  // that concurrent callers cannot mix their names and options. A started target keeps its
  // file and options and answers QXSTATUS_ALREADY_DONE.
  QXSTATUS StartWithFileName(const QXWString& name, bool append, bool flush);
  bool IsStarted();
  bool GetAppendMode();
  bool GetFlushAfterWrite();
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
  // mStarted for readers without the lock (the question before a line is formatted).
  std::atomic<bool> mStartedHint{false};
};

class QXLogTargetEtw;

// The library's two log targets.
struct QXLogTargets {
  QXLogTargetLogFile& LogFile;
  QXLogTargetEtw& Etw;
};
extern QXLogTargets gLogTargets;

}  // namespace plendrik
