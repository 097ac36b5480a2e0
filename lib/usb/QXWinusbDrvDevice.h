// An opened USB device: its device file, the WinUSB handle of its first interface, the
// cached first configuration descriptor and the hand-out of its interface handles.
#pragma once

#include <cstdint>
#include <vector>

#include "usb/QXUsbDeviceIdentity.h"
#include "usb/QXWinDeviceInterface.h"
#include "usb/QXWinusbDrvBase.h"

namespace plendrik {

class QXWinusbDrvDevice : public QXWinusbDrvBase {
 public:
  QXWinusbDrvDevice() = default;
  ~QXWinusbDrvDevice() override;

  QXSTATUS OpenUsbDevice(const QXWString& devicePath);
  void CloseUsbDevice();
  bool IsOpen() const { return mDeviceFile.IsOpen(); }

  // Hands out the WinUSB handle of an interface: the device's own for the first interface
  // (once), an associated interface handle for the others.
  QXSTATUS GetInterfaceHandleForInterface(uint32_t interfaceNumber, QXOsHandle& handle);
  // Gives the first interface back (an interface object releases it).
  void ReleaseFirstInterface();

  QXSTATUS QueryDeviceSpeed(uint8_t& speed);
  QXSTATUS GetDeviceDescriptorImpl(QXUsbBuffer buffer, uint32_t* transferred, int32_t timeoutMs) override;
  QXSTATUS CacheFirstConfigurationDescriptor();

  // Reads of the front layer.
  QXSTATUS GetLanguageIdListImpl(std::vector<uint16_t>& list);
  QXSTATUS GetRawStringDescriptorImpl(uint8_t index, uint16_t languageId, uint8_t* buffer, uint32_t length,
                                      uint32_t& transferred);

  // The control request steps on the device's own handle and record.
  QXSTATUS DeviceControlRequest(const QXUsbSetupPacket& setup, QXUsbBuffer buffer, uint32_t* transferred,
                                int32_t timeoutMs);

  const std::vector<uint8_t>& GetCachedConfigurationDescriptor() const { return mConfigDescriptor; }
  uint8_t GetFirstInterfaceNumber() const { return mFirstInterfaceNumber; }
  QXOsHandle GetDeviceFileHandle() const { return mDeviceFile.GetFileHandle(); }

  // The identity of the node the device was opened from (set by the opener after a
  // successful open, cleared by the close).
  void SetDeviceIdentity(const QXUsbDeviceIdentity& identity) { mIdentity = identity; }
  const QXUsbDeviceIdentity& GetDeviceIdentity() const { return mIdentity; }

 protected:
  QXSTATUS DescriptorRequestImpl(const QXUsbSetupPacket& setup, QXUsbBuffer buffer, uint32_t* transferred,
                                 int32_t timeoutMs) override;

 protected:
  uint16_t mLanguageId = 0;
  bool mLanguageIdKnown = false;

 private:
  // Sets PIPE_TRANSFER_TIMEOUT of the default pipe of a handle to 0; 0 or the system error.
  static uint32_t SwitchOffTransferTimeout(QXOsHandle winUsb);

  QXWinDeviceInterface mDeviceFile;
  std::vector<uint8_t> mConfigDescriptor;
  QXOsThreadMutex mClaimLock;
  uint8_t mFirstInterfaceNumber = 0;
  bool mFirstInterfaceClaimed = false;
  QXUsbDeviceIdentity mIdentity;
};

}  // namespace plendrik
