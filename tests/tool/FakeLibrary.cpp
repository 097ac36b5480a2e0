#include "FakeLibrary.h"

#include <algorithm>

#include "QXDfuApi.h"

namespace fbtest {

namespace {

FakeLibraryState gState;
uint32_t gNextHandle = 0x10001;

struct Session {
  uint32_t handle;
  uint32_t runMode;
  bool alive;
};
std::vector<Session> gSessions;
bool gUpgradeRunning = false;
uint64_t gCurrentBytes = 0;
bool gUpgradeFailed = false;

Session* FindSession(uint32_t handle) {
  for (auto& s : gSessions) {
    if (s.handle == handle && gState.openDevices.count(handle) != 0) {
      return &s;
    }
  }
  return nullptr;
}

uint32_t FakeGetApiVersion() { return 0x0001000D; }
int32_t FakeCheckApiVersion(uint32_t major, uint32_t minor) { return major == 1 && minor <= 13 ? 1 : 0; }
uint32_t FakeGetUniCharSize() { return 2; }
const char* FakeGetErrorText(QXSTATUS st) {
  switch (st) {
    case QXSTATUS_NO_DEVICES:
      return "QXSTATUS_NO_DEVICES";
    case QXSTATUS_NOT_ALLOWED:
      return "QXSTATUS_NOT_ALLOWED";
    case QXSTATUS_ABORTED:
      return "QXSTATUS_ABORTED";
    case QXSTATUS_INVALID_HANDLE:
      return "QXSTATUS_INVALID_HANDLE";
    case QXSTATUS_NOT_PRESENT:
      return "QXSTATUS_NOT_PRESENT";
    default:
      return "unknown";
  }
}
QXSTATUS FakeStartFileLogging(const QXDFU_WCHAR*, uint32_t) { return QXSTATUS_SUCCESS; }

QXSTATUS FakeEnumerate(const char*, uint32_t* enumerationHandle, uint32_t* deviceCount, uint32_t retryCount,
                       uint32_t retryDelay, uint32_t) {
  gState.calls.push_back("Enumerate");
  gState.enumerateRetryCounts.push_back(retryCount);
  gState.enumerateRetryDelays.push_back(retryDelay);
  *enumerationHandle = 0;
  if (gState.enumerateStatus != QXSTATUS_SUCCESS) {
    return gState.enumerateStatus;
  }
  *enumerationHandle = gNextHandle++;
  *deviceCount = static_cast<uint32_t>(gState.listedRunModes.size());
  gState.openEnumerations.insert(*enumerationHandle);
  return QXSTATUS_SUCCESS;
}

QXSTATUS FakeCloseEnumeration(uint32_t handle) {
  gState.calls.push_back("CloseEnumeration");
  return gState.openEnumerations.erase(handle) != 0 ? QXSTATUS_SUCCESS : QXSTATUS_INVALID_HANDLE;
}

QXSTATUS FakeCompareDeviceInstance(uint32_t, uint32_t, uint32_t) { return QXSTATUS_NOT_SUPPORTED; }

QXSTATUS FakeOpenDevice(uint32_t enumerationHandle, uint32_t index, uint32_t* deviceHandle, uint32_t) {
  gState.calls.push_back("OpenDevice");
  *deviceHandle = 0;
  if (gState.openEnumerations.count(enumerationHandle) == 0 || index >= gState.listedRunModes.size()) {
    return QXSTATUS_INVALID_HANDLE;
  }
  if (gState.openStatus != QXSTATUS_SUCCESS) {
    return gState.openStatus;
  }
  *deviceHandle = gNextHandle++;
  gSessions.push_back({*deviceHandle, gState.listedRunModes[index], true});
  gState.openDevices.insert(*deviceHandle);
  return QXSTATUS_SUCCESS;
}

QXSTATUS FakeCloseDevice(uint32_t handle) {
  gState.calls.push_back("CloseDevice");
  return gState.openDevices.erase(handle) != 0 ? QXSTATUS_SUCCESS : QXSTATUS_INVALID_HANDLE;
}

QXSTATUS FakeCheckDeviceConnection(uint32_t handle) {
  Session* s = FindSession(handle);
  if (s == nullptr) {
    return QXSTATUS_INVALID_HANDLE;
  }
  return s->alive ? QXSTATUS_SUCCESS : QXSTATUS_NOT_PRESENT;
}

QXSTATUS FakeGetDevicePropertyUint(uint32_t handle, uint32_t propertyId, uint32_t* value) {
  Session* s = FindSession(handle);
  if (s == nullptr) {
    return QXSTATUS_INVALID_HANDLE;
  }
  if (propertyId != QXDFU_DEVICE_PROPERTY_CURRENT_RUN_MODE) {
    return QXSTATUS_INVALID_PARAMETER;
  }
  *value = s->runMode;
  return QXSTATUS_SUCCESS;
}

QXSTATUS FakeGetDevicePropertyString(uint32_t, uint32_t, QXDFU_WCHAR*, uint32_t) { return QXSTATUS_NOT_SUPPORTED; }

QXSTATUS FakeRebootDevice(uint32_t handle, uint32_t runMode, uint32_t) {
  gState.calls.push_back(runMode == QXDFU_RUN_MODE_BOOTLOADER ? "Reboot(BOOTLOADER)" : "Reboot(APPLICATION)");
  Session* s = FindSession(handle);
  if (s == nullptr) {
    return QXSTATUS_INVALID_HANDLE;
  }
  const bool disconnects =
      runMode == QXDFU_RUN_MODE_BOOTLOADER ? gState.disconnectOnReboot : gState.disconnectOnRebootToApplication;
  if (disconnects) {
    s->alive = false;
    if (gState.rejoinAfterReboot) {
      gState.listedRunModes.assign(1, runMode);
    } else {
      gState.listedRunModes.clear();
    }
  }
  return QXSTATUS_SUCCESS;
}

QXSTATUS FakeStartUpgrade(uint32_t handle, uint32_t imageHandle, uint32_t targetId, uint32_t flags) {
  gState.calls.push_back("StartUpgrade");
  if (FindSession(handle) == nullptr || gState.loadedImages.count(imageHandle) == 0 || targetId != 0 || flags != 0) {
    return QXSTATUS_INVALID_HANDLE;
  }
  if (gState.startStatus != QXSTATUS_SUCCESS) {
    return gState.startStatus;
  }
  gUpgradeRunning = true;
  gUpgradeFailed = false;
  gCurrentBytes = 0;
  return QXSTATUS_SUCCESS;
}

QXSTATUS FakeGetUpgradeStatus(uint32_t handle, uint32_t* state, uint64_t* currentBytes, uint64_t* totalBytes,
                              QXSTATUS* completionStatus) {
  if (FindSession(handle) == nullptr || !gUpgradeRunning) {
    return QXSTATUS_INVALID_HANDLE;
  }
  const int query = gState.statusQueries++;
  *totalBytes = gState.totalBytes;
  *completionStatus = QXSTATUS_SUCCESS;
  if (query == gState.failAtQuery) {
    gUpgradeFailed = true;
  }
  if (gUpgradeFailed) {
    *state = QXDFU_UPGRADE_STATE_FAILED;
    *completionStatus = gState.failStatus;
  } else if (query == 0) {
    *state = QXDFU_UPGRADE_STATE_INITIALIZING;
  } else {
    gCurrentBytes = std::min(gState.totalBytes, gCurrentBytes + gState.blockBytes);
    *state = gCurrentBytes == gState.totalBytes ? QXDFU_UPGRADE_STATE_FINISHED : QXDFU_UPGRADE_STATE_IN_PROGRESS;
  }
  *currentBytes = gCurrentBytes;
  if (query == gState.keyAtQuery && gState.pressKey != nullptr) {
    gState.pressKey();
  }
  return QXSTATUS_SUCCESS;
}

QXSTATUS FakeFinishUpgrade(uint32_t handle, uint32_t) {
  gState.calls.push_back("FinishUpgrade");
  if (FindSession(handle) == nullptr || !gUpgradeRunning) {
    return QXSTATUS_INVALID_HANDLE;
  }
  gUpgradeRunning = false;
  if (gUpgradeFailed) {
    return QXSTATUS_SUCCESS;  // the worker ended on its own; finishing only joins it
  }
  return gCurrentBytes == gState.totalBytes ? QXSTATUS_SUCCESS : QXSTATUS_ABORTED;
}

QXSTATUS FakeLoadFirmwareImageFromFile(const QXDFU_WCHAR*, uint32_t, uint32_t* imageHandle, uint32_t) {
  *imageHandle = 0;
  return QXSTATUS_NOT_SUPPORTED;
}

QXSTATUS FakeLoadFirmwareFromBuffer(const void* buffer, uint64_t size, uint32_t imageType, uint32_t* imageHandle,
                                    uint32_t) {
  gState.calls.push_back("LoadFirmwareFromBuffer");
  *imageHandle = 0;
  if (!gState.imageLoads || buffer == nullptr || size == 0 || imageType != QXDFU_IMAGE_TYPE_RAW_BINARY) {
    return QXSTATUS_INVALID_PARAMETER;
  }
  *imageHandle = gNextHandle++;
  gState.loadedImages.insert(*imageHandle);
  return QXSTATUS_SUCCESS;
}

QXSTATUS FakeUnloadFirmwareImage(uint32_t imageHandle) {
  gState.calls.push_back("UnloadFirmwareImage");
  return gState.loadedImages.erase(imageHandle) != 0 ? QXSTATUS_SUCCESS : QXSTATUS_INVALID_HANDLE;
}

QXSTATUS FakeGetImagePropertyUint(uint32_t, uint32_t, uint32_t*) { return QXSTATUS_NOT_SUPPORTED; }
QXSTATUS FakeGetImagePropertyUint64(uint32_t, uint32_t, uint64_t*) { return QXSTATUS_NOT_SUPPORTED; }
QXSTATUS FakeGetImagePropertyString(uint32_t, uint32_t, QXDFU_WCHAR*, uint32_t) { return QXSTATUS_NOT_SUPPORTED; }
QXSTATUS FakeRegisterDeviceChangeCallback(const char*, QXDFU_DEVICE_CHANGE_CALLBACK, void*, uint32_t*) {
  return QXSTATUS_NOT_SUPPORTED;
}
QXSTATUS FakeUnregisterDeviceChangeCallback(uint32_t) { return QXSTATUS_NOT_SUPPORTED; }

}  // namespace

FakeLibraryState& InstallFakeLibrary() {
  gState = FakeLibraryState();
  gState.listedRunModes = {QXDFU_RUN_MODE_APPLICATION};
  gSessions.clear();
  gUpgradeRunning = false;
  gCurrentBytes = 0;
  gUpgradeFailed = false;
  plendrik::QXDfuApi& api = plendrik::QXDfuApi::Instance();
  api.Unload();
  api.QXDFU_GetApiVersion = FakeGetApiVersion;
  api.QXDFU_CheckApiVersion = FakeCheckApiVersion;
  api.QXDFU_GetUniCharSize = FakeGetUniCharSize;
  api.QXDFU_GetErrorText = FakeGetErrorText;
  api.QXDFU_StartFileLogging = FakeStartFileLogging;
  api.QXDFU_EnumerateUsbDfuDevices = FakeEnumerate;
  api.QXDFU_CloseEnumeration = FakeCloseEnumeration;
  api.QXDFU_CompareDeviceInstance = FakeCompareDeviceInstance;
  api.QXDFU_OpenDevice = FakeOpenDevice;
  api.QXDFU_CloseDevice = FakeCloseDevice;
  api.QXDFU_CheckDeviceConnection = FakeCheckDeviceConnection;
  api.QXDFU_GetDevicePropertyUint = FakeGetDevicePropertyUint;
  api.QXDFU_GetDevicePropertyString = FakeGetDevicePropertyString;
  api.QXDFU_RebootDevice = FakeRebootDevice;
  api.QXDFU_StartUpgrade = FakeStartUpgrade;
  api.QXDFU_GetUpgradeStatus = FakeGetUpgradeStatus;
  api.QXDFU_FinishUpgrade = FakeFinishUpgrade;
  api.QXDFU_LoadFirmwareImageFromFile = FakeLoadFirmwareImageFromFile;
  api.QXDFU_LoadFirmwareFromBuffer = FakeLoadFirmwareFromBuffer;
  api.QXDFU_UnloadFirmwareImage = FakeUnloadFirmwareImage;
  api.QXDFU_GetImagePropertyUint = FakeGetImagePropertyUint;
  api.QXDFU_GetImagePropertyUint64 = FakeGetImagePropertyUint64;
  api.QXDFU_GetImagePropertyString = FakeGetImagePropertyString;
  api.QXDFU_RegisterDeviceChangeCallback = FakeRegisterDeviceChangeCallback;
  api.QXDFU_UnregisterDeviceChangeCallback = FakeUnregisterDeviceChangeCallback;
  return gState;
}

void RemoveFakeLibrary() { plendrik::QXDfuApi::Instance().Unload(); }

}  // namespace fbtest
