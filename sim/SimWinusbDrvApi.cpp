#include "sim/SimWinusbDrvApi.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>

#include "os/QXImmortal.h"
#include "usb/QXWinOverlapped.h"

namespace plendrik::sim {

struct SimWinusbDrvApi::Object {
  virtual ~Object() = default;
};

namespace {

// SET_INTERFACE is still bounded here, as WinUSB bounds it by the default pipe's time-out: the
// library does not route it through a control transfer of its own, and a test must not hang on it.
constexpr int32_t kSetInterfaceWaitMs = 5000;
std::atomic<int32_t> gSetInterfaceWaitMs{kSetInterfaceWaitMs};

// WinUSB's PIPE_TRANSFER_TIMEOUT of the default control pipe until a handle sets its own.
constexpr uint32_t kDefaultControlTimeoutMs = 5000;
constexpr uint32_t kPipeTransferTimeoutPolicy = 3;
std::atomic<uint32_t> gDefaultControlTimeoutMs{kDefaultControlTimeoutMs};

struct EventObject : SimWinusbDrvApi::Object {
  std::mutex mutex;
  std::condition_variable cv;
  bool signalled = false;

  void Set() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      signalled = true;
    }
    cv.notify_all();
  }
  void Reset() {
    std::lock_guard<std::mutex> lock(mutex);
    signalled = false;
  }
};

struct FileObject : SimWinusbDrvApi::Object {
  QXWString lowerPath;
  SimDeviceListEntry entry;
  SimDevicePtr device;
};

struct WinUsbObject : SimWinusbDrvApi::Object {
  std::shared_ptr<FileObject> file;
  uint8_t interfaceNumber = 0;
  std::shared_ptr<WinUsbObject> root;     // the handle of WinUsb_Initialize; null for the root itself
  std::set<uint8_t> handedOut;            // root: associated indexes handed out
  uint8_t associatedIndex = 0;
  // The descriptors WinUSB copied at WinUsb_Initialize (shared by the associated handles):
  // the device descriptor and the first configuration as the function sees it.
  std::shared_ptr<const std::vector<uint8_t>> deviceDescriptor;
  std::shared_ptr<const std::vector<uint8_t>> configuration;
  // PIPE_TRANSFER_TIMEOUT of the default pipe, per handle as in WinUSB; 0: no limit.
  std::atomic<uint32_t> controlTimeoutMs{gDefaultControlTimeoutMs.load()};
};

struct MutexObject : SimWinusbDrvApi::Object {
  QXWString name;
};

QXWString ToLower(QXWString text) {
  for (QXWChar& c : text) {
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<QXWChar>(c - 'A' + 'a');
    }
  }
  return text;
}

uint32_t ErrorOf(SimTransferStatus status) {
  switch (status) {
    case SimTransferStatus::Success:
      return kQXErrorSuccess;
    case SimTransferStatus::Pending:
      return kQXErrorIoIncomplete;
    case SimTransferStatus::Stall:
      return kQXErrorGenFailure;
    case SimTransferStatus::DeviceGone:
      return kQXErrorDeviceNotConnected;
    case SimTransferStatus::Cancelled:
      return kQXErrorOperationAborted;
    case SimTransferStatus::Babble:
      return kQXErrorGenFailure;  // the controller's data overrun reaches the caller as a failed I/O
  }
  return kQXErrorGenFailure;
}

// The interface numbers of a configuration descriptor in order of first appearance.
std::vector<uint8_t> InterfaceNumbers(const std::vector<uint8_t>& config) {
  std::vector<uint8_t> numbers;
  size_t offset = 0;
  while (offset + 2 <= config.size()) {
    const uint8_t length = config[offset];
    if (length < 2 || offset + length > config.size()) {
      break;
    }
    if (config[offset + 1] == 4 && length >= 3) {
      const uint8_t number = config[offset + 2];
      bool seen = false;
      for (uint8_t n : numbers) {
        seen = seen || n == number;
      }
      if (!seen) {
        numbers.push_back(number);
      }
    }
    offset += length;
  }
  return numbers;
}

int FunctionOf(const FileObject& file) { return file.entry.interfaceNumber; }

// The configuration descriptor a handle of this file sees (a composite function sees its own).
std::vector<uint8_t> ConfigurationSeenBy(const FileObject& file) {
  return file.device->FunctionConfigurationDescriptor(0, FunctionOf(file)).value_or(std::vector<uint8_t>{});
}

// The interface descriptors of one interface number, in the order of their alternate settings.
std::vector<std::vector<uint8_t>> AlternateSettings(const std::vector<uint8_t>& config, uint8_t interfaceNumber) {
  std::vector<std::vector<uint8_t>> settings;
  size_t offset = 0;
  while (offset + 2 <= config.size()) {
    const uint8_t length = config[offset];
    if (length < 2 || offset + length > config.size()) {
      break;
    }
    if (config[offset + 1] == 4 && length >= 9 && config[offset + 2] == interfaceNumber) {
      settings.emplace_back(config.begin() + static_cast<std::ptrdiff_t>(offset),
                            config.begin() + static_cast<std::ptrdiff_t>(offset + 9));
    }
    offset += length;
  }
  return settings;
}

SimSetupPacket ToSim(const QXUsbSetupPacket& setup) {
  return SimSetupPacket{setup.bmRequestType, setup.bRequest, setup.wValue, setup.wIndex, setup.wLength};
}

}  // namespace

SimWinusbDrvApi& SimWinusbDrvApi::Instance() {
  // In the module's own storage, never destroyed (sessions close their handles from static
  // destructors): on the heap it would be lost when the library that holds it unloads.
  return QXImmortal<SimWinusbDrvApi>();
}

QXOsHandle SimWinusbDrvApi::Insert(std::shared_ptr<Object> object) {
  std::lock_guard<std::mutex> lock(mMutex);
  const uintptr_t value = mNextHandle;
  mNextHandle += 4;
  mHandles[value] = std::move(object);
  return reinterpret_cast<QXOsHandle>(value);
}

std::shared_ptr<SimWinusbDrvApi::Object> SimWinusbDrvApi::Find(QXOsHandle handle) const {
  std::lock_guard<std::mutex> lock(mMutex);
  const auto it = mHandles.find(reinterpret_cast<uintptr_t>(handle));
  return it != mHandles.end() ? it->second : nullptr;
}

template <class T>
std::shared_ptr<T> SimWinusbDrvApi::FindAs(QXOsHandle handle) const {
  return std::dynamic_pointer_cast<T>(Find(handle));
}

size_t SimWinusbDrvApi::OpenHandleCount() const {
  std::lock_guard<std::mutex> lock(mMutex);
  return mHandles.size();
}

uint32_t SimWinusbDrvApi::CreateDeviceFile(const QXWString& path, uint32_t, uint32_t, void*, QXOsHandle& file) {
  file = QXOsInvalidHandle();
  VirtualUsbBus& bus = VirtualUsbBus::Instance();
  const std::optional<SimDeviceListEntry> entry = bus.FindByInterfacePath(path);
  SimDevicePtr device = entry ? bus.FindDevice(entry->deviceId) : nullptr;
  if (!entry || !device) {
    return kQXErrorFileNotFound;
  }
  auto object = std::make_shared<FileObject>();
  object->lowerPath = ToLower(path);
  object->entry = *entry;
  object->device = device;
  {
    std::lock_guard<std::mutex> lock(mMutex);
    // WinUSB lets one file handle open a device interface at a time. A handle of a device
    // that has since left the bus is stale and does not hold the path any more.
    const auto held = mOpenPaths.find(object->lowerPath);
    if (held != mOpenPaths.end()) {
      const auto holder = std::dynamic_pointer_cast<FileObject>(held->second.lock());
      if (holder && holder->device->Id() == device->Id()) {
        return kQXErrorAccessDenied;
      }
    }
    mOpenPaths[object->lowerPath] = object;
  }
  file = Insert(object);
  return 0;
}

void SimWinusbDrvApi::CloseOsHandle(QXOsHandle handle) {
  std::shared_ptr<Object> object;
  {
    std::lock_guard<std::mutex> lock(mMutex);
    const auto it = mHandles.find(reinterpret_cast<uintptr_t>(handle));
    if (it == mHandles.end()) {
      return;
    }
    object = it->second;
    mHandles.erase(it);
    if (auto* file = dynamic_cast<FileObject*>(object.get())) {
      const auto held = mOpenPaths.find(file->lowerPath);
      if (held != mOpenPaths.end() && held->second.lock() == object) {
        mOpenPaths.erase(held);
      }
    } else if (auto* mutex = dynamic_cast<MutexObject*>(object.get())) {
      if (--mMutexes[mutex->name] == 0) {
        mMutexes.erase(mutex->name);
      }
    }
  }
}

uint32_t SimWinusbDrvApi::CreateNamedMutex(const QXWString& name, QXOsHandle& mutex, bool& alreadyExists) {
  auto object = std::make_shared<MutexObject>();
  object->name = name;
  {
    std::lock_guard<std::mutex> lock(mMutex);
    alreadyExists = mMutexes[name]++ > 0;
  }
  mutex = Insert(object);
  return 0;
}

uint32_t SimWinusbDrvApi::CreateManualResetEvent(QXOsHandle& event) {
  event = Insert(std::make_shared<EventObject>());
  return 0;
}

uint32_t SimWinusbDrvApi::WaitForEvent(QXOsHandle event, int32_t timeoutMs) {
  auto object = FindAs<EventObject>(event);
  if (!object) {
    return kQXErrorInvalidHandle;
  }
  std::unique_lock<std::mutex> lock(object->mutex);
  if (timeoutMs < 0) {
    object->cv.wait(lock, [&] { return object->signalled; });
    return 0;
  }
  const bool signalled =
      object->cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return object->signalled; });
  return signalled ? 0 : kQXErrorWaitTimeout;
}

uint32_t SimWinusbDrvApi::WinUsbInitialize(QXOsHandle file, QXOsHandle& winUsb) {
  winUsb = QXOsInvalidHandle();
  auto object = FindAs<FileObject>(file);
  if (!object) {
    return kQXErrorInvalidHandle;
  }
  if (!object->device->IsAttached()) {
    return kQXErrorDeviceNotConnected;
  }
  auto handle = std::make_shared<WinUsbObject>();
  handle->file = object;
  handle->deviceDescriptor = std::make_shared<const std::vector<uint8_t>>(object->device->DeviceDescriptor());
  handle->configuration = std::make_shared<const std::vector<uint8_t>>(ConfigurationSeenBy(*object));
  if (object->entry.interfaceNumber >= 0) {
    handle->interfaceNumber = static_cast<uint8_t>(object->entry.interfaceNumber);
  } else {
    const std::vector<uint8_t> numbers = InterfaceNumbers(*handle->configuration);
    handle->interfaceNumber = numbers.empty() ? 0 : numbers.front();
  }
  winUsb = Insert(handle);
  return 0;
}

uint32_t SimWinusbDrvApi::WinUsbFree(QXOsHandle winUsb) {
  auto object = FindAs<WinUsbObject>(winUsb);
  if (!object) {
    return kQXErrorInvalidHandle;
  }
  if (object->root) {
    std::lock_guard<std::mutex> lock(mMutex);
    object->root->handedOut.erase(object->associatedIndex);
  }
  CloseOsHandle(winUsb);
  return 0;
}

uint32_t SimWinusbDrvApi::WinUsbGetAssociatedInterface(QXOsHandle winUsb, uint8_t associatedIndex,
                                                       QXOsHandle& handle) {
  handle = QXOsInvalidHandle();
  auto root = FindAs<WinUsbObject>(winUsb);
  if (!root || root->root) {
    return kQXErrorInvalidHandle;
  }
  if (!root->file->device->IsAttached()) {
    return kQXErrorDeviceNotConnected;
  }
  const std::vector<uint8_t> numbers = InterfaceNumbers(*root->configuration);
  size_t position = 0;
  while (position < numbers.size() && numbers[position] != root->interfaceNumber) {
    ++position;
  }
  const size_t target = position + 1 + associatedIndex;
  if (position >= numbers.size() || target >= numbers.size()) {
    return kQXErrorNoMoreItems;
  }
  auto associated = std::make_shared<WinUsbObject>();
  associated->file = root->file;
  associated->root = root;
  associated->deviceDescriptor = root->deviceDescriptor;
  associated->configuration = root->configuration;
  associated->interfaceNumber = numbers[target];
  associated->associatedIndex = associatedIndex;
  {
    std::lock_guard<std::mutex> lock(mMutex);
    if (!root->handedOut.insert(associatedIndex).second) {
      return kQXErrorAlreadyExists;
    }
  }
  handle = Insert(associated);
  return 0;
}

uint32_t SimWinusbDrvApi::WinUsbSetPipePolicy(QXOsHandle winUsb, uint8_t pipeId, uint32_t policyType,
                                              uint32_t valueLength, void* value) {
  auto object = FindAs<WinUsbObject>(winUsb);
  if (!object) {
    return kQXErrorInvalidHandle;
  }
  if (value == nullptr || valueLength == 0) {
    return kQXErrorInvalidParameter;
  }
  if (!object->file->device->IsAttached()) {
    return kQXErrorDeviceNotConnected;
  }
  if (pipeId == 0 && policyType == kPipeTransferTimeoutPolicy) {
    if (valueLength != sizeof(uint32_t)) {
      return kQXErrorInvalidParameter;
    }
    uint32_t timeoutMs = 0;
    std::memcpy(&timeoutMs, value, sizeof(timeoutMs));
    object->controlTimeoutMs = timeoutMs;
  }
  return 0;
}

uint32_t SimWinusbDrvApi::WinUsbGetDescriptor(QXOsHandle winUsb, uint8_t descriptorType, uint8_t index,
                                              uint16_t languageId, uint8_t* buffer, uint32_t length,
                                              uint32_t& transferred) {
  transferred = 0;
  auto object = FindAs<WinUsbObject>(winUsb);
  if (!object) {
    return kQXErrorInvalidHandle;
  }
  if (buffer == nullptr || length > 0xFFFF) {
    return kQXErrorInvalidParameter;
  }
  {
    std::lock_guard<std::mutex> lock(mMutex);
    mDescriptorCalls[mDescriptorCallTotal % mDescriptorCalls.size()] = {descriptorType, index, length};
    ++mDescriptorCallTotal;
  }
  // The device descriptor and the first configuration come from WinUSB's own copy: the device
  // is not asked, and a function of a composite device sees only its own interfaces.
  const std::vector<uint8_t>* copy = nullptr;
  if (descriptorType == 1 && index == 0) {
    copy = object->deviceDescriptor.get();
  } else if (descriptorType == 2 && index == 0) {
    copy = object->configuration.get();
  }
  if (copy != nullptr) {
    if (!object->file->device->IsAttached()) {
      return kQXErrorDeviceNotConnected;
    }
    const size_t count = std::min<size_t>(copy->size(), length);
    std::memcpy(buffer, copy->data(), count);
    transferred = static_cast<uint32_t>(count);
    return 0;
  }
  const SimSetupPacket setup{0x80, 0x06, static_cast<uint16_t>((descriptorType << 8) | index), languageId,
                             static_cast<uint16_t>(length)};
  const SimDevicePtr& device = object->file->device;
  SimControlRequestPtr request = device->Submit(setup, {});
  // Bounded by the handle's PIPE_TRANSFER_TIMEOUT; with the time-out off the call returns only
  // when the device answers (or leaves the bus).
  const uint32_t timeoutMs = object->controlTimeoutMs.load();
  if (timeoutMs == 0) {
    while (!request->WaitFor(std::chrono::hours(1))) {
    }
  } else if (!request->WaitFor(std::chrono::milliseconds(timeoutMs))) {
    device->Cancel(request);
    while (!request->WaitFor(std::chrono::hours(1))) {
    }
    return kQXErrorSemTimeout;
  }
  const uint32_t err = ErrorOf(request->Status());
  if (err != 0) {
    return err;
  }
  const std::vector<uint8_t> data = request->InData();
  const size_t count = std::min<size_t>(data.size(), length);
  std::memcpy(buffer, data.data(), count);
  transferred = static_cast<uint32_t>(count);
  return 0;
}

uint32_t SimWinusbDrvApi::WinUsbQueryInterfaceSettings(QXOsHandle winUsb, uint8_t alternateIndex,
                                                       QXUsbInterfaceDescriptor& descriptor) {
  auto object = FindAs<WinUsbObject>(winUsb);
  if (!object) {
    return kQXErrorInvalidHandle;
  }
  const std::vector<std::vector<uint8_t>> settings = AlternateSettings(*object->configuration, object->interfaceNumber);
  if (alternateIndex >= settings.size()) {
    return kQXErrorNoMoreItems;
  }
  static_assert(sizeof(QXUsbInterfaceDescriptor) == 9, "the interface descriptor is 9 bytes");
  std::memcpy(&descriptor, settings[alternateIndex].data(), sizeof(descriptor));
  return 0;
}

std::vector<SimWinusbDrvApi::DescriptorCall> SimWinusbDrvApi::DescriptorCalls() const {
  std::lock_guard<std::mutex> lock(mMutex);
  // The last calls, oldest first.
  const size_t kept = std::min(mDescriptorCallTotal, mDescriptorCalls.size());
  std::vector<DescriptorCall> calls;
  for (size_t position = mDescriptorCallTotal - kept; position < mDescriptorCallTotal; ++position) {
    calls.push_back(mDescriptorCalls[position % mDescriptorCalls.size()]);
  }
  return calls;
}

void SimWinusbDrvApi::ClearDescriptorCalls() {
  std::lock_guard<std::mutex> lock(mMutex);
  mDescriptorCallTotal = 0;
}

void SimWinusbDrvApi::SetDefaultControlTimeout(std::chrono::milliseconds timeout) {
  gDefaultControlTimeoutMs = timeout.count() > 0 ? static_cast<uint32_t>(timeout.count()) : kDefaultControlTimeoutMs;
}

uint32_t SimWinusbDrvApi::WinUsbQueryDeviceInformation(QXOsHandle winUsb, uint32_t informationType,
                                                       uint32_t& length, void* buffer) {
  auto object = FindAs<WinUsbObject>(winUsb);
  if (!object) {
    return kQXErrorInvalidHandle;
  }
  if (!object->file->device->IsAttached()) {
    return kQXErrorDeviceNotConnected;
  }
  if (informationType != 1) {
    return kQXErrorInvalidParameter;
  }
  if (buffer == nullptr || length < 1) {
    return kQXErrorInsufficientBuffer;
  }
  *static_cast<uint8_t*>(buffer) = object->file->device->Spec().deviceSpeed;
  length = 1;
  return 0;
}

void SimWinusbDrvApi::SetSetInterfaceTimeout(std::chrono::milliseconds timeout) {
  gSetInterfaceWaitMs = timeout.count() > 0 ? static_cast<int32_t>(timeout.count()) : kSetInterfaceWaitMs;
}

uint32_t SimWinusbDrvApi::WinUsbSetCurrentAlternateSetting(QXOsHandle winUsb, uint8_t alternateSetting) {
  auto object = FindAs<WinUsbObject>(winUsb);
  if (!object) {
    return kQXErrorInvalidHandle;
  }
  const SimSetupPacket setup{0x01, 0x0B, alternateSetting, object->interfaceNumber, 0};
  SimControlRequestPtr request = object->file->device->Submit(setup, {}, FunctionOf(*object->file));
  const std::chrono::milliseconds wait(gSetInterfaceWaitMs.load());
  if (!request->WaitFor(wait)) {
    object->file->device->Cancel(request);
    request->WaitFor(wait);
    return kQXErrorSemTimeout;
  }
  return ErrorOf(request->Status());
}

uint32_t SimWinusbDrvApi::WinUsbControlTransfer(QXOsHandle winUsb, const QXUsbSetupPacket& setup, uint8_t* buffer,
                                                uint32_t length, uint32_t& transferred, QXWinOverlapped& overlapped) {
  transferred = 0;
  auto object = FindAs<WinUsbObject>(winUsb);
  auto event = FindAs<EventObject>(overlapped.EventHandle());
  if (!object || !event) {
    return kQXErrorInvalidHandle;
  }
  const SimDevicePtr device = object->file->device;
  if (!device->IsAttached()) {
    return kQXErrorDeviceNotConnected;
  }
  if (length != setup.wLength || (length != 0 && buffer == nullptr)) {
    return kQXErrorInvalidParameter;
  }
  // The system resets the event when it starts the I/O.
  event->Reset();
  const SimSetupPacket simSetup = ToSim(setup);
  // A raw request reaches the device itself: a GET_DESCRIPTOR of the configuration answers the
  // whole configuration, not the function's part of it.
  SimControlRequestPtr request = device->Submit(
      simSetup, simSetup.IsDeviceToHost() ? std::span<const uint8_t>() : std::span<const uint8_t>(buffer, length));
  auto timedOut = std::make_shared<std::atomic<bool>>(false);
  {
    std::lock_guard<std::mutex> lock(mMutex);
    mTransfers[&overlapped] = Transfer{request, timedOut};
  }
  const bool deviceToHost = simSetup.IsDeviceToHost();
  std::weak_ptr<SimControlRequest> weak = request;
  request->AddCompletionCallback([weak, event, buffer, deviceToHost] {
    if (auto completed = weak.lock()) {
      if (deviceToHost && completed->Status() == SimTransferStatus::Success) {
        const std::vector<uint8_t> data = completed->InData();
        if (!data.empty()) {
          std::memcpy(buffer, data.data(), data.size());
        }
      }
    }
    event->Set();
  });
  // WinUSB ends a transfer that outlives the handle's PIPE_TRANSFER_TIMEOUT itself, with
  // ERROR_SEM_TIMEOUT.
  const uint32_t timeoutMs = object->controlTimeoutMs.load();
  if (timeoutMs != 0) {
    std::weak_ptr<SimDevice> weakDevice = device;
    auto expire = [weak, weakDevice, timedOut] {
      const SimControlRequestPtr pending = weak.lock();
      const SimDevicePtr owner = weakDevice.lock();
      if (pending && owner && !pending->IsCompleted()) {
        timedOut->store(true);
        owner->Cancel(pending);
      }
    };
    VirtualUsbBus::Instance().Scheduler().ScheduleAfter(std::chrono::milliseconds(timeoutMs), std::move(expire));
  }
  return kQXErrorIoPending;
}

uint32_t SimWinusbDrvApi::WinUsbGetOverlappedResult(QXOsHandle, QXWinOverlapped& overlapped, uint32_t& transferred) {
  transferred = 0;
  Transfer transfer;
  {
    std::lock_guard<std::mutex> lock(mMutex);
    const auto it = mTransfers.find(&overlapped);
    if (it == mTransfers.end()) {
      return kQXErrorInvalidParameter;
    }
    transfer = it->second;
  }
  const SimTransferStatus status = transfer.request->Status();
  if (status == SimTransferStatus::Pending) {
    return kQXErrorIoIncomplete;
  }
  {
    std::lock_guard<std::mutex> lock(mMutex);
    mTransfers.erase(&overlapped);
  }
  transferred = transfer.request->TransferredLength();
  if (status == SimTransferStatus::Cancelled && transfer.timedOut->load()) {
    return kQXErrorSemTimeout;
  }
  return ErrorOf(status);
}

uint32_t SimWinusbDrvApi::CancelOverlappedIo(QXOsHandle file, QXWinOverlapped& overlapped) {
  if (!FindAs<FileObject>(file)) {
    return kQXErrorInvalidHandle;
  }
  SimControlRequestPtr request;
  {
    std::lock_guard<std::mutex> lock(mMutex);
    const auto it = mTransfers.find(&overlapped);
    if (it != mTransfers.end()) {
      request = it->second.request;
    }
  }
  if (!request || request->IsCompleted()) {
    return kQXErrorNotFound;
  }
  auto object = FindAs<FileObject>(file);
  object->device->Cancel(request);
  return 0;
}

uint32_t SimWinusbDrvApi::ResetUsbDevice(QXOsHandle winUsb) {
  auto object = FindAs<WinUsbObject>(winUsb);
  if (!object) {
    return kQXErrorInvalidHandle;
  }
  const SimDevicePtr& device = object->file->device;
  if (!device->IsAttached() || !VirtualUsbBus::Instance().ResetDevice(device->Id())) {
    return kQXErrorDeviceNotConnected;
  }
  return 0;
}

}  // namespace plendrik::sim
