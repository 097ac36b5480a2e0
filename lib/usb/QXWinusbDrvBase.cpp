#include "usb/QXWinusbDrvBase.h"

#include "diag/QXLog.h"
#include "usb/QXWinusbDrvApi.h"

namespace plendrik {

namespace {
constexpr int32_t kDeviceDescriptorTimeoutMs = 1000;
constexpr int32_t kCancelWaitMs = 1000;
}  // namespace

QXWinusbDrvBase::~QXWinusbDrvBase() { DestroyWinUsbBase(); }

uint32_t QXWinusbDrvBase::InitWinUsbBase() {
  const uint32_t err = mOverlapped.InitOverlapped();
  if (err != 0) {
    QX_LOG_ERROR("InitOverlapped failed, st={}", QXSt{err});
  }
  return err;
}

void QXWinusbDrvBase::DestroyWinUsbBase() {
  if (QXOsIsValidHandle(mWinUsbHandle)) {
    const uint32_t err = QXGetWinusbDrvApi().WinUsbFree(mWinUsbHandle);
    if (err != 0) {
      QX_LOG_ERROR("WinUsb_Free failed, st={}", QXSt{err});
    }
  }
  mWinUsbHandle = QXOsInvalidHandle();
  mOverlapped.CloseEvent();
  mOverlapped.ZeroOverlapped();
}

QXSTATUS QXWinusbDrvBase::MapUsbStatusToQXSTATUS(uint32_t winUsbStatus) {
  if (winUsbStatus == kQXErrorSemTimeout || winUsbStatus == kQXErrorTimeout) {
    const QXSTATUS st = QXSTATUS_TIMEOUT;
    QX_LOG_WARN("winUsbStatus={} --> st={}", QXSt{winUsbStatus}, QXSt{st});
    return st;
  }
  return winUsbStatus;
}

QXSTATUS QXWinusbDrvBase::GetDescriptor(QXUsbBuffer buffer, uint8_t descriptorType, uint8_t index, uint16_t languageId,
                                        uint32_t* transferred) {
  if (descriptorType == 1) {
    return GetDeviceDescriptorImpl(buffer, transferred, kDeviceDescriptorTimeoutMs);
  }
  uint32_t count = 0;
  const uint32_t err = QXGetWinusbDrvApi().WinUsbGetDescriptor(
      mWinUsbHandle, descriptorType, index, languageId, static_cast<uint8_t*>(buffer.data), buffer.length, count);
  if (err != 0) {
    QX_LOG_ERROR("WinUsb_GetDescriptor failed, st={}", QXSt{err});
    return MapUsbStatusToQXSTATUS(err);
  }
  if (transferred != nullptr) {
    *transferred = count;
  }
  return QXSTATUS_SUCCESS;
}

void QXWinusbDrvBase::SubmitControlRequest(const QXUsbSetupPacket& setup, QXUsbBuffer buffer) {
  mOverlapped.mStatus = 0;
  mOverlapped.mTransferred = 0;
  uint32_t count = 0;
  const uint32_t err = QXGetWinusbDrvApi().WinUsbControlTransfer(mWinUsbHandle, setup, static_cast<uint8_t*>(buffer.data),
                                                                 buffer.length, count, mOverlapped);
  if (err == 0) {
    mOverlapped.mStatus = 0;
    mOverlapped.mTransferred = count;
    return;
  }
  if (err != kQXErrorIoPending) {
    QX_LOG_ERROR("WinUsbControlTransfer failed, st={}", QXSt{err});
  }
  mOverlapped.mStatus = err;
}

void QXWinusbDrvBase::WaitForControlRequestCompletion(QXOsHandle deviceWinUsbHandle, int32_t timeoutMs) {
  if (mOverlapped.mStatus != kQXErrorIoPending) {
    return;
  }
  QXWinusbDrvApi& api = QXGetWinusbDrvApi();
  const uint32_t waitResult = api.WaitForEvent(mOverlapped.EventHandle(), timeoutMs);
  if (waitResult == kQXErrorWaitTimeout) {
    return;
  }
  if (waitResult != 0) {
    QX_LOG_FATAL("WaitForCompletion failed, st={}", QXSt{waitResult});
    return;
  }
  uint32_t count = 0;
  const uint32_t err = api.WinUsbGetOverlappedResult(deviceWinUsbHandle, mOverlapped, count);
  mOverlapped.mStatus = err;
  mOverlapped.mTransferred = count;
}

QXSTATUS QXWinusbDrvBase::ControlRequest(const QXUsbSetupPacket& setup, QXUsbBuffer buffer, uint32_t* transferred,
                                         int32_t timeoutMs, QXOsHandle deviceWinUsbHandle,
                                         QXOsHandle deviceFileHandle) {
  QXOsLockGuard lock(mRequestLock);
  SubmitControlRequest(setup, buffer);
  WaitForControlRequestCompletion(deviceWinUsbHandle, timeoutMs);
  QXSTATUS result = mOverlapped.mStatus;
  if (mOverlapped.mStatus == kQXErrorIoPending) {
    // The request is still owned by the system: cancel it and wait until it has really
    // ended, so that the record and the caller's buffer are never released while in use.
    for (;;) {
      QXGetWinusbDrvApi().CancelOverlappedIo(deviceFileHandle, mOverlapped);
      WaitForControlRequestCompletion(deviceWinUsbHandle, kCancelWaitMs);
      if (mOverlapped.mStatus != kQXErrorIoPending) {
        result = QXSTATUS_TIMEOUT;
        break;
      }
      QX_LOG_ERROR("TIMED OUT after CancelOverlapped. Trying again.");
    }
  }
  if (transferred != nullptr) {
    *transferred = result == 0 ? mOverlapped.mTransferred : 0;
  }
  return MapUsbStatusToQXSTATUS(result);
}

}  // namespace plendrik
