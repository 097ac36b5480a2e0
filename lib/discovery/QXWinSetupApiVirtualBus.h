// The SetupAPI seam answered from the virtual USB bus: a device information set is a
// snapshot of the bus's listed nodes of one interface class, and every call behaves as
// SetupAPI does (sizes, ERROR_INSUFFICIENT_BUFFER, ERROR_NO_MORE_ITEMS, property types).
// The host library uses it as its platform; the windows unit tests put it behind the seam.
// Header-only so that the windows library itself never contains the bus.
#pragma once

#include <cstddef>
#include <cstring>
#include <memory>
#include <mutex>
#include <map>
#include <vector>

#include "discovery/QXWinSetupApi.h"
#include "sim/VirtualUsbBus.h"

namespace plendrik {

class QXWinSetupApiVirtualBus final : public QXWinSetupApi {
 public:
  static QXGuid ToGuid(const sim::SimGuid& g) {
    QXGuid out{};
    out.Data1 = g.data1;
    out.Data2 = g.data2;
    out.Data3 = g.data3;
    std::memcpy(out.Data4, g.data4, 8);
    return out;
  }
  static sim::SimGuid ToSimGuid(const QXGuid& g) {
    sim::SimGuid out;
    out.data1 = g.Data1;
    out.data2 = g.Data2;
    out.data3 = g.Data3;
    std::memcpy(out.data4, g.Data4, 8);
    return out;
  }

  uint32_t GetClassDevs(const QXGuid& guid, uint32_t flags, QXHDevInfo& set) override {
    set = QXInvalidDevInfo();
    // Only the listing the library asks for exists on the bus: present device interfaces.
    if ((flags & kQXDigcfDeviceInterface) == 0) {
      return kQXErrorInvalidParameter;
    }
    auto snapshot = std::make_unique<Set>();
    snapshot->nodes = sim::VirtualUsbBus::Instance().ListDevices(ToSimGuid(guid));
    std::lock_guard<std::mutex> lock(mMutex);
    set = static_cast<QXHDevInfo>(snapshot.get());
    mSets.emplace(set, std::move(snapshot));
    return 0;
  }

  uint32_t DestroyDeviceInfoList(QXHDevInfo set) override {
    std::unique_ptr<Set> destroyed;  // freed outside the lock
    std::lock_guard<std::mutex> lock(mMutex);
    const auto it = mSets.find(set);
    if (it == mSets.end()) {
      return kQXErrorInvalidHandle;
    }
    destroyed = std::move(it->second);
    mSets.erase(it);
    return 0;
  }

  uint32_t EnumDeviceInfo(QXHDevInfo set, uint32_t index, QXSpDevInfoData& data) override {
    const Set* s = Find(set);
    if (s == nullptr) {
      return kQXErrorInvalidHandle;
    }
    if (data.cbSize != sizeof(QXSpDevInfoData)) {
      return kQXErrorInvalidUserBuffer;
    }
    if (index >= s->nodes.size()) {
      return kQXErrorNoMoreItems;
    }
    data.ClassGuid = kUsbDeviceClass;
    data.DevInst = index + 1;
    data.Reserved = index;
    return 0;
  }

  uint32_t EnumDeviceInterfaces(QXHDevInfo set, const QXSpDevInfoData* deviceInfo, const QXGuid& guid,
                                uint32_t memberIndex, QXSpDeviceInterfaceData& data) override {
    const Set* s = Find(set);
    if (s == nullptr) {
      return kQXErrorInvalidHandle;
    }
    if (data.cbSize != sizeof(QXSpDeviceInterfaceData)) {
      return kQXErrorInvalidUserBuffer;
    }
    // Each listed node exposes exactly one interface of its class.
    const sim::SimGuid wanted = ToSimGuid(guid);
    size_t element = 0;
    if (deviceInfo != nullptr) {
      element = deviceInfo->Reserved;
      if (element >= s->nodes.size() || memberIndex != 0 || s->nodes[element].interfaceClassGuid != wanted) {
        return element >= s->nodes.size() ? kQXErrorInvalidParameter : kQXErrorNoMoreItems;
      }
    } else {
      uint32_t seen = 0;
      for (element = 0; element < s->nodes.size(); ++element) {
        if (s->nodes[element].interfaceClassGuid == wanted && seen++ == memberIndex) {
          break;
        }
      }
      if (element >= s->nodes.size()) {
        return kQXErrorNoMoreItems;
      }
    }
    data.InterfaceClassGuid = guid;
    data.Flags = 1;  // SPINT_ACTIVE
    data.Reserved = element;
    return 0;
  }

  uint32_t GetDeviceInterfaceDetail(QXHDevInfo set, const QXSpDeviceInterfaceData& iface,
                                    QXSpDeviceInterfaceDetailData* detail, uint32_t detailSize,
                                    uint32_t* requiredSize) override {
    const sim::SimDeviceListEntry* node = FindNode(set, iface.Reserved);
    if (node == nullptr) {
      return kQXErrorInvalidParameter;
    }
    const size_t offset = offsetof(QXSpDeviceInterfaceDetailData, DevicePath);
    const size_t required = offset + (node->interfacePath.size() + 1) * sizeof(QXWChar);
    if (requiredSize != nullptr) {
      *requiredSize = static_cast<uint32_t>(required);
    }
    if (detail == nullptr) {
      return detailSize == 0 ? kQXErrorInsufficientBuffer : kQXErrorInvalidUserBuffer;
    }
    if (detail->cbSize != kQXSpDeviceInterfaceDetailDataSize) {
      return kQXErrorInvalidUserBuffer;
    }
    if (detailSize < required) {
      return kQXErrorInsufficientBuffer;
    }
    QXWChar* path = detail->DevicePath;
    std::memcpy(path, node->interfacePath.c_str(), (node->interfacePath.size() + 1) * sizeof(QXWChar));
    return 0;
  }

  uint32_t GetDeviceInstanceId(QXHDevInfo set, const QXSpDevInfoData& data, QXWChar* buffer, uint32_t bufferChars,
                               uint32_t* requiredChars) override {
    const sim::SimDeviceListEntry* node = FindNode(set, data.Reserved);
    if (node == nullptr) {
      return kQXErrorInvalidParameter;
    }
    const size_t required = node->instanceId.size() + 1;
    if (requiredChars != nullptr) {
      *requiredChars = static_cast<uint32_t>(required);
    }
    if (buffer == nullptr || bufferChars < required) {
      return kQXErrorInsufficientBuffer;
    }
    std::memcpy(buffer, node->instanceId.c_str(), required * sizeof(QXWChar));
    return 0;
  }

  uint32_t GetDeviceRegistryProperty(QXHDevInfo set, const QXSpDevInfoData& data, uint32_t property, uint32_t* regType,
                                     uint8_t* buffer, uint32_t bufferSize, uint32_t* requiredSize) override {
    const sim::SimDeviceListEntry* node = FindNode(set, data.Reserved);
    if (node == nullptr) {
      return kQXErrorInvalidParameter;
    }
    if (property != kQXSpdrpHardwareId) {
      return kQXErrorInvalidRegProperty;
    }
    if (node->hardwareIds.empty()) {
      return kQXErrorInvalidData;  // what SetupAPI answers for a property the device lacks
    }
    QXWString multi;
    for (const QXWString& id : node->hardwareIds) {
      multi += id;
      multi.push_back(0);
    }
    multi.push_back(0);
    const size_t required = multi.size() * sizeof(QXWChar);
    if (regType != nullptr) {
      *regType = kQXRegMultiSz;
    }
    if (requiredSize != nullptr) {
      *requiredSize = static_cast<uint32_t>(required);
    }
    if (buffer == nullptr || bufferSize < required) {
      return kQXErrorInsufficientBuffer;
    }
    std::memcpy(buffer, multi.data(), required);
    return 0;
  }

  uint32_t GetDeviceProperty(QXHDevInfo set, const QXSpDevInfoData& data, const QXDevPropKey& key, uint32_t* propType,
                             uint8_t* buffer, uint32_t bufferSize, uint32_t* requiredSize) override {
    const sim::SimDeviceListEntry* node = FindNode(set, data.Reserved);
    if (node == nullptr) {
      return kQXErrorInvalidParameter;
    }
    if (!QXGuidEqual(key.fmtid, kQXDevPKeyDeviceContainerId.fmtid) || key.pid != kQXDevPKeyDeviceContainerId.pid ||
        !node->containerId.has_value()) {
      return kQXErrorNotFound;
    }
    if (propType != nullptr) {
      *propType = kQXDevPropTypeGuid;
    }
    if (requiredSize != nullptr) {
      *requiredSize = sizeof(QXGuid);
    }
    if (buffer == nullptr || bufferSize < sizeof(QXGuid)) {
      return kQXErrorInsufficientBuffer;
    }
    const QXGuid value = ToGuid(*node->containerId);
    std::memcpy(buffer, &value, sizeof(value));
    return 0;
  }

 private:
  struct Set {
    std::vector<sim::SimDeviceListEntry> nodes;
  };
  // GUID_DEVCLASS_USB {36FC9E60-C465-11CF-8056-444553540000}
  static constexpr QXGuid kUsbDeviceClass = {0x36fc9e60, 0xc465, 0x11cf, {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0, 0}};

  // A set is used by one listing at a time; the lock guards only the registry of sets, which
  // is keyed by handle so that a call costs little however many sets are open. A map holds
  // no storage once empty: the registry lives as long as the process, the module may not.
  const Set* Find(QXHDevInfo set) {
    std::lock_guard<std::mutex> lock(mMutex);
    const auto it = mSets.find(set);
    return it != mSets.end() ? it->second.get() : nullptr;
  }
  const sim::SimDeviceListEntry* FindNode(QXHDevInfo set, uintptr_t element) {
    const Set* s = Find(set);
    return s != nullptr && element < s->nodes.size() ? &s->nodes[element] : nullptr;
  }

  std::mutex mMutex;
  std::map<QXHDevInfo, std::unique_ptr<Set>> mSets;
};

}  // namespace plendrik
