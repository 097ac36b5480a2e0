#include "DfuApi.h"

#include <new>

#include "api/QXLibraryVersion.h"
#include "api/QXPlatformBackendName.h"
#include "diag/QXDebugPrintf.h"
#include "diag/QXIniFile.h"
#include "diag/QXLog.h"
#include "diag/QXLogTargetLogFile.h"
#include "discovery/QXWinGuid.h"
#include "os/QXOsString.h"
#include "os/QXOsThread.h"
#include "record/QXRecordingConfig.h"
#include "usb/QXSimulationConfig.h"

#if defined(__GNUC__)
#define QX_INIT_AFTER_LOGGING __attribute__((init_priority(300)))
#else
#define QX_INIT_AFTER_LOGGING
#endif

namespace plendrik {

namespace {
// Storage whose member is built and destroyed by hand (a union runs neither by itself), so the
// reference to it below is bound before any code runs.
union QXDfuApiStorage {
  constexpr QXDfuApiStorage() {}
  ~QXDfuApiStorage() {}
  DfuApi api;
};
QXDfuApiStorage gDfuApiStorage;

// Builds the singleton when the library is loaded, and destroys it when the library is
// unloaded, but not when the process ends: then the system has ended the other threads with
// the locks they held, and the objects are left to it.
struct QXDfuApiLifetime {
  QXDfuApiLifetime() { new (&gDfuApiStorage.api) DfuApi(); }
  ~QXDfuApiLifetime() {
    if (!QXOsIsProcessEnding()) {
      gDfuApiStorage.api.~DfuApi();
    }
  }
};
QXDfuApiLifetime gDfuApiLifetime QX_INIT_AFTER_LOGGING;
}  // namespace

DfuApi& gDfuApi = gDfuApiStorage.api;

DfuApi::DfuApi() { QXAttachLogTargetsToLoggers(); }

DfuApi::~DfuApi() {
  if (mEnumerations.GetObjectCount() != 0) {
    QX_LOG_WARN("The application has leaked enumeration handles");
  }
  if (mDevices.GetObjectCount() != 0) {
    QX_LOG_WARN("The application has leaked device handles");
  }
  if (mImages.GetObjectCount() != 0) {
    QX_LOG_WARN("The application has leaked image handles");
  }
  CloseAllNotifications();
  // Members are destroyed in reverse order: notifications, images, devices, enumerations.
}

int32_t DfuApi::CheckApiVersion(uint32_t majorVersion, uint32_t minorVersion) {
  if (majorVersion == kApiVersionMajor && minorVersion <= kApiVersionMinor) {
    return 1;
  }
  QX_LOG_ERROR("API version {}.{} is incompatible with requested version {}.{}", kApiVersionMajor, kApiVersionMinor,
               majorVersion, minorVersion);
  return 0;
}

QXSTATUS DfuApi::StartFileLogging(const QXWChar* logFileName, uint32_t flags) {
  if (logFileName == nullptr) {
    QX_LOG_ERROR("{} is nullptr", "logFileName");
    return QXSTATUS_INVALID_PARAMETER;
  }
  const QXSTATUS st =
      gLogTargets.LogFile.StartWithFileName(QXWString(logFileName), (flags & QXDFU_LOGGING_FLAG_APPEND_MODE) != 0,
                                            (flags & QXDFU_LOGGING_FLAG_FLUSH_AFTER_WRITE) != 0);
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("gLogTargets.LogFile.StartTarget() failed, st={}", QXSt{st});
    return st;
  }
  PrintBanner();
  return QXSTATUS_SUCCESS;
}

QXSTATUS DfuApi::ReadConfigFile(const QXWString& path) {
  // Mistakes in a file that exists also go to the debugger output: enumeration may still
  // answer without an error, and a user may have no log file set up.
  constexpr const char* kFunction = "plendrik::DfuApi::ReadConfigFile";
  QXIniDocument document;
  QXSTATUS st = LoadIniFile(document, path);
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("LoadIniFile({}) failed, st={}", path, QXSt{st});
    if (st != QXSTATUS_OPEN_FILE_FAILED) {
      QXDebugPrintf("%s: ERROR: %s: cannot read configuration file %s, st=0x%08x\n", QXGetModuleName(), kFunction,
                    QXUtf16ToUtf8(path).c_str(), st);
    }
    return st;
  }
  const char* guid = GetStringValue(document, "DriverInterface", "InterfaceGUID");
  if (guid == nullptr) {
    st = QXSTATUS_OBJECT_NOT_FOUND;
    QX_LOG_ERROR("GetStringValue failed, st={}", QXSt{st});
    QXDebugPrintf("%s: ERROR: %s: configuration file %s has no InterfaceGUID in [DriverInterface]\n", QXGetModuleName(),
                  kFunction, QXUtf16ToUtf8(path).c_str());
    return st;
  }
  QXGuid parsed{};
  if (QXWinGuid::GuidFromString(QXWidenBytes(guid), parsed) != QXSTATUS_SUCCESS) {
    // Kept as it is: every enumeration then fails on it and says so.
    QX_LOG_ERROR("InterfaceGUID '{}' in {} is not a braced GUID", guid, path);
    QXDebugPrintf("%s: ERROR: %s: InterfaceGUID '%s' in %s is not a braced GUID\n", QXGetModuleName(), kFunction, guid,
                  QXUtf16ToUtf8(path).c_str());
  }
  mDriverInterfaceGuid = guid;
  QXLoadSimulatedDevices(path, GetStringValue(document, "Simulation", "DeviceFile"), guid);
  // The configuration as last read decides whether the session is recorded.
  QXRecordingSettings recording;
  if (QXReadRecordingSettings(document, path, recording)) {
    recording.backend = QXRecordedBackendName();
    recording.libraryVersion = kQXLibraryVersionText;
    QXStartSessionRecording(recording);
  } else {
    QXStopSessionRecording();
  }
  return QXSTATUS_SUCCESS;
}

void DfuApi::ReadConfigData(QXOsModuleHandle module) {
  QXWString path;
  const QXSTATUS st = QXWinGetModulePathAndFileName(module, path);
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("QXWinGetModulePathAndFileName failed, st={}", QXSt{st});
    return;
  }
  ReadConfigFile(path + QXW(".config.ini"));
}

void PrintBanner() {
  if (!gLogGlobal.IsEnabled(kQXLogLevelInfo)) {
    return;
  }
  QX_LOG_INFO("");
  QX_LOG_INFO(" **** Version {}.{}.{} release x64 build timestamp: {} {}", kQXLibraryVersionMajor,
              kQXLibraryVersionMinor, kQXLibraryVersionPatch, __DATE__, __TIME__);
}

QXApiTraceScope::~QXApiTraceScope() {
  if (gLogDfuApi.IsEnabled(kQXLogLevelTrace)) {
    QXLogWrite(gLogDfuApi, kQXLogLevelTrace, mPrettyFunction, "] ");
  }
}

}  // namespace plendrik
