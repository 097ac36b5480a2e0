#include "DfuApi.h"

#include "diag/QXIniFile.h"
#include "diag/QXLog.h"
#include "diag/QXLogTargetLogFile.h"
#include "os/QXOsString.h"
#include "usb/QXSimulationConfig.h"

#if defined(__GNUC__)
#define QX_INIT_AFTER_LOGGING __attribute__((init_priority(300)))
#else
#define QX_INIT_AFTER_LOGGING
#endif

namespace plendrik {

DfuApi gDfuApi QX_INIT_AFTER_LOGGING;

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
  QXLogTargetLogFile& target = gLogTargets.LogFile;
  QXSTATUS st = QXSTATUS_SUCCESS;
  // A running file keeps its options: a refused second start must not change how it is written.
  if (!target.IsStarted()) {
    st = target.SetLogFileName(logFileName != nullptr ? QXWString(logFileName) : QXWString());
    target.SetAppendMode((flags & QXDFU_LOGGING_FLAG_APPEND_MODE) != 0);
    target.SetFlushAfterWrite((flags & QXDFU_LOGGING_FLAG_FLUSH_AFTER_WRITE) != 0);
  }
  if (st == QXSTATUS_SUCCESS) {
    st = target.StartTarget(nullptr);
  }
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("gLogTargets.LogFile.StartTarget() failed, st={}", QXSt{st});
    return st;
  }
  PrintBanner();
  return QXSTATUS_SUCCESS;
}

QXSTATUS DfuApi::ReadConfigFile(const QXWString& path) {
  QXIniDocument document;
  QXSTATUS st = LoadIniFile(document, path);
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("LoadIniFile({}) failed, st={}", path, QXSt{st});
    return st;
  }
  const char* guid = GetStringValue(document, "DriverInterface", "InterfaceGUID");
  if (guid == nullptr) {
    st = QXSTATUS_OBJECT_NOT_FOUND;
    QX_LOG_ERROR("GetStringValue failed, st={}", QXSt{st});
    return st;
  }
  mDriverInterfaceGuid = guid;
  QXLoadSimulatedDevices(path, GetStringValue(document, "Simulation", "DeviceFile"), guid);
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
  QX_LOG_INFO(" **** Version {}.{}.{} release x64 build timestamp: {} {}", 2u, 60u, 0u, __DATE__, __TIME__);
}

const char* QXRunModeText(uint32_t runMode) {
  switch (runMode) {
    case QXDFU_RUN_MODE_UNKNOWN:
      return "unknown";
    case QXDFU_RUN_MODE_APPLICATION:
      return "Application";
    case QXDFU_RUN_MODE_BOOTLOADER:
      return "Bootloader";
    default:
      return "unknown";
  }
}

const char* QXDeviceTypeText(uint32_t deviceType) {
  return deviceType == QXDFU_DEVICE_TYPE_USB_DFU ? "USB DFU" : "unknown";
}

const char* QXUpgradeStateText(uint32_t upgradeState) {
  switch (upgradeState) {
    case QXDFU_UPGRADE_STATE_IDLE:
      return "Idle";
    case QXDFU_UPGRADE_STATE_INITIALIZING:
      return "Initializing";
    case QXDFU_UPGRADE_STATE_IN_PROGRESS:
      return "InProgress";
    case QXDFU_UPGRADE_STATE_FINISHED:
      return "Finished";
    case QXDFU_UPGRADE_STATE_FAILED:
      return "Failed";
    default:
      return "unknown";
  }
}

QXApiTraceScope::~QXApiTraceScope() {
  if (gLogDfuApi.IsEnabled(kQXLogLevelTrace)) {
    QXLogWrite(gLogDfuApi, kQXLogLevelTrace, mPrettyFunction, "] ");
  }
}

}  // namespace plendrik
