// The device exports: open, close, compare and check a device, read its properties, reboot
// it, and run an upgrade (start, poll, finish).
#include "api/DfuApi.h"
#include "diag/QXLog.h"

using namespace plendrik;

extern "C" {

QXSTATUS QXDFU_CompareDeviceInstance(uint32_t enumerationHandle, uint32_t deviceIndex, uint32_t deviceHandle) {
  QXDFU_API_TRACE("enumerationHandle={:#X}, deviceIndex={}, deviceHandle={:#X}", enumerationHandle, deviceIndex,
                  deviceHandle);
  return gDfuApi.CompareDeviceInstance(enumerationHandle, deviceIndex, deviceHandle);
}

QXSTATUS QXDFU_OpenDevice(uint32_t enumerationHandle, uint32_t deviceIndex, uint32_t* deviceHandle, uint32_t flags) {
  QXDFU_API_TRACE("enumerationHandle={:#X}, deviceIndex={}, deviceHandle={}, flags={:#X}", enumerationHandle,
                  deviceIndex, deviceHandle, flags);
  return gDfuApi.OpenDevice(enumerationHandle, deviceIndex, deviceHandle, flags);
}

QXSTATUS QXDFU_CloseDevice(uint32_t deviceHandle) {
  QXDFU_API_TRACE("deviceHandle={:#X}", deviceHandle);
  return gDfuApi.CloseDevice(deviceHandle);
}

QXSTATUS QXDFU_CheckDeviceConnection(uint32_t deviceHandle) {
  QXDFU_API_TRACE("deviceHandle={:#X}", deviceHandle);
  QXIntrusiveSharedPtrT<DfuDevice> device = gDfuApi.GetDevice(deviceHandle);
  if (!device) {
    return QXSTATUS_INVALID_HANDLE;
  }
  return device->CheckDeviceConnection();
}

QXSTATUS QXDFU_GetDevicePropertyUint(uint32_t deviceHandle, uint32_t propertyId, uint32_t* propertyValue) {
  QXDFU_API_TRACE("deviceHandle={:#X}, propertyId={}, propertyValue={}", deviceHandle, propertyId, propertyValue);
  QXIntrusiveSharedPtrT<DfuDevice> device = gDfuApi.GetDevice(deviceHandle);
  if (!device) {
    return QXSTATUS_INVALID_HANDLE;
  }
  return device->GetDevicePropertyUint(propertyId, propertyValue);
}

QXSTATUS QXDFU_GetDevicePropertyString(uint32_t deviceHandle, uint32_t propertyId, QXDFU_WCHAR* stringBuffer,
                                       uint32_t stringBufferMaxItems) {
  QXDFU_API_TRACE("deviceHandle={:#X}, propertyId={}, stringBuffer={}, stringBufferMaxItems={}", deviceHandle,
                  propertyId, static_cast<const void*>(stringBuffer), stringBufferMaxItems);
  QXIntrusiveSharedPtrT<DfuDevice> device = gDfuApi.GetDevice(deviceHandle);
  if (!device) {
    return QXSTATUS_INVALID_HANDLE;
  }
  return device->GetDevicePropertyString(propertyId, stringBuffer, stringBufferMaxItems);
}

QXSTATUS QXDFU_RebootDevice(uint32_t deviceHandle, uint32_t runMode, uint32_t flags) {
  QXDFU_API_TRACE("deviceHandle={:#X}, runMode={}, flags={:#X}", deviceHandle, runMode, flags);
  QXIntrusiveSharedPtrT<DfuDevice> device = gDfuApi.GetDevice(deviceHandle);
  if (!device) {
    return QXSTATUS_INVALID_HANDLE;
  }
  return device->RebootDevice(runMode, flags);
}

QXSTATUS QXDFU_StartUpgrade(uint32_t deviceHandle, uint32_t imageHandle, uint32_t targetId, uint32_t flags) {
  QXDFU_API_TRACE("deviceHandle={:#X}, imageHandle={:#X}, targetId={}, flags={:#X}", deviceHandle, imageHandle,
                  targetId, flags);
  return gDfuApi.StartUpgrade(deviceHandle, imageHandle, targetId, flags);
}

QXSTATUS QXDFU_GetUpgradeStatus(uint32_t deviceHandle, uint32_t* upgradeState, uint64_t* currentBytes,
                                uint64_t* totalBytes, QXSTATUS* completionStatus) {
  QXDFU_API_TRACE("deviceHandle={:#X}, upgradeState={}, currentBytes={}, totalBytes={}, completionStatus={}",
                  deviceHandle, upgradeState, currentBytes, totalBytes, completionStatus);
  QXIntrusiveSharedPtrT<DfuDevice> device = gDfuApi.GetDevice(deviceHandle);
  if (!device) {
    return QXSTATUS_INVALID_HANDLE;
  }
  return device->GetUpgradeStatus(upgradeState, currentBytes, totalBytes, completionStatus);
}

QXSTATUS QXDFU_FinishUpgrade(uint32_t deviceHandle, uint32_t flags) {
  QXDFU_API_TRACE("deviceHandle={:#X}, flags={:#X}", deviceHandle, flags);
  QXIntrusiveSharedPtrT<DfuDevice> device = gDfuApi.GetDevice(deviceHandle);
  if (!device) {
    return QXSTATUS_INVALID_HANDLE;
  }
  return device->FinishUpgrade(flags);
}

}  // extern "C"
