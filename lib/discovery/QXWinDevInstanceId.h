// The identity of one listed device interface: the path the transport opens, the system's
// device instance identifier and the container identifier of the physical device.
#pragma once

#include "discovery/QXWinDeviceInfoList.h"

namespace plendrik {

class QXWinDevInstanceId {
 public:
  QXWString devicePath;
  QXWString instanceId;  // at most 510 characters
  QXGuid containerId{};  // all zero when the system gave none

  // Reads path, instance id and container id of one element of the list. A missing
  // container id is only a warning.
  QXSTATUS InitDevInstanceId(QXWinDeviceInfoList& list, uint32_t deviceIndex);
  QXSTATUS InitDevInstanceId(QXWinDeviceInfoList& list, const QXWinDeviceInfoEntry& entry);

  // Braced GUID text of the container id; empty for an all-zero id.
  QXWString GetContainerIdString() const;

 protected:
  void ClearDevInstanceId();
};

}  // namespace plendrik
