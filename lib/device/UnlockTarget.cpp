// The unlock handshake: the device hands out a token with a fresh challenge, the host answers
// with the HMAC of the challenge under the shared key.
#include "device/DfuDevice.h"
#include "device/QXBuildBootloaderUnlockReq.h"
#include "device/QXSha256.h"
#include "diag/QXLog.h"

namespace plendrik {

QXSTATUS DfuDevice::UnlockTarget(uint8_t targetId) {
  uint8_t token[kQXUnlockTokenSize];
  QXSTATUS st = mDevicePort->PrivGetUnlockToken(targetId, token);
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("PrivGetUnlockToken failed, st={}", QXSt{st});
    return st;
  }
  uint8_t request[kQXUnlockRequestSize] = {};
  st = QXBuildBootloaderUnlockReq(request, token);
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("QXBuildBootloaderUnlockReq failed, st={}", QXSt{st});
    return st;
  }
  st = mDevicePort->PrivUnlockTarget(request);
  // The request is a key-derived value; it does not stay on the stack.
  QXHmacSha256::Wipe(request, sizeof(request));
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("PrivUnlockTarget failed, st={}", QXSt{st});
    return st;
  }
  return QXSTATUS_SUCCESS;
}

}  // namespace plendrik
