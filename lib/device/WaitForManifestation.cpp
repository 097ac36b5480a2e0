// Following the device through manifestation, from the status request after the closing
// block until the device has the image: it reports dfuIDLE (manifestation tolerant), or it
// leaves the bus to start its new firmware, or it reports dfuMANIFEST_WAIT_RESET and gets
// the USB reset it waits for. DFU_ABORT is never sent here: a stop request does not undo a
// manifestation, so the device is followed to its end.
#include "device/DfuDevice.h"
#include "device/DfuPollWait.h"
#include "device/DfuSessionProtocol.h"
#include "diag/QXLog.h"

namespace plendrik {

QXSTATUS DfuDevice::WaitForManifestation(uint16_t blockNumber) {
  // A device that is not manifestation tolerant may reset itself at any point after it took
  // the closing block, even while it answers a status request.
  const bool mayLeave = !mDevicePort->IsManifestationTolerant();
  uint8_t record[kQXDfuStatusRecordSize] = {};
  QXSTATUS st = mDevicePort->DfuGetStatus(record);
  if (st != QXSTATUS_SUCCESS) {
    if (mayLeave && DeviceLeavesBus()) {
      return ManifestationLeftBus();
    }
    QX_LOG_ERROR("DfuGetStatus(after zero-length DfuDnload, block={}) failed, st={}", blockNumber, QXSt{st});
    return st;
  }
  uint32_t polls = 0;
  uint64_t waitedMs = 0;
  uint32_t syncAnswers = 0;
  bool stopSeen = false;
  for (;;) {
    const DfuGetStatusRecord status = DecodeDfuGetStatusRecord(record);
    if (!stopSeen && mWorker.IsStopRequested()) {
      stopSeen = true;
      QX_LOG_WARN("stop request during manifestation, block={}: following the device until it has the image",
                  blockNumber);
    }
    uint32_t waitMs = 0;
    switch (status.bState) {
      case kDfuStateDfuIdle:
        QX_LOG(gLogDfu, kQXLogLevelInfo, "Manifestation done");
        return QXSTATUS_SUCCESS;
      case kDfuStateManifestWaitReset:
        return ResetAfterManifestation();
      case kDfuStateManifestSync:
        if (++syncAnswers > kSyncAnswerLimit) {
          QX_LOG_ERROR("device seems to stuck in dfuMANIFEST_SYNC state");
          return QXSTATUS_INVALID_DEVICE_STATE;
        }
        waitMs = PollWaitTime(status.bwPollTimeout, false);
        break;
      case kDfuStateManifest:
        syncAnswers = 0;
        // A stop request does not extend the wait beyond the time budget.
        if ((stopSeen || polls >= mManifestationPollLimit) && waitedMs >= kManifestationBudgetMs) {
          QX_LOG_ERROR("timeout while waiting for manifestation to complete");
          return QXSTATUS_TIMEOUT;
        }
        waitMs = PollWaitTime(status.bwPollTimeout, true);
        ++polls;
        break;
      case kDfuStateError:
        QX_LOG_ERROR("device has enterred dfuERROR during manifestation, bStatus={:#X} ({})", status.bStatus,
                     DfuStatusText(status.bStatus));
        return QXSTATUS_DFU_STATUS_ERROR | status.bStatus;
      default:
        QX_LOG_ERROR("invalid device state {:#X} ({}) during manifestation", status.bState,
                     DfuStateText(status.bState));
        return QXSTATUS_INVALID_DEVICE_STATE;
    }
    // The whole wait, even after a stop request: an early poll may be refused by a device
    // that is writing its flash.
    PollWait(waitMs, false);
    waitedMs += waitMs;
    st = mDevicePort->DfuGetStatus(record);
    if (st != QXSTATUS_SUCCESS) {
      if (mayLeave && DeviceLeavesBus()) {
        return ManifestationLeftBus();
      }
      QX_LOG_ERROR("DfuGetStatus(in state dfuMANIFEST_SYNC) failed, st={}", QXSt{st});
      return st;
    }
  }
}

bool DfuDevice::DeviceLeavesBus() {
  for (uint32_t waitedMs = 0;; waitedMs += kDeviceLeavePollMs) {
    if (!mDevicePort->IsDeviceConnected()) {
      return true;
    }
    if (waitedMs >= kDeviceLeaveGraceMs) {
      return false;
    }
    DfuPollSleep(kDeviceLeavePollMs);
  }
}

QXSTATUS DfuDevice::ManifestationLeftBus() {
  mLeftAfterUpgrade.store(true, std::memory_order_release);
  QX_LOG(gLogDfu, kQXLogLevelInfo,
         "Manifestation done, the device left the bus to start its firmware (device is not manifestation tolerant)");
  return QXSTATUS_SUCCESS;
}

QXSTATUS DfuDevice::ResetAfterManifestation() {
  QX_LOG(gLogDfu, kQXLogLevelInfo, "Manifestation done, the device waits for a USB reset");
  const QXSTATUS st = mDevicePort->ResetDevice();
  if (st == QXSTATUS_SUCCESS) {
    mLeftAfterUpgrade.store(true, std::memory_order_release);
    QX_LOG(gLogDfu, kQXLogLevelInfo, "USB reset issued, the device starts its firmware");
    return QXSTATUS_SUCCESS;
  }
  if (st == QXSTATUS_NOT_SUPPORTED) {
    QX_LOG_ERROR(
        "the device holds the image and waits for a USB reset, which this platform cannot issue: unplug the device "
        "and plug it in again");
    return QXSTATUS_RESTART_REQUIRED;
  }
  // A device that resets itself meanwhile needs no reset from the host.
  if (DeviceLeavesBus()) {
    return ManifestationLeftBus();
  }
  QX_LOG_ERROR("ResetDevice failed, st={}", QXSt{st});
  return st;
}

}  // namespace plendrik
