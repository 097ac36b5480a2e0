#include "usb/QXWinusbDrvInterface.h"

#include "diag/QXLog.h"
#include "usb/QXWinusbDrvApi.h"
#include "usb/QXWinusbDrvDevice.h"

namespace plendrik {

QXWinusbDrvInterface::~QXWinusbDrvInterface() { ReleaseUsbInterface(); }

QXSTATUS QXWinusbDrvInterface::OpenUsbInterface(QXWinusbDrvDevice* device, uint32_t interfaceNumber) {
  if (interfaceNumber > 255) {
    QX_LOG_ERROR("interfaceNumber={} is invalid", interfaceNumber);
    return QXSTATUS_INVALID_PARAMETER;
  }
  if (mDevice != nullptr) {
    QX_LOG_ERROR("Interface already open");
    return QXSTATUS_ALREADY_OPEN;
  }
  mDevice = device;
  mInterfaceNumber = static_cast<uint8_t>(interfaceNumber);
  return QXSTATUS_SUCCESS;
}

void QXWinusbDrvInterface::CloseUsbInterface() {
  ReleaseUsbInterface();
  mDevice = nullptr;
  mInterfaceNumber = 0;
}

QXSTATUS QXWinusbDrvInterface::ClaimUsbInterface() {
  if (mDevice == nullptr || !mDevice->IsOpen()) {
    QX_LOG_ERROR("Interface not opened");
    return QXSTATUS_NOT_OPENED;
  }
  QXOsHandle handle = QXOsInvalidHandle();
  const QXSTATUS st = mDevice->GetInterfaceHandleForInterface(mInterfaceNumber, handle);
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("GetInterfaceHandleForInterface(IF {}) failed, st={}", mInterfaceNumber, QXSt{st});
    return st;
  }
  {
    QXOsLockGuard lock(mRequestLock);
    mWinUsbHandle = handle;
  }
  const uint32_t err = InitWinUsbBase();
  if (err != 0) {
    QX_LOG_ERROR("InitWinUsbBase failed, st={}", QXSt{err});
    ReleaseUsbInterface();
    return err;
  }
  return QXSTATUS_SUCCESS;
}

void QXWinusbDrvInterface::ReleaseUsbInterface() {
  // A request in flight on another thread is cancelled and has ended before the event, the
  // record or the handle go: nothing the system may still write is released under it.
  BeginTeardown();
  if (!IsClaimed()) {
    // Only a claimed interface gives anything back: an unclaimed object of the first
    // interface must not clear the claim another object holds.
    mOverlapped.CloseEvent();
    mOverlapped.ZeroOverlapped();
  } else if (mDevice != nullptr && mInterfaceNumber == mDevice->GetFirstInterfaceNumber()) {
    // The handle belongs to the device: give the claim back without freeing it.
    mDevice->ReleaseFirstInterface();
    mOverlapped.CloseEvent();
    mOverlapped.ZeroOverlapped();
    mWinUsbHandle = QXOsInvalidHandle();
  } else {
    DestroyWinUsbBase();
  }
  EndTeardown();
}

QXSTATUS QXWinusbDrvInterface::SetAlternateSetting(uint8_t alternateSetting) {
  const uint32_t err = QXGetWinusbDrvApi().WinUsbSetCurrentAlternateSetting(mWinUsbHandle, alternateSetting);
  if (err != 0) {
    QX_LOG_ERROR("WinUsb_SetCurrentAlternateSetting failed, st={}", QXSt{err});
  }
  return err;
}

QXSTATUS QXWinusbDrvInterface::ControlRequestSync(QXUsbBuffer buffer, uint8_t requestType, uint8_t request,
                                                  uint16_t value, uint16_t index, uint32_t* transferred,
                                                  int32_t timeoutMs) {
  QXUsbSetupPacket setup;
  setup.bmRequestType = static_cast<uint8_t>(((requestType & 3) << 5) | 1);
  setup.bRequest = request;
  setup.wValue = value;
  setup.wIndex = index;
  return ControlRequestSetup(setup, buffer, transferred, timeoutMs);
}

QXSTATUS QXWinusbDrvInterface::ControlRequestSetup(const QXUsbSetupPacket& setup, QXUsbBuffer buffer,
                                                   uint32_t* transferred, int32_t timeoutMs) {
  if (buffer.length > 0xFFFF) {
    QX_LOG_ERROR("buffer length {} exceeds wLength", buffer.length);
    return QXSTATUS_INVALID_PARAMETER;
  }
  QXUsbSetupPacket packet = setup;
  packet.wLength = static_cast<uint16_t>(buffer.length);
  const QXOsHandle deviceWinUsb = mDevice != nullptr ? mDevice->GetWinUsbHandle() : QXOsInvalidHandle();
  const QXOsHandle deviceFile = mDevice != nullptr ? mDevice->GetDeviceFileHandle() : QXOsInvalidHandle();
  return ControlRequest(packet, buffer, transferred, timeoutMs, deviceWinUsb, deviceFile);
}

QXSTATUS QXWinusbDrvInterface::DescriptorRequestImpl(const QXUsbSetupPacket& setup, QXUsbBuffer buffer,
                                                     uint32_t* transferred, int32_t timeoutMs) {
  if (mDevice == nullptr) {
    QX_LOG_ERROR("Interface not opened");
    return QXSTATUS_NOT_OPENED;
  }
  return mDevice->DeviceControlRequest(setup, buffer, transferred, timeoutMs);
}

QXSTATUS QXWinusbDrvInterface::GetDeviceDescriptorImpl(QXUsbBuffer buffer, uint32_t* transferred, int32_t timeoutMs) {
  if (mDevice == nullptr) {
    QX_LOG_ERROR("Interface not opened");
    return QXSTATUS_NOT_OPENED;
  }
  return mDevice->GetDeviceDescriptorImpl(buffer, transferred, timeoutMs);
}

}  // namespace plendrik
