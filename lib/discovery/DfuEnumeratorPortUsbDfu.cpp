#include "discovery/DfuEnumeratorPortUsbDfu.h"

#include "device/DfuDevicePortUsbDfu.h"
#include "diag/QXLog.h"
#include "discovery/QXUsbDeviceFilterDfu.h"

namespace plendrik {

QXSTATUS DfuEnumeratorPortUsbDfu::EnumerateDevices(const char* deviceFilterDescription) {
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
  st = mEnumerator.EnumerateUsbDevices(filter);
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("EnumerateUsbDevices failed, st={}", QXSt{st});
    return st;
  }
  return QXSTATUS_SUCCESS;
}

QXSTATUS DfuEnumeratorPortUsbDfu::GetUsbDevInstanceId(uint32_t deviceIndex, QXWinUsbDevInstanceId& record) {
  if (deviceIndex >= GetDeviceCount()) {
    QX_LOG_ERROR("invalid deviceIndex {}", deviceIndex);
    return QXSTATUS_INVALID_INDEX;
  }
  return mEnumerator.GetUsbDevInstanceId(deviceIndex, record);
}

QXSTATUS DfuEnumeratorPortUsbDfu::CompareDeviceInstance(uint32_t deviceIndex, DfuDevicePortInterface* devicePort) {
  if (deviceIndex >= GetDeviceCount()) {
    QX_LOG_ERROR("invalid deviceIndex {}", deviceIndex);
    return QXSTATUS_INVALID_INDEX;
  }
  const auto* usbDevicePort = dynamic_cast<const DfuDevicePortUsbDfu*>(devicePort);
  if (usbDevicePort == nullptr) {
    QX_LOG_ERROR("invalid device type");
    return QXSTATUS_INVALID_PARAMETER;
  }
  return CompareDeviceInstanceId(deviceIndex, usbDevicePort->GetDeviceInstanceId());
}

QXSTATUS DfuEnumeratorPortUsbDfu::CompareDeviceInstanceId(uint32_t deviceIndex, const QXWString& instanceId) {
  if (deviceIndex >= GetDeviceCount()) {
    QX_LOG_ERROR("invalid deviceIndex {}", deviceIndex);
    return QXSTATUS_INVALID_INDEX;
  }
  QXWinUsbDevInstanceId record;
  const QXSTATUS st = GetUsbDevInstanceId(deviceIndex, record);
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("GetUsbDevInstanceId failed, st={}", QXSt{st});
    return st;
  }
  return record.instanceId == instanceId ? QXSTATUS_SUCCESS : QXSTATUS_NO_MATCH;
}

}  // namespace plendrik
