// Collects the text of the lines logged on "Global" while it exists.
#pragma once

#include <string>
#include <vector>

#include "diag/QXLog.h"

namespace fbimg {

class LogCapture : public plendrik::QXLogTarget {
 public:
  LogCapture() : QXLogTarget("ImageTestCapture", plendrik::kQXLogLevelAll, 0) {
    mSavedLevel = plendrik::gLogGlobal.GetLevel();
    plendrik::gLogGlobal.SetLevel(plendrik::kQXLogLevelAll);
    mAttached = plendrik::gLogGlobal.AttachTarget(this);
  }
  ~LogCapture() override {
    plendrik::gLogGlobal.DetachTarget(this);
    plendrik::gLogGlobal.SetLevel(mSavedLevel);
  }
  void OutputMessage(plendrik::QXLogMessage& message, const plendrik::QXLogger&,
                     const plendrik::QXLogRecord&) override {
    mLines.emplace_back(message.text);
  }
  bool Attached() const { return mAttached; }
  bool Contains(const std::string& text) const {
    for (const std::string& line : mLines) {
      if (line.find(text) != std::string::npos) {
        return true;
      }
    }
    return false;
  }
  const std::vector<std::string>& Lines() const { return mLines; }

 private:
  std::vector<std::string> mLines;
  int32_t mSavedLevel = 0;
  bool mAttached = false;
};

}  // namespace fbimg
