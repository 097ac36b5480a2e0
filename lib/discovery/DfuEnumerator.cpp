#include "discovery/DfuEnumerator.h"

#include <chrono>
#include <thread>

#include "diag/QXLog.h"
#include "discovery/DfuEnumeratorPortUsbDfu.h"
#include "discovery/QXWinClockResolution.h"

namespace plendrik {

DfuEnumerator::DfuEnumerator(std::string driverInterfaceGuid) : mDriverInterfaceGuid(std::move(driverInterfaceGuid)) {}

DfuEnumerator::~DfuEnumerator() = default;

uint32_t DfuEnumerator::GetDeviceCount() const { return mPort ? mPort->GetDeviceCount() : 0; }

DfuEnumeratorPortInterface* DfuEnumerator::GetPort() const { return mPort.get(); }

DfuEnumeratorPortUsbDfu* DfuEnumerator::GetPortUsbDfu() const { return mPort.get(); }

QXSTATUS DfuEnumerator::EnumerateDevices(const char* deviceFilterDescription, uint32_t retryCount, uint32_t retryDelay,
                                         uint32_t flags) {
  if (flags != 0) {
    QX_LOG_ERROR("invalid parameter: flags={}", flags);
    return QXSTATUS_INVALID_PARAMETER;
  }
  // The new port replaces the previous one and with it the previous list and set.
  mPort.reset();
  mPort = std::make_unique<DfuEnumeratorPortUsbDfu>(mDriverInterfaceGuid);
  for (;;) {
    const QXSTATUS st = mPort->EnumerateDevices(deviceFilterDescription);
    if (st != QXSTATUS_SUCCESS) {
      QX_LOG_ERROR("EnumerateDevices failed, st={}", QXSt{st});
      return st;
    }
    if (mPort->GetDeviceCount() != 0 || retryCount == 0) {
      break;
    }
    if (retryDelay != 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(RoundUpMillisecsToClockResolution(retryDelay)));
    } else {
      QX_LOG_WARN("retryDelay is zero but retryCount ({}) is greater zero", retryCount);
    }
    --retryCount;
  }
  mDeviceType = QXDFU_DEVICE_TYPE_USB_DFU;
  return QXSTATUS_SUCCESS;
}

}  // namespace plendrik
