#include "sim/VirtualUsbBus.h"

#include "os/QXImmortal.h"

#include <atomic>
#include <iterator>

namespace plendrik::sim {

namespace {

std::atomic<uint64_t> gNextDeviceId{1};

// Interface paths compare without regard to (ASCII) letter case.
QXWString LowerCase(const QXWString& text) {
  QXWString out = text;
  for (QXWChar& c : out) {
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<QXWChar>(c - 'A' + 'a');
    }
  }
  return out;
}

}  // namespace

VirtualUsbBus& VirtualUsbBus::Instance() {
  // Never destroyed (devices may still be referenced by handles while the process ends);
  // Shutdown releases what it holds when the module that owns it unloads.
  return QXImmortal<VirtualUsbBus>();
}

void VirtualUsbBus::Shutdown() {
  // Models schedule no more work and no task runs while the devices leave.
  mScheduler.Stop();
  DetachAll();
  // Models told of their removal may have scheduled work: none of it runs any more.
  mScheduler.Stop();
  WaitIdle();
  {
    std::lock_guard<std::mutex> lock(mMutex);
    // Give the storage back too: nothing of the bus may outlive the module that holds it.
    decltype(mDevices)().swap(mDevices);
    decltype(mArrivalOf)().swap(mArrivalOf);
    decltype(mByPath)().swap(mByPath);
    decltype(mObservers)().swap(mObservers);
    decltype(mEvents)().swap(mEvents);
  }
  StopNotifier();
}

SimDevicePtr VirtualUsbBus::Attach(const SimDeviceSpec& spec) { return Attach(spec, nullptr); }

SimDevicePtr VirtualUsbBus::Attach(const SimDeviceSpec& spec, std::shared_ptr<SimDeviceModel> model) {
  const uint64_t id = gNextDeviceId.fetch_add(1);
  auto device = std::make_shared<SimDevice>(id, spec);
  if (model) {
    device->SetModel(model);
    model->OnAttached(*device);
  }
  std::lock_guard<std::mutex> lock(mMutex);
  Attached attached{device, BuildSimDeviceListEntries(id, spec)};
  std::vector<SimBusEvent> events;
  for (const SimDeviceListEntry& entry : attached.entries) {
    events.push_back({SimBusEventKind::Arrival, entry});
  }
  const uint64_t arrival = mNextArrival++;
  for (size_t i = 0; i < attached.entries.size(); ++i) {
    mByPath[LowerCase(attached.entries[i].interfacePath)].emplace(arrival, i);
  }
  mArrivalOf.emplace(id, arrival);
  mDevices.emplace(arrival, std::move(attached));
  EnqueueLocked(std::move(events));
  return device;
}

std::optional<VirtualUsbBus::Attached> VirtualUsbBus::TakeLocked(uint64_t deviceId) {
  const auto arrival = mArrivalOf.find(deviceId);
  if (arrival == mArrivalOf.end()) {
    return std::nullopt;
  }
  const auto it = mDevices.find(arrival->second);
  Attached attached = std::move(it->second);
  for (const SimDeviceListEntry& entry : attached.entries) {
    const auto path = mByPath.find(LowerCase(entry.interfacePath));
    if (path != mByPath.end()) {
      path->second.erase(it->first);
      if (path->second.empty()) {
        mByPath.erase(path);
      }
    }
  }
  mDevices.erase(it);
  mArrivalOf.erase(arrival);
  return attached;
}

bool VirtualUsbBus::Detach(uint64_t deviceId) {
  SimDevicePtr device;
  EventQueue::iterator removals;
  size_t count = 0;
  {
    // The device leaves the list and its removal takes its place in the queue in one step,
    // so whoever finds it gone and then waits for the observers hears of it. The removal is
    // held until the device's requests have failed: an observer that hears of it finds the
    // device's handles refused.
    std::lock_guard<std::mutex> lock(mMutex);
    std::optional<Attached> attached = TakeLocked(deviceId);
    if (!attached) {
      return false;
    }
    device = attached->device;
    std::vector<SimBusEvent> events;
    for (SimDeviceListEntry& entry : attached->entries) {
      events.push_back({SimBusEventKind::Removal, std::move(entry)});
    }
    count = events.size();
    removals = EnqueueLocked(std::move(events), /*held=*/true);
  }
  device->MarkDetached();
  {
    std::lock_guard<std::mutex> lock(mMutex);
    ReleaseLocked(removals, count);
  }
  if (const std::shared_ptr<SimDeviceModel> model = device->Model()) {
    model->OnDetached(*device);
  }
  return true;
}

bool VirtualUsbBus::ResetDevice(uint64_t deviceId) {
  const SimDevicePtr device = FindDevice(deviceId);
  if (!device) {
    return false;
  }
  const std::shared_ptr<SimDeviceModel> model = device->Model();
  if (model && model->OnUsbReset(*device)) {
    return true;
  }
  if (!Detach(deviceId)) {
    return false;  // gone meanwhile
  }
  Attach(device->Spec(), model);
  return true;
}

void VirtualUsbBus::DetachAll() {
  std::vector<uint64_t> ids;
  {
    std::lock_guard<std::mutex> lock(mMutex);
    for (const auto& [arrival, attached] : mDevices) {
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
  for (const auto& [arrival, attached] : mDevices) {
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
  for (const auto& [arrival, attached] : mDevices) {
    result.insert(result.end(), attached.entries.begin(), attached.entries.end());
  }
  return result;
}

std::optional<SimDeviceListEntry> VirtualUsbBus::FindByInterfacePath(const QXWString& interfacePath) const {
  const QXWString key = LowerCase(interfacePath);
  std::lock_guard<std::mutex> lock(mMutex);
  const auto path = mByPath.find(key);
  if (path == mByPath.end() || path->second.empty()) {
    return std::nullopt;
  }
  const auto& [arrival, index] = *path->second.begin();
  return mDevices.at(arrival).entries[index];
}

SimDevicePtr VirtualUsbBus::FindDevice(uint64_t deviceId) const {
  std::lock_guard<std::mutex> lock(mMutex);
  const auto arrival = mArrivalOf.find(deviceId);
  return arrival != mArrivalOf.end() ? mDevices.at(arrival->second).device : nullptr;
}

SimDevicePtr VirtualUsbBus::FindDeviceByInterfacePath(const QXWString& interfacePath) const {
  const std::optional<SimDeviceListEntry> entry = FindByInterfacePath(interfacePath);
  return entry ? FindDevice(entry->deviceId) : nullptr;
}

uint64_t VirtualUsbBus::AddObserver(SimBusObserver observer) {
  std::lock_guard<std::mutex> lock(mMutex);
  const uint64_t id = mNextObserverId++;
  mObservers.emplace(id, std::make_shared<SimBusObserver>(std::move(observer)));
  return id;
}

void VirtualUsbBus::RemoveObserver(uint64_t observerId) {
  std::shared_ptr<SimBusObserver> removed;
  std::unique_lock<std::mutex> lock(mMutex);
  const auto it = mObservers.find(observerId);
  if (it != mObservers.end()) {
    removed = std::move(it->second);
    mObservers.erase(it);
  }
  if (std::this_thread::get_id() != mNotifierId) {
    mNotifierChanged.wait(lock, [&] { return mCallingObserver != observerId; });
  }
  lock.unlock();
  // The observer (and what it captured) is destroyed outside the lock; when removed from
  // inside its own call, the notifier still holds it until the call returns.
  removed = nullptr;
}

void VirtualUsbBus::WaitIdle() {
  std::unique_lock<std::mutex> lock(mMutex);
  if (std::this_thread::get_id() == mNotifierId) {
    return;
  }
  mNotifierChanged.wait(lock, [&] { return mEvents.empty() && !mDelivering; });
}

void VirtualUsbBus::ReleaseLocked(EventQueue::iterator first, size_t count) {
  for (size_t i = 0; i < count; ++i, ++first) {
    first->held = false;
  }
  mNotifierChanged.notify_all();
}

VirtualUsbBus::EventQueue::iterator VirtualUsbBus::EnqueueLocked(std::vector<SimBusEvent> events, bool held) {
  if (events.empty()) {
    return mEvents.end();
  }
  std::vector<uint64_t> observers;
  for (const auto& o : mObservers) {
    observers.push_back(o.first);
  }
  for (SimBusEvent& event : events) {
    mEvents.push_back({std::move(event), observers, held});
  }
  const auto first = std::prev(mEvents.end(), static_cast<std::ptrdiff_t>(events.size()));
  if (!mNotifier.joinable()) {
    const uint64_t generation = mNotifierGeneration;
    mNotifier = std::thread([this, generation] { RunNotifier(generation); });
    mNotifierId = mNotifier.get_id();
  }
  mNotifierChanged.notify_all();
  return first;
}

void VirtualUsbBus::RunNotifier(uint64_t generation) {
  std::unique_lock<std::mutex> lock(mMutex);
  while (generation == mNotifierGeneration) {
    if (mEvents.empty() || mEvents.front().held) {
      mNotifierChanged.wait(lock);
      continue;
    }
    SimQueuedBusEvent pending = std::move(mEvents.front());
    mEvents.pop_front();
    mDelivering = true;
    for (uint64_t id : pending.observers) {
      const auto it = mObservers.find(id);
      if (it == mObservers.end()) {
        continue;  // removed since the event happened
      }
      std::shared_ptr<SimBusObserver> observer = it->second;
      mCallingObserver = id;
      lock.unlock();
      (*observer)(pending.event);
      observer = nullptr;  // a removed observer is destroyed here, outside the lock
      lock.lock();
      mCallingObserver = 0;
      mNotifierChanged.notify_all();
    }
    mDelivering = false;
    mNotifierChanged.notify_all();
  }
}

void VirtualUsbBus::StopNotifier() {
  std::thread thread;
  {
    std::lock_guard<std::mutex> lock(mMutex);
    ++mNotifierGeneration;
    thread.swap(mNotifier);
    mNotifierChanged.notify_all();
  }
  if (!thread.joinable()) {
    return;
  }
  if (thread.get_id() == std::this_thread::get_id()) {
    thread.detach();  // stopped from inside an observer: the thread ends after that call
  } else {
    thread.join();
  }
  std::lock_guard<std::mutex> lock(mMutex);
  if (!mNotifier.joinable()) {
    mNotifierId = std::thread::id();
  }
}

}  // namespace plendrik::sim
