// The library's own session recording switched on as a user does it: a configuration file with
// a [Recording] section in a temporary folder, read by DfuApi::ReadConfigFile as the library
// reads its configuration at load. The recording is written beside it (session.jsonl), through
// the recording decorators of the transport and enumeration seams.
#pragma once

#include <filesystem>
#include <string>

#include "api/DfuApi.h"
#include "discovery/EnumerationTestBus.h"
#include "flashbridge.h"
#include "record/QXRecordingConfig.h"
#include "support/TempDir.h"

namespace fbtest {

class LibraryRecording {
 public:
  ~LibraryRecording() { plendrik::QXStopSessionRecording(); }

  std::filesystem::path RecordingPath() const { return mDir.File("session.jsonl"); }
  const TempDir& Dir() const { return mDir; }

  // Reads a configuration that names the tests' interface class and holds `recording` under
  // [Recording] (lines without the section header; empty: no section, recording off).
  QXSTATUS ReadConfiguration(const std::string& recording) {
    std::string text = std::string("[DriverInterface]\r\nInterfaceGUID=") + plendrik::kTestGuidText + "\r\n";
    if (!recording.empty()) {
      text += "[Recording]\r\n" + recording;
    }
    const std::filesystem::path config = mDir.File("flashbridge.config.ini");
    WriteFileBytes(config, text);
    return plendrik::gDfuApi.ReadConfigFile(ToQXWString(config));
  }

  // Records to session.jsonl from now on.
  QXSTATUS Start(bool inlineData = false) {
    return ReadConfiguration(std::string("File=session.jsonl\r\nInlineData=") + (inlineData ? "yes" : "no") + "\r\n");
  }

  // Ends the recording and answers what it holds.
  std::string Stop() {
    plendrik::QXStopSessionRecording();
    return ReadFileBytes(RecordingPath());
  }

 private:
  TempDir mDir;
};

}  // namespace fbtest
