// The platform side of an enumeration: lists the matching devices and answers questions
// about the listed ones by their index.
#pragma once

#include <cstdint>

#include "os/QXOsTypes.h"

namespace plendrik {

class DfuDevicePortInterface;

class DfuEnumeratorPortInterface {
 public:
  virtual ~DfuEnumeratorPortInterface() = default;
  // Lists the connected devices that pass the filter text; replaces the previous list.
  virtual QXSTATUS EnumerateDevices(const char* deviceFilterDescription) = 0;
  virtual uint32_t GetDeviceCount() const = 0;
  // Whether the listed device at deviceIndex is the device that devicePort was opened on:
  // QXSTATUS_SUCCESS or QXSTATUS_NO_MATCH. The port must be of this enumerator's kind.
  virtual QXSTATUS CompareDeviceInstance(uint32_t deviceIndex, DfuDevicePortInterface* devicePort) = 0;
};

}  // namespace plendrik
