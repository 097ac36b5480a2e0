// The seam under the device listing: the SetupAPI calls it makes, one virtual operation each.
// Windows answers with the real SetupAPI; the host (and the windows test build) puts the
// virtual USB bus behind it. Each operation returns 0 or the Windows error code of the call.
#pragma once

#include "discovery/QXWinSetupApiTypes.h"

namespace plendrik {

class QXWinSetupApi {
 public:
  virtual ~QXWinSetupApi() = default;

  // SetupDiGetClassDevsW(guid, no enumerator, no window, flags).
  virtual uint32_t GetClassDevs(const QXGuid& guid, uint32_t flags, QXHDevInfo& set) = 0;
  // SetupDiDestroyDeviceInfoList.
  virtual uint32_t DestroyDeviceInfoList(QXHDevInfo set) = 0;
  // SetupDiEnumDeviceInfo: the element at index, ERROR_NO_MORE_ITEMS past the end.
  virtual uint32_t EnumDeviceInfo(QXHDevInfo set, uint32_t index, QXSpDevInfoData& data) = 0;
  // SetupDiEnumDeviceInterfaces: the memberIndex-th interface of the class, of one element
  // (deviceInfo) or of the whole set (deviceInfo null).
  virtual uint32_t EnumDeviceInterfaces(QXHDevInfo set, const QXSpDevInfoData* deviceInfo, const QXGuid& guid,
                                        uint32_t memberIndex, QXSpDeviceInterfaceData& data) = 0;
  // SetupDiGetDeviceInterfaceDetailW; requiredSize receives the bytes needed.
  virtual uint32_t GetDeviceInterfaceDetail(QXHDevInfo set, const QXSpDeviceInterfaceData& iface,
                                            QXSpDeviceInterfaceDetailData* detail, uint32_t detailSize,
                                            uint32_t* requiredSize) = 0;
  // SetupDiGetDeviceInstanceIdW; sizes in characters, terminator included.
  virtual uint32_t GetDeviceInstanceId(QXHDevInfo set, const QXSpDevInfoData& data, QXWChar* buffer,
                                       uint32_t bufferChars, uint32_t* requiredChars) = 0;
  // SetupDiGetDeviceRegistryPropertyW; sizes in bytes.
  virtual uint32_t GetDeviceRegistryProperty(QXHDevInfo set, const QXSpDevInfoData& data, uint32_t property,
                                             uint32_t* regType, uint8_t* buffer, uint32_t bufferSize,
                                             uint32_t* requiredSize) = 0;
  // SetupDiGetDevicePropertyW; sizes in bytes.
  virtual uint32_t GetDeviceProperty(QXHDevInfo set, const QXSpDevInfoData& data, const QXDevPropKey& key,
                                     uint32_t* propType, uint8_t* buffer, uint32_t bufferSize,
                                     uint32_t* requiredSize) = 0;
};

// The implementation behind the seam now.
QXWinSetupApi& QXWinGetSetupApi();
// The platform's own implementation: SetupAPI on windows, the virtual USB bus on the host.
QXWinSetupApi& QXWinGetPlatformSetupApi();
// Puts another implementation behind the seam (tests); null restores the platform's own.
// Not synchronised with listings running at the same time.
void QXWinSetSetupApi(QXWinSetupApi* api);
// What QXWinGetSetupApi answers when no recording is on: the installed seam, else the platform's.
QXWinSetupApi& QXWinGetUnrecordedSetupApi();
// Puts a session recording in front of the seam (null takes it away); it forwards to
// QXWinGetUnrecordedSetupApi.
void QXWinSetRecordingSetupApi(QXWinSetupApi* recorder);

}  // namespace plendrik
