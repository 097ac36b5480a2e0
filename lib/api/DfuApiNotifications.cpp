// The notification functions of the library: a registration runs its own thread that calls
// the caller back; unregistering ends that thread.
#include <map>
#include <mutex>

#include "api/DfuApi.h"
#include "diag/QXLog.h"
#include "os/QXImmortal.h"
#include "os/QXOsSystem.h"

namespace plendrik {

namespace {
// Which thread waits for which registration's thread to end, while an unregistration runs.
// A callback may end another registration, but two callbacks that end each other's
// registrations (or a longer ring of them) would each wait for the other: the call that would
// close the ring is refused instead.
struct UnregisterWaits {
  std::mutex mutex;
  std::map<uint32_t, uint32_t> waitsFor;  // waiting thread id -> id of the thread it waits for
};
UnregisterWaits& GetUnregisterWaits() { return QXImmortal<UnregisterWaits>(); }

// True when thread `from` waits, directly or through others, for thread `to`; mutex held.
bool WaitsForLocked(const UnregisterWaits& waits, uint32_t from, uint32_t to) {
  for (size_t steps = 0; steps <= waits.waitsFor.size(); ++steps) {
    const auto it = waits.waitsFor.find(from);
    if (it == waits.waitsFor.end()) {
      return false;
    }
    if (it->second == to) {
      return true;
    }
    from = it->second;
  }
  return false;
}
}  // namespace

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
  // A callback whose own registration is being ended by the registration it is ending would
  // wait for a thread that waits for it: refused, and its registration ends as it was asked to.
  const uint32_t self = QXOsGetCurrentThreadId();
  const uint32_t target = notification->GetNotificationThreadId();
  UnregisterWaits& waits = GetUnregisterWaits();
  if (target != 0) {
    std::lock_guard<std::mutex> lock(waits.mutex);
    if (WaitsForLocked(waits, target, self)) {
      QX_LOG_ERROR("notificationHandle {:#X} cannot be closed now: its callback is ending this registration",
                   notificationHandle);
      return QXSTATUS_NOT_POSSIBLE;
    }
    waits.waitsFor[self] = target;
  }
  notification = mNotifications.RemoveObject(notificationHandle);
  if (notification) {
    notification->Unregister();
  }
  if (target != 0) {
    std::lock_guard<std::mutex> lock(waits.mutex);
    waits.waitsFor.erase(self);
  }
  if (!notification) {
    QX_LOG_ERROR("invalid notificationHandle {:#X}", notificationHandle);
    return QXSTATUS_INVALID_HANDLE;
  }
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
