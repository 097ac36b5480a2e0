#include "discovery/QXUsbDeviceFilterDfu.h"

#include "diag/QXLog.h"
#include "discovery/QXUsbDeviceFilterDescription.h"
#include "os/QXOsString.h"

namespace plendrik {

QXSTATUS CreateDfuDeviceFilter(QXUsbDeviceFilter& filter, const char* text, const std::string& driverInterfaceGuid) {
  const QXUsbDeviceFilterDescription description(
      kQXFilterKeyVid | kQXFilterKeyPid | kQXFilterKeyMinBcdDevice | kQXFilterKeyMaxBcdDevice,
      kQXFilterKeyVid | kQXFilterKeyPid);
  QXUsbDeviceFilter parsed;
  parsed.kind = kQXUsbDeviceFilterKindDevice;
  QXSTATUS st = description.ParseFilterDescription(parsed, text);
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("ParseFilterDescription failed, st={}", QXSt{st});
    return st;
  }
  if (parsed.entries.empty()) {
    QX_LOG_ERROR("no valid VID/PID filter specified");
    return QXSTATUS_INVALID_FORMAT;
  }
  if (parsed.interfaceGuid.empty()) {
    parsed.interfaceGuid = QXWidenBytes(driverInterfaceGuid);
    if (parsed.interfaceGuid.empty()) {
      QX_LOG_ERROR("No DriverInterfaceGuidString, invalid configuration");
      return QXSTATUS_INVALID_CONFIGURATION;
    }
  }
  filter = std::move(parsed);
  return QXSTATUS_SUCCESS;
}


}  // namespace plendrik
