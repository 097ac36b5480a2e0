#include "discovery/QXWinDeviceInfoList.h"

#include "diag/QXLog.h"

namespace plendrik {

void QXWinDeviceInfoList::Clear() {
  mEntries.clear();
  mSet.DestroyDeviceInfoList();
  mInterfaceGuid = QXGuid{};
}

uint32_t QXWinDeviceInfoList::EnumerateByDeviceInterfaceClass(const QXGuid& guid,
                                                              QXWinDeviceInfoFilterCallback filterCallback,
                                                              void* context) {
  Clear();
  uint32_t err = mSet.GetClassDevs(guid);
  if (err != 0) {
    QX_LOG_ERROR("GetClassDevs() failed, st={}", QXSt{err});
    return err;
  }
  mInterfaceGuid = guid;
  err = FillDevInfoVector(filterCallback, context);
  if (err != 0) {
    QX_LOG_ERROR("FillDevInfoVector() failed, st={}", QXSt{err});
    Clear();
    return err;
  }
  return 0;
}

uint32_t QXWinDeviceInfoList::FillDevInfoVector(QXWinDeviceInfoFilterCallback filterCallback, void* context) {
  if (filterCallback == nullptr) {
    uint32_t count = 0;
    const uint32_t err = mSet.GetElementCount(count);
    if (err != 0) {
      QX_LOG_ERROR("EnumDeviceInfo() failed, st={}", QXSt{err});
      return err;
    }
    mEntries.reserve(count);
  }
  for (uint32_t index = 0;; ++index) {
    QXWinDeviceInfoEntry entry{};
    const uint32_t err = mSet.EnumDeviceInfo(index, entry.devInfo);
    if (err == kQXErrorNoMoreItems) {
      return 0;
    }
    if (err != 0) {
      QX_LOG_ERROR("EnumDeviceInfo() failed, st={}", QXSt{err});
      return err;
    }
    entry.memberIndex = index;
    if (filterCallback == nullptr || filterCallback(context, *this, entry)) {
      mEntries.push_back(entry);
    }
  }
}

const QXWinDeviceInfoEntry* QXWinDeviceInfoList::GetEntry(uint32_t deviceIndex) const {
  return deviceIndex < mEntries.size() ? &mEntries[deviceIndex] : nullptr;
}

uint32_t QXWinDeviceInfoList::GetDeviceInterfaceDevicePath(const QXWinDeviceInfoEntry& entry, QXWString& path) {
  // The first interface of the class that belongs to this very element. Pairing the k-th
  // element with the k-th interface of the whole set would hand out another device's path
  // as soon as one device exposes two interfaces of the class.
  const uint32_t err = mSet.GetDeviceInterfaceDevicePath(&entry.devInfo, 0, mInterfaceGuid, path);
  if (err != 0) {
    QX_LOG_ERROR("GetDeviceInterfaceDevicePath() failed, st={}", QXSt{err});
  }
  return err;
}

uint32_t QXWinDeviceInfoList::GetDeviceInstanceId(const QXWinDeviceInfoEntry& entry, QXWString& instanceId) {
  return mSet.GetDeviceInstanceId(entry.devInfo, instanceId);
}

uint32_t QXWinDeviceInfoList::GetDeviceContainerId(const QXWinDeviceInfoEntry& entry, QXGuid& containerId) {
  return mSet.GetDeviceContainerId(entry.devInfo, containerId);
}

uint32_t QXWinDeviceInfoList::GetDeviceRegistryPropertyMULTISTRING(const QXWinDeviceInfoEntry& entry, uint32_t property,
                                                                   std::vector<QXWString>& texts) {
  const uint32_t err = mSet.GetDeviceRegistryPropertyMULTISTRING(entry.devInfo, property, texts);
  if (err != 0) {
    QX_LOG_ERROR("GetDeviceRegistryProperty({}) failed, st={}", property, QXSt{err});
  }
  return err;
}

}  // namespace plendrik
