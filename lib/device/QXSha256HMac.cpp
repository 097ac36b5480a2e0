#include "device/QXSha256HMac.h"

#include "diag/QXLog.h"
#include "flashbridge.h"

namespace plendrik {

QXSTATUS QXSha256HMac::Init(const uint8_t* key, size_t keyLength) {
  const int err = mHmac.Reset(key, keyLength);
  if (err != kQXShaSuccess) {
    QX_LOG_ERROR("failed {}", err);
    return QXSTATUS_FAILED;
  }
  return QXSTATUS_SUCCESS;
}

QXSTATUS QXSha256HMac::AddBytes(const void* data, size_t byteCount) {
  const int err = mHmac.Input(data, byteCount);
  if (err != kQXShaSuccess) {
    QX_LOG_ERROR("SHA256Input failed {}", err);
    return QXSTATUS_FAILED;
  }
  return QXSTATUS_SUCCESS;
}

QXSTATUS QXSha256HMac::GetHashValue(uint8_t (&mac)[kQXSha256HashSize]) {
  const int err = mHmac.Result(mac);
  if (err != kQXShaSuccess) {
    QX_LOG_ERROR("failed {}", err);
    return QXSTATUS_FAILED;
  }
  return QXSTATUS_SUCCESS;
}

}  // namespace plendrik
