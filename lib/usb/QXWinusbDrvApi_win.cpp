// The transport seam on windows: WinUSB, CreateFile, CancelIoEx and kernel32 events.
#include <windows.h>
#include <winusb.h>

#include <cstring>

#include "usb/QXWinOverlapped.h"
#include "usb/QXWinusbDrvApi.h"

namespace plendrik {

namespace {

static_assert(sizeof(OVERLAPPED) <= 32, "the overlapped record's storage must hold an OVERLAPPED");

uint32_t LastError() {
  const DWORD err = GetLastError();
  return err != 0 ? static_cast<uint32_t>(err) : static_cast<uint32_t>(ERROR_GEN_FAILURE);
}

WINUSB_INTERFACE_HANDLE ToWinUsb(QXOsHandle handle) { return static_cast<WINUSB_INTERFACE_HANDLE>(handle); }

OVERLAPPED* ToSystem(QXWinOverlapped& overlapped) {
  auto* system = static_cast<OVERLAPPED*>(overlapped.SystemOverlapped());
  system->hEvent = static_cast<HANDLE>(overlapped.EventHandle());
  return system;
}

class WinusbDrvApiWin final : public QXWinusbDrvApi {
 public:
  const char* BackendName() const override { return "winusb"; }
  uint32_t CreateDeviceFile(const QXWString& path, uint32_t desiredAccess, uint32_t shareMode,
                            void* securityAttributes, QXOsHandle& file) override {
    HANDLE handle = CreateFileW(path.c_str(), desiredAccess, shareMode,
                                static_cast<LPSECURITY_ATTRIBUTES>(securityAttributes), OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr);
    file = handle;
    return handle == INVALID_HANDLE_VALUE ? LastError() : 0;
  }

  void CloseOsHandle(QXOsHandle handle) override { CloseHandle(static_cast<HANDLE>(handle)); }

  uint32_t CreateNamedMutex(const QXWString& name, QXOsHandle& mutex, bool& alreadyExists) override {
    SetLastError(0);
    HANDLE handle = CreateMutexW(nullptr, FALSE, name.c_str());
    const DWORD err = GetLastError();
    mutex = handle;
    if (handle == nullptr) {
      return err != 0 ? err : ERROR_GEN_FAILURE;
    }
    alreadyExists = err != 0;
    return 0;
  }

  uint32_t CreateManualResetEvent(QXOsHandle& event) override {
    HANDLE handle = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    event = handle;
    return handle == nullptr ? LastError() : 0;
  }

  uint32_t WaitForEvent(QXOsHandle event, int32_t timeoutMs) override {
    const DWORD result =
        WaitForSingleObject(static_cast<HANDLE>(event), timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs));
    if (result == WAIT_OBJECT_0) {
      return 0;
    }
    if (result == WAIT_TIMEOUT) {
      return WAIT_TIMEOUT;
    }
    return LastError();
  }

  uint32_t WinUsbInitialize(QXOsHandle file, QXOsHandle& winUsb) override {
    WINUSB_INTERFACE_HANDLE handle = nullptr;
    if (!WinUsb_Initialize(static_cast<HANDLE>(file), &handle)) {
      winUsb = QXOsInvalidHandle();
      return LastError();
    }
    winUsb = handle;
    return 0;
  }

  uint32_t WinUsbFree(QXOsHandle winUsb) override { return WinUsb_Free(ToWinUsb(winUsb)) ? 0 : LastError(); }

  uint32_t WinUsbGetAssociatedInterface(QXOsHandle winUsb, uint8_t associatedIndex, QXOsHandle& handle) override {
    WINUSB_INTERFACE_HANDLE associated = nullptr;
    if (!WinUsb_GetAssociatedInterface(ToWinUsb(winUsb), associatedIndex, &associated)) {
      handle = QXOsInvalidHandle();
      return LastError();
    }
    handle = associated;
    return 0;
  }

  uint32_t WinUsbSetPipePolicy(QXOsHandle winUsb, uint8_t pipeId, uint32_t policyType, uint32_t valueLength,
                               void* value) override {
    return WinUsb_SetPipePolicy(ToWinUsb(winUsb), pipeId, policyType, valueLength, value) ? 0 : LastError();
  }

  uint32_t WinUsbGetDescriptor(QXOsHandle winUsb, uint8_t descriptorType, uint8_t index, uint16_t languageId,
                               uint8_t* buffer, uint32_t length, uint32_t& transferred) override {
    ULONG count = 0;
    if (!WinUsb_GetDescriptor(ToWinUsb(winUsb), descriptorType, index, languageId, buffer, length, &count)) {
      transferred = 0;
      return LastError();
    }
    transferred = count;
    return 0;
  }

  uint32_t WinUsbQueryInterfaceSettings(QXOsHandle winUsb, uint8_t alternateIndex,
                                        QXUsbInterfaceDescriptor& descriptor) override {
    USB_INTERFACE_DESCRIPTOR system{};
    if (!WinUsb_QueryInterfaceSettings(ToWinUsb(winUsb), alternateIndex, &system)) {
      return LastError();
    }
    static_assert(sizeof(system) == sizeof(descriptor), "the interface descriptor is 9 bytes");
    std::memcpy(&descriptor, &system, sizeof(descriptor));
    return 0;
  }

  uint32_t WinUsbQueryDeviceInformation(QXOsHandle winUsb, uint32_t informationType, uint32_t& length,
                                        void* buffer) override {
    ULONG size = length;
    if (!WinUsb_QueryDeviceInformation(ToWinUsb(winUsb), informationType, &size, buffer)) {
      return LastError();
    }
    length = size;
    return 0;
  }

  uint32_t WinUsbSetCurrentAlternateSetting(QXOsHandle winUsb, uint8_t alternateSetting) override {
    return WinUsb_SetCurrentAlternateSetting(ToWinUsb(winUsb), alternateSetting) ? 0 : LastError();
  }

  uint32_t WinUsbControlTransfer(QXOsHandle winUsb, const QXUsbSetupPacket& setup, uint8_t* buffer, uint32_t length,
                                 uint32_t& transferred, QXWinOverlapped& overlapped) override {
    WINUSB_SETUP_PACKET packet{};
    packet.RequestType = setup.bmRequestType;
    packet.Request = setup.bRequest;
    packet.Value = setup.wValue;
    packet.Index = setup.wIndex;
    packet.Length = setup.wLength;
    ULONG count = 0;
    if (!WinUsb_ControlTransfer(ToWinUsb(winUsb), packet, buffer, length, &count, ToSystem(overlapped))) {
      transferred = 0;
      return LastError();
    }
    transferred = count;
    return 0;
  }

  uint32_t WinUsbGetOverlappedResult(QXOsHandle winUsb, QXWinOverlapped& overlapped, uint32_t& transferred) override {
    DWORD count = 0;
    const BOOL ok = WinUsb_GetOverlappedResult(ToWinUsb(winUsb), ToSystem(overlapped), &count, FALSE);
    transferred = count;
    return ok ? 0 : LastError();
  }

  uint32_t CancelOverlappedIo(QXOsHandle file, QXWinOverlapped& overlapped) override {
    // Only the record's address is needed; the record itself may be in the system's use.
    auto* system = static_cast<OVERLAPPED*>(overlapped.SystemOverlapped());
    return CancelIoEx(static_cast<HANDLE>(file), system) ? 0 : LastError();
  }
};

}  // namespace

QXWinusbDrvApi& QXPlatformWinusbDrvApi() {
  static WinusbDrvApiWin* api = new WinusbDrvApiWin();
  return *api;
}

}  // namespace plendrik
