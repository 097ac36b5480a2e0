// USB transfer types of the transport: the setup packet and a data buffer {pointer, length}.
#pragma once

#include <cstdint>

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

// Windows system error numbers the transport handles by value.
constexpr uint32_t kQXErrorSuccess = 0;
constexpr uint32_t kQXErrorFileNotFound = 2;
constexpr uint32_t kQXErrorAccessDenied = 5;
constexpr uint32_t kQXErrorInvalidHandle = 6;
constexpr uint32_t kQXErrorGenFailure = 31;
constexpr uint32_t kQXErrorInvalidParameter = 87;
constexpr uint32_t kQXErrorSemTimeout = 121;
constexpr uint32_t kQXErrorInsufficientBuffer = 122;
constexpr uint32_t kQXErrorAlreadyExists = 183;
constexpr uint32_t kQXErrorWaitTimeout = 258;
constexpr uint32_t kQXErrorNoMoreItems = 259;
constexpr uint32_t kQXErrorOperationAborted = 995;
constexpr uint32_t kQXErrorIoIncomplete = 996;
constexpr uint32_t kQXErrorIoPending = 997;
constexpr uint32_t kQXErrorTimeout = 1460;
constexpr uint32_t kQXErrorDeviceNotConnected = 1167;
constexpr uint32_t kQXErrorNotFound = 1168;

}  // namespace plendrik
