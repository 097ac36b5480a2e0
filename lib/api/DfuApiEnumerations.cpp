// The enumeration functions of the library: list the matching devices, close the list.
#include "api/DfuApi.h"
#include "diag/QXLog.h"

namespace plendrik {

QXSTATUS DfuApi::EnumerateUsbDfuDevices(const char* deviceFilterDescription, uint32_t* enumerationHandle,
                                        uint32_t* deviceCount, uint32_t retryCount, uint32_t retryDelay,
                                        uint32_t flags) {
  if (enumerationHandle == nullptr) {
    QX_LOG_ERROR("{} is nullptr", "enumerationHandle");
    return QXSTATUS_INVALID_PARAMETER;
  }
  if (deviceCount == nullptr) {
    QX_LOG_ERROR("{} is nullptr", "deviceCount");
    return QXSTATUS_INVALID_PARAMETER;
  }
  *enumerationHandle = 0;
  *deviceCount = 0;
  QXIntrusiveSharedPtrT<DfuEnumerator> enumerator = QXMakeShared<DfuEnumerator>(mDriverInterfaceGuid);
  const QXSTATUS st = enumerator->EnumerateDevices(deviceFilterDescription, retryCount, retryDelay, flags);
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("EnumerateDevices failed, st={}", QXSt{st});
    return st;
  }
  const uint32_t handle = mEnumerations.AddObject(enumerator);
  if (handle == 0) {
    QX_LOG_ERROR("AddObject failed");
    return QXSTATUS_NO_RESOURCES;
  }
  *deviceCount = enumerator->GetDeviceCount();
  *enumerationHandle = handle;
  QX_LOG_INFO("Found {} device(s), handle={:#X}", *deviceCount, handle);
  return QXSTATUS_SUCCESS;
}

QXSTATUS DfuApi::CloseEnumeration(uint32_t enumerationHandle) {
  QXIntrusiveSharedPtrT<DfuEnumerator> enumerator = mEnumerations.RemoveObject(enumerationHandle);
  if (!enumerator) {
    QX_LOG_ERROR("invalid enumerationHandle {:#X}", enumerationHandle);
    return QXSTATUS_INVALID_HANDLE;
  }
  QX_LOG_INFO("Enumeration with handle {:#X} was closed", enumerationHandle);
  return QXSTATUS_SUCCESS;
}

}  // namespace plendrik
