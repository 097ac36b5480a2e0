// The download: the image in blocks of at most 4096 bytes, each DFU_DNLOAD followed by
// DFU_GETSTATUS polling until the device has taken the block, then the closing zero-length
// block and the polling through manifestation. One buffer serves the whole download; the
// loops allocate nothing. The stop request is checked before each block and at the top of
// every polling pass.
#include <algorithm>
#include <memory>
#include <new>

#include "device/DfuDevice.h"
#include "device/DfuPollWait.h"
#include "device/DfuSessionProtocol.h"
#include "diag/QXLog.h"
#include "discovery/QXWinClockResolution.h"
#include "image/DfuImage.h"

namespace plendrik {

void DfuDevice::PollWait(uint32_t pollTimeoutMs) {
  if (pollTimeoutMs != 0) {
    DfuPollWaitFor(RoundUpMillisecsToClockResolution(pollTimeoutMs), &mWorker);
  }
}

QXSTATUS DfuDevice::DoDownload() {
  DfuImageBase& image = *mImage->GetImplementation();
  const uint64_t total = image.GetImageDataSize();
  const uint32_t blockSize = std::min(mDevicePort->GetTransferSize(), kMaxBlockSize);
  std::unique_ptr<uint8_t[]> buffer;
  if (blockSize != 0) {
    buffer.reset(new (std::nothrow) uint8_t[blockSize]);
    if (!buffer) {
      QX_LOG_ERROR("AllocateBuffer({} bytes}} failed, st={}", blockSize, QXSt{QXSTATUS_NO_MEMORY});
      return QXSTATUS_NO_MEMORY;
    }
  } else if (total != 0) {
    // Empty data blocks would read as the end of the download to the device.
    QX_LOG_ERROR("device reports wTransferSize 0, no data can be downloaded");
    return QXSTATUS_INVALID_DEVICE_CONFIG;
  }
  QX_LOG(gLogDfu, kQXLogLevelInfo, "Downloading {} bytes in blocks of {} bytes", total, blockSize);

  uint8_t record[kQXDfuStatusRecordSize] = {};
  uint64_t remaining = total;
  uint64_t readPosition = 0;
  uint16_t blockNumber = 0;
  QXSTATUS st = QXSTATUS_SUCCESS;
  while (remaining > 0) {
    if (mWorker.IsStopRequested()) {
      QX_LOG_WARN("aborting download, current block={}", blockNumber);
      AbortOnStopRequest();
      return QXSTATUS_ABORTED;
    }
    uint64_t n = 0;
    st = image.ReadFromImage(QXMutableBuffer(buffer.get(), blockSize), readPosition, n);
    if (st != QXSTATUS_SUCCESS) {
      QX_LOG_ERROR("ReadFromImage(block={}) failed, st={}", blockNumber, QXSt{st});
      return st;
    }
    QX_LOG(gLogDfu, kQXLogLevelTrace, "Downloading data block {} ({} bytes)", blockNumber, n);
    st = mDevicePort->DfuDnload(QXDfuBlock{buffer.get(), n}, blockNumber);
    if (st != QXSTATUS_SUCCESS) {
      QX_LOG_ERROR("DfuDnload(data block={}) failed, st={}", blockNumber, QXSt{st});
      return st;
    }
    st = mDevicePort->DfuGetStatus(record);
    if (st != QXSTATUS_SUCCESS) {
      QX_LOG_ERROR("DfuGetStatus(after DfuDnload, block={}) failed, st={}", blockNumber, QXSt{st});
      return st;
    }
    st = WaitForBlockAcknowledged(blockNumber, record);
    if (st != QXSTATUS_SUCCESS) {
      return st;
    }
    remaining -= n;
    readPosition += n;
    {
      QXOsLockGuard statusLock(mStatusLock);
      mCurrentBytes = readPosition;
    }
    ++blockNumber;
  }

  QX_LOG(gLogDfu, kQXLogLevelInfo, "Finish downloading and enter manifestation");
  st = mDevicePort->DfuDnload(QXDfuBlock{nullptr, 0}, blockNumber);
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("DfuDnload(zero-length block={}) failed, st={}", blockNumber, QXSt{st});
    return st;
  }
  st = mDevicePort->DfuGetStatus(record);
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("DfuGetStatus(after zero-length DfuDnload, block={}) failed, st={}", blockNumber, QXSt{st});
    return st;
  }
  return WaitForManifestation(blockNumber, record);
}

QXSTATUS DfuDevice::WaitForBlockAcknowledged(uint16_t blockNumber,
                                             const uint8_t (&firstRecord)[kQXDfuStatusRecordSize]) {
  uint8_t record[kQXDfuStatusRecordSize];
  std::copy(std::begin(firstRecord), std::end(firstRecord), record);
  uint32_t polls = mDownloadPollLimit;
  for (DfuGetStatusRecord status = DecodeDfuGetStatusRecord(record); status.bState != kDfuStateDnloadIdle;
       status = DecodeDfuGetStatusRecord(record)) {
    if (mWorker.IsStopRequested()) {
      QX_LOG_WARN("aborting download sync., current block={}", blockNumber);
      AbortOnStopRequest();
      return QXSTATUS_ABORTED;
    }
    switch (status.bState) {
      case kDfuStateDnloadSync:
        break;
      case kDfuStateDnBusy:
        if (polls == 0) {
          QX_LOG_ERROR("timeout while processing data block {}", blockNumber);
          return QXSTATUS_TIMEOUT;
        }
        PollWait(status.bwPollTimeout);
        --polls;
        if (mWorker.IsStopRequested()) {  // the wait was cut short
          QX_LOG_WARN("aborting download sync., current block={}", blockNumber);
          AbortOnStopRequest();
          return QXSTATUS_ABORTED;
        }
        break;
      case kDfuStateError:
        QX_LOG_ERROR("device has enterred dfuERROR after data block {}, bStatus={:#X} ({})", blockNumber,
                     status.bStatus, DfuStatusText(status.bStatus));
        return QXSTATUS_DFU_STATUS_ERROR | status.bStatus;
      default:
        QX_LOG_ERROR("invalid device state {:#X} ({}) during download", status.bState,
                     DfuStateText(status.bState));
        return QXSTATUS_INVALID_DEVICE_STATE;
    }
    const QXSTATUS st = mDevicePort->DfuGetStatus(record);
    if (st != QXSTATUS_SUCCESS) {
      QX_LOG_ERROR("DfuGetStatus(in state dfuDNLOAD_SYNC, block={}) failed, st={}", blockNumber, QXSt{st});
      return st;
    }
    if (record[4] == kDfuStateDnloadSync) {
      QX_LOG_ERROR("device seems to stuck in dfuDNLOAD_SYNC state after data block {}", blockNumber);
      return QXSTATUS_INVALID_DEVICE_STATE;
    }
  }
  return QXSTATUS_SUCCESS;
}

QXSTATUS DfuDevice::WaitForManifestation(uint16_t blockNumber, const uint8_t (&firstRecord)[kQXDfuStatusRecordSize]) {
  uint8_t record[kQXDfuStatusRecordSize];
  std::copy(std::begin(firstRecord), std::end(firstRecord), record);
  uint32_t polls = mManifestationPollLimit;
  for (;;) {
    const DfuGetStatusRecord status = DecodeDfuGetStatusRecord(record);
    if (status.bState == kDfuStateDfuIdle) {
      QX_LOG(gLogDfu, kQXLogLevelInfo, "Manifestation done");
      return QXSTATUS_SUCCESS;
    }
    if (mWorker.IsStopRequested()) {
      QX_LOG_WARN("aborting download sync., current block={}", blockNumber);
      AbortOnStopRequest();
      return QXSTATUS_ABORTED;
    }
    switch (status.bState) {
      case kDfuStateManifestSync:
        break;
      case kDfuStateManifest:
        if (polls == 0) {
          QX_LOG_ERROR("timeout while waiting for manifestation to complete");
          return QXSTATUS_TIMEOUT;
        }
        PollWait(status.bwPollTimeout);
        --polls;
        if (mWorker.IsStopRequested()) {  // the wait was cut short: manifestation is not known to be done
          QX_LOG_WARN("aborting download sync., current block={}", blockNumber);
          AbortOnStopRequest();
          return QXSTATUS_ABORTED;
        }
        if (!mDevicePort->IsManifestationTolerant()) {
          // The device resets itself after manifesting and answers no further request.
          QX_LOG(gLogDfu, kQXLogLevelInfo,
                 "Manifestation done after poll timeout in dfuMANIFEST state (device is not manifestation tolerant)");
          return QXSTATUS_SUCCESS;
        }
        break;
      case kDfuStateManifestWaitReset:
        QX_LOG_ERROR("unexpected state dfuMANIFEST_WAIT_RESET during manifestation");
        return QXSTATUS_INVALID_DEVICE_STATE;
      case kDfuStateError:
        QX_LOG_ERROR("device has enterred dfuERROR during manifestation, bStatus={:#X} ({})", status.bStatus,
                     DfuStatusText(status.bStatus));
        return QXSTATUS_DFU_STATUS_ERROR | status.bStatus;
      default:
        QX_LOG_ERROR("invalid device state {:#X} ({}) during manifestation", status.bState,
                     DfuStateText(status.bState));
        return QXSTATUS_INVALID_DEVICE_STATE;
    }
    const QXSTATUS st = mDevicePort->DfuGetStatus(record);
    if (st != QXSTATUS_SUCCESS) {
      QX_LOG_ERROR("DfuGetStatus(in state dfuMANIFEST_SYNC) failed, st={}", QXSt{st});
      return st;
    }
    if (record[4] == kDfuStateManifestSync) {
      QX_LOG_ERROR("device seems to stuck in dfuMANIFEST_SYNC state");
      return QXSTATUS_INVALID_DEVICE_STATE;
    }
  }
}

}  // namespace plendrik
