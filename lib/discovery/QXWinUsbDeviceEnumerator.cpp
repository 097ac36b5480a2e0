#include "discovery/QXWinUsbDeviceEnumerator.h"

#include "diag/QXLog.h"
#include "discovery/QXWinGuid.h"

namespace plendrik {

bool QXWinUsbDeviceEnumerator::FilterContext::FilterCallback(void* context, QXWinDeviceInfoList& list,
                                                             const QXWinDeviceInfoEntry& entry) {
  const auto* self = static_cast<const FilterContext*>(context);
  QXWinUsbDevInstanceId record;
  const QXSTATUS st = record.InitUsbDevInstanceId(list, entry, self->hidFlag);
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("InitUsbDevInstanceId failed, st={}", QXSt{st});
    return false;
  }
  return self->filter->MatchDevice(record.GetIdentifiers());
}

QXSTATUS QXWinUsbDeviceEnumerator::EnumerateUsbDevices(const QXUsbDeviceFilter& filter) {
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
  FilterContext context{&filter, mHidFlag};
  st = EnumerateByDeviceInterfaceClass(guid, &FilterContext::FilterCallback, &context);
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("EnumerateDevices failed, st={}", QXSt{st});
    return st;
  }
  return QXSTATUS_SUCCESS;
}

QXSTATUS QXWinUsbDeviceEnumerator::GetUsbDevInstanceId(uint32_t deviceIndex, QXWinUsbDevInstanceId& record) {
  return record.InitUsbDevInstanceId(*this, deviceIndex, mHidFlag);
}

}  // namespace plendrik
