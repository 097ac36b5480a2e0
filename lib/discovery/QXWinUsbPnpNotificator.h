// A device change notificator that passes on only events whose device interface path
// matches a device filter.
#pragma once

#include "discovery/QXUsbDeviceFilter.h"
#include "discovery/QXWinDevicePnpNotificator.h"

namespace plendrik {

class QXWinUsbPnpNotificator : public QXWinDevicePnpNotificator {
 public:
  // Copies the filter and starts the thread for the filter's device interface class.
  QXSTATUS StartUsbPnpNotificator(const QXUsbDeviceFilter& filter, QXPnpEventSink eventSink);

  // True when the event's device interface path matches the filter; logs the decision.
  static bool FilterFunction(void* context, uint32_t pnpEvent, const QXDevBroadcastDeviceInterfaceW& header);

 private:
  QXUsbDeviceFilter mFilter;
};

}  // namespace plendrik
