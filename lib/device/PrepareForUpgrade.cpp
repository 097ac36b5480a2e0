// The first phase of the worker: bring the device to dfuIDLE, select the target, let the
// device judge the image, and unlock the target when the caller asked for it.
#include "device/DfuDevice.h"
#include "diag/QXLog.h"
#include "image/DfuImage.h"

namespace plendrik {

QXSTATUS DfuDevice::PrepareForUpgrade() {
  QXSTATUS st = EnsureDfuIDLE();
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("EnsureDfuIDLE failed, st={}", QXSt{st});
    return st;
  }
  st = mDevicePort->SelectTarget(mTargetId, mUpgradeFlags);
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("SelectTarget failed, st={}", QXSt{st});
    return st;
  }
  st = CheckImageCompatibility(*mImage, mTargetId);
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("CheckImageCompatibility failed, st={}", QXSt{st});
    return st;
  }
  if ((mUpgradeFlags & QXDFU_UPGRADE_FLAG_UNLOCK_TARGET) != 0) {
    st = UnlockTarget(mTargetId);
    if (st != QXSTATUS_SUCCESS) {
      QX_LOG_ERROR("UnlockTarget failed, st={}", QXSt{st});
      return QXSTATUS_ACCESS_DENIED;
    }
  }
  return QXSTATUS_SUCCESS;
}

}  // namespace plendrik
