// The virtual USB bus: the host build's USB stack and the backbone of the tests above the
// transport. Simulated devices join and leave it; the device list, the identities and the
// control transfers that the library's seams need are read from here.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <list>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "sim/SimDevice.h"
#include "sim/SimDeviceModel.h"
#include "sim/SimTimerScheduler.h"
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

// An event waiting for the bus's notifier thread.
struct SimQueuedBusEvent {
  SimBusEvent event;
  std::vector<uint64_t> observers;  // registered when the event happened
  bool held = false;                // queued, but its change is not finished yet
};

class VirtualUsbBus final : public SimBusAccess {
 public:
  // The process-wide bus.
  static VirtualUsbBus& Instance();

  // The bus's one timer thread for the delayed work of device models.
  SimScheduler& Scheduler() override { return mScheduler; }

  // Plugs a device in; its nodes are listed from now on and observers hear of each.
  // Returns the device, whose id is unique for the life of the process. Without a model
  // the device stalls non-standard requests until a handler is installed.
  SimDevicePtr Attach(const SimDeviceSpec& spec);
  // Plugs a device in with its model: the model is installed and told (OnAttached) before
  // the device is listed, so the device answers from the moment anyone can see it.
  SimDevicePtr Attach(const SimDeviceSpec& spec, std::shared_ptr<SimDeviceModel> model) override;
  // Unplugs a device: its nodes disappear, its requests in flight fail, its open handles go
  // stale, then its model hears OnDetached. Returns false when the device is not on the bus.
  bool Detach(uint64_t deviceId) override;
  // A USB reset of a device (the hub resets its port): its model takes it (SimDeviceModel::
  // OnUsbReset), or else the device leaves the bus and joins it again at once as it was, with
  // its model. Either way its requests in flight fail and its open handles go stale. False
  // when the device is not on the bus.
  bool ResetDevice(uint64_t deviceId);
  // Unplugs every device (tests start from an empty bus).
  void DetachAll();
  // Stops the scheduler (tasks not started are dropped), detaches every device, delivers the
  // events still due, forgets every observer and ends the bus's threads. The bus stays
  // usable: its threads start again on demand.
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

  // Observers are called on the bus's notifier thread, never on the thread that changed the
  // bus: events in the order the bus changed, each to the observers registered when it
  // happened and still registered when it is delivered.
  uint64_t AddObserver(SimBusObserver observer);
  // After it returns the observer is not called again; a call in flight is waited for,
  // unless RemoveObserver is called from inside an observer.
  void RemoveObserver(uint64_t observerId);
  // Waits until every event so far has been delivered (returns at once on the notifier
  // thread). For tests that check what observers heard.
  void WaitIdle();

  VirtualUsbBus(const VirtualUsbBus&) = delete;
  VirtualUsbBus& operator=(const VirtualUsbBus&) = delete;

 private:
  template <class T>
  friend T& ::plendrik::QXImmortal();
  VirtualUsbBus() = default;
  // Queues events for delivery; called with mMutex held. Held events keep their place in
  // the queue but are not delivered (and WaitIdle waits) until ReleaseLocked.
  using EventQueue = std::list<SimQueuedBusEvent>;
  EventQueue::iterator EnqueueLocked(std::vector<SimBusEvent> events, bool held = false);
  void ReleaseLocked(EventQueue::iterator first, size_t count);
  void RunNotifier(uint64_t generation);
  void StopNotifier();

  struct Attached {
    SimDevicePtr device;
    std::vector<SimDeviceListEntry> entries;
  };
  // Removes the device from the three tables; called with mMutex held.
  std::optional<Attached> TakeLocked(uint64_t deviceId);

  mutable std::mutex mMutex;
  // The devices by arrival (a number taken under the lock), and two indexes, so that finding
  // a device by id or interface path costs the same however many devices are on the bus.
  std::map<uint64_t, Attached> mDevices;
  std::unordered_map<uint64_t, uint64_t> mArrivalOf;  // device id -> key in mDevices
  // Interface path in lower case -> (arrival, entry) of each node with that path, the first
  // arrived first.
  std::unordered_map<QXWString, std::map<uint64_t, size_t>> mByPath;
  uint64_t mNextArrival = 1;
  std::map<uint64_t, std::shared_ptr<SimBusObserver>> mObservers;
  uint64_t mNextObserverId = 1;

  // Delivery of events on the notifier thread.
  std::condition_variable mNotifierChanged;
  EventQueue mEvents;  // a list: empty, it holds no storage (the bus is never destroyed)
  uint64_t mCallingObserver = 0;  // observer being called now; 0 for none
  bool mDelivering = false;       // an event has been taken from the queue and is being delivered
  uint64_t mNotifierGeneration = 0;
  std::thread mNotifier;
  std::thread::id mNotifierId;

  SimTimerScheduler mScheduler;
};

// Builds the listed nodes of a device from its specification (exposed for tests).
std::vector<SimDeviceListEntry> BuildSimDeviceListEntries(uint64_t deviceId, const SimDeviceSpec& spec);

}  // namespace plendrik::sim
