// The enumeration exports: list the connected devices that match a filter, and close the list.
#include "api/DfuApi.h"
#include "diag/QXLog.h"

using namespace plendrik;

extern "C" {

QXSTATUS QXDFU_EnumerateUsbDfuDevices(const char* deviceFilterDescription, uint32_t* enumerationHandle,
                                      uint32_t* deviceCount, uint32_t retryCount, uint32_t retryDelay, uint32_t flags) {
  QXDFU_API_TRACE(
      "deviceFilterDescription={}, enumerationHandle={}, deviceCount={}, retryCount={}, retryDelay={}, "
      "flags={:#X}",
      deviceFilterDescription, enumerationHandle, deviceCount, retryCount, retryDelay, flags);
  return gDfuApi.EnumerateUsbDfuDevices(deviceFilterDescription, enumerationHandle, deviceCount, retryCount,
                                        retryDelay, flags);
}

QXSTATUS QXDFU_CloseEnumeration(uint32_t enumerationHandle) {
  QXDFU_API_TRACE("enumerationHandle={:#X}", enumerationHandle);
  return gDfuApi.CloseEnumeration(enumerationHandle);
}

}  // extern "C"
