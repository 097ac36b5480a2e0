// A log target for unit tests (fb_unit_tests only: it needs the library linked in). It
// collects the lines that one logger writes while the target is alive; it attaches on
// construction and detaches on destruction (use it as a fixture member or a local):
//
//   TestLogTarget log;                          // gLogGlobal, its level unchanged
//   TestLogTarget trace(gLogGlobal, kQXLogLevelAll);  // also sets the logger's level meanwhile
//   EXPECT_TRUE(log.Contains("unknown key 'GUID'"));
//
// A logger has only three target slots and the library's own targets may hold two of them,
// so use one TestLogTarget per logger at a time (SetLoggerLevel changes the level later).
// The logger's level is whatever earlier code left it at unless you set it: expect on the
// lines you care about, or on Problems() (ERROR and WARN lines), not on all lines.
#pragma once

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "diag/QXLog.h"

namespace plendrik {

class TestLogTarget : public QXLogTarget {
 public:
  struct Line {
    int32_t level;
    std::string text;  // "plendrik::Class::Method: message"
  };

  // loggerLevel 0 leaves the logger's level as it is; otherwise it is set for the lifetime
  // of the target and restored afterwards.
  explicit TestLogTarget(QXLogger& logger = gLogGlobal, int32_t loggerLevel = 0)
      : QXLogTarget("TestLogTarget", kQXLogLevelAll, 0), mLogger(logger), mSavedLevel(logger.GetLevel()) {
    SetLoggerLevel(loggerLevel);
    const bool attached = mLogger.AttachTarget(this);
    EXPECT_TRUE(attached) << "logger " << mLogger.GetName() << " has no free target slot";
  }

  ~TestLogTarget() override {
    mLogger.DetachTarget(this);
    mLogger.SetLevel(mSavedLevel);
  }

  void OutputMessage(QXLogMessage& message, const QXLogger&, const QXLogRecord& record) override {
    std::lock_guard<std::mutex> lock(mMutex);
    mLines.push_back({record.level, message.text});
  }

  // Sets the logger's level until the target is destroyed; 0 leaves it unchanged.
  void SetLoggerLevel(int32_t level) {
    if (level != 0) {
      mLogger.SetLevel(level);
    }
  }

  std::vector<Line> Lines() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mLines;
  }

  // Lines whose text contains fragment, at the given level (0: any level).
  size_t Count(std::string_view fragment, int32_t level = 0) const {
    std::lock_guard<std::mutex> lock(mMutex);
    size_t n = 0;
    for (const Line& line : mLines) {
      if ((level == 0 || line.level == level) && line.text.find(fragment) != std::string::npos) {
        ++n;
      }
    }
    return n;
  }

  bool Contains(std::string_view fragment, int32_t level = 0) const { return Count(fragment, level) != 0; }

  // Lines at ERROR, WARN or FATAL level.
  size_t Problems() const {
    std::lock_guard<std::mutex> lock(mMutex);
    size_t n = 0;
    for (const Line& line : mLines) {
      n += line.level <= kQXLogLevelWarn ? 1 : 0;
    }
    return n;
  }

  // All lines, one per row, for failure messages.
  std::string Dump() const {
    std::lock_guard<std::mutex> lock(mMutex);
    std::string all;
    for (const Line& line : mLines) {
      all += std::to_string(line.level) + ": " + line.text + "\n";
    }
    return all;
  }

  void Clear() {
    std::lock_guard<std::mutex> lock(mMutex);
    mLines.clear();
  }

 private:
  QXLogger& mLogger;
  int32_t mSavedLevel;
  mutable std::mutex mMutex;
  std::vector<Line> mLines;
};

}  // namespace plendrik
