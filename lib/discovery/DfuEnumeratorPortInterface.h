// The platform side of an enumeration: lists the matching devices and answers questions
// about the listed ones by their index.
#pragma once

#include <cstdint>

#include "os/QXOsTypes.h"

namespace plendrik {

class DfuEnumeratorPortInterface {
 public:
  virtual ~DfuEnumeratorPortInterface() = default;
  // Lists the connected devices that pass the filter text; replaces the previous list.
  virtual QXSTATUS EnumerateDevices(const char* deviceFilterDescription) = 0;
  virtual uint32_t GetDeviceCount() const = 0;
  // Whether the listed device at deviceIndex has the given device instance identifier
  // (the one an opened device recorded): QXSTATUS_SUCCESS or QXSTATUS_NO_MATCH.
  virtual QXSTATUS CompareDeviceInstanceId(uint32_t deviceIndex, const QXWString& instanceId) = 0;
};

}  // namespace plendrik
