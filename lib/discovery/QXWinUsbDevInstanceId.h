// The identity of one listed USB device interface: QXWinDevInstanceId plus the USB
// identifiers read from the device's first hardware identifier.
#pragma once

#include <vector>

#include "discovery/QXUsbDeviceFilter.h"
#include "discovery/QXWinDevInstanceId.h"

namespace plendrik {

class QXWinUsbDevInstanceId : public QXWinDevInstanceId {
 public:
  // -1 when unknown. The interface class fields never come from a hardware identifier.
  int32_t vendorId = -1;
  int32_t productId = -1;
  int32_t bcdDevice = -1;
  int32_t interfaceNumber = -1;
  int32_t interfaceClass = -1;
  int32_t interfaceSubClass = -1;
  int32_t interfaceProtocol = -1;

  // Builds the record. Only a failure to read path or instance id fails; a hardware
  // identifier that cannot be interpreted leaves the identifiers at -1 (with a warning).
  // hidFlag non-zero expects "HID\" hardware identifiers instead of "USB\".
  QXSTATUS InitUsbDevInstanceId(QXWinDeviceInfoList& list, uint32_t deviceIndex, uint32_t hidFlag);
  QXSTATUS InitUsbDevInstanceId(QXWinDeviceInfoList& list, const QXWinDeviceInfoEntry& entry, uint32_t hidFlag);

  // Reads the hardware identifiers and requires vendor id, product id and bcdDevice.
  QXSTATUS GetUsbIdentifiers(QXWinDeviceInfoList& list, const QXWinDeviceInfoEntry& entry, uint32_t hidFlag);

  QXUsbDeviceIdentifiers GetIdentifiers() const;

 private:
  void ClearUsbIdentifiers();
};

// Reads vendor id, product id, bcdDevice and interface number from the first hardware
// identifier ("USB\VID_xxxx&PID_xxxx&REV_xxxx&MI_xx"); fields that are missing or misplaced
// stay -1, the interface number is 0 when absent. An identifier that does not start with
// "USB\" (or "HID\") yields nothing and still succeeds.
QXSTATUS ExtractUsbIdsFromHardwareId(QXUsbDeviceIdentifiers& ids, const std::vector<QXWString>& hardwareIds,
                                     uint32_t hidFlag);

}  // namespace plendrik
