#include "sim/VirtualUsbBus.h"

#include "os/QXImmortal.h"

#include <atomic>

namespace plendrik::sim {

namespace {

std::atomic<uint64_t> gNextDeviceId{1};

bool EqualsIgnoreCase(const QXWString& a, const QXWString& b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (size_t i = 0; i < a.size(); ++i) {
    QXWChar x = a[i];
    QXWChar y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<QXWChar>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<QXWChar>(y - 'A' + 'a');
    if (x != y) {
      return false;
    }
  }
  return true;
}

}  // namespace

VirtualUsbBus& VirtualUsbBus::Instance() {
  // Never destroyed (devices may still be referenced by handles while the process ends);
  // Shutdown releases what it holds when the module that owns it unloads.
  return QXImmortal<VirtualUsbBus>();
}

void VirtualUsbBus::Shutdown() {
  DetachAll();
  std::lock_guard<std::mutex> lock(mMutex);
  // Give the storage back too: nothing of the bus may outlive the module that holds it.
  std::vector<Attached>().swap(mDevices);
  decltype(mObservers)().swap(mObservers);
}

SimDevicePtr VirtualUsbBus::Attach(const SimDeviceSpec& spec) {
  const uint64_t id = gNextDeviceId.fetch_add(1);
  auto device = std::make_shared<SimDevice>(id, spec);
  std::vector<SimBusEvent> events;
  {
    std::lock_guard<std::mutex> lock(mMutex);
    Attached attached{device, BuildSimDeviceListEntries(id, spec)};
    for (const SimDeviceListEntry& entry : attached.entries) {
      events.push_back({SimBusEventKind::Arrival, entry});
    }
    mDevices.push_back(std::move(attached));
  }
  Notify(events);
  return device;
}

bool VirtualUsbBus::Detach(uint64_t deviceId) {
  SimDevicePtr device;
  std::vector<SimBusEvent> events;
  {
    std::lock_guard<std::mutex> lock(mMutex);
    for (auto it = mDevices.begin(); it != mDevices.end(); ++it) {
      if (it->device->Id() == deviceId) {
        device = it->device;
        for (const SimDeviceListEntry& entry : it->entries) {
          events.push_back({SimBusEventKind::Removal, entry});
        }
        mDevices.erase(it);
        break;
      }
    }
  }
  if (!device) {
    return false;
  }
  device->MarkDetached();
  Notify(events);
  return true;
}

void VirtualUsbBus::DetachAll() {
  std::vector<uint64_t> ids;
  {
    std::lock_guard<std::mutex> lock(mMutex);
    for (const Attached& attached : mDevices) {
      ids.push_back(attached.device->Id());
    }
  }
  for (uint64_t id : ids) {
    Detach(id);
  }
}

std::vector<SimDeviceListEntry> VirtualUsbBus::ListDevices(const SimGuid& interfaceClassGuid) const {
  std::vector<SimDeviceListEntry> result;
  std::lock_guard<std::mutex> lock(mMutex);
  for (const Attached& attached : mDevices) {
    for (const SimDeviceListEntry& entry : attached.entries) {
      if (entry.interfaceClassGuid == interfaceClassGuid) {
        result.push_back(entry);
      }
    }
  }
  return result;
}

std::vector<SimDeviceListEntry> VirtualUsbBus::ListAllDevices() const {
  std::vector<SimDeviceListEntry> result;
  std::lock_guard<std::mutex> lock(mMutex);
  for (const Attached& attached : mDevices) {
    result.insert(result.end(), attached.entries.begin(), attached.entries.end());
  }
  return result;
}

std::optional<SimDeviceListEntry> VirtualUsbBus::FindByInterfacePath(const QXWString& interfacePath) const {
  std::lock_guard<std::mutex> lock(mMutex);
  for (const Attached& attached : mDevices) {
    for (const SimDeviceListEntry& entry : attached.entries) {
      if (EqualsIgnoreCase(entry.interfacePath, interfacePath)) {
        return entry;
      }
    }
  }
  return std::nullopt;
}

SimDevicePtr VirtualUsbBus::FindDevice(uint64_t deviceId) const {
  std::lock_guard<std::mutex> lock(mMutex);
  for (const Attached& attached : mDevices) {
    if (attached.device->Id() == deviceId) {
      return attached.device;
    }
  }
  return nullptr;
}

SimDevicePtr VirtualUsbBus::FindDeviceByInterfacePath(const QXWString& interfacePath) const {
  const std::optional<SimDeviceListEntry> entry = FindByInterfacePath(interfacePath);
  return entry ? FindDevice(entry->deviceId) : nullptr;
}

uint64_t VirtualUsbBus::AddObserver(SimBusObserver observer) {
  std::lock_guard<std::mutex> lock(mMutex);
  const uint64_t id = mNextObserverId++;
  mObservers.emplace_back(id, std::make_shared<SimBusObserver>(std::move(observer)));
  return id;
}

void VirtualUsbBus::RemoveObserver(uint64_t observerId) {
  std::lock_guard<std::mutex> lock(mMutex);
  std::erase_if(mObservers, [observerId](const auto& o) { return o.first == observerId; });
}

void VirtualUsbBus::Notify(const std::vector<SimBusEvent>& events) {
  std::vector<std::shared_ptr<SimBusObserver>> observers;
  {
    std::lock_guard<std::mutex> lock(mMutex);
    for (const auto& o : mObservers) {
      observers.push_back(o.second);
    }
  }
  for (const SimBusEvent& event : events) {
    for (const auto& observer : observers) {
      (*observer)(event);
    }
  }
}

}  // namespace plendrik::sim
