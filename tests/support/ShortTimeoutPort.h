// A device port with short request time-outs, so that a request the device never answers
// costs a fraction of a second. Tests install it with SetDfuDevicePortFactory; the factory is a
// plain function pointer, so a test that needs another time-out names it as the template's
// argument: SetDfuDevicePortFactory(&fbtest::ShortTimeoutPortWith<100>).
#pragma once

#include <cstdint>
#include <memory>

#include "device/DfuDevicePortUsbDfu.h"

namespace fbtest {

constexpr uint32_t kShortTimeoutMs = 300;

template <uint32_t TimeoutMs>
std::unique_ptr<plendrik::DfuDevicePortInterface> ShortTimeoutPortWith() {
  auto port = std::make_unique<plendrik::DfuDevicePortUsbDfu>();
  port->SetTimeouts(TimeoutMs, TimeoutMs);
  return port;
}

inline std::unique_ptr<plendrik::DfuDevicePortInterface> ShortTimeoutPort() {
  return ShortTimeoutPortWith<kShortTimeoutMs>();
}

}  // namespace fbtest
