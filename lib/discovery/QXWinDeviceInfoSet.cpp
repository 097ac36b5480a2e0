#include "discovery/QXWinDeviceInfoSet.h"

#include <cstring>
#include <new>

#include "diag/QXLog.h"
#include "discovery/QXWinSetupApi.h"

namespace plendrik {

namespace {
// A registry value that keeps growing between the size query and the read is given up on
// after this many rounds instead of being chased forever.
constexpr int kMaxRegistryReadRounds = 8;
// Characters of the instance id buffer, terminator included.
constexpr uint32_t kInstanceIdChars = 511;
}  // namespace

uint32_t QXWinDeviceInfoSet::GetClassDevs(const QXGuid& guid) {
  DestroyDeviceInfoList();
  QXHDevInfo handle = QXInvalidDevInfo();
  const uint32_t err = QXWinGetSetupApi().GetClassDevs(guid, kQXDigcfPresent | kQXDigcfDeviceInterface, handle);
  if (err != 0 || handle == QXInvalidDevInfo()) {
    const void* h = handle;
    QX_LOG_ERROR("SetupDiGetClassDevs() failed, err={} h={}", QXSt{err}, h);
    return err != 0 ? err : kQXErrorInvalidHandle;
  }
  mHandle = handle;
  return 0;
}

uint32_t QXWinDeviceInfoSet::EnumDeviceInfo(uint32_t index, QXSpDevInfoData& entry) {
  std::memset(&entry, 0, sizeof(entry));
  entry.cbSize = kQXSpDevInfoDataSize;
  const uint32_t err = QXWinGetSetupApi().EnumDeviceInfo(mHandle, index, entry);
  if (err != 0 && err != kQXErrorNoMoreItems) {
    QX_LOG_ERROR("SetupDiEnumDeviceInfo() failed, err={}", QXSt{err});
  }
  return err;
}

uint32_t QXWinDeviceInfoSet::GetElementCount(uint32_t& count) {
  count = 0;
  QXSpDevInfoData entry;
  for (;;) {
    const uint32_t err = EnumDeviceInfo(count, entry);
    if (err == kQXErrorNoMoreItems) {
      return 0;
    }
    if (err != 0) {
      return err;
    }
    ++count;
  }
}

uint32_t QXWinDeviceInfoSet::EnumDeviceInterfaces(const QXSpDevInfoData* deviceInfo, uint32_t memberIndex,
                                                  const QXGuid& guid, QXSpDeviceInterfaceData& data) {
  std::memset(&data, 0, sizeof(data));
  data.cbSize = sizeof(data);
  const uint32_t err = QXWinGetSetupApi().EnumDeviceInterfaces(mHandle, deviceInfo, guid, memberIndex, data);
  if (err != 0) {
    QX_LOG_ERROR("SetupDiEnumDeviceInterfaces() failed, err={}", QXSt{err});
  }
  return err;
}

uint32_t QXWinDeviceInfoSet::GetDeviceInterfaceDetail(const QXSpDeviceInterfaceData& data,
                                                      std::vector<uint8_t>& detail) {
  QXWinSetupApi& api = QXWinGetSetupApi();
  uint32_t required = 0;
  uint32_t err = api.GetDeviceInterfaceDetail(mHandle, data, nullptr, 0, &required);
  if (err != kQXErrorInsufficientBuffer) {
    // A size query that succeeds has nothing to report either.
    err = err != 0 ? err : kQXErrorInvalidData;
    QX_LOG_ERROR("GetDeviceInterfaceDetail() 1 failed, st={}", QXSt{err});
    return err;
  }
  // AllocateDetailData: room for the size field and a terminated path at the least.
  const uint32_t size = required < kQXSpDeviceInterfaceDetailDataSize + sizeof(QXWChar)
                            ? kQXSpDeviceInterfaceDetailDataSize + sizeof(QXWChar)
                            : required;
  try {
    detail.assign(size + sizeof(QXWChar), 0);
  } catch (const std::bad_alloc&) {
    QX_LOG_ERROR("AllocateDetailData() failed, st={}", QXSt{QXSTATUS_NO_MEMORY});
    return QXSTATUS_NO_MEMORY;
  }
  auto* detailData = reinterpret_cast<QXSpDeviceInterfaceDetailData*>(detail.data());
  detailData->cbSize = kQXSpDeviceInterfaceDetailDataSize;
  err = api.GetDeviceInterfaceDetail(mHandle, data, detailData, size, &required);
  if (err != 0) {
    QX_LOG_ERROR("GetDeviceInterfaceDetail() 2 failed, st={}", QXSt{err});
    return err;
  }
  return 0;
}

uint32_t QXWinDeviceInfoSet::GetDeviceInterfaceDevicePath(const QXSpDevInfoData* deviceInfo, uint32_t memberIndex,
                                                          const QXGuid& guid, QXWString& path) {
  QXSpDeviceInterfaceData data;
  uint32_t err = EnumDeviceInterfaces(deviceInfo, memberIndex, guid, data);
  if (err != 0) {
    QX_LOG_ERROR("EnumDeviceInterfaces() failed, st={}", QXSt{err});
    return err;
  }
  std::vector<uint8_t> detail;
  err = GetDeviceInterfaceDetail(data, detail);
  if (err != 0) {
    return err;
  }
  // The path runs from its field to the first NUL; the buffer always ends with one.
  const size_t offset = offsetof(QXSpDeviceInterfaceDetailData, DevicePath);
  const auto* begin = reinterpret_cast<const QXWChar*>(detail.data() + offset);
  const size_t maxUnits = (detail.size() - offset) / sizeof(QXWChar);
  size_t n = 0;
  while (n < maxUnits && begin[n] != 0) {
    ++n;
  }
  path.assign(begin, n);
  return 0;
}

uint32_t QXWinDeviceInfoSet::GetDeviceInstanceId(const QXSpDevInfoData& entry, QXWString& instanceId) {
  QXWChar buffer[kInstanceIdChars + 1] = {};
  uint32_t required = 0;
  const uint32_t err = QXWinGetSetupApi().GetDeviceInstanceId(mHandle, entry, buffer, kInstanceIdChars, &required);
  if (err != 0) {
    QX_LOG_ERROR("SetupDiGetDeviceInstanceId() failed, err={}", QXSt{err});
    return err;
  }
  size_t n = 0;
  while (n < kInstanceIdChars && buffer[n] != 0) {
    ++n;
  }
  instanceId.assign(buffer, n);
  return 0;
}

uint32_t QXWinDeviceInfoSet::GetDeviceRegistryProperty(const QXSpDevInfoData& entry, uint32_t property,
                                                       uint32_t& regType, uint8_t* buffer, uint32_t bufferSize,
                                                       uint32_t& requiredSize) {
  regType = 0;
  requiredSize = 0;
  return QXWinGetSetupApi().GetDeviceRegistryProperty(mHandle, entry, property, &regType, buffer, bufferSize,
                                                      &requiredSize);
}

uint32_t QXWinDeviceInfoSet::GetDeviceRegistryPropertyMULTISTRING(const QXSpDevInfoData& entry, uint32_t property,
                                                                  std::vector<QXWString>& texts) {
  texts.clear();
  uint32_t regType = 0;
  uint32_t required = 0;
  uint32_t err = GetDeviceRegistryProperty(entry, property, regType, nullptr, 0, required);
  if (err == 0) {
    // No data at all: a value without texts.
    if (regType != kQXRegMultiSz) {
      QX_LOG_ERROR("unexpected type {}", regType);
      return QXSTATUS_INVALID_TYPE;
    }
    return 0;
  }
  if (err != kQXErrorInsufficientBuffer) {
    QX_LOG_ERROR("GetDeviceRegistryProperty({}) 1 failed, st={}", property, QXSt{err});
    return err;
  }
  std::vector<uint8_t> data;
  for (int round = 0;; ++round) {
    // AllocateBuffer: zeroed, with room for two more terminators than the value reports.
    try {
      data.assign(static_cast<size_t>(required) + 4, 0);
    } catch (const std::bad_alloc&) {
      QX_LOG_ERROR("AllocateBuffer() failed, st={}", QXSt{QXSTATUS_NO_MEMORY});
      return QXSTATUS_NO_MEMORY;
    }
    uint32_t needed = 0;
    err = GetDeviceRegistryProperty(entry, property, regType, data.data(), required, needed);
    if (err == 0) {
      break;
    }
    if (err != kQXErrorInsufficientBuffer || round + 1 >= kMaxRegistryReadRounds) {
      QX_LOG_ERROR("GetDeviceRegistryProperty({}) 2 failed, st={}", property, QXSt{err});
      return err;
    }
    // The value grew since the size query: read the size again and repeat.
    err = GetDeviceRegistryProperty(entry, property, regType, nullptr, 0, required);
    if (err != kQXErrorInsufficientBuffer) {
      err = err != 0 ? err : kQXErrorInvalidData;
      QX_LOG_ERROR("GetDeviceRegistryProperty({}) 1 failed, st={}", property, QXSt{err});
      return err;
    }
  }
  if (regType != kQXRegMultiSz) {
    QX_LOG_ERROR("unexpected type {}", regType);
    return QXSTATUS_INVALID_TYPE;
  }
  // Texts follow each other, each ended by a NUL; an empty text ends the list. The four
  // extra zero bytes end the last text even when the value was stored without terminators.
  const auto* units = reinterpret_cast<const QXWChar*>(data.data());
  const size_t count = data.size() / sizeof(QXWChar);
  size_t pos = 0;
  while (pos < count && units[pos] != 0) {
    size_t end = pos;
    while (end < count && units[end] != 0) {
      ++end;
    }
    texts.emplace_back(units + pos, end - pos);
    pos = end + 1;
  }
  return 0;
}

uint32_t QXWinDeviceInfoSet::GetDeviceProperty(const QXSpDevInfoData& entry, const QXDevPropKey& key,
                                               uint32_t& propType, uint8_t* buffer, uint32_t bufferSize,
                                               uint32_t& requiredSize) {
  propType = 0;
  requiredSize = 0;
  return QXWinGetSetupApi().GetDeviceProperty(mHandle, entry, key, &propType, buffer, bufferSize, &requiredSize);
}

uint32_t QXWinDeviceInfoSet::GetDevicePropertyGUID(const QXSpDevInfoData& entry, const QXDevPropKey& key,
                                                   QXGuid& value) {
  value = QXGuid{};
  uint8_t buffer[sizeof(QXGuid)] = {};
  uint32_t propType = 0;
  uint32_t required = 0;
  const uint32_t err = GetDeviceProperty(entry, key, propType, buffer, sizeof(buffer), required);
  if (err != 0) {
    // Devices without the property are common (no container id); the caller decides.
    return err;
  }
  if (propType != kQXDevPropTypeGuid || required != sizeof(QXGuid)) {
    QX_LOG_ERROR("unexpected type {}", propType);
    return QXSTATUS_INVALID_TYPE;
  }
  std::memcpy(&value, buffer, sizeof(value));
  return 0;
}

uint32_t QXWinDeviceInfoSet::GetDeviceContainerId(const QXSpDevInfoData& entry, QXGuid& containerId) {
  return GetDevicePropertyGUID(entry, kQXDevPKeyDeviceContainerId, containerId);
}

uint32_t QXWinDeviceInfoSet::DestroyDeviceInfoList() {
  if (!IsOpen()) {
    return 0;
  }
  const uint32_t err = QXWinGetSetupApi().DestroyDeviceInfoList(mHandle);
  mHandle = QXInvalidDevInfo();
  if (err != 0) {
    QX_LOG_ERROR("SetupDiDestroyDeviceInfoList() failed, err={}", QXSt{err});
  }
  return err;
}

}  // namespace plendrik
