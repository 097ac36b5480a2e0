// Starting an upgrade and the worker's routine around its two phases: preparing the device
// (PrepareForUpgrade) and the download with manifestation (DoDownload).
#include "device/DfuDevice.h"
#include "device/DfuSessionProtocol.h"
#include "diag/QXLog.h"
#include "image/DfuImage.h"

namespace plendrik {

QXSTATUS DfuDevice::StartUpgrade(const QXIntrusiveSharedPtrT<DfuImage>& image, uint32_t targetId, uint32_t flags) {
  if (targetId > kMaxTargetId) {
    QX_LOG_ERROR("targetId {} exceeds max. {}", targetId, kMaxTargetId);
    return QXSTATUS_INVALID_PARAMETER;
  }
  if ((flags & ~(QXDFU_UPGRADE_FLAG_USE_XMOS_DFU_EXTENSIONS | QXDFU_UPGRADE_FLAG_UNLOCK_TARGET)) != 0) {
    QX_LOG_ERROR("unsupported flags are specified, flags={}", flags);
    return QXSTATUS_INVALID_PARAMETER;
  }
  // Only a loaded image has bytes to send; the API hands in images from its table, which are.
  DfuImageBase* const implementation = image ? image->GetImplementation() : nullptr;
  if (implementation == nullptr) {
    QX_LOG_ERROR("no valid image");
    return QXSTATUS_INVALID_PARAMETER;
  }
  QXOsLockGuard lock(mSessionLock);
  QXSTATUS st = CheckSessionUsable();
  if (st != QXSTATUS_SUCCESS) {
    return st;
  }
  const uint32_t runMode = mRunMode.load(std::memory_order_acquire);
  if (runMode != QXDFU_RUN_MODE_BOOTLOADER) {
    QX_LOG_ERROR("device not in bootloader mode, current run mode={}", DfuRunModeText(runMode));
    return QXSTATUS_WRONG_DEVICE_STATE;
  }
  {
    QXOsLockGuard statusLock(mStatusLock);
    if (mUpgradeState != QXDFU_UPGRADE_STATE_IDLE) {
      QX_LOG_ERROR("an operation is in progress");
      return QXSTATUS_NOT_ALLOWED;
    }
  }
  if (!mDevicePort->IsDownloadCapable()) {
    QX_LOG_ERROR("device is not download cabable");
    return QXSTATUS_NOT_SUPPORTED;
  }
  // A block size of 0 would make every data block an empty DFU_DNLOAD, which the device takes
  // as the end of the download: it would manifest whatever it has. Refused before any request.
  if (mDevicePort->GetTransferSize() == 0) {
    QX_LOG_ERROR("device reports wTransferSize 0, no data can be downloaded");
    return QXSTATUS_INVALID_DEVICE_CONFIG;
  }
  mImage = image;
  mLeftAfterUpgrade.store(false, std::memory_order_release);
  mPollCeilingWarned = false;
  mTargetId = static_cast<uint8_t>(targetId);
  mUpgradeFlags = flags;
  {
    QXOsLockGuard statusLock(mStatusLock);
    SetUpgradeStateImpl(QXDFU_UPGRADE_STATE_INITIALIZING);
    mCurrentBytes = 0;
    mTotalBytes = implementation->GetImageDataSize();
    mCompletionStatus = QXSTATUS_SUCCESS;
  }
  QX_LOG(gLogDfu, kQXLogLevelInfo, "Start upgrade operation for target {}", targetId);
  st = mWorker.CreateThread(&DfuDevice::ThreadRoutine, this);
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("CreateThread failed, st={}", QXSt{st});
    SetUpgradeState(QXDFU_UPGRADE_STATE_FAILED, st);
    return st;
  }
  return QXSTATUS_SUCCESS;
}

QXSTATUS DfuDevice::ThreadRoutine(void* context) {
  auto* self = static_cast<DfuDevice*>(context);
  const QXSTATUS st = self->UpgradeOperation();
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("UpgradeOperation failed, st={}", QXSt{st});
    self->SetUpgradeState(QXDFU_UPGRADE_STATE_FAILED, st);
  } else {
    self->SetUpgradeState(QXDFU_UPGRADE_STATE_FINISHED, QXSTATUS_SUCCESS);
  }
  return st;
}

QXSTATUS DfuDevice::UpgradeOperation() {
  if (mWorker.IsStopRequested()) {
    QX_LOG_WARN("aborting initialization");
    // Nothing was sent yet: the device is in whatever state an earlier host left it in, and
    // gets DFU_ABORT only in a state that takes it.
    uint8_t state = kDfuStateAppIdle;
    if (mDevicePort->DfuGetState(state) == QXSTATUS_SUCCESS &&
        (state == kDfuStateDfuIdle || state == kDfuStateDnloadIdle || state == kDfuStateUploadIdle)) {
      AbortOnStopRequest();
    }
    return QXSTATUS_ABORTED;
  }
  QXSTATUS st = PrepareForUpgrade();
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("PrepareForUpgrade failed, st={}", QXSt{st});
    return st;
  }
  SetUpgradeState(QXDFU_UPGRADE_STATE_IN_PROGRESS, QXSTATUS_SUCCESS);
  st = DoDownload();
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("DoDownload failed, st={}", QXSt{st});
    return st;
  }
  return QXSTATUS_SUCCESS;
}

// Called only where the device is in dfuIDLE or dfuDNLOAD_IDLE: DFU 1.1 devices stall
// DFU_ABORT in the busy, sync and manifestation states and enter dfuERROR.
void DfuDevice::AbortOnStopRequest() {
  const QXSTATUS st = mDevicePort->DfuAbort();
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("DfuAbort failed, st={}", QXSt{st});
  }
}

void DfuDevice::SetUpgradeStateImpl(uint32_t newState) {
  if (newState == mUpgradeState) {
    return;
  }
  QX_LOG(gLogDfu, kQXLogLevelDetail, "{} --> {}", DfuUpgradeStateText(mUpgradeState), DfuUpgradeStateText(newState));
  mUpgradeState = newState;
}

void DfuDevice::SetUpgradeState(uint32_t newState, QXSTATUS completionStatus) {
  QXOsLockGuard statusLock(mStatusLock);
  SetUpgradeStateImpl(newState);
  mCompletionStatus = completionStatus;
}

}  // namespace plendrik
