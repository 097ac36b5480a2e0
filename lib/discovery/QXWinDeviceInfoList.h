// An ordered list of device information elements of one device interface class, kept
// together with the open set they came from (device paths and instance ids are read from
// that set later, when a device is opened or compared).
#pragma once

#include <vector>

#include "discovery/QXWinDeviceInfoSet.h"

namespace plendrik {

// One listed element: the set's SP_DEVINFO_DATA and the index it was enumerated under.
struct QXWinDeviceInfoEntry {
  QXSpDevInfoData devInfo;
  uint32_t memberIndex;
};

class QXWinDeviceInfoList;
// Decides whether an element is kept; context is the caller's.
using QXWinDeviceInfoFilterCallback = bool (*)(void* context, QXWinDeviceInfoList& list,
                                               const QXWinDeviceInfoEntry& entry);

class QXWinDeviceInfoList {
 public:
  QXWinDeviceInfoList() = default;
  virtual ~QXWinDeviceInfoList() = default;
  QXWinDeviceInfoList(const QXWinDeviceInfoList&) = delete;
  QXWinDeviceInfoList& operator=(const QXWinDeviceInfoList&) = delete;

  // Lists the present interfaces of the class and keeps the elements the callback accepts
  // (all without one). Returns 0 or the Windows error; a failure leaves the list empty, the
  // set closed and the GUID zeroed.
  uint32_t EnumerateByDeviceInterfaceClass(const QXGuid& guid, QXWinDeviceInfoFilterCallback filterCallback,
                                           void* context);

  uint32_t GetDeviceCount() const { return static_cast<uint32_t>(mEntries.size()); }
  const std::vector<QXWinDeviceInfoEntry>& GetEntries() const { return mEntries; }
  const QXGuid& GetInterfaceGuid() const { return mInterfaceGuid; }

  // The entry at deviceIndex, or null.
  const QXWinDeviceInfoEntry* GetEntry(uint32_t deviceIndex) const;

  // Reads of one element of the open set. The device path is the interface of the class
  // that belongs to the element itself.
  uint32_t GetDeviceInterfaceDevicePath(const QXWinDeviceInfoEntry& entry, QXWString& path);
  uint32_t GetDeviceInstanceId(const QXWinDeviceInfoEntry& entry, QXWString& instanceId);
  uint32_t GetDeviceContainerId(const QXWinDeviceInfoEntry& entry, QXGuid& containerId);
  uint32_t GetDeviceRegistryPropertyMULTISTRING(const QXWinDeviceInfoEntry& entry, uint32_t property,
                                                std::vector<QXWString>& texts);

  // Empties the list and closes the set.
  void Clear();

 protected:
  uint32_t FillDevInfoVector(QXWinDeviceInfoFilterCallback filterCallback, void* context);

  std::vector<QXWinDeviceInfoEntry> mEntries;
  QXWinDeviceInfoSet mSet;
  QXGuid mInterfaceGuid{};
};

}  // namespace plendrik
