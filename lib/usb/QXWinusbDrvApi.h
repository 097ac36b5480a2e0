// The transport's platform seam: every call that the WinUSB classes make to the system
// (device file, events, named mutexes, WinUSB) goes through one QXWinusbDrvApi. On windows
// it is WinUSB, CreateFile and CancelIoEx; on the host the virtual USB bus. Each operation
// returns 0 or the Windows system error number of its failure.
#pragma once

#include <cstdint>

#include "os/QXOsTypes.h"
#include "os/QXWinErrors.h"
#include "usb/QXOsHandle.h"
#include "usb/QXUsbConfigDescriptor.h"
#include "usb/QXUsbTypes.h"

namespace plendrik {

class QXWinOverlapped;

class QXWinusbDrvApi {
 public:
  virtual ~QXWinusbDrvApi() = default;

  // CreateFileW(path, access, share, security, OPEN_EXISTING, FILE_FLAG_OVERLAPPED).
  virtual uint32_t CreateDeviceFile(const QXWString& path, uint32_t desiredAccess, uint32_t shareMode,
                                    void* securityAttributes, QXOsHandle& file) = 0;
  // Closes a file, event or mutex handle.
  virtual void CloseOsHandle(QXOsHandle handle) = 0;
  // CreateMutexW(no security, not owned, name); alreadyExists tells that another user holds it.
  virtual uint32_t CreateNamedMutex(const QXWString& name, QXOsHandle& mutex, bool& alreadyExists) = 0;
  // A manual-reset event, created unsignalled.
  virtual uint32_t CreateManualResetEvent(QXOsHandle& event) = 0;
  // 0 when signalled, kQXErrorWaitTimeout after timeoutMs (negative: no limit), else an error.
  virtual uint32_t WaitForEvent(QXOsHandle event, int32_t timeoutMs) = 0;

  virtual uint32_t WinUsbInitialize(QXOsHandle file, QXOsHandle& winUsb) = 0;
  virtual uint32_t WinUsbFree(QXOsHandle winUsb) = 0;
  virtual uint32_t WinUsbGetAssociatedInterface(QXOsHandle winUsb, uint8_t associatedIndex, QXOsHandle& handle) = 0;
  virtual uint32_t WinUsbSetPipePolicy(QXOsHandle winUsb, uint8_t pipeId, uint32_t policyType, uint32_t valueLength,
                                       void* value) = 0;
  // Synchronous descriptor read. The device and configuration descriptors come from the
  // driver's copy (for a composite function: the function's part of the configuration); other
  // types are requested from the device, bounded by the handle's PIPE_TRANSFER_TIMEOUT.
  virtual uint32_t WinUsbGetDescriptor(QXOsHandle winUsb, uint8_t descriptorType, uint8_t index, uint16_t languageId,
                                       uint8_t* buffer, uint32_t length, uint32_t& transferred) = 0;
  // WinUsb_QueryInterfaceSettings: the interface descriptor of the alternate setting with that
  // index of the handle's interface; ERROR_NO_MORE_ITEMS past the last one. The default answers
  // from WinUsbGetDescriptor's configuration, whose first interface is the handle's own (true of
  // the handle from WinUsbInitialize).
  virtual uint32_t WinUsbQueryInterfaceSettings(QXOsHandle winUsb, uint8_t alternateIndex,
                                                QXUsbInterfaceDescriptor& descriptor);
  virtual uint32_t WinUsbQueryDeviceInformation(QXOsHandle winUsb, uint32_t informationType, uint32_t& length,
                                                void* buffer) = 0;
  virtual uint32_t WinUsbSetCurrentAlternateSetting(QXOsHandle winUsb, uint8_t alternateSetting) = 0;
  // Starts an overlapped control transfer: 0 when it completed at once (transferred set),
  // kQXErrorIoPending while it runs (the overlapped record's event fires at completion),
  // else the error of the submission.
  virtual uint32_t WinUsbControlTransfer(QXOsHandle winUsb, const QXUsbSetupPacket& setup, uint8_t* buffer,
                                         uint32_t length, uint32_t& transferred, QXWinOverlapped& overlapped) = 0;
  // The result of a completed overlapped transfer, without waiting.
  virtual uint32_t WinUsbGetOverlappedResult(QXOsHandle winUsb, QXWinOverlapped& overlapped, uint32_t& transferred) = 0;
  // CancelIoEx(file, overlapped).
  virtual uint32_t CancelOverlappedIo(QXOsHandle file, QXWinOverlapped& overlapped) = 0;
  // A reset of the whole USB device behind a WinUSB handle (a port reset): the device leaves
  // the bus and enumerates again, so every handle to it is dead afterwards. 0 once the reset
  // was made; ERROR_NOT_SUPPORTED where this process has no way to reset the device.
  virtual uint32_t ResetUsbDevice(QXOsHandle winUsb) {
    (void)winUsb;
    return kQXErrorNotSupported;
  }
  // The name a session recording gives this USB stack ("virtual-bus", "libusb", "winusb");
  // null for a stand-in that has none.
  virtual const char* BackendName() const { return nullptr; }
};

// The seam in use: the platform's own unless a test build installed another.
QXWinusbDrvApi& QXGetWinusbDrvApi();
// Installs a seam for the whole process (null restores the platform's). Only for tests.
void QXSetWinusbDrvApi(QXWinusbDrvApi* api);
// The platform's own seam (WinUSB on windows, the virtual bus on the host).
QXWinusbDrvApi& QXPlatformWinusbDrvApi();
// The seam a test installed, or null.
QXWinusbDrvApi* QXInstalledWinusbDrvApi();
// What QXGetWinusbDrvApi answers when no recording is on: the installed seam, else the platform's.
QXWinusbDrvApi& QXGetUnrecordedWinusbDrvApi();
// Puts a session recording in front of the seam (null takes it away); QXGetWinusbDrvApi then
// answers it, and it forwards to QXGetUnrecordedWinusbDrvApi.
void QXSetRecordingWinusbDrvApi(QXWinusbDrvApi* recorder);

}  // namespace plendrik
