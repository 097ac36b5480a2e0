#include "usb/QXWinusbDrvDevice.h"

#include <new>

#include "diag/QXLog.h"
#include "usb/QXUsbConfigDescriptor.h"
#include "usb/QXUsbStringDescriptor.h"
#include "usb/QXWinusbDrvApi.h"

namespace plendrik {

namespace {
constexpr uint32_t kPipeTransferTimeoutPolicy = 3;
constexpr uint32_t kFirstConfigReadLength = 255;
constexpr uint32_t kConfigHeaderLength = 9;
constexpr uint32_t kStringBufferLength = 256;
}  // namespace

QXWinusbDrvDevice::~QXWinusbDrvDevice() { CloseUsbDevice(); }

QXSTATUS QXWinusbDrvDevice::OpenUsbDevice(const QXWString& devicePath) {
  QXWinDeviceInterface::OpenParameters parameters;
  uint32_t err = mDeviceFile.OpenDevice(devicePath, parameters);
  if (err != 0) {
    QX_LOG_ERROR("OpenDevice failed, st={}", QXSt{err});
    return err == kQXErrorAccessDenied ? QXSTATUS_IN_USE : err;
  }
  QXWinusbDrvApi& api = QXGetWinusbDrvApi();
  QXOsHandle winUsb = QXOsInvalidHandle();
  err = api.WinUsbInitialize(mDeviceFile.GetFileHandle(), winUsb);
  if (err != 0) {
    QX_LOG_ERROR("WinUsb_Initialize failed, st={}", QXSt{err});
    CloseUsbDevice();
    return MapUsbStatusToQXSTATUS(err);
  }
  mWinUsbHandle = winUsb;
  err = SwitchOffTransferTimeout(mWinUsbHandle);
  if (err != 0) {
    CloseUsbDevice();
    return err;
  }
  err = InitWinUsbBase();
  if (err != 0) {
    QX_LOG_ERROR("InitWinUsbBase failed, st={}", QXSt{err});
    CloseUsbDevice();
    return err;
  }
  const QXSTATUS st = CacheFirstConfigurationDescriptor();
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("CacheFirstConfigurationDescriptor failed, st={}", QXSt{st});
    CloseUsbDevice();
    return st;
  }
  QXUsbConfigDescriptor view(mConfigDescriptor);
  if (view.FindNextInterfaceDescriptor(nullptr) == nullptr) {
    QX_LOG_ERROR("no interface descriptor available");
    CloseUsbDevice();
    return QXSTATUS_INVALID_DESCRIPTOR;
  }
  // The interface the handle of WinUsb_Initialize serves: the function's first interface, which
  // is not interface 0 for a later function of a composite device.
  QXUsbInterfaceDescriptor first{};
  err = api.WinUsbQueryInterfaceSettings(mWinUsbHandle, 0, first);
  if (err != 0) {
    QX_LOG_ERROR("WinUsb_QueryInterfaceSettings failed, st={}", QXSt{err});
    CloseUsbDevice();
    return MapUsbStatusToQXSTATUS(err);
  }
  mFirstInterfaceNumber = first.bInterfaceNumber;
  return QXSTATUS_SUCCESS;
}

uint32_t QXWinusbDrvDevice::SwitchOffTransferTimeout(QXOsHandle winUsb) {
  // WinUSB times a control transfer out after 5 s unless told not to; the library's own wait
  // bounds every request instead (a DNLOAD whose status stage waits for an erase takes longer).
  // The policy belongs to each handle, so every handle used for requests gets it.
  uint32_t noTimeout = 0;
  const uint32_t err =
      QXGetWinusbDrvApi().WinUsbSetPipePolicy(winUsb, 0, kPipeTransferTimeoutPolicy, sizeof(noTimeout), &noTimeout);
  if (err != 0) {
    QX_LOG_ERROR("SetTransferTimeout failed, st={}", QXSt{err});
  }
  return err;
}

void QXWinusbDrvDevice::CloseUsbDevice() {
  // A request of the device's own (a descriptor read) on another thread ends before the
  // handle, the file and the cache go.
  BeginTeardown();
  if (mDeviceFile.IsOpen()) {
    DestroyWinUsbBase();
    mDeviceFile.CloseDevice();
    mFirstInterfaceNumber = 0;
    mConfigDescriptor.clear();
    mConfigDescriptor.shrink_to_fit();
    mIdentity = QXUsbDeviceIdentity();
  }
  EndTeardown();
}

QXSTATUS QXWinusbDrvDevice::CacheFirstConfigurationDescriptor() {
  uint8_t first[kFirstConfigReadLength];
  uint32_t count = 0;
  QXSTATUS st = GetDescriptor({first, sizeof(first)}, 2, 0, 0, &count);
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("GetDescriptor(1) failed, err={}", QXSt{st});
    return st;
  }
  if (count < kConfigHeaderLength) {
    QX_LOG_ERROR("too few data for config. desc., got {}, min. {}", count, kConfigHeaderLength);
    return QXSTATUS_INVALID_DESCRIPTOR;
  }
  if (first[1] != 2) {
    QX_LOG_ERROR("invalid type for config. desc.");
    return QXSTATUS_INVALID_DESCRIPTOR;
  }
  const uint32_t totalLength = static_cast<uint32_t>(first[2] | (first[3] << 8));
  try {
    if (totalLength <= count) {
      mConfigDescriptor.assign(first, first + totalLength);
      return QXSTATUS_SUCCESS;
    }
  } catch (const std::bad_alloc&) {
    QX_LOG_ERROR("StoreData failed, err={}", QXSt{QXSTATUS_NO_MEMORY});
    return QXSTATUS_NO_MEMORY;
  }
  try {
    mConfigDescriptor.assign(totalLength, 0);
  } catch (const std::bad_alloc&) {
    QX_LOG_ERROR("AllocateBuffer(2) failed, err={}", QXSt{QXSTATUS_NO_MEMORY});
    return QXSTATUS_NO_MEMORY;
  }
  st = GetDescriptor({mConfigDescriptor.data(), totalLength}, 2, 0, 0, &count);
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("GetDescriptor(2) failed, err={}", QXSt{st});
    mConfigDescriptor.clear();
    return st;
  }
  mConfigDescriptor.resize(count);
  return QXSTATUS_SUCCESS;
}

QXSTATUS QXWinusbDrvDevice::GetInterfaceHandleForInterface(uint32_t interfaceNumber, QXOsHandle& handle) {
  QXOsLockGuard lock(mClaimLock);
  handle = QXOsInvalidHandle();
  if (!IsOpen()) {
    // Without an open device there is no handle to hand out, and no claim may be recorded.
    QX_LOG_ERROR("Interface not opened");
    return QXSTATUS_NOT_OPENED;
  }
  const uint8_t delta = static_cast<uint8_t>((interfaceNumber - mFirstInterfaceNumber) & 0xFF);
  if (delta == 0) {
    if (mFirstInterfaceClaimed) {
      QX_LOG_ERROR("IF {} is already claimed", interfaceNumber);
      return QXSTATUS_IN_USE;
    }
    handle = mWinUsbHandle;
    mFirstInterfaceClaimed = true;
    return QXSTATUS_SUCCESS;
  }
  QXOsHandle associated = QXOsInvalidHandle();
  const uint32_t err =
      QXGetWinusbDrvApi().WinUsbGetAssociatedInterface(mWinUsbHandle, static_cast<uint8_t>(delta - 1), associated);
  if (err != 0) {
    QX_LOG_ERROR("WinUsb_GetAssociatedInterface failed, st={}", QXSt{err});
    return err;
  }
  const uint32_t policyErr = SwitchOffTransferTimeout(associated);
  if (policyErr != 0) {
    const uint32_t freeErr = QXGetWinusbDrvApi().WinUsbFree(associated);
    if (freeErr != 0) {
      QX_LOG_ERROR("WinUsb_Free failed, st={}", QXSt{freeErr});
    }
    return policyErr;
  }
  handle = associated;
  return QXSTATUS_SUCCESS;
}

void QXWinusbDrvDevice::ReleaseFirstInterface() {
  QXOsLockGuard lock(mClaimLock);
  mFirstInterfaceClaimed = false;
}

QXSTATUS QXWinusbDrvDevice::QueryDeviceSpeed(uint8_t& speed) {
  uint8_t value = 0;
  uint32_t length = sizeof(value);
  const uint32_t err = QXGetWinusbDrvApi().WinUsbQueryDeviceInformation(mWinUsbHandle, 1, length, &value);
  if (err != 0) {
    QX_LOG_ERROR("WinUsb_QueryDeviceInformation failed, err={}", QXSt{err});
    const QXSTATUS st = MapUsbStatusToQXSTATUS(err);
    QX_LOG_ERROR("QueryDeviceInformation failed, err={}", QXSt{st});
    return st;
  }
  if (length != 1) {
    QX_LOG_ERROR("length mismatch, got {}, exp. {}", length, 1u);
    return QXSTATUS_LENGTH_MISMATCH;
  }
  speed = value;
  return QXSTATUS_SUCCESS;
}

QXSTATUS QXWinusbDrvDevice::DeviceControlRequest(const QXUsbSetupPacket& setup, QXUsbBuffer buffer,
                                                 uint32_t* transferred, int32_t timeoutMs) {
  return ControlRequest(setup, buffer, transferred, timeoutMs, mWinUsbHandle, mDeviceFile.GetFileHandle());
}

QXSTATUS QXWinusbDrvDevice::DescriptorRequestImpl(const QXUsbSetupPacket& setup, QXUsbBuffer buffer,
                                                  uint32_t* transferred, int32_t timeoutMs) {
  return DeviceControlRequest(setup, buffer, transferred, timeoutMs);
}

QXSTATUS QXWinusbDrvDevice::GetDeviceDescriptorImpl(QXUsbBuffer buffer, uint32_t* transferred, int32_t timeoutMs) {
  QXUsbSetupPacket setup;
  setup.bmRequestType = 0x80;
  setup.bRequest = 0x06;
  setup.wValue = 0x0100;
  setup.wIndex = 0;
  setup.wLength = static_cast<uint16_t>(buffer.length > 0xFFFF ? 0xFFFF : buffer.length);
  buffer.length = setup.wLength;
  return DeviceControlRequest(setup, buffer, transferred, timeoutMs);
}

QXSTATUS QXWinusbDrvDevice::GetRawStringDescriptorImpl(uint8_t index, uint16_t languageId, uint8_t* buffer,
                                                       uint32_t length, uint32_t& transferred) {
  transferred = 0;
  return GetDescriptor({buffer, length}, 3, index, languageId, &transferred);
}

QXSTATUS QXWinusbDrvDevice::GetLanguageIdListImpl(std::vector<uint16_t>& list) {
  uint8_t raw[kStringBufferLength];
  uint32_t count = 0;
  const QXSTATUS st = GetRawStringDescriptorImpl(0, 0, raw, sizeof(raw), count);
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("GetRawStringDescriptorImpl() failed, st={}", QXSt{st});
    return st;
  }
  return QXConvertUsbStringDescToLangIdList(raw, count, list);
}

}  // namespace plendrik
