#include "device/QXBuildBootloaderUnlockReq.h"

#include <cstring>

#include "device/QXBootloaderUnlockKey.h"
#include "device/QXSha256HMac.h"
#include "diag/QXLog.h"
#include "flashbridge.h"

namespace plendrik {

QXSTATUS QXBuildBootloaderUnlockReq(uint8_t (&unlockRequest)[kQXUnlockRequestSize],
                                    const uint8_t (&token)[kQXUnlockTokenSize]) {
  if (token[0] != kQXUnlockTokenSize) {
    QX_LOG_ERROR("invalid size {}", token[0]);
    return QXSTATUS_INVALID_SIZE;
  }
  if (token[1] != kQXUnlockKeyGeneration0) {
    QX_LOG_ERROR("invalid keyGeneration {}", token[1]);
    return QXSTATUS_INVALID_PARAMETER;
  }
  uint8_t key[kQXUnlockKeySize];
  QXAssembleUnlockKeyGeneration0(key);
  QXSha256HMac hmac;
  QXSTATUS st = hmac.Init(key, sizeof(key));
  QXHmacSha256::Wipe(key, sizeof(key));
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("Init failed, st={}", QXSt{st});
    return st;
  }
  st = hmac.AddBytes(token + kQXUnlockChallengeOffset, kQXUnlockChallengeSize);
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("AddBytes failed, st={}", QXSt{st});
    return st;
  }
  uint8_t mac[kQXSha256HashSize];
  st = hmac.GetHashValue(mac);
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("GetHashValue failed, st={}", QXSt{st});
    return st;
  }
  std::memcpy(unlockRequest, mac, sizeof(mac));
  QXHmacSha256::Wipe(mac, sizeof(mac));
  return QXSTATUS_SUCCESS;
}

}  // namespace plendrik
