// Where a device session gets its port from: the product's USB DFU port, or a port that a
// test installs in its place.
#pragma once

#include <memory>

#include "device/DfuDevicePortInterface.h"

namespace plendrik {

// The product's port for a new session.
std::unique_ptr<DfuDevicePortInterface> CreateDfuDevicePort();

using DfuDevicePortFactory = std::unique_ptr<DfuDevicePortInterface> (*)();

// The port a session opens: from the installed factory, else CreateDfuDevicePort().
std::unique_ptr<DfuDevicePortInterface> MakeDfuDevicePort();
// Tests install their own factory; null restores the product's.
void SetDfuDevicePortFactory(DfuDevicePortFactory factory);

}  // namespace plendrik
