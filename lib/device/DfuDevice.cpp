#include "device/DfuDevice.h"

#include "device/DfuDevicePortFactory.h"
#include "device/DfuSessionProtocol.h"
#include "diag/QXLog.h"
#include "discovery/DfuEnumerator.h"
#include "image/DfuImage.h"

namespace plendrik {
namespace {

std::atomic<DfuDevicePortFactory> gPortFactory{nullptr};

}  // namespace

std::unique_ptr<DfuDevicePortInterface> MakeDfuDevicePort() {
  const DfuDevicePortFactory factory = gPortFactory.load(std::memory_order_acquire);
  return factory != nullptr ? factory() : CreateDfuDevicePort();
}

void SetDfuDevicePortFactory(DfuDevicePortFactory factory) { gPortFactory.store(factory, std::memory_order_release); }

DfuDevice::~DfuDevice() {
  // RequestCloseDevice has joined the worker on the API's way out; a session released
  // otherwise (leaked handles at unload) must not leave its worker running on freed members.
  if (mWorker.HasThread()) {
    mWorker.RequestStop();
    mWorker.JoinAndDestroy();
  }
}

QXSTATUS DfuDevice::OpenDevice(const DfuEnumerator& enumeration, uint32_t deviceIndex, uint32_t flags) {
  return OpenDevice(enumeration.GetPort(), enumeration.GetDeviceType(), deviceIndex, flags);
}

QXSTATUS DfuDevice::OpenDevice(DfuEnumeratorPortInterface* enumeratorPort, uint32_t deviceType, uint32_t deviceIndex,
                               uint32_t flags) {
  if (flags != 0) {
    if ((flags & QXDFU_DEVICE_FLAG_USE_XMOS_DFU_EXTENSIONS) != 0) {
      QX_LOG_WARN(
          "The flag QXDFU_DEVICE_FLAG_USE_XMOS_DFU_EXTENSIONS is no longer supported. See QXDFU_RebootDevice() and "
          "QXDFU_StartUpgrade().");
    }
    QX_LOG_ERROR("invalid parameter: flags={}", flags);
    return QXSTATUS_INVALID_PARAMETER;
  }
  if (deviceType != QXDFU_DEVICE_TYPE_USB_DFU) {
    QX_LOG_ERROR("invalid device type {}", deviceType);
    return QXSTATUS_INVALID_PARAMETER;
  }
  QXOsLockGuard lock(mSessionLock);
  mDevicePort.reset();
  mDevicePort = MakeDfuDevicePort();
  if (!mDevicePort) {
    QX_LOG_ERROR("OpenPortDevice failed, st={}", QXSt{QXSTATUS_NO_MEMORY});
    return QXSTATUS_NO_MEMORY;
  }
  QXSTATUS st = mDevicePort->OpenPortDevice(enumeratorPort, deviceIndex);
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("OpenPortDevice failed, st={}", QXSt{st});
    return st;
  }
  uint32_t runMode = QXDFU_RUN_MODE_UNKNOWN;
  st = mDevicePort->GetCurrentRunMode(runMode);
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("GetCurrentRunMode failed, st={}", QXSt{st});
    return st;
  }
  mRunMode.store(runMode, std::memory_order_release);
  QX_LOG(gLogDfu, kQXLogLevelInfo, "Opened device (type={}, run mode={})", DfuDeviceTypeText(deviceType),
         DfuRunModeText(runMode));
  return QXSTATUS_SUCCESS;
}

void DfuDevice::RequestCloseDevice() {
  QXOsLockGuard lock(mSessionLock);
  const QXSTATUS st = AbortPendingOperation();
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("AbortPendingOperation failed, st={}", QXSt{st});
  }
  mClosed = true;
}

QXSTATUS DfuDevice::CheckSessionUsable() const {
  if (mClosed) {
    QX_LOG_ERROR("device is closed");
    return QXSTATUS_INVALID_DEVICE_STATE;
  }
  if (mRebooting) {
    QX_LOG_ERROR("device is rebooting");
    return QXSTATUS_INVALID_DEVICE_STATE;
  }
  return QXSTATUS_SUCCESS;
}

QXSTATUS DfuDevice::CheckDeviceConnection() {
  QXOsLockGuard lock(mSessionLock);
  if (!mDevicePort || !mDevicePort->IsDeviceConnected()) {
    return QXSTATUS_DEVICE_REMOVED;
  }
  return QXSTATUS_SUCCESS;
}

QXSTATUS DfuDevice::GetDevicePropertyUint(uint32_t propertyId, uint32_t* propertyValue) {
  if (propertyValue == nullptr) {
    QX_LOG_ERROR("{} is nullptr", "propertyValue");
    return QXSTATUS_INVALID_PARAMETER;
  }
  *propertyValue = 0;
  QXOsLockGuard lock(mSessionLock);
  const QXSTATUS st = CheckSessionUsable();
  if (st != QXSTATUS_SUCCESS) {
    return st;
  }
  if (propertyId == QXDFU_DEVICE_PROPERTY_CURRENT_RUN_MODE) {
    *propertyValue = mRunMode.load(std::memory_order_acquire);
    return QXSTATUS_SUCCESS;
  }
  return mDevicePort->GetDevicePropertyUint(propertyId, *propertyValue);
}

QXSTATUS DfuDevice::GetDevicePropertyString(uint32_t propertyId, QXWChar* stringBuffer, uint32_t stringBufferMaxItems) {
  if (stringBuffer == nullptr) {
    QX_LOG_ERROR("{} is nullptr", "stringBuffer");
    return QXSTATUS_INVALID_PARAMETER;
  }
  if (stringBufferMaxItems < 2) {
    QX_LOG_ERROR("stringBufferMaxItems {} too small", stringBufferMaxItems);
    return QXSTATUS_BUFFER_TOO_SMALL;
  }
  stringBuffer[0] = 0;
  QXOsLockGuard lock(mSessionLock);
  const QXSTATUS st = CheckSessionUsable();
  if (st != QXSTATUS_SUCCESS) {
    return st;
  }
  return mDevicePort->GetDevicePropertyString(propertyId, stringBuffer, stringBufferMaxItems);
}

QXSTATUS DfuDevice::RebootDevice(uint32_t targetRunMode, uint32_t flags) {
  if ((flags & ~QXDFU_REBOOT_FLAG_USE_XMOS_DFU_EXTENSIONS) != 0) {
    QX_LOG_ERROR("unsupported flags are specified, flags={}", flags);
    return QXSTATUS_INVALID_PARAMETER;
  }
  QXOsLockGuard lock(mSessionLock);
  const uint32_t runMode = mRunMode.load(std::memory_order_acquire);
  QX_LOG(gLogDfu, kQXLogLevelInfo, "Rebooting from run mode {} to run mode {}", DfuRunModeText(runMode),
         DfuRunModeText(targetRunMode));
  QXSTATUS st = CheckSessionUsable();
  if (st != QXSTATUS_SUCCESS) {
    return st;
  }
  {
    QXOsLockGuard statusLock(mStatusLock);
    if (mUpgradeState != QXDFU_UPGRADE_STATE_IDLE) {
      QX_LOG_ERROR("an operation is in progress");
      return QXSTATUS_NOT_ALLOWED;
    }
  }
  if (targetRunMode == runMode) {
    QX_LOG_INFO("already in run mode {}", DfuRunModeText(runMode));
    return QXSTATUS_ALREADY_DONE;
  }
  if (targetRunMode == QXDFU_RUN_MODE_APPLICATION && mLeftAfterUpgrade.load(std::memory_order_acquire)) {
    // The device reset itself (or was reset) at the end of the upgrade and comes back with
    // its new firmware: there is nothing left to send it.
    QX_LOG_INFO("device left the bus after the upgrade and starts its application");
    mRunMode.store(QXDFU_RUN_MODE_UNKNOWN, std::memory_order_release);
    mRebooting = true;
    return QXSTATUS_SUCCESS;
  }
  st = mDevicePort->RebootDevice(targetRunMode, flags);
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("mDevicePort->RebootDevice failed, st={}", QXSt{st});
    return st;
  }
  mRunMode.store(QXDFU_RUN_MODE_UNKNOWN, std::memory_order_release);
  mRebooting = true;
  return QXSTATUS_SUCCESS;
}

}  // namespace plendrik
