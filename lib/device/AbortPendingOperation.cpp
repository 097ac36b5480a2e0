// Stops a running worker at its next checkpoint and joins it.
#include "device/DfuDevice.h"

namespace plendrik {

QXSTATUS DfuDevice::AbortPendingOperation() {
  mWorker.RequestStop();
  if (!mWorker.HasThread()) {
    return QXSTATUS_SUCCESS;
  }
  mWorker.JoinAndDestroy();
  // Only a stopped worker is reported here; how an upgrade failed otherwise is in its
  // completion status.
  return mWorker.GetResult() == QXSTATUS_ABORTED ? QXSTATUS_ABORTED : QXSTATUS_SUCCESS;
}

}  // namespace plendrik
