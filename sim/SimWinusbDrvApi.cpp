#include "sim/SimWinusbDrvApi.h"

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
  if (object->entry.interfaceNumber >= 0) {
    handle->interfaceNumber = static_cast<uint8_t>(object->entry.interfaceNumber);
  } else {
    const std::vector<uint8_t> numbers = InterfaceNumbers(ConfigurationSeenBy(*object));
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
  const std::vector<uint8_t> numbers = InterfaceNumbers(ConfigurationSeenBy(*root->file));
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

uint32_t SimWinusbDrvApi::WinUsbSetPipePolicy(QXOsHandle winUsb, uint8_t, uint32_t, uint32_t valueLength,
                                              void* value) {
  auto object = FindAs<WinUsbObject>(winUsb);
  if (!object) {
    return kQXErrorInvalidHandle;
  }
  if (value == nullptr || valueLength == 0) {
    return kQXErrorInvalidParameter;
  }
  return object->file->device->IsAttached() ? 0 : kQXErrorDeviceNotConnected;
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
  const SimSetupPacket setup{0x80, 0x06, static_cast<uint16_t>((descriptorType << 8) | index), languageId,
                             static_cast<uint16_t>(length)};
  const SimDevicePtr& device = object->file->device;
  SimControlRequestPtr request = device->Submit(setup, {}, FunctionOf(*object->file));
  // As WinUSB with the control pipe's time-out off: the call returns only when the device
  // answers (or leaves the bus).
  while (!request->WaitFor(std::chrono::hours(1))) {
  }
  const uint32_t err = ErrorOf(request->Status());
  if (err != 0) {
    return err;
  }
  const std::vector<uint8_t> data = request->InData();
  std::memcpy(buffer, data.data(), data.size());
  transferred = static_cast<uint32_t>(data.size());
  return 0;
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
  SimControlRequestPtr request =
      device->Submit(simSetup,
                     simSetup.IsDeviceToHost() ? std::span<const uint8_t>() : std::span<const uint8_t>(buffer, length),
                     FunctionOf(*object->file));
  {
    std::lock_guard<std::mutex> lock(mMutex);
    mTransfers[&overlapped] = request;
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
  return kQXErrorIoPending;
}

uint32_t SimWinusbDrvApi::WinUsbGetOverlappedResult(QXOsHandle, QXWinOverlapped& overlapped, uint32_t& transferred) {
  transferred = 0;
  SimControlRequestPtr request;
  {
    std::lock_guard<std::mutex> lock(mMutex);
    const auto it = mTransfers.find(&overlapped);
    if (it == mTransfers.end()) {
      return kQXErrorInvalidParameter;
    }
    request = it->second;
  }
  const SimTransferStatus status = request->Status();
  if (status == SimTransferStatus::Pending) {
    return kQXErrorIoIncomplete;
  }
  {
    std::lock_guard<std::mutex> lock(mMutex);
    mTransfers.erase(&overlapped);
  }
  transferred = request->TransferredLength();
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
      request = it->second;
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
