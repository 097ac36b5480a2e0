#include "discovery/QXWinDevInstanceId.h"

#include "diag/QXLog.h"
#include "discovery/QXWinGuid.h"

namespace plendrik {

void QXWinDevInstanceId::ClearDevInstanceId() {
  devicePath.clear();
  instanceId.clear();
  containerId = QXGuid{};
}

QXSTATUS QXWinDevInstanceId::InitDevInstanceId(QXWinDeviceInfoList& list, uint32_t deviceIndex) {
  ClearDevInstanceId();
  const QXWinDeviceInfoEntry* entry = list.GetEntry(deviceIndex);
  if (entry == nullptr) {
    QX_LOG_ERROR("deviceIndex={} is invalid", deviceIndex);
    return QXSTATUS_INVALID_INDEX;
  }
  return InitDevInstanceId(list, *entry);
}

QXSTATUS QXWinDevInstanceId::InitDevInstanceId(QXWinDeviceInfoList& list, const QXWinDeviceInfoEntry& entry) {
  ClearDevInstanceId();
  QXWString path;
  QXSTATUS st = list.GetDeviceInterfaceDevicePath(entry, path);
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("GetDeviceInterfaceDevicePath failed, st={}", QXSt{st});
    return st;
  }
  QXWString id;
  st = list.GetDeviceInstanceId(entry, id);
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("GetDeviceInstanceId failed, st={}", QXSt{st});
    return st;
  }
  devicePath = std::move(path);
  instanceId = std::move(id);
  QXGuid container{};
  st = list.GetDeviceContainerId(entry, container);
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_WARN("GetDeviceContainerId failed, st={}, continuing without container ID", QXSt{st});
    container = QXGuid{};
  }
  containerId = container;
  return QXSTATUS_SUCCESS;
}

QXWString QXWinDevInstanceId::GetContainerIdString() const {
  return QXIsNullGuid(containerId) ? QXWString() : QXWinGuid::StringFromGuid(containerId);
}

}  // namespace plendrik
