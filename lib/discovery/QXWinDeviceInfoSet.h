// One device information set of the system's device listing (an HDEVINFO). Every SetupAPI
// call of the library goes through this wrapper and, below it, through the QXWinSetupApi
// seam. Each operation returns 0 or the Windows error code of the failed call, unless a
// QXSTATUS is named.
#pragma once

#include <vector>

#include "discovery/QXWinSetupApiTypes.h"

namespace plendrik {

class QXWinDeviceInfoSet {
 public:
  QXWinDeviceInfoSet() = default;
  ~QXWinDeviceInfoSet() { DestroyDeviceInfoList(); }
  QXWinDeviceInfoSet(const QXWinDeviceInfoSet&) = delete;
  QXWinDeviceInfoSet& operator=(const QXWinDeviceInfoSet&) = delete;

  bool IsOpen() const { return mHandle != QXInvalidDevInfo(); }

  // Opens the set of present device interfaces of the class (DIGCF_PRESENT |
  // DIGCF_DEVICEINTERFACE); a set already open is closed first.
  uint32_t GetClassDevs(const QXGuid& guid);
  // ERROR_NO_MORE_ITEMS past the last element; not logged, it ends every listing.
  uint32_t EnumDeviceInfo(uint32_t index, QXSpDevInfoData& entry);
  // Counts the elements by enumerating until ERROR_NO_MORE_ITEMS.
  uint32_t GetElementCount(uint32_t& count);
  // The memberIndex-th interface of the class, of one element or (deviceInfo null) of the set.
  uint32_t EnumDeviceInterfaces(const QXSpDevInfoData* deviceInfo, uint32_t memberIndex, const QXGuid& guid,
                                QXSpDeviceInterfaceData& data);
  // The interface's detail data: asks for the size, then reads into a buffer of that size.
  // QXSTATUS_NO_MEMORY when the buffer cannot be allocated.
  uint32_t GetDeviceInterfaceDetail(const QXSpDeviceInterfaceData& data, std::vector<uint8_t>& detail);
  // The device path of an interface of the class (see EnumDeviceInterfaces).
  uint32_t GetDeviceInterfaceDevicePath(const QXSpDevInfoData* deviceInfo, uint32_t memberIndex, const QXGuid& guid,
                                        QXWString& path);
  uint32_t GetDeviceInstanceId(const QXSpDevInfoData& entry, QXWString& instanceId);
  // One registry property read into buffer; requiredSize tells the size the data needs.
  uint32_t GetDeviceRegistryProperty(const QXSpDevInfoData& entry, uint32_t property, uint32_t& regType,
                                     uint8_t* buffer, uint32_t bufferSize, uint32_t& requiredSize);
  // A REG_MULTI_SZ property split into its texts. QXSTATUS_NO_MEMORY, QXSTATUS_INVALID_TYPE.
  uint32_t GetDeviceRegistryPropertyMULTISTRING(const QXSpDevInfoData& entry, uint32_t property,
                                                std::vector<QXWString>& texts);
  uint32_t GetDeviceProperty(const QXSpDevInfoData& entry, const QXDevPropKey& key, uint32_t& propType, uint8_t* buffer,
                             uint32_t bufferSize, uint32_t& requiredSize);
  // A property of type GUID; QXSTATUS_INVALID_TYPE for another type or size.
  uint32_t GetDevicePropertyGUID(const QXSpDevInfoData& entry, const QXDevPropKey& key, QXGuid& value);
  uint32_t GetDeviceContainerId(const QXSpDevInfoData& entry, QXGuid& containerId);
  // Closes the set if one is open.
  uint32_t DestroyDeviceInfoList();

 private:
  QXHDevInfo mHandle = QXInvalidDevInfo();
};

}  // namespace plendrik
