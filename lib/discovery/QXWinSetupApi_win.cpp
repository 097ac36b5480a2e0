// The seam's windows implementation: the real SetupAPI.
#include "discovery/QXWinSetupApi.h"
#include "os/QXImmortal.h"

namespace plendrik {

namespace {

uint32_t LastError() {
  const DWORD err = GetLastError();
  // A failing call that left no error code still has to read as a failure.
  return err != 0 ? static_cast<uint32_t>(err) : static_cast<uint32_t>(ERROR_GEN_FAILURE);
}

class QXWinSetupApiSystem final : public QXWinSetupApi {
 public:
  uint32_t GetClassDevs(const QXGuid& guid, uint32_t flags, QXHDevInfo& set) override {
    set = SetupDiGetClassDevsW(&guid, nullptr, nullptr, flags);
    return set == INVALID_HANDLE_VALUE ? LastError() : 0;
  }
  uint32_t DestroyDeviceInfoList(QXHDevInfo set) override {
    return SetupDiDestroyDeviceInfoList(set) ? 0 : LastError();
  }
  uint32_t EnumDeviceInfo(QXHDevInfo set, uint32_t index, QXSpDevInfoData& data) override {
    return SetupDiEnumDeviceInfo(set, index, &data) ? 0 : LastError();
  }
  uint32_t EnumDeviceInterfaces(QXHDevInfo set, const QXSpDevInfoData* deviceInfo, const QXGuid& guid,
                                uint32_t memberIndex, QXSpDeviceInterfaceData& data) override {
    return SetupDiEnumDeviceInterfaces(set, const_cast<QXSpDevInfoData*>(deviceInfo), &guid, memberIndex, &data)
               ? 0
               : LastError();
  }
  uint32_t GetDeviceInterfaceDetail(QXHDevInfo set, const QXSpDeviceInterfaceData& iface,
                                    QXSpDeviceInterfaceDetailData* detail, uint32_t detailSize,
                                    uint32_t* requiredSize) override {
    DWORD required = 0;
    const BOOL ok = SetupDiGetDeviceInterfaceDetailW(set, const_cast<QXSpDeviceInterfaceData*>(&iface), detail,
                                                     detailSize, &required, nullptr);
    const uint32_t err = ok ? 0 : LastError();
    if (requiredSize != nullptr) {
      *requiredSize = required;
    }
    return err;
  }
  uint32_t GetDeviceInstanceId(QXHDevInfo set, const QXSpDevInfoData& data, QXWChar* buffer, uint32_t bufferChars,
                               uint32_t* requiredChars) override {
    DWORD required = 0;
    const BOOL ok =
        SetupDiGetDeviceInstanceIdW(set, const_cast<QXSpDevInfoData*>(&data), buffer, bufferChars, &required);
    const uint32_t err = ok ? 0 : LastError();
    if (requiredChars != nullptr) {
      *requiredChars = required;
    }
    return err;
  }
  uint32_t GetDeviceRegistryProperty(QXHDevInfo set, const QXSpDevInfoData& data, uint32_t property, uint32_t* regType,
                                     uint8_t* buffer, uint32_t bufferSize, uint32_t* requiredSize) override {
    DWORD type = 0;
    DWORD required = 0;
    const BOOL ok = SetupDiGetDeviceRegistryPropertyW(set, const_cast<QXSpDevInfoData*>(&data), property, &type, buffer,
                                                      bufferSize, &required);
    const uint32_t err = ok ? 0 : LastError();
    if (regType != nullptr) {
      *regType = type;
    }
    if (requiredSize != nullptr) {
      *requiredSize = required;
    }
    return err;
  }
  uint32_t GetDeviceProperty(QXHDevInfo set, const QXSpDevInfoData& data, const QXDevPropKey& key, uint32_t* propType,
                             uint8_t* buffer, uint32_t bufferSize, uint32_t* requiredSize) override {
    DEVPROPKEY k;
    k.fmtid = key.fmtid;
    k.pid = key.pid;
    DEVPROPTYPE type = 0;
    DWORD required = 0;
    const BOOL ok = SetupDiGetDevicePropertyW(set, const_cast<QXSpDevInfoData*>(&data), &k, &type, buffer, bufferSize,
                                              &required, 0);
    const uint32_t err = ok ? 0 : LastError();
    if (propType != nullptr) {
      *propType = type;
    }
    if (requiredSize != nullptr) {
      *requiredSize = required;
    }
    return err;
  }
};

}  // namespace

QXWinSetupApi& QXWinGetPlatformSetupApi() {
  // Enumerations released while the module unloads still close their sets through it.
  return QXImmortal<QXWinSetupApiSystem>();
}

}  // namespace plendrik
