#include "discovery/DfuNotification.h"

#include "diag/QXLog.h"
#include "discovery/QXUsbDeviceFilterDfu.h"

namespace plendrik {

DfuNotification::DfuNotification(std::string driverInterfaceGuid)
    : mDriverInterfaceGuid(std::move(driverInterfaceGuid)) {}

DfuNotification::~DfuNotification() { Unregister(); }

QXSTATUS DfuNotification::RegisterNotification(const char* deviceFilterDescription, QXDeviceChangeCallback callback,
                                               void* callbackContext) {
  if (deviceFilterDescription == nullptr) {
    QX_LOG_ERROR("{} is nullptr", "deviceFilterDescription");
    return QXSTATUS_INVALID_PARAMETER;
  }
  QXUsbDeviceFilter filter;
  QXSTATUS st = CreateDfuDeviceFilter(filter, deviceFilterDescription, mDriverInterfaceGuid);
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("CreateDfuDeviceFilter failed, st={}", QXSt{st});
    return st;
  }
  // Written before the thread starts; the thread only reads them.
  mCallback = callback;
  mCallbackContext = callbackContext;
  st = mNotificator.StartUsbPnpNotificator(filter, QXPnpEventSink{&DfuNotification::EventSink, this});
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("StartUsbPnpNotificator failed, st={}", QXSt{st});
    mCallback = nullptr;
    mCallbackContext = nullptr;
    return st;
  }
  return QXSTATUS_SUCCESS;
}

void DfuNotification::Unregister() {
  mNotificator.StopPnpNotificator();
  // The thread has ended: nothing reads these any more.
  mCallback = nullptr;
  mCallbackContext = nullptr;
}

uint32_t DfuNotification::MapEvent(uint32_t pnpEvent) {
  switch (pnpEvent) {
    case kQXPnpEventArrival:
      return QXDFU_DEVICE_CHANGE_ARRIVAL;
    case kQXPnpEventRemoval:
      return QXDFU_DEVICE_CHANGE_REMOVAL;
    default:
      return QXDFU_DEVICE_CHANGE_UNKNOWN;
  }
}

void DfuNotification::EventSink(void* context, uint32_t pnpEvent) {
  auto* self = static_cast<DfuNotification*>(context);
  if (self->mCallback != nullptr) {
    self->mCallback(self->mCallbackContext, MapEvent(pnpEvent));
  }
}

}  // namespace plendrik
