// The HMAC-SHA256 object of the unlock computation: the SHA-256 result codes turned into
// statuses, with one log line per failure.
#pragma once

#include <cstddef>
#include <cstdint>

#include "device/QXSha256.h"
#include "os/QXOsTypes.h"

namespace plendrik {

class QXSha256HMac {
 public:
  // key must be 32 bytes.
  QXSTATUS Init(const uint8_t* key, size_t keyLength);
  QXSTATUS AddBytes(const void* data, size_t byteCount);
  // Takes the 32-byte MAC; the object must be Init'ed again before further use.
  QXSTATUS GetHashValue(uint8_t (&mac)[kQXSha256HashSize]);

 private:
  QXHmacSha256 mHmac;
};

}  // namespace plendrik
