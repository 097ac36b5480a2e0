#include "discovery/QXWinUsbPnpNotificator.h"

#include "diag/QXLog.h"
#include "discovery/QXWinGuid.h"

namespace plendrik {

QXSTATUS QXWinUsbPnpNotificator::StartUsbPnpNotificator(const QXUsbDeviceFilter& filter, QXPnpEventSink eventSink) {
  if (filter.interfaceGuid.empty()) {
    QX_LOG_ERROR("no driver interface GUID available");
    return QXSTATUS_NOT_POSSIBLE;
  }
  QXGuid guid{};
  QXSTATUS st = QXWinGuid::GuidFromString(filter.interfaceGuid, guid);
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("GuidFromString failed, st={}", QXSt{st});
    return QXSTATUS_INVALID_FORMAT;
  }
  mFilter = filter;
  SetEventFilter(QXPnpEventFilter{&QXWinUsbPnpNotificator::FilterFunction, this});
  st = StartAndEnablePnpNotificator(guid, eventSink);
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("StartAndEnablePnpNotificator failed, st={}", QXSt{st});
  }
  return st;
}

bool QXWinUsbPnpNotificator::FilterFunction(void* context, uint32_t pnpEvent,
                                            const QXDevBroadcastDeviceInterfaceW& header) {
  const auto* self = static_cast<const QXWinUsbPnpNotificator*>(context);
  const QXWString path = QXDevBroadcastInterfacePath(header);
  QX_LOG_DETAIL("pnpEvent={} dbcc_name={}", pnpEvent, path);
  bool matchAny = false;
  for (const QXUsbDeviceFilterEntry& entry : self->mFilter.entries) {
    if (entry.vendorId == -1 && entry.productId == -1 && entry.interfaceNumber == -1) {
      matchAny = true;
      continue;
    }
    QXUsbDeviceFilter single;
    single.entries.push_back(entry);
    if (single.MatchDeviceInterfacePath(path)) {
      QX_LOG_INFO("pattern match: passing on pnpEvent={} for dbcc_name={}", pnpEvent, path);
      return true;
    }
  }
  if (matchAny) {
    QX_LOG_INFO("match any: passing on pnpEvent={} for dbcc_name={}", pnpEvent, path);
    return true;
  }
  QX_LOG_INFO("no match: ignoring pnpEvent={} for dbcc_name={}", pnpEvent, path);
  return false;
}

}  // namespace plendrik
