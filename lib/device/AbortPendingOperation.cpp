// Stops a running worker at its next checkpoint and joins it.
#include "device/DfuDevice.h"

namespace plendrik {

QXSTATUS DfuDevice::AbortPendingOperation() {
  // Whether the worker had ended on its own before this stop request.
  const bool endedBefore = mWorker.GetThreadState() == QXOsWorkerThread::kThreadEnded;
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
