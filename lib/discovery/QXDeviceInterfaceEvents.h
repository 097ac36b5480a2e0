// Arrivals and removals of device interfaces, from whatever stands for the USB stack on the
// host (the virtual USB bus, or libusb's hotplug events). The device notifications of the
// host's window services turn them into WM_DEVICECHANGE messages.
#pragma once

#include <cstdint>
#include <functional>

#include "discovery/QXWinSetupApiTypes.h"

namespace plendrik {

struct QXDeviceInterfaceEvent {
  bool arrival = true;
  QXGuid interfaceClassGuid{};
  QXWString interfacePath;
};

using QXDeviceInterfaceObserver = std::function<void(const QXDeviceInterfaceEvent&)>;

class QXDeviceInterfaceEventSource {
 public:
  virtual ~QXDeviceInterfaceEventSource() = default;
  // The observer hears events of one interface class, on a thread of the source, in order.
  virtual uint64_t AddObserver(const QXGuid& interfaceClassGuid, QXDeviceInterfaceObserver observer) = 0;
  // After it returns the observer is not called again.
  virtual void RemoveObserver(uint64_t id) = 0;
};

// The source of the backend in use.
QXDeviceInterfaceEventSource& QXGetDeviceInterfaceEventSource();

}  // namespace plendrik
