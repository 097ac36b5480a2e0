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
  // Frees the WinUSB handle (when valid), closes the event, zeroes the record.
  void DestroyWinUsbBase();

  // Type 1 goes through GetDeviceDescriptorImpl (1000 ms); others through WinUSB's call.
  QXSTATUS GetDescriptor(QXUsbBuffer buffer, uint8_t descriptorType, uint8_t index, uint16_t languageId,
                         uint32_t* transferred);

  // 121 and 1460 become QXSTATUS_TIMEOUT; every other number is returned unchanged.
  static QXSTATUS MapUsbStatusToQXSTATUS(uint32_t winUsbStatus);

  QXOsHandle GetWinUsbHandle() const { return mWinUsbHandle; }

 protected:
  // Submit, wait, cancel on time-out: the steps of every control request of this object.
  // GetOverlappedResult and the cancellation use the device's WinUSB handle and file.
  QXSTATUS ControlRequest(const QXUsbSetupPacket& setup, QXUsbBuffer buffer, uint32_t* transferred, int32_t timeoutMs,
                          QXOsHandle deviceWinUsbHandle, QXOsHandle deviceFileHandle);

  QXOsHandle mWinUsbHandle = QXOsInvalidHandle();
  QXOsThreadMutex mRequestLock;
  QXWinOverlapped mOverlapped;

 private:
  void SubmitControlRequest(const QXUsbSetupPacket& setup, QXUsbBuffer buffer);
  void WaitForControlRequestCompletion(QXOsHandle deviceWinUsbHandle, int32_t timeoutMs);
};

}  // namespace plendrik
