// The enumeration seam with a session recording in front: every call goes on unchanged to the
// seam that would answer without recording. After each listing of an interface class
// (GetClassDevs) it reads the listing's nodes through the same seam below and hands them to
// the QXSessionRecorder, which writes arrivals and removals.
#pragma once

#include "discovery/QXWinSetupApi.h"

namespace plendrik {

class QXRecordingSetupApi final : public QXWinSetupApi {
 public:
  static QXRecordingSetupApi& Instance();

  uint32_t GetClassDevs(const QXGuid& guid, uint32_t flags, QXHDevInfo& set) override;
  uint32_t DestroyDeviceInfoList(QXHDevInfo set) override;
  uint32_t EnumDeviceInfo(QXHDevInfo set, uint32_t index, QXSpDevInfoData& data) override;
  uint32_t EnumDeviceInterfaces(QXHDevInfo set, const QXSpDevInfoData* deviceInfo, const QXGuid& guid,
                                uint32_t memberIndex, QXSpDeviceInterfaceData& data) override;
  uint32_t GetDeviceInterfaceDetail(QXHDevInfo set, const QXSpDeviceInterfaceData& iface,
                                    QXSpDeviceInterfaceDetailData* detail, uint32_t detailSize,
                                    uint32_t* requiredSize) override;
  uint32_t GetDeviceInstanceId(QXHDevInfo set, const QXSpDevInfoData& data, QXWChar* buffer, uint32_t bufferChars,
                               uint32_t* requiredChars) override;
  uint32_t GetDeviceRegistryProperty(QXHDevInfo set, const QXSpDevInfoData& data, uint32_t property, uint32_t* regType,
                                     uint8_t* buffer, uint32_t bufferSize, uint32_t* requiredSize) override;
  uint32_t GetDeviceProperty(QXHDevInfo set, const QXSpDevInfoData& data, const QXDevPropKey& key, uint32_t* propType,
                             uint8_t* buffer, uint32_t bufferSize, uint32_t* requiredSize) override;

 private:
  QXWinSetupApi& Below() const;
  // Reads every node of a listing (reads only: the caller's set is left as it was).
  void RecordListing(QXWinSetupApi& api, const QXGuid& guid, QXHDevInfo set);
};

}  // namespace plendrik
