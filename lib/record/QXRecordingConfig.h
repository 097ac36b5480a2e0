// The [Recording] section of the library's configuration file, and switching the session
// recording on and off: when on, the transport and enumeration seams answer through the
// recording decorators and the engine reports its images.
#pragma once

#include "diag/QXIniFile.h"
#include "record/QXSessionRecorder.h"

namespace plendrik {

// Fills the settings' file and options from [Recording] File, InlineData and Pseudonyms of a
// configuration file read from configPath. False when the section names no file (recording
// stays off). File may hold %NAME% references and is relative to the configuration file's
// folder unless absolute; the options take yes/no (also true/false, 1/0, on/off).
bool QXReadRecordingSettings(const QXIniDocument& document, const QXWString& configPath, QXRecordingSettings& settings);

// Starts the recording and puts the decorators in front of the seams; false (one logged
// warning, nothing installed) when the file cannot be written.
bool QXStartSessionRecording(const QXRecordingSettings& settings);
// Takes the decorators away and closes the file.
void QXStopSessionRecording();

}  // namespace plendrik
