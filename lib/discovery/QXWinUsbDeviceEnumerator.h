// The filtered list of USB device interfaces: the present interfaces of the filter's
// interface class whose hardware identifiers pass the filter.
#pragma once

#include "discovery/QXUsbDeviceFilter.h"
#include "discovery/QXWinDeviceInfoList.h"
#include "discovery/QXWinUsbDevInstanceId.h"

namespace plendrik {

class QXWinUsbDeviceEnumerator : public QXWinDeviceInfoList {
 public:
  // hidFlag non-zero: hardware identifiers begin with "HID\" instead of "USB\".
  explicit QXWinUsbDeviceEnumerator(uint32_t hidFlag = 0) : mHidFlag(hidFlag) {}

  // Lists the devices of filter.interfaceGuid that pass matching rule A of the filter.
  QXSTATUS EnumerateUsbDevices(const QXUsbDeviceFilter& filter);
  // The identity record of a listed device.
  QXSTATUS GetUsbDevInstanceId(uint32_t deviceIndex, QXWinUsbDevInstanceId& record);

 private:
  struct FilterContext {
    const QXUsbDeviceFilter* filter;
    uint32_t hidFlag;
    static bool FilterCallback(void* context, QXWinDeviceInfoList& list, const QXWinDeviceInfoEntry& entry);
  };

  uint32_t mHidFlag;
};

}  // namespace plendrik
