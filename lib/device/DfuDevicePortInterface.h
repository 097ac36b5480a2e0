// The abstract device port: the protocol steps a device session and its upgrade worker use,
// each of them one control transfer on the device's DFU interface (or a read of what was cached
// at open). The USB DFU implementation is DfuDevicePortUsbDfu; tests may substitute their own.
#pragma once

#include <cstdint>

#include "os/QXOsTypes.h"

namespace plendrik {

class DfuEnumeratorPortInterface;

// A block of image bytes handed to DfuDnload; length 0 is the closing block.
struct QXDfuBlock {
  const uint8_t* data = nullptr;
  uint64_t length = 0;
};

// Sizes of the records the port moves as opaque bytes.
constexpr uint32_t kQXDfuStatusRecordSize = 6;
constexpr uint32_t kQXImgMetadataHeaderSize = 60;
constexpr uint32_t kQXUnlockTokenSize = 80;
constexpr uint32_t kQXUnlockRequestSize = 32;

class DfuDevicePortInterface {
 public:
  virtual ~DfuDevicePortInterface() = default;

  virtual QXSTATUS OpenPortDevice(DfuEnumeratorPortInterface* enumeratorPort, uint32_t deviceIndex) = 0;
  // No control transfer: whether the device still answers a device information query.
  virtual bool IsDeviceConnected() = 0;
  virtual bool IsDownloadCapable() = 0;         // bmAttributes bit 0
  virtual bool IsManifestationTolerant() = 0;   // bmAttributes bit 2
  virtual uint32_t GetTransferSize() = 0;       // wTransferSize
  virtual QXSTATUS GetCurrentRunMode(uint32_t& runMode) = 0;
  virtual QXSTATUS GetDevicePropertyUint(uint32_t propertyId, uint32_t& value) = 0;
  virtual QXSTATUS GetDevicePropertyString(uint32_t propertyId, QXWChar* stringBuffer,
                                           uint32_t stringBufferMaxItems) = 0;
  virtual QXSTATUS RebootDevice(uint32_t targetRunMode, uint32_t flags) = 0;
  virtual QXSTATUS SelectTarget(uint8_t targetId, uint32_t flags) = 0;
  virtual QXSTATUS DfuDnload(QXDfuBlock block, uint16_t blockNumber) = 0;
  virtual QXSTATUS DfuGetStatus(uint8_t (&record)[kQXDfuStatusRecordSize]) = 0;
  virtual QXSTATUS DfuClrStatus() = 0;
  virtual QXSTATUS DfuAbort() = 0;
  virtual QXSTATUS DfuGetState(uint8_t& state) = 0;
  virtual QXSTATUS PrivStoreImageMetadataHeader(const uint8_t (&header)[kQXImgMetadataHeaderSize]) = 0;
  virtual QXSTATUS PrivCheckImageCompatibility(uint8_t targetId, uint32_t& requestStatus) = 0;
  virtual QXSTATUS PrivGetUnlockToken(uint8_t targetId, uint8_t (&token)[kQXUnlockTokenSize]) = 0;
  virtual QXSTATUS PrivUnlockTarget(const uint8_t (&unlockRequest)[kQXUnlockRequestSize]) = 0;
  // A USB reset of the whole device (it leaves the bus and enumerates again).
  // QXSTATUS_NOT_SUPPORTED where the platform offers no way to reset it.
  virtual QXSTATUS ResetDevice() { return QXSTATUS_NOT_SUPPORTED; }
};

}  // namespace plendrik
