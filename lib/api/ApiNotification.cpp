// The notification exports: register a device change callback, and end the registration.
#include "api/DfuApi.h"
#include "diag/QXLog.h"

using namespace plendrik;

extern "C" {

QXSTATUS QXDFU_RegisterDeviceChangeCallback(const char* deviceFilterDescription, QXDFU_DEVICE_CHANGE_CALLBACK callback,
                                            void* callbackContext, uint32_t* notificationHandle) {
  QXDFU_API_TRACE("deviceFilterDescription={}, callback={}, callbackContext={}, notificationHandle={}",
                  deviceFilterDescription, reinterpret_cast<const void*>(callback), callbackContext,
                  notificationHandle);
  return gDfuApi.RegisterDeviceChangeCallback(deviceFilterDescription, callback, callbackContext, notificationHandle);
}

QXSTATUS QXDFU_UnregisterDeviceChangeCallback(uint32_t notificationHandle) {
  QXDFU_API_TRACE("notificationHandle={}", notificationHandle);
  return gDfuApi.UnregisterDeviceChangeCallback(notificationHandle);
}

}  // extern "C"
