// The SetupAPI data structures and constants the device listing uses. On windows they are
// the system's own; on the host, layout-compatible stand-ins with the same values.
#pragma once

#include <cstdint>

#include "os/QXOsTypes.h"
#include "os/QXWinErrors.h"

#if defined(_WIN32)
#include <windows.h>
// windows.h first
#include <setupapi.h>
#endif

namespace plendrik {

#if defined(_WIN32)
using QXGuid = GUID;
using QXHDevInfo = HDEVINFO;
using QXSpDevInfoData = SP_DEVINFO_DATA;
using QXSpDeviceInterfaceData = SP_DEVICE_INTERFACE_DATA;
using QXSpDeviceInterfaceDetailData = SP_DEVICE_INTERFACE_DETAIL_DATA_W;
#else
struct QXGuid {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};
using QXHDevInfo = void*;
struct QXSpDevInfoData {
  uint32_t cbSize;
  QXGuid ClassGuid;
  uint32_t DevInst;
  uintptr_t Reserved;
};
struct QXSpDeviceInterfaceData {
  uint32_t cbSize;
  QXGuid InterfaceClassGuid;
  uint32_t Flags;
  uintptr_t Reserved;
};
struct QXSpDeviceInterfaceDetailData {
  uint32_t cbSize;
  QXWChar DevicePath[1];
};
#endif

// A device property key (DEVPROPKEY): the property set GUID and the property id.
struct QXDevPropKey {
  QXGuid fmtid;
  uint32_t pid;
};

// Field-wise comparison (windows.h brings its own operator== for GUID, the host has none).
inline bool QXGuidEqual(const QXGuid& a, const QXGuid& b) {
  if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) {
    return false;
  }
  for (int i = 0; i < 8; ++i) {
    if (a.Data4[i] != b.Data4[i]) {
      return false;
    }
  }
  return true;
}

inline bool QXIsNullGuid(const QXGuid& g) { return QXGuidEqual(g, QXGuid{}); }

// The handle value of no open set (INVALID_HANDLE_VALUE).
inline QXHDevInfo QXInvalidDevInfo() { return reinterpret_cast<QXHDevInfo>(static_cast<intptr_t>(-1)); }

// SetupDiGetClassDevs flags, registry properties and value types.
constexpr uint32_t kQXDigcfPresent = 0x02;
constexpr uint32_t kQXDigcfDeviceInterface = 0x10;
constexpr uint32_t kQXSpdrpHardwareId = 0x01;
constexpr uint32_t kQXRegSz = 1;
constexpr uint32_t kQXRegMultiSz = 7;
// Device property type of a GUID value (DEVPROP_TYPE_GUID).
constexpr uint32_t kQXDevPropTypeGuid = 0x0D;

// SP_DEVINFO_DATA.cbSize and the cbSize of the interface detail data on x64.
constexpr uint32_t kQXSpDevInfoDataSize = 32;
constexpr uint32_t kQXSpDeviceInterfaceDetailDataSize = 8;

// {8C7ED206-3F8A-4827-B3AB-AE9E1FAEFC6C}, 2: the device's container id (DEVPKEY_Device_ContainerId).
constexpr QXDevPropKey kQXDevPKeyDeviceContainerId = {
    {0x8c7ed206, 0x3f8a, 0x4827, {0xb3, 0xab, 0xae, 0x9e, 0x1f, 0xae, 0xfc, 0x6c}}, 2};

static_assert(sizeof(QXSpDevInfoData) == kQXSpDevInfoDataSize);
static_assert(sizeof(QXSpDeviceInterfaceDetailData) == kQXSpDeviceInterfaceDetailDataSize);

}  // namespace plendrik
