// The device port of USB DFU 1.1 devices: opens the device of an enumeration entry through
// WinUSB, claims its DFU interface, keeps what it read at open (device descriptor, strings,
// DFU interface and functional descriptors, the entry's identity) and turns each protocol
// step into one control transfer on the DFU interface.
#pragma once

#include <cstdint>

#include "device/DfuDevicePortInterface.h"
#include "device/DfuProtocol.h"
#include "discovery/QXWinUsbDevInstanceId.h"
#include "usb/QXOsUsbDevice.h"

namespace plendrik {

class DfuDevicePortUsbDfu final : public DfuDevicePortInterface {
 public:
  static constexpr uint32_t kDefaultRequestTimeoutMs = 5000;
  static constexpr uint32_t kDefaultDownloadTimeoutMs = 30000;

  DfuDevicePortUsbDfu() = default;
  // Releases the claimed interface, then closes the device.
  ~DfuDevicePortUsbDfu() override;
  DfuDevicePortUsbDfu(const DfuDevicePortUsbDfu&) = delete;
  DfuDevicePortUsbDfu& operator=(const DfuDevicePortUsbDfu&) = delete;

  QXSTATUS OpenPortDevice(DfuEnumeratorPortInterface* enumeratorPort, uint32_t deviceIndex) override;
  bool IsDeviceConnected() override;
  bool IsDownloadCapable() override;
  bool IsManifestationTolerant() override;
  uint32_t GetTransferSize() override;
  QXSTATUS GetCurrentRunMode(uint32_t& runMode) override;
  QXSTATUS GetDevicePropertyUint(uint32_t propertyId, uint32_t& value) override;
  QXSTATUS GetDevicePropertyString(uint32_t propertyId, QXWChar* stringBuffer, uint32_t stringBufferMaxItems) override;
  QXSTATUS RebootDevice(uint32_t targetRunMode, uint32_t flags) override;
  QXSTATUS SelectTarget(uint8_t targetId, uint32_t flags) override;
  QXSTATUS DfuDnload(QXDfuBlock block, uint16_t blockNumber) override;
  QXSTATUS DfuGetStatus(uint8_t (&record)[kQXDfuStatusRecordSize]) override;
  QXSTATUS DfuClrStatus() override;
  QXSTATUS DfuAbort() override;
  QXSTATUS DfuGetState(uint8_t& state) override;
  QXSTATUS PrivStoreImageMetadataHeader(const uint8_t (&header)[kQXImgMetadataHeaderSize]) override;
  QXSTATUS PrivCheckImageCompatibility(uint8_t targetId, uint32_t& requestStatus) override;
  QXSTATUS PrivGetUnlockToken(uint8_t targetId, uint8_t (&token)[kQXUnlockTokenSize]) override;
  QXSTATUS PrivUnlockTarget(const uint8_t (&unlockRequest)[kQXUnlockRequestSize]) override;
  QXSTATUS ResetDevice() override;

  // The identity of the enumeration entry the port was opened from; empty before a
  // successful OpenUsbDevice. The enumerator port compares the instance ID.
  const QXWinUsbDevInstanceId& GetDeviceIdentity() const { return mDeviceIdentity; }
  const QXWString& GetDeviceInstanceId() const { return mDeviceIdentity.instanceId; }

  uint32_t GetDfuVersionCode() const { return mDfuVersionCode; }
  uint32_t GetRequestTimeoutMs() const { return mRequestTimeoutMs; }
  uint32_t GetDownloadTimeoutMs() const { return mDownloadTimeoutMs; }
  // Tests shorten the time-outs to exercise a device that does not answer.
  void SetTimeouts(uint32_t requestTimeoutMs, uint32_t downloadTimeoutMs) {
    mRequestTimeoutMs = requestTimeoutMs;
    mDownloadTimeoutMs = downloadTimeoutMs;
  }

 private:
  QXSTATUS CacheInformation();
  uint16_t DeviceDescriptorWord(uint32_t offset) const;
  DfuFunctionalDescriptor FunctionalDescriptor() const {
    return DecodeDfuFunctionalDescriptor(mDfuFunctionalDescriptor);
  }

  // SET_INTERFACE to the DFU interface. A device whose DFU interface has a single alternate
  // setting may stall it (USB 2.0 allows that); selecting that setting then succeeds.
  QXSTATUS SelectAlternateSetting(uint8_t alternateSetting);
  // After a reboot request: the USB reset that a device needs to leave when it does not
  // detach by itself; failures are only logged.
  void ResetAfterRebootRequest(bool requestFailed);

  // One control transfer to the DFU interface, without logging; transferred is 0 on failure.
  QXSTATUS OutRequest(uint8_t requestType, uint8_t request, uint16_t value, const void* data, uint32_t length,
                      uint32_t timeoutMs, uint32_t& transferred);
  QXSTATUS InRequest(uint8_t requestType, uint8_t request, uint16_t value, void* data, uint32_t length,
                     uint32_t& transferred);
  // A request with a data stage must move exactly wLength bytes.
  static QXSTATUS CheckLength(uint32_t transferred, uint32_t expected);
  // The standard requests without a data stage and those with an out data stage, logging
  // the failure of the transfer and applying the length rule.
  QXSTATUS SendOut(uint8_t requestType, uint8_t request, uint16_t value, const void* data, uint32_t length,
                   uint32_t timeoutMs);
  // The requests with an in data stage, with their failure line and the length rule.
  QXSTATUS SendIn(uint8_t requestType, uint8_t request, uint16_t value, void* data, uint32_t length);

  // The device first, so that the interface is released before the device closes.
  QXOsUsbDevice mUsbDevice;
  QXOsUsbInterface mDfuInterface;
  // A copy of the enumeration entry's identity (device path, instance ID, container ID and
  // the USB numbers), taken once the device is open.
  QXWinUsbDevInstanceId mDeviceIdentity;
  uint8_t mDeviceDescriptor[18] = {};
  QXWString mManufacturer;
  QXWString mProduct;
  QXWString mSerialNumber;
  uint8_t mDfuInterfaceDescriptor[9] = {};
  uint8_t mDfuFunctionalDescriptor[kDfuFunctionalDescriptorLength] = {};
  uint32_t mDfuVersionCode = 0;
  uint32_t mDfuAlternateSettings = 0;  // alternate settings of the DFU interface
  uint32_t mRequestTimeoutMs = kDefaultRequestTimeoutMs;
  uint32_t mDownloadTimeoutMs = kDefaultDownloadTimeoutMs;
};

}  // namespace plendrik
