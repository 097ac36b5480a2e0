#include "QXLog.h"

#include <cstdio>
#include <cstring>

#include "diag/QXDebugPrintf.h"
#include "os/QXOsSystem.h"
#include "os/QXOsThread.h"

namespace plendrik {

namespace {
QXLogTarget* gFirstTarget = nullptr;
QXLogger* gFirstLogger = nullptr;

int64_t PerformanceFrequency() {
  static const int64_t frequency = QXOsQueryPerformanceFrequency();
  return frequency;
}
}  // namespace

uint64_t QXPackSystemTime(uint16_t year, uint16_t month, uint16_t day, uint16_t hour, uint16_t minute,
                          uint16_t second, uint16_t millisecond) {
  return (static_cast<uint64_t>(millisecond) & 0x3FF) | ((static_cast<uint64_t>(second) & 0x3F) << 10) |
         ((static_cast<uint64_t>(minute) & 0x3F) << 16) | ((static_cast<uint64_t>(hour) & 0x1F) << 22) |
         ((static_cast<uint64_t>(day) & 0x1F) << 27) | ((static_cast<uint64_t>(month) & 0xF) << 32) |
         (static_cast<uint64_t>(year) << 36);
}

QXLogTarget::QXLogTarget(const char* name, int32_t level, uint32_t prefixOptions)
    : mLevel(level), mName(name), mPrefixOptions(prefixOptions), mNext(gFirstTarget) {
  gFirstTarget = this;
}

QXLogTarget::~QXLogTarget() {
  if (QXOsIsProcessEnding()) {
    return;  // no logger is used again
  }
  // A logger must never reach a destroyed target.
  for (QXLogger* logger = gFirstLogger; logger != nullptr; logger = logger->GetNext()) {
    logger->DetachTarget(this);
  }
  for (QXLogTarget** p = &gFirstTarget; *p != nullptr; p = &(*p)->mNext) {
    if (*p == this) {
      *p = mNext;
      break;
    }
  }
}

QXSTATUS QXLogTarget::StartTarget(QXLogConfiguration*) { return QXSTATUS_SUCCESS; }
void QXLogTarget::StopTarget() {}
void QXLogTarget::OutputMessage(QXLogMessage&, const QXLogger&, const QXLogRecord&) {}
bool QXLogTarget::WillWrite(int32_t level) const { return level <= mLevel; }
QXLogTarget* QXLogTarget::GetFirst() { return gFirstTarget; }

QXLogger::QXLogger(const char* name, int32_t level) : mLevel(level), mName(name), mTargets{}, mNext(gFirstLogger) {
  gFirstLogger = this;
}

bool QXLogger::AttachTarget(QXLogTarget* target) {
  for (int i = 0; i < kMaxTargets; ++i) {
    if (mTargets[i] == target) {
      return true;
    }
    if (mTargets[i] == nullptr) {
      mTargets[i] = target;
      return true;
    }
  }
  return false;
}

void QXLogger::DetachTarget(QXLogTarget* target) {
  int out = 0;
  for (int i = 0; i < kMaxTargets; ++i) {
    if (mTargets[i] != target) {
      mTargets[out++] = mTargets[i];
    }
  }
  while (out < kMaxTargets) {
    mTargets[out++] = nullptr;
  }
}

void QXLogger::DetachAllTargets() {
  for (auto& t : mTargets) {
    t = nullptr;
  }
}

QXLogger* QXLogger::GetFirst() { return gFirstLogger; }

QXSTATUS QXLogConfiguration::GetLogLevel(const char*, int32_t&) { return QXSTATUS_NOT_AVAILABLE; }
QXSTATUS QXLogConfiguration::GetTargetString(const char*, const char*, const char*&) { return QXSTATUS_NOT_AVAILABLE; }
QXSTATUS QXLogConfiguration::GetTargetUint(const char*, const char*, uint32_t&) { return QXSTATUS_NOT_AVAILABLE; }

void QXAttachLogTargetsToLoggers() {
  for (QXLogger* logger = QXLogger::GetFirst(); logger != nullptr; logger = logger->GetNext()) {
    for (QXLogTarget* target = QXLogTarget::GetFirst(); target != nullptr; target = target->GetNext()) {
      logger->AttachTarget(target);
    }
    logger->SetLevel(kQXLogLevelAll);
  }
}

const char* QXLogLevelWord(int32_t level) {
  switch (level) {
    case kQXLogLevelFatal:
      return "FATAL";
    case kQXLogLevelError:
      return "ERROR";
    case kQXLogLevelWarn:
      return "WARN";
    default:
      return "INFO";
  }
}

bool QXLogHasWriter(const QXLogger& logger, int32_t level) {
  if (level > logger.GetLevel()) {
    return false;
  }
  for (QXLogTarget* const* slot = logger.GetTargets(); *slot != nullptr; ++slot) {
    if ((*slot)->WillWrite(level)) {
      return true;
    }
  }
  return false;
}

void Log(const QXLogger& logger, int32_t level, QXLogMessage& message) {
  // The record costs clock reads and system calls: only for a line that some target writes.
  if (!QXLogHasWriter(logger, level)) {
    return;
  }
  QXLogRecord record{};
  const int64_t counter = QXOsQueryPerformanceCounter();
  const int64_t frequency = PerformanceFrequency();
  // Split the multiplication so that a large counter cannot overflow.
  record.timestamp = (counter / frequency) * 1000000 + (counter % frequency) * 1000000 / frequency;
  record.processId = QXOsGetCurrentProcessId();
  record.threadId = QXOsGetCurrentThreadId();
  const QXOsSystemTime t = QXOsGetSystemTimeUtc();
  record.packedTime = QXPackSystemTime(t.year, t.month, t.day, t.hour, t.minute, t.second, t.millisecond);
  record.level = level;
  for (QXLogTarget* const* slot = logger.GetTargets(); *slot != nullptr; ++slot) {
    (*slot)->OutputMessage(message, logger, record);
  }
}

void CreatePrefix(uint32_t options, QXLogMessage& message, const QXLogger& logger, const QXLogRecord& record) {
  constexpr size_t kMax = QXLogMessage::kPrefixSize - 1;
  char work[256];
  size_t len = 0;
  auto room = [&]() { return sizeof(work) - len; };
  auto add = [&](size_t n) { len += n < room() ? n : room() - 1; };
  const uint64_t p = record.packedTime;
  const auto year = static_cast<uint32_t>(p >> 36);
  const auto month = static_cast<uint32_t>((p >> 32) & 0xF);
  const auto day = static_cast<uint32_t>((p >> 27) & 0x1F);
  const auto hour = static_cast<uint32_t>((p >> 22) & 0x1F);
  const auto minute = static_cast<uint32_t>((p >> 16) & 0x3F);
  const auto second = static_cast<uint32_t>((p >> 10) & 0x3F);
  const auto milli = static_cast<uint32_t>(p & 0x3FF);
  if (options & kQXPrefixDate) {
    add(QXFormat(work + len, room(), "{:04}-{:02}-{:02} ", year, month, day));
  }
  if (options & kQXPrefixTime) {
    add(QXFormat(work + len, room(), "{:02}:{:02}:{:02}.{:03} ", hour, minute, second, milli));
  }
  if (options & kQXPrefixPerfCounter) {
    const auto seconds = static_cast<uint64_t>(record.timestamp / 1000000);
    const auto micros = static_cast<uint32_t>(record.timestamp % 1000000);
    add(QXFormat(work + len, room(), "{}.{:06} ", seconds, micros));
  }
  if (options & kQXPrefixProcessId) {
    add(QXFormat(work + len, room(), "[{}] ", record.processId));
  }
  if (options & kQXPrefixThreadId) {
    add(QXFormat(work + len, room(), "({}) ", record.threadId));
  }
  if (options & kQXPrefixModule) {
    add(QXFormat(work + len, room(), "{}: ", QXGetModuleName()));
  }
  if ((options & kQXPrefixLogger) && len < kMax) {
    add(QXFormat(work + len, room(), "{}: ", logger.GetName()));
  }
  if ((options & kQXPrefixLevel) && len < kMax) {
    add(QXFormat(work + len, room(), "{}: ", QXLogLevelWord(record.level)));
  }
  if (len > kMax) {
    QXDebugPrintf("%s: ERROR: %s: prefix length %u exceeds %u\n", QXGetModuleName(),
                  "plendrik::QXLogMessage::CreatePrefix", static_cast<unsigned>(len), static_cast<unsigned>(kMax));
    len = kMax;
  }
  memcpy(message.prefix, work, len);
  message.prefix[len] = '\0';
}

size_t QXExtractFunctionName(const char* pretty, char* out, size_t outSize) {
  // The signature reads "[return type ]qualified::name(parameters)[ const][ [with ...]]".
  // The name ends at the first '(' outside template brackets that is not part of
  // "(anonymous namespace)"; it starts after the last blank before that at bracket depth 0.
  static constexpr char kAnon[] = "(anonymous namespace)";
  const size_t n = strlen(pretty);
  size_t open = n;
  int depth = 0;
  for (size_t i = 0; i < n; ++i) {
    const char c = pretty[i];
    if (c == '<') {
      ++depth;
    } else if (c == '>' && depth > 0) {
      --depth;
    } else if (c == '(' && depth == 0) {
      if (strncmp(pretty + i, kAnon, sizeof(kAnon) - 1) == 0) {
        i += sizeof(kAnon) - 2;
        continue;
      }
      open = i;
      break;
    }
  }
  size_t start = 0;
  depth = 0;
  for (size_t i = open; i > 0; --i) {
    const char c = pretty[i - 1];
    if (c == '>') {
      ++depth;
    } else if (c == '<' && depth > 0) {
      --depth;
    } else if (c == ' ' && depth == 0) {
      // "(anonymous namespace)" holds a blank that is part of the name.
      if (i - 1 >= 10 && strncmp(pretty + i - 1 - 10, kAnon, sizeof(kAnon) - 1) == 0) {
        continue;
      }
      start = i;
      break;
    }
  }
  size_t len = open - start;
  if (outSize == 0) {
    return 0;
  }
  if (len > outSize - 1) {
    len = outSize - 1;
  }
  memcpy(out, pretty + start, len);
  out[len] = '\0';
  return len;
}

size_t QXBeginLogText(QXLogMessage& message, const char* prettyFunction) {
  size_t pos = QXExtractFunctionName(prettyFunction, message.text, sizeof(message.text));
  static constexpr char kSep[] = ": ";
  for (size_t i = 0; i < 2 && pos < sizeof(message.text) - 1; ++i) {
    message.text[pos++] = kSep[i];
  }
  message.text[pos] = '\0';
  return pos;
}

}  // namespace plendrik
