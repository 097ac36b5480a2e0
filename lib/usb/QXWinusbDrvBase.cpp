#include "usb/QXWinusbDrvBase.h"

#include <chrono>
#include <thread>

#include "diag/QXLog.h"
#include "usb/QXWinusbDrvApi.h"

namespace plendrik {

namespace {
constexpr int32_t kCancelWaitMs = 1000;
constexpr auto kReleasePollInterval = std::chrono::milliseconds(10);
constexpr uint8_t kGetDescriptorRequest = 0x06;
constexpr uint8_t kConfigurationDescriptorType = 0x02;
}  // namespace

QXWinusbDrvBase::~QXWinusbDrvBase() { DestroyWinUsbBase(); }

uint32_t QXWinusbDrvBase::InitWinUsbBase() {
  const uint32_t err = mOverlapped.InitOverlapped();
  if (err != 0) {
    QX_LOG_ERROR("InitOverlapped failed, st={}", QXSt{err});
  }
  return err;
}

void QXWinusbDrvBase::BeginTeardown() {
  {
    QXOsLockGuard lock(mInFlightLock);
    ++mTeardownDepth;
    if (mInFlight) {
      // The requesting thread sees its request end as cancelled and leaves the request lock.
      QXGetWinusbDrvApi().CancelOverlappedIo(mInFlightFile, mOverlapped);
    }
  }
  mRequestLock.Lock();
}

void QXWinusbDrvBase::EndTeardown() {
  mRequestLock.Unlock();
  QXOsLockGuard lock(mInFlightLock);
  --mTeardownDepth;
}

void QXWinusbDrvBase::DestroyWinUsbBase() {
  BeginTeardown();
  if (QXOsIsValidHandle(mWinUsbHandle)) {
    const uint32_t err = QXGetWinusbDrvApi().WinUsbFree(mWinUsbHandle);
    if (err != 0) {
      QX_LOG_ERROR("WinUsb_Free failed, st={}", QXSt{err});
    }
  }
  mWinUsbHandle = QXOsInvalidHandle();
  mOverlapped.CloseEvent();
  mOverlapped.ZeroOverlapped();
  EndTeardown();
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
    return GetDeviceDescriptorImpl(buffer, transferred, kDescriptorTimeoutMs);
  }
  uint32_t count = 0;
  QXSTATUS st = QXSTATUS_SUCCESS;
  if (descriptorType == kConfigurationDescriptorType) {
    // WinUSB answers from the copy it made at WinUsb_Initialize, so this cannot hang; for a
    // function of a composite device the copy holds only the function's interfaces, which is
    // what the handle's interface numbering refers to. A raw GET_DESCRIPTOR would reach the
    // device and return its whole configuration.
    const uint32_t err = QXGetWinusbDrvApi().WinUsbGetDescriptor(
        mWinUsbHandle, descriptorType, index, languageId, static_cast<uint8_t*>(buffer.data), buffer.length, count);
    st = MapUsbStatusToQXSTATUS(err);
  } else {
    // Other descriptors (strings) come from the device. WinUSB's own call is synchronous and,
    // with the control pipe's time-out off, would never return from a device that does not
    // answer: the overlapped request is bounded by the library's time-out.
    QXUsbSetupPacket setup;
    setup.bmRequestType = 0x80;
    setup.bRequest = kGetDescriptorRequest;
    setup.wValue = static_cast<uint16_t>((descriptorType << 8) | index);
    setup.wIndex = languageId;
    setup.wLength = static_cast<uint16_t>(buffer.length > 0xFFFF ? 0xFFFF : buffer.length);
    buffer.length = setup.wLength;
    st = DescriptorRequestImpl(setup, buffer, &count, kDescriptorTimeoutMs);
  }
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("WinUsb_GetDescriptor failed, st={}", QXSt{st});
    if (transferred != nullptr) {
      *transferred = 0;
    }
    return st;
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

uint32_t QXWinusbDrvBase::WaitForControlRequestCompletion(QXOsHandle deviceWinUsbHandle, int32_t timeoutMs) {
  if (mOverlapped.mStatus != kQXErrorIoPending) {
    return 0;
  }
  QXWinusbDrvApi& api = QXGetWinusbDrvApi();
  const uint32_t waitResult = api.WaitForEvent(mOverlapped.EventHandle(), timeoutMs);
  if (waitResult == kQXErrorWaitTimeout) {
    return waitResult;
  }
  if (waitResult != 0) {
    QX_LOG_FATAL("WaitForCompletion failed, st={}", QXSt{waitResult});
    return waitResult;
  }
  uint32_t count = 0;
  const uint32_t err = api.WinUsbGetOverlappedResult(deviceWinUsbHandle, mOverlapped, count);
  mOverlapped.mStatus = err;
  mOverlapped.mTransferred = count;
  return 0;
}

void QXWinusbDrvBase::AwaitReleaseWithoutEvent(QXOsHandle deviceWinUsbHandle, QXOsHandle deviceFileHandle) {
  // The event cannot be waited on, so the transfer's end is polled: the record and the
  // caller's buffer stay untouched until the system reports the transfer over (or unknown).
  QXWinusbDrvApi& api = QXGetWinusbDrvApi();
  api.CancelOverlappedIo(deviceFileHandle, mOverlapped);
  for (;;) {
    uint32_t count = 0;
    const uint32_t err = api.WinUsbGetOverlappedResult(deviceWinUsbHandle, mOverlapped, count);
    if (err != kQXErrorIoIncomplete && err != kQXErrorIoPending) {
      return;
    }
    std::this_thread::sleep_for(kReleasePollInterval);
  }
}

QXSTATUS QXWinusbDrvBase::ControlRequest(const QXUsbSetupPacket& setup, QXUsbBuffer buffer, uint32_t* transferred,
                                         int32_t timeoutMs, QXOsHandle deviceWinUsbHandle,
                                         QXOsHandle deviceFileHandle) {
  QXOsLockGuard lock(mRequestLock);
  QXWinusbDrvApi& api = QXGetWinusbDrvApi();
  SubmitControlRequest(setup, buffer);
  if (mOverlapped.mStatus == kQXErrorIoPending) {
    QXOsLockGuard inFlight(mInFlightLock);
    mInFlight = true;
    mInFlightFile = deviceFileHandle;
    if (mTeardownDepth > 0) {
      // The object is being torn down: the request must not outlive the teardown's wait.
      api.CancelOverlappedIo(deviceFileHandle, mOverlapped);
    }
  }
  QXSTATUS result = 0;
  uint32_t waitResult = WaitForControlRequestCompletion(deviceWinUsbHandle, timeoutMs);
  if (waitResult != 0 && waitResult != kQXErrorWaitTimeout) {
    // A wait that fails says nothing about the transfer: it is not reported as pending or
    // done; the transfer is ended without the event before the record is given up.
    AwaitReleaseWithoutEvent(deviceWinUsbHandle, deviceFileHandle);
    result = waitResult;
  } else if (mOverlapped.mStatus == kQXErrorIoPending) {
    // The request is still owned by the system: cancel it and wait until it has really
    // ended, so that the record and the caller's buffer are never released while in use.
    result = QXSTATUS_TIMEOUT;
    for (;;) {
      api.CancelOverlappedIo(deviceFileHandle, mOverlapped);
      waitResult = WaitForControlRequestCompletion(deviceWinUsbHandle, kCancelWaitMs);
      if (waitResult != 0 && waitResult != kQXErrorWaitTimeout) {
        AwaitReleaseWithoutEvent(deviceWinUsbHandle, deviceFileHandle);
        break;
      }
      if (mOverlapped.mStatus != kQXErrorIoPending) {
        break;
      }
      QX_LOG_ERROR("TIMED OUT after CancelOverlapped. Trying again.");
    }
  } else {
    result = mOverlapped.mStatus;
  }
  {
    QXOsLockGuard inFlight(mInFlightLock);
    mInFlight = false;
    mInFlightFile = QXOsInvalidHandle();
  }
  if (transferred != nullptr) {
    *transferred = result == 0 ? mOverlapped.mTransferred : 0;
  }
  return MapUsbStatusToQXSTATUS(result);
}

}  // namespace plendrik
