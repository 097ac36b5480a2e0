// Placeholders of the device change exports until the notifications are built.
#include "api/DfuApi.h"

extern "C" {

QXSTATUS QXDFU_RegisterDeviceChangeCallback(const char* deviceFilterDescription, QXDFU_DEVICE_CHANGE_CALLBACK callback,
                                            void* callbackContext, uint32_t* notificationHandle) {
  (void)deviceFilterDescription;
  (void)callback;
  (void)callbackContext;
  (void)notificationHandle;
  return QXSTATUS_NOT_SUPPORTED;
}

QXSTATUS QXDFU_UnregisterDeviceChangeCallback(uint32_t notificationHandle) {
  (void)notificationHandle;
  return QXSTATUS_NOT_SUPPORTED;
}

}  // extern "C"
