// The SetupAPI seam answered from a snapshot of listed device nodes: GetClassDevs takes the
// nodes of one interface class from a source (the virtual USB bus, or libusb's device list),
// and every further call behaves as SetupAPI does on that set (sizes,
// ERROR_INSUFFICIENT_BUFFER, ERROR_NO_MORE_ITEMS, property types). Header-only so that the
// windows library never contains it.
#pragma once

#include <cstddef>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "discovery/QXWinSetupApi.h"

namespace plendrik {

// One listed device node as SetupAPI presents it: a whole device or one function (MI_xx).
struct QXListedDeviceNode {
  std::vector<QXWString> hardwareIds;  // e.g. USB\VID_1209&PID_0001&REV_0100, USB\VID_1209&PID_0001
  QXWString instanceId;                // e.g. USB\VID_1209&PID_0001\SN0001
  std::optional<QXGuid> containerId;   // none: reading the container identifier fails
  QXGuid interfaceClassGuid{};         // the device interface class the node is registered under
  QXWString interfacePath;             // \\?\usb#vid_1209&pid_0001#sn0001#{guid}
};

class QXWinSetupApiSnapshot : public QXWinSetupApi {
 public:
  uint32_t GetClassDevs(const QXGuid& guid, uint32_t flags, QXHDevInfo& set) override {
    set = QXInvalidDevInfo();
    // Only the listing the library asks for exists: present device interfaces.
    if ((flags & kQXDigcfDeviceInterface) == 0) {
      return kQXErrorInvalidParameter;
    }
    auto snapshot = std::make_unique<Set>();
    snapshot->nodes = ListNodes(guid);
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
    size_t element = 0;
    if (deviceInfo != nullptr) {
      element = deviceInfo->Reserved;
      if (element >= s->nodes.size() || memberIndex != 0 || !QXGuidEqual(s->nodes[element].interfaceClassGuid, guid)) {
        return element >= s->nodes.size() ? kQXErrorInvalidParameter : kQXErrorNoMoreItems;
      }
    } else {
      uint32_t seen = 0;
      for (element = 0; element < s->nodes.size(); ++element) {
        if (QXGuidEqual(s->nodes[element].interfaceClassGuid, guid) && seen++ == memberIndex) {
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
    const QXListedDeviceNode* node = FindNode(set, iface.Reserved);
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
    const QXListedDeviceNode* node = FindNode(set, data.Reserved);
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
    const QXListedDeviceNode* node = FindNode(set, data.Reserved);
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
    const QXListedDeviceNode* node = FindNode(set, data.Reserved);
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
    std::memcpy(buffer, &*node->containerId, sizeof(QXGuid));
    return 0;
  }

 protected:
  // The present nodes of one device interface class, in a stable order.
  virtual std::vector<QXListedDeviceNode> ListNodes(const QXGuid& interfaceClassGuid) = 0;

 private:
  struct Set {
    std::vector<QXListedDeviceNode> nodes;
  };
  // GUID_DEVCLASS_USB {36FC9E60-C465-11CF-8056-444553540000}
  static constexpr QXGuid kUsbDeviceClass = {0x36fc9e60, 0xc465, 0x11cf, {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0, 0}};

  // A set is used by one listing at a time; the lock guards only the registry of sets, which
  // is keyed by handle so that a call costs little however many sets are open. A map holds
  // no storage once empty: a registry may live as long as the process, the module may not.
  const Set* Find(QXHDevInfo set) {
    std::lock_guard<std::mutex> lock(mMutex);
    const auto it = mSets.find(set);
    return it != mSets.end() ? it->second.get() : nullptr;
  }
  const QXListedDeviceNode* FindNode(QXHDevInfo set, uintptr_t element) {
    const Set* s = Find(set);
    return s != nullptr && element < s->nodes.size() ? &s->nodes[element] : nullptr;
  }

  std::mutex mMutex;
  std::map<QXHDevInfo, std::unique_ptr<Set>> mSets;
};

}  // namespace plendrik
