// The transport seam over libusb (the host's real devices): a device file is a libusb device
// handle with its interface claimed, a WinUSB handle names one claimed interface, and an
// overlapped control transfer is an asynchronous libusb transfer that the library's own wait
// times out and cancels. Results are the Windows errors the layers above expect.
#pragma once

#include <map>
#include <memory>
#include <mutex>

#include "usb/QXWinusbDrvApi.h"

struct libusb_device;
struct libusb_device_handle;

namespace plendrik {

class QXWinusbDrvApiLibusb final : public QXWinusbDrvApi {
 public:
  static QXWinusbDrvApiLibusb& Instance();
  const char* BackendName() const override { return "libusb"; }

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
  uint32_t WinUsbQueryDeviceInformation(QXOsHandle winUsb, uint32_t informationType, uint32_t& length,
                                        void* buffer) override;
  uint32_t WinUsbSetCurrentAlternateSetting(QXOsHandle winUsb, uint8_t alternateSetting) override;
  uint32_t WinUsbControlTransfer(QXOsHandle winUsb, const QXUsbSetupPacket& setup, uint8_t* buffer, uint32_t length,
                                 uint32_t& transferred, QXWinOverlapped& overlapped) override;
  uint32_t WinUsbGetOverlappedResult(QXOsHandle winUsb, QXWinOverlapped& overlapped, uint32_t& transferred) override;
  uint32_t CancelOverlappedIo(QXOsHandle file, QXWinOverlapped& overlapped) override;
  uint32_t ResetUsbDevice(QXOsHandle winUsb) override;

  // Open handles of every kind (tests check that nothing leaks).
  size_t OpenHandleCount() const;
  // Replaces libusb_open (null restores it), for tests of what the kernel refuses.
  using OpenFunction = int (*)(libusb_device* device, libusb_device_handle** handle);
  static void SetOpenFunction(OpenFunction open);

  struct Object;
  struct Transfer;

 private:
  QXWinusbDrvApiLibusb() = default;
  template <class T>
  friend T& QXImmortal();
  QXOsHandle Insert(std::shared_ptr<Object> object);
  template <class T>
  std::shared_ptr<T> FindAs(QXOsHandle handle) const;

  mutable std::mutex mMutex;
  uintptr_t mNextHandle = 0x2000;
  std::map<uintptr_t, std::shared_ptr<Object>> mHandles;
  std::map<QXWString, size_t> mMutexes;  // named mutexes and their open handles
  std::map<const QXWinOverlapped*, std::shared_ptr<Transfer>> mTransfers;
};

}  // namespace plendrik
