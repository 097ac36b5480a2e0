#include "record/QXRecordingSetupApi.h"

#include <cstddef>
#include <cstring>
#include <vector>

#include "discovery/QXWinGuid.h"
#include "os/QXImmortal.h"
#include "os/QXOsString.h"
#include "record/QXRecorderCall.h"
#include "record/QXSessionRecorder.h"

namespace plendrik {

namespace {

std::string GuidText(const QXGuid& guid) { return QXAsciiLower(QXUtf16ToUtf8(QXWinGuid::StringFromGuid(guid))); }

// UTF-16 text of at most `units` units up to its first NUL.
std::string Utf8Of(const QXWChar* text, size_t units) {
  size_t n = 0;
  while (n < units && text[n] != 0) {
    ++n;
  }
  return QXUtf16ToUtf8(QXWStringView(text, n));
}

std::string InstanceId(QXWinSetupApi& api, QXHDevInfo set, const QXSpDevInfoData& info) {
  std::vector<QXWChar> buffer(512, 0);
  uint32_t required = 0;
  if (api.GetDeviceInstanceId(set, info, buffer.data(), static_cast<uint32_t>(buffer.size() - 1), &required) != 0) {
    return {};
  }
  return Utf8Of(buffer.data(), buffer.size());
}

std::vector<std::string> HardwareIds(QXWinSetupApi& api, QXHDevInfo set, const QXSpDevInfoData& info) {
  uint32_t type = 0;
  uint32_t required = 0;
  std::vector<std::string> ids;
  if (api.GetDeviceRegistryProperty(set, info, kQXSpdrpHardwareId, &type, nullptr, 0, &required) !=
      kQXErrorInsufficientBuffer) {
    return ids;
  }
  std::vector<uint8_t> data(static_cast<size_t>(required) + 4, 0);
  if (api.GetDeviceRegistryProperty(set, info, kQXSpdrpHardwareId, &type, data.data(), required, &required) != 0 ||
      type != kQXRegMultiSz) {
    return ids;
  }
  std::vector<QXWChar> units(data.size() / sizeof(QXWChar), 0);
  std::memcpy(units.data(), data.data(), units.size() * sizeof(QXWChar));
  size_t at = 0;
  while (at < units.size() && units[at] != 0) {
    const std::string id = Utf8Of(units.data() + at, units.size() - at);
    ids.push_back(id);
    while (at < units.size() && units[at] != 0) {
      ++at;
    }
    ++at;
  }
  return ids;
}

std::optional<std::string> ContainerId(QXWinSetupApi& api, QXHDevInfo set, const QXSpDevInfoData& info) {
  uint32_t type = 0;
  uint32_t required = 0;
  QXGuid guid{};
  if (api.GetDeviceProperty(set, info, kQXDevPKeyDeviceContainerId, &type, reinterpret_cast<uint8_t*>(&guid),
                            sizeof(guid), &required) != 0 ||
      type != kQXDevPropTypeGuid) {
    return std::nullopt;
  }
  return GuidText(guid);
}

std::string InterfacePath(QXWinSetupApi& api, QXHDevInfo set, const QXSpDevInfoData& info, const QXGuid& guid) {
  QXSpDeviceInterfaceData iface{};
  iface.cbSize = sizeof(iface);
  if (api.EnumDeviceInterfaces(set, &info, guid, 0, iface) != 0) {
    return {};
  }
  uint32_t required = 0;
  if (api.GetDeviceInterfaceDetail(set, iface, nullptr, 0, &required) != kQXErrorInsufficientBuffer) {
    return {};
  }
  const size_t size = required < kQXSpDeviceInterfaceDetailDataSize + sizeof(QXWChar)
                          ? kQXSpDeviceInterfaceDetailDataSize + sizeof(QXWChar)
                          : required;
  std::vector<uint8_t> detail(size + sizeof(QXWChar), 0);
  auto* detailData = reinterpret_cast<QXSpDeviceInterfaceDetailData*>(detail.data());
  detailData->cbSize = kQXSpDeviceInterfaceDetailDataSize;
  if (api.GetDeviceInterfaceDetail(set, iface, detailData, static_cast<uint32_t>(size), &required) != 0) {
    return {};
  }
  const size_t offset = offsetof(QXSpDeviceInterfaceDetailData, DevicePath);
  return Utf8Of(reinterpret_cast<const QXWChar*>(detail.data() + offset), (detail.size() - offset) / sizeof(QXWChar));
}

}  // namespace

QXRecordingSetupApi& QXRecordingSetupApi::Instance() { return QXImmortal<QXRecordingSetupApi>(); }

QXWinSetupApi& QXRecordingSetupApi::Below() const {
  QXWinSetupApi& api = QXWinGetUnrecordedSetupApi();
  return &api != this ? api : QXWinGetPlatformSetupApi();
}

void QXRecordingSetupApi::RecordListing(QXWinSetupApi& api, const QXGuid& guid, QXHDevInfo set) {
  std::vector<QXRecordedNode> nodes;
  const std::string interfaceClass = GuidText(guid);
  for (uint32_t index = 0;; ++index) {
    QXSpDevInfoData info{};
    info.cbSize = kQXSpDevInfoDataSize;
    if (api.EnumDeviceInfo(set, index, info) != 0) {
      break;
    }
    QXRecordedNode node;
    node.path = InterfacePath(api, set, info, guid);
    node.instance = InstanceId(api, set, info);
    node.hardwareIds = HardwareIds(api, set, info);
    node.container = ContainerId(api, set, info);
    node.interfaceClass = interfaceClass;
    nodes.push_back(std::move(node));
  }
  QXSessionRecorder::Instance().OnListing(interfaceClass, nodes);
}

uint32_t QXRecordingSetupApi::GetClassDevs(const QXGuid& guid, uint32_t flags, QXHDevInfo& set) {
  QXWinSetupApi& api = Below();
  const uint32_t err = api.GetClassDevs(guid, flags, set);
  if (err == 0 && set != QXInvalidDevInfo() && (flags & kQXDigcfDeviceInterface) != 0 &&
      QXSessionRecorder::Instance().IsRecording()) {
    QXRecorderCall([&] { RecordListing(api, guid, set); });
  }
  return err;
}

uint32_t QXRecordingSetupApi::DestroyDeviceInfoList(QXHDevInfo set) { return Below().DestroyDeviceInfoList(set); }

uint32_t QXRecordingSetupApi::EnumDeviceInfo(QXHDevInfo set, uint32_t index, QXSpDevInfoData& data) {
  return Below().EnumDeviceInfo(set, index, data);
}

uint32_t QXRecordingSetupApi::EnumDeviceInterfaces(QXHDevInfo set, const QXSpDevInfoData* deviceInfo,
                                                   const QXGuid& guid, uint32_t memberIndex,
                                                   QXSpDeviceInterfaceData& data) {
  return Below().EnumDeviceInterfaces(set, deviceInfo, guid, memberIndex, data);
}

uint32_t QXRecordingSetupApi::GetDeviceInterfaceDetail(QXHDevInfo set, const QXSpDeviceInterfaceData& iface,
                                                       QXSpDeviceInterfaceDetailData* detail, uint32_t detailSize,
                                                       uint32_t* requiredSize) {
  return Below().GetDeviceInterfaceDetail(set, iface, detail, detailSize, requiredSize);
}

uint32_t QXRecordingSetupApi::GetDeviceInstanceId(QXHDevInfo set, const QXSpDevInfoData& data, QXWChar* buffer,
                                                  uint32_t bufferChars, uint32_t* requiredChars) {
  return Below().GetDeviceInstanceId(set, data, buffer, bufferChars, requiredChars);
}

uint32_t QXRecordingSetupApi::GetDeviceRegistryProperty(QXHDevInfo set, const QXSpDevInfoData& data, uint32_t property,
                                                        uint32_t* regType, uint8_t* buffer, uint32_t bufferSize,
                                                        uint32_t* requiredSize) {
  return Below().GetDeviceRegistryProperty(set, data, property, regType, buffer, bufferSize, requiredSize);
}

uint32_t QXRecordingSetupApi::GetDeviceProperty(QXHDevInfo set, const QXSpDevInfoData& data, const QXDevPropKey& key,
                                                uint32_t* propType, uint8_t* buffer, uint32_t bufferSize,
                                                uint32_t* requiredSize) {
  return Below().GetDeviceProperty(set, data, key, propType, buffer, bufferSize, requiredSize);
}

}  // namespace plendrik
