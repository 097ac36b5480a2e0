// USB transfer types of the transport: the setup packet and a data buffer {pointer, length}.
#pragma once

#include <cstdint>

#include "os/QXWinErrors.h"

namespace plendrik {

// The 8-byte setup packet of a control transfer (little-endian on the wire).
struct QXUsbSetupPacket {
  uint8_t bmRequestType = 0;
  uint8_t bRequest = 0;
  uint16_t wValue = 0;
  uint16_t wIndex = 0;
  uint16_t wLength = 0;
};

// A caller's data buffer; wLength of a request is always its length.
struct QXUsbBuffer {
  void* data = nullptr;
  uint32_t length = 0;
};


}  // namespace plendrik
