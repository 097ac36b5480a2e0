// The transport seam with a session recording in front: every call goes on unchanged to the
// seam that would answer without recording (a test's seam, else the platform's), and what it
// said is reported to the QXSessionRecorder (through QXRecorderCall, so that a fault of the
// recorder ends the recording and never reaches the caller). Results, buffers and
// out-parameters the caller sees are those of the seam below.
#pragma once

#include "usb/QXWinusbDrvApi.h"

namespace plendrik {

class QXRecordingWinusbDrvApi final : public QXWinusbDrvApi {
 public:
  static QXRecordingWinusbDrvApi& Instance();

  uint32_t CreateDeviceFile(const QXWString& path, uint32_t desiredAccess, uint32_t shareMode, void* securityAttributes,
                            QXOsHandle& file) override;
  void CloseOsHandle(QXOsHandle handle) override;
  uint32_t CreateNamedMutex(const QXWString& name, QXOsHandle& mutex, bool& alreadyExists) override;
  uint32_t CreateManualResetEvent(QXOsHandle& event) override;
  uint32_t WaitForEvent(QXOsHandle event, int32_t timeoutMs) override;
  uint32_t WinUsbInitialize(QXOsHandle file, QXOsHandle& winUsb) override;
  uint32_t WinUsbFree(QXOsHandle winUsb) override;
  uint32_t WinUsbGetAssociatedInterface(QXOsHandle winUsb, uint8_t associatedIndex, QXOsHandle& handle) override;
  uint32_t WinUsbSetPipePolicy(QXOsHandle winUsb, uint8_t pipeId, uint32_t policyType, uint32_t valueLength,
                               void* value) override;
  uint32_t WinUsbGetDescriptor(QXOsHandle winUsb, uint8_t descriptorType, uint8_t index, uint16_t languageId,
                               uint8_t* buffer, uint32_t length, uint32_t& transferred) override;
  uint32_t WinUsbQueryInterfaceSettings(QXOsHandle winUsb, uint8_t alternateIndex,
                                        QXUsbInterfaceDescriptor& descriptor) override;
  uint32_t WinUsbQueryDeviceInformation(QXOsHandle winUsb, uint32_t informationType, uint32_t& length,
                                        void* buffer) override;
  uint32_t WinUsbSetCurrentAlternateSetting(QXOsHandle winUsb, uint8_t alternateSetting) override;
  uint32_t WinUsbControlTransfer(QXOsHandle winUsb, const QXUsbSetupPacket& setup, uint8_t* buffer, uint32_t length,
                                 uint32_t& transferred, QXWinOverlapped& overlapped) override;
  uint32_t WinUsbGetOverlappedResult(QXOsHandle winUsb, QXWinOverlapped& overlapped, uint32_t& transferred) override;
  uint32_t CancelOverlappedIo(QXOsHandle file, QXWinOverlapped& overlapped) override;
  uint32_t ResetUsbDevice(QXOsHandle winUsb) override;
  const char* BackendName() const override;

 private:
  // The seam below: never this decorator, even when a test saved and re-installed it.
  QXWinusbDrvApi& Below() const;
};

}  // namespace plendrik
