// Progress of an upgrade, answered under the status lock only, so that it answers while the
// session lock is held by a call that waits for the worker.
#include "device/DfuDevice.h"
#include "device/DfuSessionProtocol.h"
#include "diag/QXLog.h"

namespace plendrik {

QXSTATUS DfuDevice::GetUpgradeStatus(uint32_t* upgradeState, uint64_t* currentBytes, uint64_t* totalBytes,
                                     QXSTATUS* completionStatus) {
  if (upgradeState == nullptr) {
    QX_LOG_ERROR("{} is nullptr", "upgradeState");
    return QXSTATUS_INVALID_PARAMETER;
  }
  const uint32_t runMode = mRunMode.load(std::memory_order_acquire);
  if (runMode != QXDFU_RUN_MODE_BOOTLOADER) {
    QX_LOG_ERROR("device not in bootloader mode, current run mode={}", DfuRunModeText(runMode));
    return QXSTATUS_WRONG_DEVICE_STATE;
  }
  QXOsLockGuard statusLock(mStatusLock);
  *upgradeState = mUpgradeState;
  if (currentBytes != nullptr) {
    *currentBytes = mCurrentBytes;
  }
  if (totalBytes != nullptr) {
    *totalBytes = mTotalBytes;
  }
  if (completionStatus != nullptr) {
    *completionStatus = mCompletionStatus;
  }
  return QXSTATUS_SUCCESS;
}

}  // namespace plendrik
