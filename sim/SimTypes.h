// Small value types of the virtual USB bus: GUIDs and the USB setup packet.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "os/QXOsTypes.h"

namespace plendrik::sim {

// A GUID with the memory layout of the Windows GUID structure.
struct SimGuid {
  uint32_t data1 = 0;
  uint16_t data2 = 0;
  uint16_t data3 = 0;
  uint8_t data4[8] = {0, 0, 0, 0, 0, 0, 0, 0};

  bool IsNull() const;
  bool operator==(const SimGuid& other) const;
  bool operator!=(const SimGuid& other) const { return !(*this == other); }

  // Accepts "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx" with or without braces.
  static bool Parse(std::string_view text, SimGuid& guid);
  static bool Parse(QXWStringView text, SimGuid& guid);
  // "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper case as Windows prints it.
  std::string ToString() const;
  QXWString ToWString() const;
};

// The 8-byte setup packet of a control transfer.
struct SimSetupPacket {
  uint8_t bmRequestType = 0;
  uint8_t bRequest = 0;
  uint16_t wValue = 0;
  uint16_t wIndex = 0;
  uint16_t wLength = 0;

  bool IsDeviceToHost() const { return (bmRequestType & 0x80) != 0; }
};

// How a control transfer ended.
enum class SimTransferStatus {
  Pending,    // not completed yet
  Success,    // completed; the transferred length may be shorter than wLength
  Stall,      // the device stalled the request
  DeviceGone, // the device left the bus before answering
  Cancelled,  // the host cancelled the request
  Babble,     // the device sent more than the transfer allows (a data stage longer than
              // wLength, or data in the status stage): the host controller ends the transfer
              // with an error and keeps none of the data
};

// Plain ASCII/UTF-16 widening and narrowing for identities (identities are ASCII).
QXWString SimWiden(std::string_view text);
std::string SimNarrow(QXWStringView text);

}  // namespace plendrik::sim
