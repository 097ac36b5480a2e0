// A device port with short request time-outs, so that a request the device never answers
// costs a fraction of a second. Tests install it with SetDfuDevicePortFactory.
#pragma once

#include <memory>

#include "device/DfuDevicePortUsbDfu.h"

namespace fbtest {

inline std::unique_ptr<plendrik::DfuDevicePortInterface> ShortTimeoutPort() {
  auto port = std::make_unique<plendrik::DfuDevicePortUsbDfu>();
  port->SetTimeouts(300, 300);
  return port;
}

}  // namespace fbtest
