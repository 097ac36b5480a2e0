// The common part of the WinUSB device and interface objects: one WinUSB handle, one
// overlapped record and the request lock that lets one control request at a time run on
// the object, with the library's own time-out and cancellation.
#pragma once

#include <cstdint>

#include "os/QXOsMutex.h"
#include "os/QXOsTypes.h"
#include "usb/QXOsHandle.h"
#include "usb/QXUsbTypes.h"
#include "usb/QXWinOverlapped.h"

namespace plendrik {

class QXWinusbDrvBase {
 public:
  QXWinusbDrvBase() = default;
  virtual ~QXWinusbDrvBase();
  QXWinusbDrvBase(const QXWinusbDrvBase&) = delete;
  QXWinusbDrvBase& operator=(const QXWinusbDrvBase&) = delete;

  // Reads the device descriptor with a control request.
  virtual QXSTATUS GetDeviceDescriptorImpl(QXUsbBuffer buffer, uint32_t* transferred, int32_t timeoutMs) = 0;

  // Zeroes the overlapped record and creates its event; 0 or the system error number.
  uint32_t InitWinUsbBase();
  // Frees the WinUSB handle (when valid), closes the event, zeroes the record. A request in
  // flight on another thread is cancelled and waited for first.
  void DestroyWinUsbBase();

  // Reads a descriptor: type 1 through GetDeviceDescriptorImpl, the configuration descriptor
  // from WinUSB's copy (WinUsb_GetDescriptor), the others (strings) with a GET_DESCRIPTOR
  // control request bounded by the library's own time-out (DescriptorRequestImpl).
  QXSTATUS GetDescriptor(QXUsbBuffer buffer, uint8_t descriptorType, uint8_t index, uint16_t languageId,
                         uint32_t* transferred);

  // 121 and 1460 become QXSTATUS_TIMEOUT; every other number is returned unchanged.
  static QXSTATUS MapUsbStatusToQXSTATUS(uint32_t winUsbStatus);

  QXOsHandle GetWinUsbHandle() const { return mWinUsbHandle; }

  // The time-out of every descriptor read.
  static constexpr int32_t kDescriptorTimeoutMs = 1000;

 protected:
  // A standard device-to-host request (a descriptor read) with the control request steps.
  virtual QXSTATUS DescriptorRequestImpl(const QXUsbSetupPacket& setup, QXUsbBuffer buffer, uint32_t* transferred,
                                         int32_t timeoutMs) = 0;

  // Submit, wait, cancel on time-out: the steps of every control request of this object.
  // GetOverlappedResult and the cancellation use the device's WinUSB handle and file.
  QXSTATUS ControlRequest(const QXUsbSetupPacket& setup, QXUsbBuffer buffer, uint32_t* transferred, int32_t timeoutMs,
                          QXOsHandle deviceWinUsbHandle, QXOsHandle deviceFileHandle);

  // Teardown of the handle and record: cancels a request in flight, then holds the request
  // lock (so the request has ended) until EndTeardown. Requests submitted meanwhile are
  // cancelled at once.
  void BeginTeardown();
  void EndTeardown();

  QXOsHandle mWinUsbHandle = QXOsInvalidHandle();
  QXOsThreadMutex mRequestLock;
  QXWinOverlapped mOverlapped;

 private:
  void SubmitControlRequest(const QXUsbSetupPacket& setup, QXUsbBuffer buffer);
  // 0 when the status is final (or was never pending), kQXErrorWaitTimeout, or the error of
  // a wait that failed.
  uint32_t WaitForControlRequestCompletion(QXOsHandle deviceWinUsbHandle, int32_t timeoutMs);
  // After a failed wait: asks the system, without its event, until it has let go of the record.
  void AwaitReleaseWithoutEvent(QXOsHandle deviceWinUsbHandle, QXOsHandle deviceFileHandle);

  // Guards the three fields below: which request is in flight and whether teardown runs.
  QXOsThreadMutex mInFlightLock;
  bool mInFlight = false;
  QXOsHandle mInFlightFile = QXOsInvalidHandle();
  int mTeardownDepth = 0;
};

}  // namespace plendrik
