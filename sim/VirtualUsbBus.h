// The virtual USB bus: the host build's USB stack and the backbone of the tests above the
// transport. Simulated devices join and leave it; the device list, the identities and the
// control transfers that the library's seams need are read from here.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "sim/SimDevice.h"
#include "sim/SimTypes.h"

#include "os/QXImmortal.h"

namespace plendrik::sim {

// One listed device node, as SetupAPI would list it for a device interface class: a whole
// device, or one function (MI_xx) of a composite device. A snapshot; it does not change.
struct SimDeviceListEntry {
  uint64_t deviceId = 0;                 // the physical device the node belongs to
  std::vector<QXWString> hardwareIds;    // e.g. USB\VID_1209&PID_0001&REV_0100, USB\VID_1209&PID_0001
  QXWString instanceId;                  // e.g. USB\VID_1209&PID_0001\SN0001
  std::optional<SimGuid> containerId;    // none: reading the container identifier fails
  SimGuid interfaceClassGuid;            // the device interface class the node is registered under
  QXWString interfacePath;               // \\?\usb#vid_1209&pid_0001#sn0001#{guid}
  int interfaceNumber = -1;              // the MI_xx function; -1 for a whole device
};

enum class SimBusEventKind { Arrival, Removal };

// What observers receive: one event per listed node, after the bus has changed.
struct SimBusEvent {
  SimBusEventKind kind = SimBusEventKind::Arrival;
  SimDeviceListEntry entry;
};

using SimBusObserver = std::function<void(const SimBusEvent&)>;

class VirtualUsbBus {
 public:
  // The process-wide bus.
  static VirtualUsbBus& Instance();

  // Plugs a device in; its nodes are listed from now on and observers hear of each.
  // Returns the device, whose id is unique for the life of the process.
  SimDevicePtr Attach(const SimDeviceSpec& spec);
  // Unplugs a device: its nodes disappear, its requests in flight fail, its open handles go
  // stale. Returns false when the device is not on the bus.
  bool Detach(uint64_t deviceId);
  // Unplugs every device (tests start from an empty bus).
  void DetachAll();
  // Detaches every device and forgets every observer; the bus stays usable.
  void Shutdown();

  // The listed nodes of one device interface class, in the order the devices arrived.
  std::vector<SimDeviceListEntry> ListDevices(const SimGuid& interfaceClassGuid) const;
  // Every listed node of every class.
  std::vector<SimDeviceListEntry> ListAllDevices() const;
  // The node whose interface path equals the given one (letter case ignored).
  std::optional<SimDeviceListEntry> FindByInterfacePath(const QXWString& interfacePath) const;
  // The device that owns a node or has that id; null when not on the bus.
  SimDevicePtr FindDevice(uint64_t deviceId) const;
  SimDevicePtr FindDeviceByInterfacePath(const QXWString& interfacePath) const;

  // Observers are called on the thread that changed the bus, outside the bus's lock.
  uint64_t AddObserver(SimBusObserver observer);
  void RemoveObserver(uint64_t observerId);

  VirtualUsbBus(const VirtualUsbBus&) = delete;
  VirtualUsbBus& operator=(const VirtualUsbBus&) = delete;

 private:
  template <class T>
  friend T& ::plendrik::QXImmortal();
  VirtualUsbBus() = default;
  void Notify(const std::vector<SimBusEvent>& events);

  struct Attached {
    SimDevicePtr device;
    std::vector<SimDeviceListEntry> entries;
  };
  mutable std::mutex mMutex;
  std::vector<Attached> mDevices;
  std::vector<std::pair<uint64_t, std::shared_ptr<SimBusObserver>>> mObservers;
  uint64_t mNextObserverId = 1;
};

// Builds the listed nodes of a device from its specification (exposed for tests).
std::vector<SimDeviceListEntry> BuildSimDeviceListEntries(uint64_t deviceId, const SimDeviceSpec& spec);

}  // namespace plendrik::sim
