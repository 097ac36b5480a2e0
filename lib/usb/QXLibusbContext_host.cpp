#include <libusb.h>

#include <chrono>
#include <condition_variable>
#include <list>
#include <map>
#include <mutex>
#include <new>
#include <set>
#include <thread>
#include <vector>

#include "diag/QXLog.h"
#include "os/QXImmortal.h"
#include "os/QXWinErrors.h"
#include "usb/QXLibusbContext.h"

namespace plendrik {

namespace {

QXWString LowerAscii(QXWString text) {
  for (QXWChar& c : text) {
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<QXWChar>(c - 'A' + 'a');
    }
  }
  return text;
}

constexpr auto kShutdownTransferWait = std::chrono::milliseconds(2000);

}  // namespace

struct QXLibusbContext::Impl {
  std::mutex mutex;
  libusb_context* context = nullptr;
  bool started = false;   // libusb_init was tried
  bool shutDown = false;  // Shutdown ran: no new context
  std::thread eventThread;
  int stopEvents = 0;  // read by libusb_handle_events_completed
  libusb_hotplug_callback_handle hotplugHandle = 0;
  bool hotplugRegistered = false;

  struct Target {
    libusb_device* device = nullptr;
    int interfaceNumber = -1;
  };
  std::map<QXWString, Target> paths;
  std::set<libusb_device*> gone;

  // Hotplug events, queued by the event thread and delivered by the hotplug thread.
  std::condition_variable hotplugChanged;
  std::list<std::pair<QXLibusbHotplugKind, libusb_device*>> hotplugEvents;
  std::thread hotplugThread;
  bool stopHotplug = false;
  std::map<uint64_t, std::shared_ptr<QXLibusbHotplugObserver>> observers;
  uint64_t nextObserver = 1;
  uint64_t callingObserver = 0;
  std::thread::id hotplugThreadId;
  std::condition_variable observerDone;

  std::condition_variable transfersChanged;
  size_t transfersInFlight = 0;
  size_t handlesOpen = 0;
  std::function<void()> releaseHook;

  void RunEvents() {
    while (__atomic_load_n(&stopEvents, __ATOMIC_ACQUIRE) == 0) {
      libusb_handle_events_completed(context, &stopEvents);
    }
  }

  void RunHotplug() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      hotplugChanged.wait(lock, [&] { return stopHotplug || !hotplugEvents.empty(); });
      if (hotplugEvents.empty()) {
        return;
      }
      const auto [kind, device] = hotplugEvents.front();
      hotplugEvents.pop_front();
      if (kind == QXLibusbHotplugKind::Left && gone.insert(device).second) {
        libusb_ref_device(device);  // so that the address is not reused while it is listed as gone
      }
      std::vector<std::pair<uint64_t, std::shared_ptr<QXLibusbHotplugObserver>>> called(observers.begin(),
                                                                                        observers.end());
      for (auto& [id, observer] : called) {
        if (observers.count(id) == 0) {
          continue;  // removed meanwhile
        }
        callingObserver = id;
        lock.unlock();
        (*observer)(kind, device);
        lock.lock();
        callingObserver = 0;
        observerDone.notify_all();
      }
      lock.unlock();
      libusb_unref_device(device);
      lock.lock();
    }
  }

  // Runs on the event thread: only queues, never calls libusb back.
  static int LIBUSB_CALL OnHotplug(libusb_context* /*ctx*/, libusb_device* device, libusb_hotplug_event event,
                                   void* userData) {
    auto* self = static_cast<Impl*>(userData);
    libusb_ref_device(device);
    std::lock_guard<std::mutex> lock(self->mutex);
    self->hotplugEvents.emplace_back(
        event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED ? QXLibusbHotplugKind::Arrived : QXLibusbHotplugKind::Left,
        device);
    self->hotplugChanged.notify_all();
    return 0;
  }
};

QXLibusbContext::QXLibusbContext() {
  alignas(Impl) static unsigned char storage[sizeof(Impl)];
  mImpl = new (storage) Impl();
}

QXLibusbContext& QXLibusbContext::Instance() { return QXImmortal<QXLibusbContext>(); }

libusb_context* QXLibusbContext::Context() {
  std::lock_guard<std::mutex> lock(mImpl->mutex);
  if (mImpl->started || mImpl->shutDown) {
    return mImpl->context;
  }
  mImpl->started = true;
  libusb_context* context = nullptr;
  const int rc = libusb_init(&context);
  if (rc != LIBUSB_SUCCESS) {
    QX_LOG_ERROR("libusb_init() failed, err={}", libusb_error_name(rc));
    return nullptr;
  }
  mImpl->context = context;
  mImpl->stopEvents = 0;
  if (libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) != 0) {
    const int hp = libusb_hotplug_register_callback(
        context,
        static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
        static_cast<libusb_hotplug_flag>(0), LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
        LIBUSB_HOTPLUG_MATCH_ANY, &Impl::OnHotplug, mImpl, &mImpl->hotplugHandle);
    if (hp == LIBUSB_SUCCESS) {
      mImpl->hotplugRegistered = true;
    } else {
      QX_LOG_WARN("libusb_hotplug_register_callback() failed, err={}", libusb_error_name(hp));
    }
  }
  mImpl->stopHotplug = false;
  mImpl->hotplugThread = std::thread([impl = mImpl] { impl->RunHotplug(); });
  mImpl->hotplugThreadId = mImpl->hotplugThread.get_id();
  mImpl->eventThread = std::thread([impl = mImpl] { impl->RunEvents(); });
  return context;
}

void QXLibusbContext::Shutdown() {
  std::unique_lock<std::mutex> lock(mImpl->mutex);
  mImpl->shutDown = true;
  libusb_context* context = mImpl->context;
  if (context == nullptr) {
    return;
  }
  // Transfers still in flight complete (cancelled by their owners or by the device) while
  // the event thread still runs; their memory is freed only in their callbacks.
  mImpl->transfersChanged.wait_for(lock, kShutdownTransferWait, [&] { return mImpl->transfersInFlight == 0; });
  if (mImpl->hotplugRegistered) {
    mImpl->hotplugRegistered = false;
    lock.unlock();
    libusb_hotplug_deregister_callback(context, mImpl->hotplugHandle);
    lock.lock();
  }
  std::thread events = std::move(mImpl->eventThread);
  std::thread hotplug = std::move(mImpl->hotplugThread);
  mImpl->stopHotplug = true;
  mImpl->hotplugChanged.notify_all();
  lock.unlock();
  __atomic_store_n(&mImpl->stopEvents, 1, __ATOMIC_RELEASE);
  libusb_interrupt_event_handler(context);
  if (events.joinable()) {
    events.join();
  }
  if (hotplug.joinable()) {
    hotplug.join();
  }
  // With device handles still open (closed later by their owners, and libusb_close needs
  // it) the context stays; otherwise every device reference goes and the context ends.
  std::function<void()> hook;
  lock.lock();
  if (mImpl->handlesOpen != 0) {
    return;
  }
  hook = std::move(mImpl->releaseHook);
  std::vector<libusb_device*> released;
  for (auto& [path, target] : mImpl->paths) {
    released.push_back(target.device);
  }
  released.insert(released.end(), mImpl->gone.begin(), mImpl->gone.end());
  mImpl->paths.clear();
  mImpl->gone.clear();
  mImpl->context = nullptr;
  lock.unlock();
  if (hook) {
    hook();
  }
  for (libusb_device* device : released) {
    libusb_unref_device(device);
  }
  libusb_exit(context);
}

void QXLibusbContext::HandleOpened() {
  std::lock_guard<std::mutex> lock(mImpl->mutex);
  ++mImpl->handlesOpen;
}

void QXLibusbContext::HandleClosed() {
  std::lock_guard<std::mutex> lock(mImpl->mutex);
  --mImpl->handlesOpen;
}

void QXLibusbContext::SetReleaseHook(std::function<void()> hook) {
  std::lock_guard<std::mutex> lock(mImpl->mutex);
  mImpl->releaseHook = std::move(hook);
}

void QXLibusbContext::RegisterPath(const QXWString& interfacePath, libusb_device* device, int interfaceNumber) {
  libusb_ref_device(device);
  libusb_device* old = nullptr;
  {
    std::lock_guard<std::mutex> lock(mImpl->mutex);
    Impl::Target& target = mImpl->paths[LowerAscii(interfacePath)];
    old = target.device;
    target = Impl::Target{device, interfaceNumber};
  }
  if (old != nullptr) {
    libusb_unref_device(old);
  }
}

void QXLibusbContext::ForgetDevice(libusb_device* device) {
  std::vector<libusb_device*> released;
  {
    std::lock_guard<std::mutex> lock(mImpl->mutex);
    for (auto it = mImpl->paths.begin(); it != mImpl->paths.end();) {
      if (it->second.device == device) {
        released.push_back(device);
        it = mImpl->paths.erase(it);
      } else {
        ++it;
      }
    }
    if (mImpl->gone.erase(device) != 0) {
      released.push_back(device);
    }
  }
  for (libusb_device* d : released) {
    libusb_unref_device(d);
  }
}

std::optional<QXLibusbContext::PathTarget> QXLibusbContext::FindPath(const QXWString& interfacePath) {
  std::lock_guard<std::mutex> lock(mImpl->mutex);
  const auto it = mImpl->paths.find(LowerAscii(interfacePath));
  if (it == mImpl->paths.end() || mImpl->gone.count(it->second.device) != 0) {
    return std::nullopt;
  }
  libusb_ref_device(it->second.device);
  return PathTarget{it->second.device, it->second.interfaceNumber};
}

void QXLibusbContext::MarkGone(libusb_device* device) {
  std::lock_guard<std::mutex> lock(mImpl->mutex);
  if (mImpl->gone.insert(device).second) {
    libusb_ref_device(device);
  }
}

bool QXLibusbContext::IsGone(libusb_device* device) {
  std::lock_guard<std::mutex> lock(mImpl->mutex);
  return mImpl->gone.count(device) != 0;
}

uint64_t QXLibusbContext::AddHotplugObserver(QXLibusbHotplugObserver observer) {
  std::lock_guard<std::mutex> lock(mImpl->mutex);
  const uint64_t id = mImpl->nextObserver++;
  mImpl->observers.emplace(id, std::make_shared<QXLibusbHotplugObserver>(std::move(observer)));
  return id;
}

void QXLibusbContext::RemoveHotplugObserver(uint64_t id) {
  std::unique_lock<std::mutex> lock(mImpl->mutex);
  mImpl->observers.erase(id);
  if (std::this_thread::get_id() != mImpl->hotplugThreadId) {
    mImpl->observerDone.wait(lock, [&] { return mImpl->callingObserver != id; });
  }
}

void QXLibusbContext::TransferStarted() {
  std::lock_guard<std::mutex> lock(mImpl->mutex);
  ++mImpl->transfersInFlight;
}

void QXLibusbContext::TransferEnded() {
  std::lock_guard<std::mutex> lock(mImpl->mutex);
  --mImpl->transfersInFlight;
  mImpl->transfersChanged.notify_all();
}

uint32_t QXMapLibusbError(int libusbError) {
  switch (libusbError) {
    case LIBUSB_SUCCESS:
      return 0;
    case LIBUSB_ERROR_ACCESS:
      return kQXErrorAccessDenied;
    case LIBUSB_ERROR_NO_DEVICE:
      return kQXErrorDeviceNotConnected;
    case LIBUSB_ERROR_NOT_FOUND:
      return kQXErrorFileNotFound;
    case LIBUSB_ERROR_BUSY:
      return kQXErrorAccessDenied;  // another process holds the interface
    case LIBUSB_ERROR_TIMEOUT:
      return kQXErrorSemTimeout;
    case LIBUSB_ERROR_PIPE:
      return kQXErrorGenFailure;
    case LIBUSB_ERROR_INTERRUPTED:
      return kQXErrorOperationAborted;
    case LIBUSB_ERROR_NO_MEM:
      return kQXErrorNotEnoughMemory;
    case LIBUSB_ERROR_NOT_SUPPORTED:
      return kQXErrorNotSupported;
    case LIBUSB_ERROR_INVALID_PARAM:
      return kQXErrorInvalidParameter;
    default:
      return kQXErrorGenFailure;
  }
}

uint32_t QXMapLibusbTransferStatus(int transferStatus) {
  switch (transferStatus) {
    case LIBUSB_TRANSFER_COMPLETED:
      return 0;
    case LIBUSB_TRANSFER_NO_DEVICE:
      return kQXErrorDeviceNotConnected;
    case LIBUSB_TRANSFER_CANCELLED:
      return kQXErrorOperationAborted;
    case LIBUSB_TRANSFER_TIMED_OUT:
      return kQXErrorSemTimeout;
    case LIBUSB_TRANSFER_STALL:
    case LIBUSB_TRANSFER_ERROR:
    case LIBUSB_TRANSFER_OVERFLOW:
    default:
      return kQXErrorGenFailure;
  }
}

}  // namespace plendrik
