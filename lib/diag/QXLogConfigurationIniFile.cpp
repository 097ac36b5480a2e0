#include "QXLogConfigurationIniFile.h"

#include <string>

#include "diag/QXDebugPrintf.h"
#include "diag/QXNumeric.h"
#include "os/QXOsString.h"
#include "os/QXOsSystem.h"

namespace plendrik {

QXSTATUS QXLogConfigurationIniFile::GetLogLevel(const char* loggerName, int32_t& level) {
  const std::string section = std::string("Logger.") + loggerName;
  const char* text = GetStringValue(mDocument, section.c_str(), "LogLevel");
  if (text == nullptr) {
    return QXSTATUS_OBJECT_NOT_FOUND;
  }
  uint32_t value = 0;
  const QXSTATUS st = QXConvertStringToNumeric(text, value);
  if (st != QXSTATUS_SUCCESS) {
    return st;
  }
  level = static_cast<int32_t>(value);
  return QXSTATUS_SUCCESS;
}

QXSTATUS QXLogConfigurationIniFile::GetTargetString(const char* targetName, const char* key, const char*& value) {
  const std::string section = std::string("Target.") + targetName;
  value = GetStringValue(mDocument, section.c_str(), key);
  return value != nullptr ? QXSTATUS_SUCCESS : QXSTATUS_OBJECT_NOT_FOUND;
}

QXSTATUS QXLogConfigurationIniFile::GetTargetUint(const char* targetName, const char* key, uint32_t& value) {
  const char* text = nullptr;
  const QXSTATUS found = GetTargetString(targetName, key, text);
  if (found != QXSTATUS_SUCCESS) {
    return found;
  }
  return QXConvertStringToNumeric(text, value);
}

QXSTATUS QXStartLogTargets(QXLogConfiguration& configuration) {
  QXSTATUS first = QXSTATUS_SUCCESS;
  for (QXLogTarget* target = QXLogTarget::GetFirst(); target != nullptr; target = target->GetNext()) {
    const QXSTATUS st = target->StartTarget(&configuration);
    if (st != QXSTATUS_SUCCESS) {
      QXDebugPrintf("%s: ERROR: %s: StartTarget '%s' failed, st=0x%08x\n", QXGetModuleName(), "plendrik::QXStartLogTargets",
                    target->GetName(), st);
      if (first == QXSTATUS_SUCCESS) {
        first = st;
      }
    }
  }
  return first;
}

QXSTATUS QXStartLogging(QXLogConfiguration& configuration) {
  static bool started = false;
  if (started) {
    return QXSTATUS_SUCCESS;
  }
  started = true;
  if (QXLogTarget::GetFirst() == nullptr) {
    QXDebugPrintf("%s: WARNING: %s: No log targets registered\n", QXGetModuleName(), "plendrik::QXStartLogging");
  }
  if (QXLogger::GetFirst() == nullptr) {
    QXDebugPrintf("%s: WARNING: %s: No loggers registered\n", QXGetModuleName(), "plendrik::QXStartLogging");
  }
  const QXSTATUS st = QXStartLogTargets(configuration);
  for (QXLogger* logger = QXLogger::GetFirst(); logger != nullptr; logger = logger->GetNext()) {
    int32_t level = logger->GetLevel();
    if (configuration.GetLogLevel(logger->GetName(), level) == QXSTATUS_SUCCESS) {
      logger->SetLevel(level);
    }
  }
  return st;
}

std::string QXModuleBaseName(const QXWString& pathAndFileName) {
  size_t start = pathAndFileName.find_last_of(QXW("\\/:"));
  start = start == QXWString::npos ? 0 : start + 1;
  size_t end = pathAndFileName.rfind(QXWChar('.'));
  if (end == QXWString::npos || end < start) {
    end = pathAndFileName.size();
  }
  std::string name = QXNarrowUnits(QXWStringView(pathAndFileName).substr(start, end - start));
  if (name.size() > 31) {
    name.resize(31);
  }
  return name;
}

QXSTATUS QXWinInitLoggingFacility(void* module) {
  QXWString path;
  const QXSTATUS st = QXWinGetModulePathAndFileName(module, path);
  if (st != QXSTATUS_SUCCESS) {
    QXDebugPrintf("ERROR: %s: Cannot get module file name, st=0x%08x.\n", "plendrik::QXWinInitLoggingFacility", st);
    return st;
  }
  QXSetModuleName(QXModuleBaseName(path).c_str());
  const QXWString iniPath = path + QXW(".logging.ini");
  QXIniDocument document;
  if (LoadIniFile(document, iniPath) != QXSTATUS_SUCCESS) {
    QXDebugPrintf("%s: WARNING: %s: Unable to read log configuration file %s. This is not an error.\n", QXGetModuleName(),
                  "plendrik::QXWinInitLoggingFacility", QXUtf16ToUtf8(iniPath).c_str());
    document.Clear();
  }
  QXLogConfigurationIniFile configuration(document);
  return QXStartLogging(configuration);
}

}  // namespace plendrik
