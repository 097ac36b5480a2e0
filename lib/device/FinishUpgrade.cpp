// Ends an upgrade in any state: stops and joins the worker, releases the image and returns
// the session to Idle.
#include "device/DfuDevice.h"
#include "diag/QXLog.h"
#include "image/DfuImage.h"

namespace plendrik {

QXSTATUS DfuDevice::FinishUpgrade(uint32_t flags) {
  if (flags != 0) {
    QX_LOG_ERROR("invalid parameter: flags={}", flags);
    return QXSTATUS_INVALID_PARAMETER;
  }
  QXOsLockGuard lock(mSessionLock);
  const QXSTATUS usable = CheckSessionUsable();
  if (usable != QXSTATUS_SUCCESS) {
    return usable;
  }
  QXSTATUS st = AbortPendingOperation();
  if (st == QXSTATUS_ABORTED) {
    QX_LOG(gLogDfu, kQXLogLevelInfo, "operation was aborted");
  }
  mImage.Reset();
  {
    QXOsLockGuard statusLock(mStatusLock);
    // A failed upgrade is never finished with success, also when its worker could not even
    // be started.
    if (st == QXSTATUS_SUCCESS && mUpgradeState == QXDFU_UPGRADE_STATE_FAILED) {
      st = mCompletionStatus != QXSTATUS_SUCCESS ? mCompletionStatus : QXSTATUS_FAILED;
    }
    SetUpgradeStateImpl(QXDFU_UPGRADE_STATE_IDLE);
    mTotalBytes = 0;
    mCurrentBytes = 0;
    mCompletionStatus = QXSTATUS_SUCCESS;
  }
  return st;
}

}  // namespace plendrik
