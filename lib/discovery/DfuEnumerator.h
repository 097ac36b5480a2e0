// One enumeration result: the devices that matched a caller's filter, found with retries.
// The object behind an enumeration handle.
#pragma once

#include <memory>
#include <string>

#include "discovery/DfuEnumeratorPortInterface.h"
#include "os/QXIntrusiveSharedPtr.h"

namespace plendrik {

class DfuEnumeratorPortUsbDfu;

class DfuEnumerator : public QXRefCounted {
 public:
  // driverInterfaceGuid: the configured braced GUID text of the driver's interface class.
  explicit DfuEnumerator(std::string driverInterfaceGuid = std::string());

  // Lists the matching devices; when none is found, tries again retryCount times, waiting
  // retryDelay ms (rounded up to the clock resolution) before each retry. Finding no device
  // is a success. flags must be 0.
  QXSTATUS EnumerateDevices(const char* deviceFilterDescription, uint32_t retryCount, uint32_t retryDelay,
                            uint32_t flags);

  uint32_t GetDeviceCount() const;
  // 0 until an enumeration completed, then QXDFU_DEVICE_TYPE_USB_DFU.
  uint32_t GetDeviceType() const { return mDeviceType; }
  // The port of the last enumeration, or null before the first one.
  DfuEnumeratorPortInterface* GetPort() const;
  DfuEnumeratorPortUsbDfu* GetPortUsbDfu() const;

 protected:
  ~DfuEnumerator() override;

 private:
  std::string mDriverInterfaceGuid;
  std::unique_ptr<DfuEnumeratorPortUsbDfu> mPort;
  uint32_t mDeviceType = 0;
};

}  // namespace plendrik
