// The download: the image in blocks of at most 4096 bytes, each DFU_DNLOAD followed by
// DFU_GETSTATUS polling until the device has taken the block, then the closing zero-length
// block and the polling through manifestation (WaitForManifestation.cpp). One buffer serves
// the whole download; the loops allocate nothing.
//
// A stop request is taken before each block and before the closing block, where the device
// is idle and DFU_ABORT is allowed. One that comes while the device writes a block lets the
// device finish the block first (for a bounded time), since DFU 1.1 devices refuse DFU_ABORT
// in dfuDNLOAD_SYNC and dfuDNBUSY.
#include <algorithm>
#include <memory>
#include <new>

#include "device/DfuDevice.h"
#include "device/DfuPollWait.h"
#include "device/DfuSessionProtocol.h"
#include "device/QXSha256.h"
#include "diag/QXLog.h"
#include "discovery/QXWinClockResolution.h"
#include "image/DfuImage.h"
#include "usb/QXSessionRecorderHook.h"

namespace plendrik {

namespace {

// Tells a running session recording which image this download sends (its SHA-256 and size);
// only then is the image read an extra time.
void ReportImageToRecorder(DfuImageBase& image, uint64_t total) {
  QXSessionRecorderHook* recorder = QXGetActiveSessionRecorder();
  if (recorder == nullptr) {
    return;
  }
  constexpr size_t kChunk = 64 * 1024;
  std::unique_ptr<uint8_t[]> chunk(new (std::nothrow) uint8_t[kChunk]);
  if (!chunk) {
    QX_LOG_WARN("no memory to hash the image for the session recording");
    return;
  }
  QXSha256 sha;
  for (uint64_t position = 0; position < total;) {
    uint64_t n = 0;
    if (image.ReadFromImage(QXMutableBuffer(chunk.get(), kChunk), position, n) != QXSTATUS_SUCCESS || n == 0) {
      QX_LOG_WARN("reading the image for the session recording failed at byte {}", position);
      return;
    }
    sha.Input(chunk.get(), static_cast<size_t>(n));
    position += n;
  }
  uint8_t digest[kQXSha256HashSize];
  sha.Result(digest);
  recorder->OnImageDownloadStart(digest, total);
}

}  // namespace

uint32_t DfuDevice::PollWaitTime(uint32_t bwPollTimeout, bool busy) {
  uint32_t waitMs = bwPollTimeout;
  if (waitMs > kPollTimeoutCeilingMs) {
    if (!mPollCeilingWarned) {
      mPollCeilingWarned = true;
      QX_LOG_WARN("bwPollTimeout {} ms exceeds the ceiling of {} ms, waiting {} ms per poll", bwPollTimeout,
                  kPollTimeoutCeilingMs, kPollTimeoutCeilingMs);
    }
    waitMs = kPollTimeoutCeilingMs;
  }
  if (waitMs == 0 && busy) {
    waitMs = kMinBusyPollWaitMs;
  }
  return waitMs == 0 ? 0 : RoundUpMillisecsToClockResolution(waitMs);
}

void DfuDevice::PollWait(uint32_t waitMs, bool stopCutsShort) {
  if (waitMs != 0) {
    DfuPollWaitFor(waitMs, stopCutsShort ? &mWorker : nullptr);
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
  ReportImageToRecorder(image, total);

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

  // The last chance to stop without the device taking the image: once it has the closing
  // block it manifests, and a stop no longer undoes that.
  if (mWorker.IsStopRequested()) {
    QX_LOG_WARN("aborting download, current block={}", blockNumber);
    AbortOnStopRequest();
    return QXSTATUS_ABORTED;
  }
  QX_LOG(gLogDfu, kQXLogLevelInfo, "Finish downloading and enter manifestation");
  st = mDevicePort->DfuDnload(QXDfuBlock{nullptr, 0}, blockNumber);
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("DfuDnload(zero-length block={}) failed, st={}", blockNumber, QXSt{st});
    return st;
  }
  return WaitForManifestation(blockNumber);
}

QXSTATUS DfuDevice::WaitForBlockAcknowledged(uint16_t blockNumber,
                                             const uint8_t (&firstRecord)[kQXDfuStatusRecordSize]) {
  uint8_t record[kQXDfuStatusRecordSize];
  std::copy(std::begin(firstRecord), std::end(firstRecord), record);
  uint32_t polls = 0;
  uint64_t waitedMs = 0;
  uint32_t syncAnswers = 0;
  // Once a stop is requested the device still gets the time to take the block, so that it
  // reaches dfuDNLOAD_IDLE, where DFU_ABORT is allowed.
  bool stopping = false;
  uint64_t settledMs = 0;
  for (DfuGetStatusRecord status = DecodeDfuGetStatusRecord(record); status.bState != kDfuStateDnloadIdle;
       status = DecodeDfuGetStatusRecord(record)) {
    if (!stopping && mWorker.IsStopRequested()) {
      stopping = true;
      QX_LOG_WARN("aborting download sync., current block={}", blockNumber);
    }
    uint32_t waitMs = 0;
    switch (status.bState) {
      case kDfuStateDnloadSync:
        // A device may report the state it was in when the request arrived, so a few sync
        // answers in a row (also after a busy wait) are normal.
        if (++syncAnswers > kSyncAnswerLimit) {
          QX_LOG_ERROR("device seems to stuck in dfuDNLOAD_SYNC state after data block {}", blockNumber);
          return QXSTATUS_INVALID_DEVICE_STATE;
        }
        waitMs = PollWaitTime(status.bwPollTimeout, false);
        break;
      case kDfuStateDnBusy:
        syncAnswers = 0;
        if (!stopping && polls >= mDownloadPollLimit && waitedMs >= kBlockBusyBudgetMs) {
          QX_LOG_ERROR("timeout while processing data block {}", blockNumber);
          return QXSTATUS_TIMEOUT;
        }
        waitMs = PollWaitTime(status.bwPollTimeout, true);
        ++polls;
        break;
      case kDfuStateError:
        QX_LOG_ERROR("device has enterred dfuERROR after data block {}, bStatus={:#X} ({})", blockNumber,
                     status.bStatus, DfuStatusText(status.bStatus));
        return QXSTATUS_DFU_STATUS_ERROR | status.bStatus;
      default:
        QX_LOG_ERROR("invalid device state {:#X} ({}) during download", status.bState, DfuStateText(status.bState));
        return QXSTATUS_INVALID_DEVICE_STATE;
    }
    if (!stopping) {
      PollWait(waitMs, true);
      waitedMs += waitMs;
      if (mWorker.IsStopRequested()) {
        // The wait was cut short: the device asked for the whole of it before the next poll.
        stopping = true;
        QX_LOG_WARN("aborting download sync., current block={}", blockNumber);
      }
    }
    if (stopping) {
      if (settledMs >= kStopSettleBudgetMs) {
        QX_LOG_WARN("device still busy with data block {}, DFU_ABORT not sent", blockNumber);
        return QXSTATUS_ABORTED;
      }
      waitMs = static_cast<uint32_t>(std::min<uint64_t>(waitMs, kStopSettleBudgetMs - settledMs));
      PollWait(waitMs, false);
      settledMs += std::max<uint32_t>(waitMs, 1);
    }
    const QXSTATUS st = mDevicePort->DfuGetStatus(record);
    if (st != QXSTATUS_SUCCESS) {
      QX_LOG_ERROR("DfuGetStatus(in state dfuDNLOAD_SYNC, block={}) failed, st={}", blockNumber, QXSt{st});
      return st;
    }
  }
  if (stopping) {
    AbortOnStopRequest();
    return QXSTATUS_ABORTED;
  }
  return QXSTATUS_SUCCESS;
}

}  // namespace plendrik
