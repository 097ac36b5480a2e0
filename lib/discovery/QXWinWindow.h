// The few user32 services a device change notificator needs: a window class, a hidden
// window with a pointer of user data, the thread's message loop, posting and sending
// messages, and device interface notifications for a window. Windows answers with user32;
// the host keeps windows and per-thread message queues of its own and turns the virtual USB
// bus's arrivals and removals into WM_DEVICECHANGE messages for registered windows.
#pragma once

#include <cstddef>
#include <cstdint>

#include "os/QXOsSystem.h"
#include "os/QXOsTypes.h"

// Only the GUID's name is needed here; windows.h stays out of the headers that include this one.
#if defined(_WIN32)
struct _GUID;
namespace plendrik {
using QXGuid = ::_GUID;
}
#else
#include "discovery/QXWinSetupApiTypes.h"
#endif

namespace plendrik {

using QXHwnd = void*;
using QXWParam = uintptr_t;
using QXLParam = intptr_t;
using QXLResult = intptr_t;
using QXHDevNotify = void*;

#if defined(_WIN32)
#define QX_WINAPI __stdcall
#else
#define QX_WINAPI
#endif
using QXWndProc = QXLResult(QX_WINAPI*)(QXHwnd window, uint32_t message, QXWParam wParam, QXLParam lParam);

constexpr uint32_t kQXWmDestroy = 0x0002;
constexpr uint32_t kQXWmClose = 0x0010;
constexpr uint32_t kQXWmDeviceChange = 0x0219;
constexpr uint32_t kQXWmApp = 0x8000;  // WM_APP: the first message number free for a window class
constexpr QXWParam kQXDbtDeviceArrival = 0x8000;
constexpr QXWParam kQXDbtDeviceRemoveComplete = 0x8004;
constexpr uint32_t kQXDbtDevtypVolume = 2;
constexpr uint32_t kQXDbtDevtypPort = 3;
constexpr uint32_t kQXDbtDevtypDeviceInterface = 5;

// DEV_BROADCAST_HDR and DEV_BROADCAST_DEVICEINTERFACE_W, laid out as Windows lays them out.
struct QXDevBroadcastHdr {
  uint32_t dbch_size;
  uint32_t dbch_devicetype;
  uint32_t dbch_reserved;
};
struct QXDevBroadcastDeviceInterfaceW {
  uint32_t dbcc_size;
  uint32_t dbcc_devicetype;
  uint32_t dbcc_reserved;
  struct {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
  } dbcc_classguid;
  QXWChar dbcc_name[1];
};
static_assert(sizeof(QXDevBroadcastDeviceInterfaceW) == 32, "DEV_BROADCAST_DEVICEINTERFACE_W has 32 bytes");
constexpr size_t kQXDbccNameOffset = offsetof(QXDevBroadcastDeviceInterfaceW, dbcc_name);

// The device interface path of a broadcast, never read past dbcc_size; empty when it holds none.
QXWString QXDevBroadcastInterfacePath(const QXDevBroadcastDeviceInterfaceW& broadcast);

// GetModuleHandleW(nullptr): the process executable's module. 0 or the Windows error.
uint32_t QXWinGetProcessModule(QXOsModuleHandle& module);
// RegisterClassExW with the procedure and module, no icon, cursor, brush or menu.
uint32_t QXWinRegisterWindowClass(const QXWString& className, QXWndProc procedure, QXOsModuleHandle module);
uint32_t QXWinUnregisterWindowClass(const QXWString& className, QXOsModuleHandle module);
// CreateWindowExW of a WS_OVERLAPPEDWINDOW window that is never shown.
uint32_t QXWinCreateHiddenWindow(const QXWString& className, const QXWString& title, QXOsModuleHandle module,
                                 QXHwnd& window);
void QXWinSetWindowUserData(QXHwnd window, void* data);
void* QXWinGetWindowUserData(QXHwnd window);
QXLResult QXWinDefWindowProc(QXHwnd window, uint32_t message, QXWParam wParam, QXLParam lParam);
void QXWinPostQuitMessage();
uint32_t QXWinPostMessage(QXHwnd window, uint32_t message, QXWParam wParam, QXLParam lParam);
// Delivers a message to the window's thread and waits until it has been handled (or the
// window is gone); 0 or the Windows error. As on Windows, a thread that waits here handles
// the messages other threads send to its own windows meanwhile.
uint32_t QXWinSendMessage(QXHwnd window, uint32_t message, QXWParam wParam, QXLParam lParam);
// GetMessageW / TranslateMessage / DispatchMessageW for the calling thread until WM_QUIT
// (0 returned) or a failing GetMessageW (its error returned).
uint32_t QXWinRunMessageLoop();
// RegisterDeviceNotificationW(window, filter for one device interface class, DEVICE_NOTIFY_WINDOW_HANDLE).
uint32_t QXWinRegisterDeviceInterfaceNotification(QXHwnd window, const QXGuid& interfaceClassGuid,
                                                  QXHDevNotify& notification);
uint32_t QXWinUnregisterDeviceNotification(QXHDevNotify notification);

}  // namespace plendrik
