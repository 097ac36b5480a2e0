// The window services on windows: user32.
#include <windows.h>
// windows.h first
#include <dbt.h>

#include <cstring>

#include "discovery/QXWinWindow.h"

namespace plendrik {

namespace {
uint32_t LastErrorOr(uint32_t fallback) {
  const DWORD err = GetLastError();
  return err != 0 ? err : fallback;
}
}  // namespace

uint32_t QXWinGetProcessModule(QXOsModuleHandle& module) {
  module = GetModuleHandleW(nullptr);
  return module != nullptr ? 0 : LastErrorOr(ERROR_MOD_NOT_FOUND);
}

uint32_t QXWinRegisterWindowClass(const QXWString& className, QXWndProc procedure, QXOsModuleHandle module) {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof(wc);
  wc.style = 0;
  wc.lpfnWndProc = reinterpret_cast<WNDPROC>(procedure);
  wc.hInstance = static_cast<HINSTANCE>(module);
  wc.lpszClassName = className.c_str();
  return RegisterClassExW(&wc) != 0 ? 0 : LastErrorOr(ERROR_GEN_FAILURE);
}

uint32_t QXWinUnregisterWindowClass(const QXWString& className, QXOsModuleHandle module) {
  return UnregisterClassW(className.c_str(), static_cast<HINSTANCE>(module)) ? 0 : LastErrorOr(ERROR_GEN_FAILURE);
}

uint32_t QXWinCreateHiddenWindow(const QXWString& className, const QXWString& title, QXOsModuleHandle module,
                                 QXHwnd& window) {
  HWND hwnd = CreateWindowExW(0, className.c_str(), title.c_str(), WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                              CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, static_cast<HINSTANCE>(module), nullptr);
  window = hwnd;
  return hwnd != nullptr ? 0 : LastErrorOr(ERROR_GEN_FAILURE);
}

void QXWinSetWindowUserData(QXHwnd window, void* data) {
  SetWindowLongPtrW(static_cast<HWND>(window), GWLP_USERDATA, reinterpret_cast<LONG_PTR>(data));
}

void* QXWinGetWindowUserData(QXHwnd window) {
  return reinterpret_cast<void*>(GetWindowLongPtrW(static_cast<HWND>(window), GWLP_USERDATA));
}

QXLResult QXWinDefWindowProc(QXHwnd window, uint32_t message, QXWParam wParam, QXLParam lParam) {
  return DefWindowProcW(static_cast<HWND>(window), message, wParam, lParam);
}

void QXWinPostQuitMessage() { PostQuitMessage(0); }

uint32_t QXWinPostMessage(QXHwnd window, uint32_t message, QXWParam wParam, QXLParam lParam) {
  return PostMessageW(static_cast<HWND>(window), message, wParam, lParam) ? 0 : LastErrorOr(ERROR_GEN_FAILURE);
}

uint32_t QXWinSendMessage(QXHwnd window, uint32_t message, QXWParam wParam, QXLParam lParam) {
  SetLastError(0);
  SendMessageW(static_cast<HWND>(window), message, wParam, lParam);
  return GetLastError();
}

uint32_t QXWinRunMessageLoop() {
  MSG msg;
  for (;;) {
    const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
    if (got == 0) {
      return 0;
    }
    if (got == -1) {
      return LastErrorOr(ERROR_GEN_FAILURE);
    }
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

uint32_t QXWinRegisterDeviceInterfaceNotification(QXHwnd window, const QXGuid& interfaceClassGuid,
                                                  QXHDevNotify& notification) {
  DEV_BROADCAST_DEVICEINTERFACE_W filter{};
  filter.dbcc_size = sizeof(filter);
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_reserved = 0;
  static_assert(sizeof(GUID) == sizeof(QXGuid));
  std::memcpy(&filter.dbcc_classguid, &interfaceClassGuid, sizeof(GUID));
  notification = RegisterDeviceNotificationW(static_cast<HWND>(window), &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
  return notification != nullptr ? 0 : LastErrorOr(ERROR_GEN_FAILURE);
}

uint32_t QXWinUnregisterDeviceNotification(QXHDevNotify notification) {
  return UnregisterDeviceNotification(static_cast<HDEVNOTIFY>(notification)) ? 0 : LastErrorOr(ERROR_GEN_FAILURE);
}

}  // namespace plendrik
