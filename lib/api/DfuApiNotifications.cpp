// The notification functions of the library: a registration runs its own thread that calls
// the caller back; unregistering ends that thread.
#include "api/DfuApi.h"
#include "diag/QXLog.h"

namespace plendrik {

QXSTATUS DfuApi::RegisterDeviceChangeCallback(const char* deviceFilterDescription,
                                              QXDFU_DEVICE_CHANGE_CALLBACK callback, void* callbackContext,
                                              uint32_t* notificationHandle) {
  if (notificationHandle == nullptr) {
    QX_LOG_ERROR("{} is nullptr", "notificationHandle");
    return QXSTATUS_INVALID_PARAMETER;
  }
  *notificationHandle = 0;
  QXIntrusiveSharedPtrT<DfuNotification> notification = QXMakeShared<DfuNotification>(mDriverInterfaceGuid);
  const QXSTATUS st = notification->RegisterNotification(deviceFilterDescription, callback, callbackContext);
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("RegisterNotification failed, st={}", QXSt{st});
    return st;
  }
  const uint32_t handle = mNotifications.AddObject(notification);
  if (handle == 0) {
    QX_LOG_ERROR("AddObject failed");
    // The thread ends here, before the object goes.
    notification->Unregister();
    return QXSTATUS_NO_RESOURCES;
  }
  *notificationHandle = handle;
  QX_LOG_INFO("handle={:#X}", handle);
  return QXSTATUS_SUCCESS;
}

QXSTATUS DfuApi::UnregisterDeviceChangeCallback(uint32_t notificationHandle) {
  QXIntrusiveSharedPtrT<DfuNotification> notification = mNotifications.GetObject(notificationHandle);
  if (!notification) {
    QX_LOG_ERROR("invalid notificationHandle {:#X}", notificationHandle);
    return QXSTATUS_INVALID_HANDLE;
  }
  // A callback that ends its own registration would wait for its own thread: refused, and the
  // registration stays as it is.
  if (notification->IsNotificationThread()) {
    QX_LOG_ERROR("notificationHandle {:#X} cannot be closed from its own callback", notificationHandle);
    return QXSTATUS_NOT_POSSIBLE;
  }
  notification = mNotifications.RemoveObject(notificationHandle);
  if (!notification) {
    QX_LOG_ERROR("invalid notificationHandle {:#X}", notificationHandle);
    return QXSTATUS_INVALID_HANDLE;
  }
  notification->Unregister();
  QX_LOG_INFO("Notification with handle {:#X} was closed", notificationHandle);
  return QXSTATUS_SUCCESS;
}

void DfuApi::CloseAllNotifications() {
  std::vector<QXIntrusiveSharedPtrT<DfuNotification>> notifications = mNotifications.RemoveAllObjects();
  if (!notifications.empty()) {
    QX_LOG_WARN("The application has leaked notification handles");
  }
  for (auto& notification : notifications) {
    notification->Unregister();
  }
}

}  // namespace plendrik
