// The transport seam over the virtual USB bus: device files, WinUSB handles, events and
// overlapped control transfers as WinUSB and the kernel would provide them, served by the
// simulated devices. The host build's platform seam; the windows unit tests install it too.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "os/QXImmortal.h"
#include "sim/VirtualUsbBus.h"
#include "usb/QXWinusbDrvApi.h"

namespace plendrik::sim {

class SimWinusbDrvApi : public QXWinusbDrvApi {
 public:
  static SimWinusbDrvApi& Instance();
  const char* BackendName() const override { return "virtual-bus"; }

  uint32_t CreateDeviceFile(const QXWString& path, uint32_t desiredAccess, uint32_t shareMode,
                            void* securityAttributes, QXOsHandle& file) override;
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
  // A port reset of the device behind the handle: the device leaves the bus and enumerates
  // again (the bus's ResetDevice); every handle to it is stale afterwards.
  uint32_t ResetUsbDevice(QXOsHandle winUsb) override;

  // Open handles of every kind (tests check that nothing leaks).
  size_t OpenHandleCount() const;

  // How long a SET_INTERFACE that the device does not answer is waited for before it fails
  // with ERROR_SEM_TIMEOUT (5000 ms; 0 restores that), so that tests need not wait as long.
  static void SetSetInterfaceTimeout(std::chrono::milliseconds timeout);

  // The last 64 WinUsb_GetDescriptor calls as made (type, index, buffer length), for tests.
  struct DescriptorCall {
    uint8_t type;
    uint8_t index;
    uint32_t length;
  };
  std::vector<DescriptorCall> DescriptorCalls() const;
  void ClearDescriptorCalls();

  // WinUSB's default PIPE_TRANSFER_TIMEOUT of the control pipe (5000 ms; 0 restores that) for
  // handles made afterwards, so that tests need not wait as long.
  static void SetDefaultControlTimeout(std::chrono::milliseconds timeout);

  struct Object;

 private:
  SimWinusbDrvApi() = default;
  friend SimWinusbDrvApi& plendrik::QXImmortal<SimWinusbDrvApi>();
  QXOsHandle Insert(std::shared_ptr<Object> object);
  std::shared_ptr<Object> Find(QXOsHandle handle) const;
  template <class T>
  std::shared_ptr<T> FindAs(QXOsHandle handle) const;

  mutable std::mutex mMutex;
  uintptr_t mNextHandle = 0x1000;
  std::map<uintptr_t, std::shared_ptr<Object>> mHandles;
  // Lower-case paths with an open device file. A path whose device has left and joined
  // again may be opened anew: the old file is stale.
  std::map<QXWString, std::weak_ptr<Object>> mOpenPaths;
  std::map<QXWString, size_t> mMutexes;  // named mutexes and their open handles
  // A transfer in flight, and whether WinUSB's own time-out ended it.
  struct Transfer {
    SimControlRequestPtr request;
    std::shared_ptr<std::atomic<bool>> timedOut;
  };
  std::map<const QXWinOverlapped*, Transfer> mTransfers;
  // The last WinUsb_GetDescriptor calls, in fixed storage: the object is never destroyed, and
  // memory of its own on the heap would be reported lost once the library is unloaded.
  std::array<DescriptorCall, 64> mDescriptorCalls{};
  size_t mDescriptorCallTotal = 0;
};

}  // namespace plendrik::sim
