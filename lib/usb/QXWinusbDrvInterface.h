// One interface of an opened USB device: claimed, it owns a WinUSB handle (or borrows the
// device's for the first interface) and sends class and vendor requests to the interface.
#pragma once

#include <cstdint>

#include "usb/QXWinusbDrvBase.h"

namespace plendrik {

class QXWinusbDrvDevice;

class QXWinusbDrvInterface : public QXWinusbDrvBase {
 public:
  QXWinusbDrvInterface() = default;
  ~QXWinusbDrvInterface() override;

  QXSTATUS OpenUsbInterface(QXWinusbDrvDevice* device, uint32_t interfaceNumber);
  // Releases and unbinds the interface from its device.
  void CloseUsbInterface();
  QXSTATUS ClaimUsbInterface();
  void ReleaseUsbInterface();
  bool IsOpened() const { return mDevice != nullptr; }
  bool IsClaimed() const { return QXOsIsValidHandle(mWinUsbHandle); }
  uint8_t GetInterfaceNumber() const { return mInterfaceNumber; }

  QXSTATUS SetAlternateSetting(uint8_t alternateSetting);
  // A host-to-device request to this interface: bmRequestType ((requestType & 3) << 5) | 1.
  QXSTATUS ControlRequestSync(QXUsbBuffer buffer, uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
                              uint32_t* transferred, int32_t timeoutMs);
  // Any request on this interface's handle, with the same submit, wait and cancel steps.
  QXSTATUS ControlRequestSetup(const QXUsbSetupPacket& setup, QXUsbBuffer buffer, uint32_t* transferred,
                               int32_t timeoutMs);
  QXSTATUS GetDeviceDescriptorImpl(QXUsbBuffer buffer, uint32_t* transferred, int32_t timeoutMs) override;

 protected:
  // Descriptor reads of an interface go through its device's own handle.
  QXSTATUS DescriptorRequestImpl(const QXUsbSetupPacket& setup, QXUsbBuffer buffer, uint32_t* transferred,
                                 int32_t timeoutMs) override;

  QXWinusbDrvDevice* mDevice = nullptr;
  uint8_t mInterfaceNumber = 0;
};

}  // namespace plendrik
