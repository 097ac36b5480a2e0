// Logging configuration answered from an ini document: sections "Logger.<name>" and
// "Target.<name>".
#pragma once

#include "diag/QXIniFile.h"
#include "diag/QXLog.h"

namespace plendrik {

class QXLogConfigurationIniFile : public QXLogConfiguration {
 public:
  explicit QXLogConfigurationIniFile(const QXIniDocument& document) : mDocument(document) {}

  QXSTATUS GetLogLevel(const char* loggerName, int32_t& level) override;
  QXSTATUS GetTargetString(const char* targetName, const char* key, const char*& value) override;
  QXSTATUS GetTargetUint(const char* targetName, const char* key, uint32_t& value) override;

 private:
  const QXIniDocument& mDocument;
};

// Reads the logging configuration beside the module, starts the targets and applies the
// configured levels. Called once by the library's entry point.
QXSTATUS QXWinInitLoggingFacility(void* module);
// Starts every target and applies the levels; runs once per process.
QXSTATUS QXStartLogging(QXLogConfiguration& configuration);
QXSTATUS QXStartLogTargets(QXLogConfiguration& configuration);

// The file name without directory and extension, units above 255 as '?', at most 31 characters.
std::string QXModuleBaseName(const QXWString& pathAndFileName);

}  // namespace plendrik
