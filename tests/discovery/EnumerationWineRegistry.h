// Registers devices with Wine's SetupAPI so that the real listing code finds them: device
// element with instance id and hardware ids, container id, device interfaces of a class,
// and the "Linked" flag that makes an interface count as present. Only under Wine (a real
// Windows machine must never get test devices); everything registered is removed again.
// Pure Win32, usable by the unit tests and by the tests that load the library.
#pragma once

#if defined(_WIN32)

#include <windows.h>
// windows.h first
#include <setupapi.h>

#include <optional>
#include <string>
#include <vector>

namespace fbtest {

inline bool RunningUnderWine() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

inline GUID ParseGuidW(const std::wstring& text) {
  GUID g{};
  unsigned long d1 = 0;
  unsigned int d2 = 0, d3 = 0, b[8] = {};
  swscanf(text.c_str(), L"{%8lx-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}", &d1, &d2, &d3, &b[0], &b[1], &b[2], &b[3], &b[4],
          &b[5], &b[6], &b[7]);
  g.Data1 = d1;
  g.Data2 = static_cast<unsigned short>(d2);
  g.Data3 = static_cast<unsigned short>(d3);
  for (int i = 0; i < 8; ++i) {
    g.Data4[i] = static_cast<unsigned char>(b[i]);
  }
  return g;
}

// SetupAPI resolved at run time: the programs that load the library do not link it.
struct SetupApiFunctions {
  HDEVINFO(WINAPI* SetupDiCreateDeviceInfoList)(const GUID*, HWND) = nullptr;
  BOOL(WINAPI* SetupDiCreateDeviceInfoW)
  (HDEVINFO, PCWSTR, const GUID*, PCWSTR, HWND, DWORD, PSP_DEVINFO_DATA) = nullptr;
  BOOL(WINAPI* SetupDiSetDeviceRegistryPropertyW)(HDEVINFO, PSP_DEVINFO_DATA, DWORD, const BYTE*, DWORD) = nullptr;
  BOOL(WINAPI* SetupDiRegisterDeviceInfo)
  (HDEVINFO, PSP_DEVINFO_DATA, DWORD, PSP_DETSIG_CMPPROC, PVOID, PSP_DEVINFO_DATA) = nullptr;
  BOOL(WINAPI* SetupDiCreateDeviceInterfaceW)
  (HDEVINFO, PSP_DEVINFO_DATA, const GUID*, PCWSTR, DWORD, PSP_DEVICE_INTERFACE_DATA) = nullptr;
  BOOL(WINAPI* SetupDiGetDeviceInterfaceDetailW)
  (HDEVINFO, PSP_DEVICE_INTERFACE_DATA, PSP_DEVICE_INTERFACE_DETAIL_DATA_W, DWORD, PDWORD, PSP_DEVINFO_DATA) = nullptr;
  BOOL(WINAPI* SetupDiRemoveDeviceInterface)(HDEVINFO, PSP_DEVICE_INTERFACE_DATA) = nullptr;
  BOOL(WINAPI* SetupDiRemoveDevice)(HDEVINFO, PSP_DEVINFO_DATA) = nullptr;
  BOOL(WINAPI* SetupDiDestroyDeviceInfoList)(HDEVINFO) = nullptr;
  bool ok = false;

  static const SetupApiFunctions& Get() {
    static const SetupApiFunctions fns = [] {
      SetupApiFunctions f;
      HMODULE m = LoadLibraryW(L"setupapi.dll");
      if (m == nullptr) {
        return f;
      }
      f.ok = true;
      f.SetupDiCreateDeviceInfoList = reinterpret_cast<decltype(f.SetupDiCreateDeviceInfoList)>(
          reinterpret_cast<void*>(GetProcAddress(m, "SetupDiCreateDeviceInfoList")));
      f.ok = f.ok && f.SetupDiCreateDeviceInfoList != nullptr;
      f.SetupDiCreateDeviceInfoW = reinterpret_cast<decltype(f.SetupDiCreateDeviceInfoW)>(
          reinterpret_cast<void*>(GetProcAddress(m, "SetupDiCreateDeviceInfoW")));
      f.ok = f.ok && f.SetupDiCreateDeviceInfoW != nullptr;
      f.SetupDiSetDeviceRegistryPropertyW = reinterpret_cast<decltype(f.SetupDiSetDeviceRegistryPropertyW)>(
          reinterpret_cast<void*>(GetProcAddress(m, "SetupDiSetDeviceRegistryPropertyW")));
      f.ok = f.ok && f.SetupDiSetDeviceRegistryPropertyW != nullptr;
      f.SetupDiRegisterDeviceInfo = reinterpret_cast<decltype(f.SetupDiRegisterDeviceInfo)>(
          reinterpret_cast<void*>(GetProcAddress(m, "SetupDiRegisterDeviceInfo")));
      f.ok = f.ok && f.SetupDiRegisterDeviceInfo != nullptr;
      f.SetupDiCreateDeviceInterfaceW = reinterpret_cast<decltype(f.SetupDiCreateDeviceInterfaceW)>(
          reinterpret_cast<void*>(GetProcAddress(m, "SetupDiCreateDeviceInterfaceW")));
      f.ok = f.ok && f.SetupDiCreateDeviceInterfaceW != nullptr;
      f.SetupDiGetDeviceInterfaceDetailW = reinterpret_cast<decltype(f.SetupDiGetDeviceInterfaceDetailW)>(
          reinterpret_cast<void*>(GetProcAddress(m, "SetupDiGetDeviceInterfaceDetailW")));
      f.ok = f.ok && f.SetupDiGetDeviceInterfaceDetailW != nullptr;
      f.SetupDiRemoveDeviceInterface = reinterpret_cast<decltype(f.SetupDiRemoveDeviceInterface)>(
          reinterpret_cast<void*>(GetProcAddress(m, "SetupDiRemoveDeviceInterface")));
      f.ok = f.ok && f.SetupDiRemoveDeviceInterface != nullptr;
      f.SetupDiRemoveDevice = reinterpret_cast<decltype(f.SetupDiRemoveDevice)>(
          reinterpret_cast<void*>(GetProcAddress(m, "SetupDiRemoveDevice")));
      f.ok = f.ok && f.SetupDiRemoveDevice != nullptr;
      f.SetupDiDestroyDeviceInfoList = reinterpret_cast<decltype(f.SetupDiDestroyDeviceInfoList)>(
          reinterpret_cast<void*>(GetProcAddress(m, "SetupDiDestroyDeviceInfoList")));
      f.ok = f.ok && f.SetupDiDestroyDeviceInfoList != nullptr;
      return f;
    }();
    return fns;
  }
};

class WineDeviceRegistry {
 public:
  struct Device {
    std::wstring instanceId;                          // USB\VID_1209&PID_0001\SN1
    std::vector<std::wstring> hardwareIds;            // first one is what the library reads
    std::optional<std::wstring> containerId;          // braced GUID text
    std::vector<std::wstring> referenceStrings{L""};  // one interface of the class per entry
  };

  explicit WineDeviceRegistry(std::wstring interfaceGuid) : mGuidText(std::move(interfaceGuid)) {
    mGuid = ParseGuidW(mGuidText);
    if (Fns().ok) {
      mSet = Fns().SetupDiCreateDeviceInfoList(nullptr, nullptr);
    }
  }
  ~WineDeviceRegistry() { RemoveAll(); }
  WineDeviceRegistry(const WineDeviceRegistry&) = delete;
  WineDeviceRegistry& operator=(const WineDeviceRegistry&) = delete;

  // Registers a device; an empty text on success, else what failed.
  std::string Add(const Device& device) {
    if (!RunningUnderWine()) {
      return "not running under Wine";
    }
    if (!Fns().ok || mSet == INVALID_HANDLE_VALUE) {
      return "SetupDiCreateDeviceInfoList failed";
    }
    static const GUID kUsbClass = {0x36fc9e60, 0xc465, 0x11cf, {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0, 0}};
    SP_DEVINFO_DATA dev{};
    dev.cbSize = sizeof(dev);
    if (!Fns().SetupDiCreateDeviceInfoW(mSet, device.instanceId.c_str(), &kUsbClass, nullptr, nullptr, 0, &dev)) {
      return "SetupDiCreateDeviceInfoW failed, err=" + std::to_string(GetLastError());
    }
    std::wstring multi;
    for (const std::wstring& id : device.hardwareIds) {
      multi += id;
      multi.push_back(L'\0');
    }
    multi.push_back(L'\0');
    if (!device.hardwareIds.empty() && !Fns().SetupDiSetDeviceRegistryPropertyW(
                                           mSet, &dev, SPDRP_HARDWAREID, reinterpret_cast<const BYTE*>(multi.data()),
                                           static_cast<DWORD>(multi.size() * sizeof(wchar_t)))) {
      return "SetupDiSetDeviceRegistryPropertyW failed, err=" + std::to_string(GetLastError());
    }
    if (!Fns().SetupDiRegisterDeviceInfo(mSet, &dev, 0, nullptr, nullptr, nullptr)) {
      return "SetupDiRegisterDeviceInfo failed, err=" + std::to_string(GetLastError());
    }
    mDevices.push_back(dev);
    if (device.containerId) {
      // Not declared by the mingw headers of every version: resolved at run time.
      struct PropKey {
        GUID fmtid;
        ULONG pid;
      };
      using SetPropertyFn = BOOL(WINAPI*)(HDEVINFO, PSP_DEVINFO_DATA, const PropKey*, ULONG, const BYTE*, DWORD, DWORD);
      auto setProperty = reinterpret_cast<SetPropertyFn>(
          reinterpret_cast<void*>(GetProcAddress(LoadLibraryW(L"setupapi.dll"), "SetupDiSetDevicePropertyW")));
      if (setProperty == nullptr) {
        return "SetupDiSetDevicePropertyW not found";
      }
      const PropKey key = {{0x8c7ed206, 0x3f8a, 0x4827, {0xb3, 0xab, 0xae, 0x9e, 0x1f, 0xae, 0xfc, 0x6c}}, 2};
      const GUID container = ParseGuidW(*device.containerId);
      if (!setProperty(mSet, &dev, &key, 0x0D /* DEVPROP_TYPE_GUID */, reinterpret_cast<const BYTE*>(&container),
                       sizeof(container), 0)) {
        return "SetupDiSetDevicePropertyW failed, err=" + std::to_string(GetLastError());
      }
    }
    for (const std::wstring& ref : device.referenceStrings) {
      SP_DEVICE_INTERFACE_DATA iface{};
      iface.cbSize = sizeof(iface);
      if (!Fns().SetupDiCreateDeviceInterfaceW(mSet, &dev, &mGuid, ref.empty() ? nullptr : ref.c_str(), 0, &iface)) {
        return "SetupDiCreateDeviceInterfaceW failed, err=" + std::to_string(GetLastError());
      }
      mInterfaces.push_back(iface);
    }
    return LinkInterfaces();
  }

  // The interface paths the system made for the registered interfaces, in creation order.
  std::vector<std::wstring> InterfacePaths() {
    std::vector<std::wstring> paths;
    for (SP_DEVICE_INTERFACE_DATA& iface : mInterfaces) {
      DWORD size = 0;
      Fns().SetupDiGetDeviceInterfaceDetailW(mSet, &iface, nullptr, 0, &size, nullptr);
      std::vector<BYTE> buffer(size + 2, 0);
      auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
      detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
      paths.push_back(Fns().SetupDiGetDeviceInterfaceDetailW(mSet, &iface, detail, size, nullptr, nullptr)
                          ? std::wstring(detail->DevicePath)
                          : std::wstring());
    }
    return paths;
  }

  void RemoveAll() {
    if (mSet == INVALID_HANDLE_VALUE) {
      return;
    }
    for (SP_DEVICE_INTERFACE_DATA& iface : mInterfaces) {
      Fns().SetupDiRemoveDeviceInterface(mSet, &iface);
    }
    mInterfaces.clear();
    for (SP_DEVINFO_DATA& dev : mDevices) {
      Fns().SetupDiRemoveDevice(mSet, &dev);
    }
    mDevices.clear();
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, ClassKeyPath().c_str());
    Fns().SetupDiDestroyDeviceInfoList(mSet);
    mSet = INVALID_HANDLE_VALUE;
  }

 private:
  std::wstring ClassKeyPath() const { return L"System\\CurrentControlSet\\Control\\DeviceClasses\\" + mGuidText; }

  // Every interface key of the class (all of them are this registry's: the class is the
  // test's own) gets <interface>\<reference>\Control with Linked = 1.
  std::string LinkInterfaces() {
    HKEY classKey = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, ClassKeyPath().c_str(), 0, KEY_READ, &classKey) != ERROR_SUCCESS) {
      return "interface class key missing";
    }
    std::string result;
    for (DWORD i = 0;; ++i) {
      wchar_t name[512];
      DWORD nameLen = 512;
      if (RegEnumKeyExW(classKey, i, name, &nameLen, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
        break;
      }
      HKEY ifKey = nullptr;
      if (RegOpenKeyExW(classKey, name, 0, KEY_READ, &ifKey) != ERROR_SUCCESS) {
        continue;
      }
      for (DWORD j = 0;; ++j) {
        wchar_t ref[512];
        DWORD refLen = 512;
        if (RegEnumKeyExW(ifKey, j, ref, &refLen, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
          break;
        }
        if (ref[0] != L'#') {
          continue;
        }
        HKEY control = nullptr;
        const std::wstring sub = std::wstring(ref) + L"\\Control";
        if (RegCreateKeyExW(ifKey, sub.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &control, nullptr) !=
            ERROR_SUCCESS) {
          result = "cannot create the Control key";
          continue;
        }
        const DWORD linked = 1;
        RegSetValueExW(control, L"Linked", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&linked), sizeof(linked));
        RegCloseKey(control);
      }
      RegCloseKey(ifKey);
    }
    RegCloseKey(classKey);
    return result;
  }

  static const SetupApiFunctions& Fns() { return SetupApiFunctions::Get(); }

  std::wstring mGuidText;
  GUID mGuid{};
  HDEVINFO mSet = INVALID_HANDLE_VALUE;
  std::vector<SP_DEVINFO_DATA> mDevices;
  std::vector<SP_DEVICE_INTERFACE_DATA> mInterfaces;
};

}  // namespace fbtest

#endif  // _WIN32
