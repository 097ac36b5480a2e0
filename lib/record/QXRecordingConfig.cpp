#include "record/QXRecordingConfig.h"

#include <cctype>
#include <string>

#include "diag/QXLog.h"
#include "os/QXOsString.h"
#include "os/QXOsSystem.h"

namespace plendrik {

namespace {

constexpr size_t kMaxPathUnits = 4096;

bool IsYes(const char* value) {
  if (value == nullptr) {
    return false;
  }
  std::string text;
  for (const char* p = value; *p != '\0'; ++p) {
    if (!std::isspace(static_cast<unsigned char>(*p))) {
      text += static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
    }
  }
  return text == "yes" || text == "true" || text == "1" || text == "on";
}

bool IsAbsolute(const QXWString& path) {
  return (!path.empty() && (path[0] == '/' || path[0] == '\\')) || (path.size() >= 2 && path[1] == ':');
}

QXWString Trimmed(const QXWString& text) {
  size_t first = 0;
  size_t last = text.size();
  while (first < last && (text[first] == ' ' || text[first] == '\t')) {
    ++first;
  }
  while (last > first && (text[last - 1] == ' ' || text[last - 1] == '\t')) {
    --last;
  }
  return text.substr(first, last - first);
}

}  // namespace

bool QXReadRecordingSettings(const QXIniDocument& document, const QXWString& configPath,
                             QXRecordingSettings& settings) {
  const char* file = GetStringValue(document, "Recording", "File");
  const QXWString trimmed = file != nullptr ? Trimmed(QXUtf8ToUtf16(file)) : QXWString();
  if (trimmed.empty()) {
    return false;
  }
  QXWString path = QXOsExpandEnvironmentStrings(trimmed, kMaxPathUnits);
  if (!IsAbsolute(path)) {
    const size_t slash = configPath.find_last_of(QXW("/\\"));
    if (slash != QXWString::npos) {
      path = configPath.substr(0, slash + 1) + path;
    }
  }
  settings.file = path;
  settings.inlineData = IsYes(GetStringValue(document, "Recording", "InlineData"));
  settings.pseudonyms = IsYes(GetStringValue(document, "Recording", "Pseudonyms"));
  return true;
}

bool QXStartSessionRecording(const QXRecordingSettings& settings) {
  QXStopSessionRecording();
  if (!QXSessionRecorder::Instance().Start(settings)) {
    return false;
  }
  QX_LOG_INFO("recording the device session to {}", QXUtf16ToUtf8(settings.file));
  return true;
}

void QXStopSessionRecording() { QXSessionRecorder::Instance().Stop(); }

}  // namespace plendrik
