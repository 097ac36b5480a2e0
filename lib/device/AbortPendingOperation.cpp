// Stops a running worker at its next checkpoint and joins it.
#include "device/DfuDevice.h"

namespace plendrik {

QXSTATUS DfuDevice::AbortPendingOperation() {
  // Whether the worker had ended on its own before this stop request. Its thread may still be
  // on its way out after it published the upgrade's end, which a caller may already have read:
  // an upgrade that had failed keeps its own status, never "aborted".
  bool endedBefore = mWorker.GetThreadState() == QXOsWorkerThread::kThreadEnded;
  {
    QXOsLockGuard statusLock(mStatusLock);
    endedBefore = endedBefore || mUpgradeState == QXDFU_UPGRADE_STATE_FINISHED ||
                  mUpgradeState == QXDFU_UPGRADE_STATE_FAILED;
  }
  mWorker.RequestStop();
  if (!mWorker.HasThread()) {
    return QXSTATUS_SUCCESS;
  }
  mWorker.JoinAndDestroy();
  const QXSTATUS result = mWorker.GetResult();
  if (result == QXSTATUS_SUCCESS) {
    return QXSTATUS_SUCCESS;
  }
  // An upgrade that the stop request cut short is aborted, whatever its last request
  // answered (a request in flight may have run into its time-out meanwhile).
  if (result == QXSTATUS_ABORTED || !endedBefore) {
    return QXSTATUS_ABORTED;
  }
  return result;
}

}  // namespace plendrik
