#include <libusb.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <vector>

#include "diag/QXDebugPrintf.h"
#include "diag/QXLog.h"
#include "os/QXImmortal.h"
#include "os/QXOsString.h"
#include "usb/QXLibusbContext.h"
#include "usb/QXWinOverlapped.h"
#include "usb/QXWinusbDrvApiLibusb.h"

namespace plendrik {

namespace {
constexpr unsigned int kDescriptorTimeoutMs = 1000;
constexpr uint32_t kDeviceSpeedInformation = 1;
// WinUSB's device speed values.
constexpr uint8_t kWinUsbLowSpeed = 1;
constexpr uint8_t kWinUsbFullSpeed = 2;
constexpr uint8_t kWinUsbHighSpeed = 3;

// The interface numbers of the active configuration, in descriptor order.
std::vector<int> InterfaceNumbers(libusb_device* device) {
  std::vector<int> numbers;
  libusb_config_descriptor* config = nullptr;
  if (libusb_get_active_config_descriptor(device, &config) != LIBUSB_SUCCESS &&
      libusb_get_config_descriptor(device, 0, &config) != LIBUSB_SUCCESS) {
    return numbers;
  }
  for (int i = 0; i < config->bNumInterfaces; ++i) {
    const libusb_interface& iface = config->interface[i];
    if (iface.num_altsetting > 0) {
      numbers.push_back(iface.altsetting[0].bInterfaceNumber);
    }
  }
  libusb_free_config_descriptor(config);
  return numbers;
}
}  // namespace

struct QXWinusbDrvApiLibusb::Object {
  virtual ~Object() = default;
};

namespace {

struct DeviceFile final : QXWinusbDrvApiLibusb::Object {
  libusb_device_handle* handle = nullptr;
  libusb_device* device = nullptr;
  int interfaceNumber = 0;    // the device handle's interface: the first of the configuration
  int functionInterface = 0;  // the interface the path binds (a composite function's), claimed at open
  std::mutex mutex;
  std::condition_variable idle;
  std::vector<int> claimed;    // claimed through libusb
  std::vector<int> handedOut;  // associated interfaces handed out (WinUSB hands each out once)
  bool gone = false;
  size_t transfersInFlight = 0;

  DeviceFile() { QXLibusbContext::Instance().HandleOpened(); }
  ~DeviceFile() override {
    {
      // Closed on a caller's thread, never on the event thread: that thread's callbacks are
      // the only ones that end a transfer, and libusb_close would wait for it.
      std::unique_lock<std::mutex> lock(mutex);
      idle.wait(lock, [&] { return transfersInFlight == 0; });
    }
    if (handle != nullptr) {
      for (int number : claimed) {
        libusb_release_interface(handle, number);
      }
      libusb_close(handle);
    }
    if (device != nullptr) {
      libusb_unref_device(device);
    }
    QXLibusbContext::Instance().HandleClosed();
  }

  bool IsGone() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (gone) {
        return true;
      }
    }
    if (QXLibusbContext::Instance().IsGone(device)) {
      MarkGone();
      return true;
    }
    return false;
  }
  void TransferStarted() {
    std::lock_guard<std::mutex> lock(mutex);
    ++transfersInFlight;
  }
  void TransferEnded() {
    std::lock_guard<std::mutex> lock(mutex);
    --transfersInFlight;
    idle.notify_all();
  }
  void MarkGone() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      gone = true;
    }
    QXLibusbContext::Instance().MarkGone(device);
  }
  // A libusb result; a device that has gone is remembered.
  uint32_t Result(int rc) {
    if (rc == LIBUSB_ERROR_NO_DEVICE) {
      MarkGone();
    }
    return QXMapLibusbError(rc);
  }
};

struct WinUsbHandle final : QXWinusbDrvApiLibusb::Object {
  std::shared_ptr<DeviceFile> file;
  int interfaceNumber = 0;
  bool associated = false;  // handed out by WinUsbGetAssociatedInterface: released when freed
};

struct Event final : QXWinusbDrvApiLibusb::Object {
  std::mutex mutex;
  std::condition_variable changed;
  bool signalled = false;
  void Set(bool value) {
    std::lock_guard<std::mutex> lock(mutex);
    signalled = value;
    changed.notify_all();
  }
};

struct NamedMutex final : QXWinusbDrvApiLibusb::Object {
  QXWString name;
};

}  // namespace

struct QXWinusbDrvApiLibusb::Transfer {
  std::mutex mutex;
  // Not owned: the file's close waits until its transfers have ended, so that the last
  // reference never goes on the event thread.
  DeviceFile* file = nullptr;
  std::shared_ptr<Event> event;
  std::vector<uint8_t> buffer;          // setup packet, then the data stage
  libusb_transfer* transfer = nullptr;  // null once its callback has run
  bool in = false;
  bool done = false;
  int status = LIBUSB_TRANSFER_ERROR;
  uint32_t actual = 0;
  uint8_t* userBuffer = nullptr;
  uint32_t length = 0;

  // Runs on the event thread: records the result, frees libusb's transfer (its callback has
  // run, so libusb no longer uses it) and signals the overlapped record's event.
  static void LIBUSB_CALL Completed(libusb_transfer* transfer) {
    auto* holder = static_cast<std::shared_ptr<Transfer>*>(transfer->user_data);
    std::shared_ptr<Transfer> self = std::move(*holder);
    delete holder;
    {
      std::lock_guard<std::mutex> lock(self->mutex);
      self->status = transfer->status;
      self->actual = static_cast<uint32_t>(transfer->actual_length);
      self->done = true;
      self->transfer = nullptr;
    }
    libusb_free_transfer(transfer);
    if (self->status == LIBUSB_TRANSFER_NO_DEVICE) {
      self->file->MarkGone();
    }
    DeviceFile* file = self->file;
    std::shared_ptr<Event> event = self->event;
    self.reset();
    event->Set(true);
    QXLibusbContext::Instance().TransferEnded();
    file->TransferEnded();  // the last use of the file
  }
};

namespace {
std::atomic<QXWinusbDrvApiLibusb::OpenFunction> gOpenFunction{nullptr};
}  // namespace

void QXWinusbDrvApiLibusb::SetOpenFunction(OpenFunction open) { gOpenFunction.store(open); }

QXWinusbDrvApiLibusb& QXWinusbDrvApiLibusb::Instance() { return QXImmortal<QXWinusbDrvApiLibusb>(); }

QXOsHandle QXWinusbDrvApiLibusb::Insert(std::shared_ptr<Object> object) {
  std::lock_guard<std::mutex> lock(mMutex);
  const uintptr_t id = mNextHandle;
  mNextHandle += 4;
  mHandles.emplace(id, std::move(object));
  return reinterpret_cast<QXOsHandle>(id);
}

template <class T>
std::shared_ptr<T> QXWinusbDrvApiLibusb::FindAs(QXOsHandle handle) const {
  std::lock_guard<std::mutex> lock(mMutex);
  const auto it = mHandles.find(reinterpret_cast<uintptr_t>(handle));
  return it != mHandles.end() ? std::dynamic_pointer_cast<T>(it->second) : nullptr;
}

size_t QXWinusbDrvApiLibusb::OpenHandleCount() const {
  std::lock_guard<std::mutex> lock(mMutex);
  return mHandles.size();
}

uint32_t QXWinusbDrvApiLibusb::CreateDeviceFile(const QXWString& path, uint32_t /*desiredAccess*/,
                                                uint32_t /*shareMode*/, void* /*securityAttributes*/,
                                                QXOsHandle& file) {
  file = QXOsInvalidHandle();
  QXLibusbContext& usb = QXLibusbContext::Instance();
  if (usb.Context() == nullptr) {
    return kQXErrorFileNotFound;
  }
  const std::optional<QXLibusbContext::PathTarget> target = usb.FindPath(path);
  if (!target) {
    return kQXErrorFileNotFound;  // never listed, or the device has left
  }
  auto device = std::make_shared<DeviceFile>();
  device->device = target->device;  // the reference FindPath took is the file's
  libusb_device_handle* handle = nullptr;
  const OpenFunction open = gOpenFunction.load();
  const int rc = open != nullptr ? open(target->device, &handle) : libusb_open(target->device, &handle);
  if (rc != LIBUSB_SUCCESS) {
    if (rc == LIBUSB_ERROR_ACCESS) {
      // The usual cause on Linux: the device node belongs to root. Say what fixes it.
      const uint8_t bus = libusb_get_bus_number(target->device);
      const uint8_t address = libusb_get_device_address(target->device);
      QX_LOG_ERROR("no permission to open /dev/bus/usb/{:03}/{:03} ({}): install the udev rules file {}",
                   static_cast<uint32_t>(bus), static_cast<uint32_t>(address), path, kQXUdevRulesFile);
      QXDebugPrintf("%s: ERROR: %s: no permission to open /dev/bus/usb/%03u/%03u: install the udev rules file %s\n",
                    QXGetModuleName(), "plendrik::QXWinusbDrvApiLibusb::CreateDeviceFile", bus, address,
                    kQXUdevRulesFile);
    }
    return device->Result(rc);
  }
  device->handle = handle;
  // As WinUSB counts interfaces: the device handle stands for the configuration's first
  // interface, the others are associated interfaces. Only the path's own interface (a
  // composite device's DFU function) is claimed; the other functions keep their drivers.
  const std::vector<int> numbers = InterfaceNumbers(target->device);
  device->interfaceNumber = numbers.empty() ? 0 : numbers.front();
  device->functionInterface = target->interfaceNumber >= 0 ? target->interfaceNumber : device->interfaceNumber;
  // A kernel driver bound to the interface is detached while we hold it and re-attached on release.
  libusb_set_auto_detach_kernel_driver(handle, 1);
  const int claim = libusb_claim_interface(handle, device->functionInterface);
  if (claim != LIBUSB_SUCCESS) {
    const uint32_t err = device->Result(claim);
    device.reset();  // closes the handle
    return err;
  }
  device->claimed.push_back(device->functionInterface);
  file = Insert(std::move(device));
  return 0;
}

void QXWinusbDrvApiLibusb::CloseOsHandle(QXOsHandle handle) {
  std::shared_ptr<Object> object;  // destroyed outside the lock
  std::lock_guard<std::mutex> lock(mMutex);
  const auto it = mHandles.find(reinterpret_cast<uintptr_t>(handle));
  if (it == mHandles.end()) {
    return;
  }
  object = std::move(it->second);
  mHandles.erase(it);
  if (auto* named = dynamic_cast<NamedMutex*>(object.get())) {
    const auto m = mMutexes.find(named->name);
    if (m != mMutexes.end() && --m->second == 0) {
      mMutexes.erase(m);
    }
  }
}

uint32_t QXWinusbDrvApiLibusb::CreateNamedMutex(const QXWString& name, QXOsHandle& mutex, bool& alreadyExists) {
  auto named = std::make_shared<NamedMutex>();
  named->name = name;
  {
    std::lock_guard<std::mutex> lock(mMutex);
    alreadyExists = mMutexes[name]++ > 0;
  }
  mutex = Insert(std::move(named));
  return 0;
}

uint32_t QXWinusbDrvApiLibusb::CreateManualResetEvent(QXOsHandle& event) {
  event = Insert(std::make_shared<Event>());
  return 0;
}

uint32_t QXWinusbDrvApiLibusb::WaitForEvent(QXOsHandle handle, int32_t timeoutMs) {
  const std::shared_ptr<Event> event = FindAs<Event>(handle);
  if (!event) {
    return kQXErrorInvalidHandle;
  }
  std::unique_lock<std::mutex> lock(event->mutex);
  if (timeoutMs < 0) {
    event->changed.wait(lock, [&] { return event->signalled; });
    return 0;
  }
  return event->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return event->signalled; })
             ? 0
             : kQXErrorWaitTimeout;
}

uint32_t QXWinusbDrvApiLibusb::WinUsbInitialize(QXOsHandle file, QXOsHandle& winUsb) {
  winUsb = QXOsInvalidHandle();
  std::shared_ptr<DeviceFile> device = FindAs<DeviceFile>(file);
  if (!device) {
    return kQXErrorInvalidHandle;
  }
  auto handle = std::make_shared<WinUsbHandle>();
  handle->interfaceNumber = device->interfaceNumber;
  handle->file = std::move(device);
  winUsb = Insert(std::move(handle));
  return 0;
}

uint32_t QXWinusbDrvApiLibusb::WinUsbFree(QXOsHandle winUsb) {
  std::shared_ptr<WinUsbHandle> handle = FindAs<WinUsbHandle>(winUsb);
  if (!handle) {
    return kQXErrorInvalidHandle;
  }
  if (handle->associated) {
    DeviceFile& file = *handle->file;
    std::lock_guard<std::mutex> lock(file.mutex);
    std::erase(file.handedOut, handle->interfaceNumber);
    // The path's own interface stays claimed until the file is closed.
    if (handle->interfaceNumber != file.functionInterface) {
      libusb_release_interface(file.handle, handle->interfaceNumber);
      std::erase(file.claimed, handle->interfaceNumber);
    }
  }
  CloseOsHandle(winUsb);
  return 0;
}

uint32_t QXWinusbDrvApiLibusb::WinUsbGetAssociatedInterface(QXOsHandle winUsb, uint8_t associatedIndex,
                                                            QXOsHandle& associated) {
  associated = QXOsInvalidHandle();
  std::shared_ptr<WinUsbHandle> handle = FindAs<WinUsbHandle>(winUsb);
  if (!handle) {
    return kQXErrorInvalidHandle;
  }
  // As WinUSB counts them: the interfaces that follow the handle's own, in descriptor order.
  const std::vector<int> numbers = InterfaceNumbers(handle->file->device);
  size_t own = 0;
  while (own < numbers.size() && numbers[own] != handle->interfaceNumber) {
    ++own;
  }
  const size_t wanted = own + 1 + associatedIndex;
  if (own >= numbers.size() || wanted >= numbers.size()) {
    return kQXErrorNoMoreItems;
  }
  const int number = numbers[wanted];
  DeviceFile& file = *handle->file;
  {
    std::lock_guard<std::mutex> lock(file.mutex);
    if (std::find(file.handedOut.begin(), file.handedOut.end(), number) != file.handedOut.end()) {
      return kQXErrorAlreadyExists;  // WinUSB hands an associated interface out once
    }
    if (std::find(file.claimed.begin(), file.claimed.end(), number) == file.claimed.end()) {
      const int rc = libusb_claim_interface(file.handle, number);
      if (rc != LIBUSB_SUCCESS) {
        if (rc == LIBUSB_ERROR_NO_DEVICE) {
          file.gone = true;
        }
        return QXMapLibusbError(rc);
      }
      file.claimed.push_back(number);
    }
    file.handedOut.push_back(number);
  }
  auto other = std::make_shared<WinUsbHandle>();
  other->file = handle->file;
  other->interfaceNumber = number;
  other->associated = true;
  associated = Insert(std::move(other));
  return 0;
}

uint32_t QXWinusbDrvApiLibusb::WinUsbSetPipePolicy(QXOsHandle winUsb, uint8_t /*pipeId*/, uint32_t /*policyType*/,
                                                   uint32_t /*valueLength*/, void* /*value*/) {
  // libusb times nothing out that the library submits (timeout 0): the library's wait does.
  return FindAs<WinUsbHandle>(winUsb) ? 0 : kQXErrorInvalidHandle;
}

uint32_t QXWinusbDrvApiLibusb::WinUsbGetDescriptor(QXOsHandle winUsb, uint8_t descriptorType, uint8_t index,
                                                   uint16_t languageId, uint8_t* buffer, uint32_t length,
                                                   uint32_t& transferred) {
  transferred = 0;
  std::shared_ptr<WinUsbHandle> handle = FindAs<WinUsbHandle>(winUsb);
  if (!handle) {
    return kQXErrorInvalidHandle;
  }
  // Synchronous, on the caller's thread (never the event thread), bounded like WinUSB's.
  const int rc =
      libusb_control_transfer(handle->file->handle, LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR,
                              static_cast<uint16_t>((descriptorType << 8) | index), languageId, buffer,
                              static_cast<uint16_t>(length > 0xFFFF ? 0xFFFF : length), kDescriptorTimeoutMs);
  if (rc < 0) {
    return handle->file->Result(rc);
  }
  transferred = static_cast<uint32_t>(rc);
  return 0;
}

uint32_t QXWinusbDrvApiLibusb::WinUsbQueryDeviceInformation(QXOsHandle winUsb, uint32_t informationType,
                                                            uint32_t& length, void* buffer) {
  std::shared_ptr<WinUsbHandle> handle = FindAs<WinUsbHandle>(winUsb);
  if (!handle) {
    return kQXErrorInvalidHandle;
  }
  if (informationType != kDeviceSpeedInformation) {
    return kQXErrorInvalidParameter;
  }
  if (length < 1 || buffer == nullptr) {
    return kQXErrorInsufficientBuffer;
  }
  // libusb caches the speed, so a device that left must be noticed here: by its hotplug
  // removal, a transfer that found no device, or a look at the device now.
  if (handle->file->IsGone()) {
    return kQXErrorDeviceNotConnected;
  }
  int configuration = 0;
  if (libusb_get_configuration(handle->file->handle, &configuration) == LIBUSB_ERROR_NO_DEVICE) {
    handle->file->MarkGone();
    return kQXErrorDeviceNotConnected;
  }
  uint8_t speed = kWinUsbHighSpeed;  // SuperSpeed devices report high speed to WinUSB callers
  switch (libusb_get_device_speed(handle->file->device)) {
    case LIBUSB_SPEED_LOW:
      speed = kWinUsbLowSpeed;
      break;
    case LIBUSB_SPEED_FULL:
      speed = kWinUsbFullSpeed;
      break;
    default:
      break;
  }
  *static_cast<uint8_t*>(buffer) = speed;
  length = 1;
  return 0;
}

uint32_t QXWinusbDrvApiLibusb::WinUsbSetCurrentAlternateSetting(QXOsHandle winUsb, uint8_t alternateSetting) {
  std::shared_ptr<WinUsbHandle> handle = FindAs<WinUsbHandle>(winUsb);
  if (!handle) {
    return kQXErrorInvalidHandle;
  }
  // A synchronous ioctl that cannot be cancelled; the kernel bounds it.
  return handle->file->Result(
      libusb_set_interface_alt_setting(handle->file->handle, handle->interfaceNumber, alternateSetting));
}

uint32_t QXWinusbDrvApiLibusb::WinUsbControlTransfer(QXOsHandle winUsb, const QXUsbSetupPacket& setup, uint8_t* buffer,
                                                     uint32_t length, uint32_t& transferred,
                                                     QXWinOverlapped& overlapped) {
  transferred = 0;
  std::shared_ptr<WinUsbHandle> handle = FindAs<WinUsbHandle>(winUsb);
  std::shared_ptr<Event> event = FindAs<Event>(overlapped.EventHandle());
  if (!handle || !event) {
    return kQXErrorInvalidHandle;
  }
  if (handle->file->IsGone()) {
    return kQXErrorDeviceNotConnected;
  }
  if (length > 0xFFFF || length < setup.wLength) {
    return kQXErrorInvalidParameter;
  }
  auto transfer = std::make_shared<Transfer>();
  transfer->file = handle->file.get();
  transfer->event = event;
  transfer->in = (setup.bmRequestType & LIBUSB_ENDPOINT_IN) != 0;
  transfer->userBuffer = buffer;
  transfer->length = setup.wLength;
  transfer->buffer.resize(LIBUSB_CONTROL_SETUP_SIZE + setup.wLength);
  libusb_fill_control_setup(transfer->buffer.data(), setup.bmRequestType, setup.bRequest, setup.wValue, setup.wIndex,
                            setup.wLength);
  if (!transfer->in && setup.wLength > 0) {
    std::memcpy(transfer->buffer.data() + LIBUSB_CONTROL_SETUP_SIZE, buffer, setup.wLength);
  }
  libusb_transfer* raw = libusb_alloc_transfer(0);
  if (raw == nullptr) {
    return kQXErrorNotEnoughMemory;
  }
  auto* holder = new std::shared_ptr<Transfer>(transfer);
  // Timeout 0: the library's own wait times the request out and cancels it.
  libusb_fill_control_transfer(raw, handle->file->handle, transfer->buffer.data(), &Transfer::Completed, holder, 0);
  transfer->transfer = raw;
  event->Set(false);
  {
    std::lock_guard<std::mutex> lock(mMutex);
    mTransfers[&overlapped] = transfer;
  }
  QXLibusbContext::Instance().TransferStarted();
  handle->file->TransferStarted();
  std::unique_lock<std::mutex> transferLock(transfer->mutex);
  const int rc = libusb_submit_transfer(raw);
  if (rc != LIBUSB_SUCCESS) {
    transfer->transfer = nullptr;
    transferLock.unlock();
    delete holder;
    libusb_free_transfer(raw);
    QXLibusbContext::Instance().TransferEnded();
    handle->file->TransferEnded();
    {
      std::lock_guard<std::mutex> lock(mMutex);
      mTransfers.erase(&overlapped);
    }
    return handle->file->Result(rc);
  }
  return kQXErrorIoPending;
}

uint32_t QXWinusbDrvApiLibusb::WinUsbGetOverlappedResult(QXOsHandle /*winUsb*/, QXWinOverlapped& overlapped,
                                                         uint32_t& transferred) {
  transferred = 0;
  std::shared_ptr<Transfer> transfer;
  {
    std::lock_guard<std::mutex> lock(mMutex);
    const auto it = mTransfers.find(&overlapped);
    if (it == mTransfers.end()) {
      return kQXErrorInvalidParameter;
    }
    transfer = it->second;
  }
  std::lock_guard<std::mutex> lock(transfer->mutex);
  if (!transfer->done) {
    return kQXErrorIoIncomplete;
  }
  {
    std::lock_guard<std::mutex> registry(mMutex);
    mTransfers.erase(&overlapped);
  }
  const uint32_t err = QXMapLibusbTransferStatus(transfer->status);
  if (err != 0) {
    return err;
  }
  const uint32_t count = std::min(transfer->actual, transfer->length);
  if (transfer->in && count > 0) {
    // Copied here, on the caller's thread, into the buffer it still owns.
    std::memcpy(transfer->userBuffer, transfer->buffer.data() + LIBUSB_CONTROL_SETUP_SIZE, count);
  }
  transferred = count;
  return 0;
}

uint32_t QXWinusbDrvApiLibusb::CancelOverlappedIo(QXOsHandle /*file*/, QXWinOverlapped& overlapped) {
  std::shared_ptr<Transfer> transfer;
  {
    std::lock_guard<std::mutex> lock(mMutex);
    const auto it = mTransfers.find(&overlapped);
    if (it == mTransfers.end()) {
      return kQXErrorNotFound;
    }
    transfer = it->second;
  }
  std::lock_guard<std::mutex> lock(transfer->mutex);
  if (transfer->done || transfer->transfer == nullptr) {
    return kQXErrorNotFound;
  }
  // Asynchronous: the transfer ends in its callback, which alone frees it.
  const int rc = libusb_cancel_transfer(transfer->transfer);
  return rc == LIBUSB_SUCCESS ? 0 : (rc == LIBUSB_ERROR_NOT_FOUND ? kQXErrorNotFound : QXMapLibusbError(rc));
}

uint32_t QXWinusbDrvApiLibusb::ResetUsbDevice(QXOsHandle winUsb) {
  std::shared_ptr<WinUsbHandle> handle = FindAs<WinUsbHandle>(winUsb);
  if (!handle) {
    return kQXErrorInvalidHandle;
  }
  const int rc = libusb_reset_device(handle->file->handle);
  if (rc == LIBUSB_SUCCESS || rc == LIBUSB_ERROR_NOT_FOUND) {
    // The reset was made. Linux may keep the device (same descriptors) or enumerate it anew
    // (NOT_FOUND); either way this handle is given up, as every handle is after a reset on
    // Windows: the caller finds the device again. Only this file is marked, so that a device
    // that stayed is still listed.
    std::lock_guard<std::mutex> lock(handle->file->mutex);
    handle->file->gone = true;
    return 0;
  }
  return handle->file->Result(rc);
}

}  // namespace plendrik
