// The logging framework: named loggers with a level hand formatted messages to log targets
// (the log file and ETW). Call sites use the QX_LOG_* macros, which test the level before
// any formatting happens.
#pragma once

#include <cstdint>
#include <cstring>

#include "diag/QXFormatter.h"
#include "os/QXOsTypes.h"

namespace plendrik {

enum : int32_t {
  kQXLogLevelFatal = 1,
  kQXLogLevelError = 2,
  kQXLogLevelWarn = 3,
  kQXLogLevelInfo = 4,
  kQXLogLevelDetail = 5,
  kQXLogLevelTrace = 6,
  kQXLogLevelAll = 1000,
};

// Built once per log call and passed to every target.
struct QXLogRecord {
  int64_t timestamp;  // microseconds of the performance counter
  uint32_t processId;
  uint32_t threadId;
  uint64_t packedTime;  // UTC: ms bits 0-9, s 10-15, min 16-21, h 22-26, day 27-31, month 32-35, year 36+
  int32_t level;
};

uint64_t QXPackSystemTime(uint16_t year, uint16_t month, uint16_t day, uint16_t hour, uint16_t minute,
                          uint16_t second, uint16_t millisecond);

// The text of one log line and the prefix each target builds for it, on the caller's stack.
struct QXLogMessage {
  static constexpr size_t kPrefixSize = 80;
  static constexpr size_t kTextSize = 512;
  char prefix[kPrefixSize];
  char text[kTextSize];
};

class QXLogger;
class QXLogConfiguration;

// Prefix options of a target.
enum : uint32_t {
  kQXPrefixDate = 0x001,
  kQXPrefixTime = 0x002,
  kQXPrefixPerfCounter = 0x008,
  kQXPrefixProcessId = 0x010,
  kQXPrefixThreadId = 0x020,
  kQXPrefixModule = 0x100,
  kQXPrefixLogger = 0x200,
  kQXPrefixLevel = 0x400,
};

// Base of the log targets. Targets form a process-wide list, newest first.
class QXLogTarget {
 public:
  QXLogTarget(const char* name, int32_t level, uint32_t prefixOptions);
  virtual ~QXLogTarget();
  QXLogTarget(const QXLogTarget&) = delete;
  QXLogTarget& operator=(const QXLogTarget&) = delete;

  virtual QXSTATUS StartTarget(QXLogConfiguration* configuration);
  virtual void StopTarget();
  virtual void OutputMessage(QXLogMessage& message, const QXLogger& logger, const QXLogRecord& record);
  // False when a line of this level would certainly not be written (below the target's level,
  // or the target has nowhere to write): the caller then neither formats nor records it. May
  // be asked from any thread at any time, so it must be cheap and must not block.
  virtual bool WillWrite(int32_t level) const;

  const char* GetName() const { return mName; }
  int32_t GetLevel() const { return mLevel; }
  void SetLevel(int32_t level) { mLevel = level; }
  QXLogTarget* GetNext() const { return mNext; }
  static QXLogTarget* GetFirst();

 protected:
  int32_t mLevel;
  const char* mName;
  uint32_t mPrefixOptions;
  QXLogTarget* mNext;
};

// A named logger with up to three targets. Loggers form a process-wide list, newest first.
class QXLogger {
 public:
  static constexpr int kMaxTargets = 3;

  QXLogger(const char* name, int32_t level);
  QXLogger(const QXLogger&) = delete;
  QXLogger& operator=(const QXLogger&) = delete;

  bool IsEnabled(int32_t level) const { return level <= mLevel; }
  int32_t GetLevel() const { return mLevel; }
  void SetLevel(int32_t level) { mLevel = level; }
  const char* GetName() const { return mName; }
  // Adds a target to a free slot unless it is already present; false when all slots are taken.
  bool AttachTarget(QXLogTarget* target);
  void DetachTarget(QXLogTarget* target);
  void DetachAllTargets();
  QXLogTarget* const* GetTargets() const { return mTargets; }
  QXLogger* GetNext() const { return mNext; }
  static QXLogger* GetFirst();

 private:
  int32_t mLevel;
  const char* mName;
  QXLogTarget* mTargets[kMaxTargets + 1];
  QXLogger* mNext;
};

// Where the levels and target options come from. The base answers nothing (an empty configuration).
class QXLogConfiguration {
 public:
  virtual ~QXLogConfiguration() = default;
  virtual QXSTATUS GetLogLevel(const char* loggerName, int32_t& level);
  virtual QXSTATUS GetTargetString(const char* targetName, const char* key, const char*& value);
  virtual QXSTATUS GetTargetUint(const char* targetName, const char* key, uint32_t& value);
  virtual void Reserved() {}
};

// Hands a finished message to every target of the logger (the level test is the caller's).
void Log(const QXLogger& logger, int32_t level, QXLogMessage& message);

// True when at least one target of the logger will write a line of this level.
bool QXLogHasWriter(const QXLogger& logger, int32_t level);

// Builds the prefix selected by options into message.prefix (at most 79 characters).
void CreatePrefix(uint32_t options, QXLogMessage& message, const QXLogger& logger, const QXLogRecord& record);

const char* QXLogLevelWord(int32_t level);

// "plendrik::Class::Method" out of the compiler's full function signature.
size_t QXExtractFunctionName(const char* prettyFunction, char* out, size_t outSize);

// Starts the text with the function name and ": "; returns the text length so far.
size_t QXBeginLogText(QXLogMessage& message, const char* prettyFunction);

template <class... A>
void QXLogWrite(const QXLogger& logger, int32_t level, const char* prettyFunction, const char* formatString,
                const A&... args) {
  // A line that no target writes is neither formatted nor recorded.
  if (!QXLogHasWriter(logger, level)) {
    return;
  }
  QXLogMessage message;
  size_t pos = QXBeginLogText(message, prettyFunction);
  QXFormat(message.text + pos, sizeof(message.text) - pos, formatString, args...);
  Log(logger, level, message);
}

// The library's three loggers.
extern QXLogger gLogGlobal;
extern QXLogger gLogDfuApi;
extern QXLogger gLogDfu;

// Attaches every registered target to every logger and lets all messages pass until the
// logging configuration is read.
void QXAttachLogTargetsToLoggers();

}  // namespace plendrik

#if defined(_MSC_VER)
#define QX_PRETTY_FUNCTION __FUNCSIG__
#else
#define QX_PRETTY_FUNCTION __PRETTY_FUNCTION__
#endif

#define QX_LOG(logger, level, ...)                                                          \
  do {                                                                                      \
    if ((logger).IsEnabled(level)) {                                                        \
      ::plendrik::QXLogWrite((logger), (level), QX_PRETTY_FUNCTION, __VA_ARGS__);           \
    }                                                                                       \
  } while (0)

#define QX_LOG_FATAL(...) QX_LOG(::plendrik::gLogGlobal, ::plendrik::kQXLogLevelFatal, __VA_ARGS__)
#define QX_LOG_ERROR(...) QX_LOG(::plendrik::gLogGlobal, ::plendrik::kQXLogLevelError, __VA_ARGS__)
#define QX_LOG_WARN(...) QX_LOG(::plendrik::gLogGlobal, ::plendrik::kQXLogLevelWarn, __VA_ARGS__)
#define QX_LOG_INFO(...) QX_LOG(::plendrik::gLogGlobal, ::plendrik::kQXLogLevelInfo, __VA_ARGS__)
#define QX_LOG_DETAIL(...) QX_LOG(::plendrik::gLogGlobal, ::plendrik::kQXLogLevelDetail, __VA_ARGS__)
