// The enumeration port of USB DFU devices: the library's filter over the listing of the
// driver's device interface class.
#pragma once

#include <string>

#include "discovery/DfuEnumeratorPortInterface.h"
#include "discovery/QXWinUsbDeviceEnumerator.h"

namespace plendrik {

class DfuEnumeratorPortUsbDfu final : public DfuEnumeratorPortInterface {
 public:
  // driverInterfaceGuid: the configured braced GUID text of the driver's interface class.
  explicit DfuEnumeratorPortUsbDfu(std::string driverInterfaceGuid)
      : mDriverInterfaceGuid(std::move(driverInterfaceGuid)) {}

  QXSTATUS EnumerateDevices(const char* deviceFilterDescription) override;
  uint32_t GetDeviceCount() const override { return mEnumerator.GetDeviceCount(); }
  // Takes only a DfuDevicePortUsbDfu and compares the instance ID its device recorded at open.
  QXSTATUS CompareDeviceInstance(uint32_t deviceIndex, DfuDevicePortInterface* devicePort) override;
  // Whether the listed device at deviceIndex has this device instance ID (case-sensitive).
  QXSTATUS CompareDeviceInstanceId(uint32_t deviceIndex, const QXWString& instanceId);

  // Path and identity of a listed device, for the device port that opens it.
  QXSTATUS GetUsbDevInstanceId(uint32_t deviceIndex, QXWinUsbDevInstanceId& record);

 private:
  std::string mDriverInterfaceGuid;
  QXWinUsbDeviceEnumerator mEnumerator;
};

}  // namespace plendrik
