// A device change registration: a filter, a callback and the thread that calls it.
#pragma once

#include <string>

#include "discovery/QXWinUsbPnpNotificator.h"
#include "os/QXIntrusiveSharedPtr.h"

namespace plendrik {

using QXDeviceChangeCallback = void (*)(void* callbackContext, uint32_t event);

class DfuNotification : public QXRefCounted {
 public:
  // driverInterfaceGuid: the configured braced GUID text of the driver's interface class.
  explicit DfuNotification(std::string driverInterfaceGuid = std::string());

  // Parses the filter and starts the thread that calls callback(callbackContext, event) for
  // every matching arrival (1) and removal (2). On failure nothing keeps running.
  QXSTATUS RegisterNotification(const char* deviceFilterDescription, QXDeviceChangeCallback callback,
                                void* callbackContext);
  // Ends the thread; when it returns the callback is not called again. Not on the thread itself.
  void Unregister();
  // True on the registration's own thread (inside its callback).
  bool IsNotificationThread() const { return mNotificator.IsWorkerThread(); }
  // The id of the registration's thread while it runs, else 0.
  uint32_t GetNotificationThreadId() const { return mNotificator.GetWorkerThreadId(); }

  // The notificator (for tests that deliver window messages by hand).
  QXWinUsbPnpNotificator& GetNotificator() { return mNotificator; }

  // The public event code for a notificator event: 1 and 2 pass, anything else is 0.
  static uint32_t MapEvent(uint32_t pnpEvent);

 protected:
  ~DfuNotification() override;

 private:
  static void EventSink(void* context, uint32_t pnpEvent);

  std::string mDriverInterfaceGuid;
  QXDeviceChangeCallback mCallback = nullptr;
  void* mCallbackContext = nullptr;
  QXWinUsbPnpNotificator mNotificator;
};

}  // namespace plendrik
