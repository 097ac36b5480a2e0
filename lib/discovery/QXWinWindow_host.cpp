// The window services on the host: window classes, windows and one message queue per thread,
// kept in this module, with the semantics the notificator relies on (posted messages in
// order, WM_CLOSE destroys the window, WM_DESTROY's PostQuitMessage ends the loop, a message
// for a destroyed window is dropped). Sent messages behave as on Windows: they are handled by
// the window's thread before its posted messages, from inside its message loop, and also while
// that thread itself waits in a SendMessage to another thread. Device interface notifications
// are bus observers that send WM_DEVICECHANGE with a DEV_BROADCAST_DEVICEINTERFACE_W to the
// registered window, as the system does, waiting a bounded time for it to be handled.
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "discovery/QXDeviceInterfaceEvents.h"
#include "discovery/QXWinWindow.h"
#include "os/QXImmortal.h"
#include "os/QXWinErrors.h"

namespace plendrik {

namespace {

constexpr uint32_t kErrorInvalidWindowHandle = 1400;
constexpr uint32_t kErrorCannotFindWndClass = 1407;
constexpr uint32_t kErrorClassAlreadyExists = 1410;
constexpr uint32_t kErrorClassDoesNotExist = 1411;
constexpr uint32_t kErrorClassHasWindows = 1412;
constexpr uint32_t kErrorTimeout = 1460;
// How long a device broadcast waits for a window to handle it before it goes on.
constexpr uint32_t kBroadcastTimeoutMs = 30000;

struct ThreadQueue;

// A sent message's completion, shared by the sender and the window's thread. The sender waits
// on its own thread's queue when it has one, so that it can handle messages sent to it meanwhile.
struct SendState {
  std::shared_ptr<ThreadQueue> senderQueue;  // null: the sender has no windows
  std::mutex ownMutex;
  std::condition_variable ownDone;
  bool finished = false;
  void Finish();
};

struct Queued {
  uintptr_t window = 0;
  uint32_t message = 0;
  QXWParam wParam = 0;
  QXLParam lParam = 0;
  std::shared_ptr<std::vector<uint8_t>> payload;  // owned data lParam points into
  std::shared_ptr<SendState> sent;                // set for a sent message
};

struct ThreadQueue {
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<Queued> messages;  // posted
  std::deque<Queued> sent;      // sent by other threads, handled first
  bool quit = false;
  bool looping = false;  // its thread runs the message loop (guarded by the registry's mutex)
};

void SendState::Finish() {
  if (senderQueue) {
    std::lock_guard<std::mutex> lock(senderQueue->mutex);
    finished = true;
    senderQueue->changed.notify_all();
    return;
  }
  std::lock_guard<std::mutex> lock(ownMutex);
  finished = true;
  ownDone.notify_all();
}

struct Window {
  QXWString className;
  QXWndProc procedure = nullptr;
  void* userData = nullptr;
  std::shared_ptr<ThreadQueue> queue;
};

struct Registry {
  std::mutex mutex;
  std::map<QXWString, QXWndProc> classes;
  std::map<uintptr_t, Window> windows;
  // The message queue of each thread that has one. Not a thread_local with a destructor:
  // glibc keeps a shared object loaded while any thread still owes such a destructor, so a
  // registration's thread would keep the library from unloading, and only the unload ends it.
  std::map<std::thread::id, std::shared_ptr<ThreadQueue>> queues;
  uintptr_t nextWindow = 0x10000;
};

Registry& GetRegistry() { return QXImmortal<Registry>(); }

// The calling thread's queue, made on first use; registry.mutex held.
std::shared_ptr<ThreadQueue> CurrentQueueLocked(Registry& registry) {
  std::shared_ptr<ThreadQueue>& queue = registry.queues[std::this_thread::get_id()];
  if (!queue) {
    queue = std::make_shared<ThreadQueue>();
  }
  return queue;
}

std::shared_ptr<ThreadQueue> CurrentQueue() {
  Registry& registry = GetRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  return CurrentQueueLocked(registry);
}

// The calling thread's queue goes when it runs no message loop and none of its windows is left.
void ReleaseQueueIfUnused(const std::shared_ptr<ThreadQueue>& queue) {
  Registry& registry = GetRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  if (queue->looping) {
    return;
  }
  for (const auto& [id, window] : registry.windows) {
    if (window.queue == queue) {
      return;
    }
  }
  const auto it = registry.queues.find(std::this_thread::get_id());
  if (it != registry.queues.end() && it->second == queue) {
    registry.queues.erase(it);
  }
}

uint32_t Enqueue(Queued item) {
  // The window is looked up and the message queued under the registry's lock, so a window
  // that is being destroyed either drops the message (releasing its sender) or refuses it.
  Registry& registry = GetRegistry();
  std::lock_guard<std::mutex> registryLock(registry.mutex);
  auto it = registry.windows.find(item.window);
  if (it == registry.windows.end()) {
    return kErrorInvalidWindowHandle;
  }
  ThreadQueue& queue = *it->second.queue;
  std::lock_guard<std::mutex> lock(queue.mutex);
  if (item.sent) {
    queue.sent.push_back(std::move(item));
  } else {
    queue.messages.push_back(std::move(item));
  }
  queue.changed.notify_all();
  return 0;
}

QXLResult Dispatch(uintptr_t window, uint32_t message, QXWParam wParam, QXLParam lParam) {
  QXWndProc procedure = nullptr;
  {
    Registry& registry = GetRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    auto it = registry.windows.find(window);
    if (it == registry.windows.end()) {
      return 0;
    }
    procedure = it->second.procedure;
  }
  return procedure(reinterpret_cast<QXHwnd>(window), message, wParam, lParam);
}

void DestroyWindow(uintptr_t window) {
  Dispatch(window, kQXWmDestroy, 0, 0);
  std::shared_ptr<ThreadQueue> queue;
  {
    Registry& registry = GetRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    auto it = registry.windows.find(window);
    if (it == registry.windows.end()) {
      return;
    }
    queue = it->second.queue;
    registry.windows.erase(it);
  }
  ReleaseQueueIfUnused(queue);
  // Messages still queued for the window are dropped; their senders are released.
  std::deque<Queued> dropped;
  {
    std::lock_guard<std::mutex> lock(queue->mutex);
    for (std::deque<Queued>* list : {&queue->sent, &queue->messages}) {
      for (auto it = list->begin(); it != list->end();) {
        if (it->window == window) {
          dropped.push_back(std::move(*it));
          it = list->erase(it);
        } else {
          ++it;
        }
      }
    }
  }
  for (Queued& item : dropped) {
    if (item.sent) {
      item.sent->Finish();
    }
  }
}

// Handles one message: the window procedure runs, and a sender waiting for it is released.
void Handle(Queued& item) {
  Dispatch(item.window, item.message, item.wParam, item.lParam);
  if (item.sent) {
    item.sent->Finish();
  }
}

// The calling thread's queue when it has one (it made windows or runs a loop), else null.
std::shared_ptr<ThreadQueue> ExistingCurrentQueue() {
  Registry& registry = GetRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  const auto it = registry.queues.find(std::this_thread::get_id());
  return it != registry.queues.end() ? it->second : nullptr;
}

// SendMessage to a window of another thread: queued as a sent message, then waited for, up to
// timeoutMs (0: no limit; a message whose sender gave up is still handled). Meanwhile the
// calling thread handles the messages sent to its own windows, as Windows does.
uint32_t SendToOtherThread(uintptr_t window, uint32_t message, QXWParam wParam, QXLParam lParam,
                           std::shared_ptr<std::vector<uint8_t>> payload, uint32_t timeoutMs) {
  auto sent = std::make_shared<SendState>();
  sent->senderQueue = ExistingCurrentQueue();
  const uint32_t err = Enqueue(Queued{window, message, wParam, lParam, std::move(payload), sent});
  if (err != 0) {
    return err;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  if (!sent->senderQueue) {
    std::unique_lock<std::mutex> lock(sent->ownMutex);
    const auto done = [&] { return sent->finished; };
    if (timeoutMs == 0) {
      sent->ownDone.wait(lock, done);
    } else if (!sent->ownDone.wait_until(lock, deadline, done)) {
      return kErrorTimeout;
    }
    return 0;
  }
  ThreadQueue& own = *sent->senderQueue;
  for (;;) {
    Queued incoming;
    {
      std::unique_lock<std::mutex> lock(own.mutex);
      const auto ready = [&] { return sent->finished || !own.sent.empty(); };
      if (timeoutMs == 0) {
        own.changed.wait(lock, ready);
      } else if (!own.changed.wait_until(lock, deadline, ready)) {
        return kErrorTimeout;
      }
      if (sent->finished) {
        return 0;
      }
      incoming = std::move(own.sent.front());
      own.sent.pop_front();
    }
    Handle(incoming);
  }
}

}  // namespace

uint32_t QXWinGetProcessModule(QXOsModuleHandle& module) {
  static int processModule = 0;
  module = &processModule;
  return 0;
}

uint32_t QXWinRegisterWindowClass(const QXWString& className, QXWndProc procedure, QXOsModuleHandle /*module*/) {
  Registry& registry = GetRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  if (!registry.classes.emplace(className, procedure).second) {
    return kErrorClassAlreadyExists;
  }
  return 0;
}

uint32_t QXWinUnregisterWindowClass(const QXWString& className, QXOsModuleHandle /*module*/) {
  Registry& registry = GetRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  auto it = registry.classes.find(className);
  if (it == registry.classes.end()) {
    return kErrorClassDoesNotExist;
  }
  for (const auto& [id, window] : registry.windows) {
    if (window.className == className) {
      return kErrorClassHasWindows;
    }
  }
  registry.classes.erase(it);
  return 0;
}

uint32_t QXWinCreateHiddenWindow(const QXWString& className, const QXWString& /*title*/, QXOsModuleHandle /*module*/,
                                 QXHwnd& window) {
  window = nullptr;
  Registry& registry = GetRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  auto it = registry.classes.find(className);
  if (it == registry.classes.end()) {
    return kErrorCannotFindWndClass;
  }
  std::shared_ptr<ThreadQueue> queue = CurrentQueueLocked(registry);
  const uintptr_t id = registry.nextWindow++;
  registry.windows[id] = Window{className, it->second, nullptr, std::move(queue)};
  window = reinterpret_cast<QXHwnd>(id);
  return 0;
}

void QXWinSetWindowUserData(QXHwnd window, void* data) {
  Registry& registry = GetRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  auto it = registry.windows.find(reinterpret_cast<uintptr_t>(window));
  if (it != registry.windows.end()) {
    it->second.userData = data;
  }
}

void* QXWinGetWindowUserData(QXHwnd window) {
  Registry& registry = GetRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  auto it = registry.windows.find(reinterpret_cast<uintptr_t>(window));
  return it != registry.windows.end() ? it->second.userData : nullptr;
}

QXLResult QXWinDefWindowProc(QXHwnd window, uint32_t message, QXWParam /*wParam*/, QXLParam /*lParam*/) {
  if (message == kQXWmClose) {
    DestroyWindow(reinterpret_cast<uintptr_t>(window));
  }
  return 0;
}

void QXWinPostQuitMessage() {
  std::shared_ptr<ThreadQueue> queue = CurrentQueue();
  std::lock_guard<std::mutex> lock(queue->mutex);
  queue->quit = true;
  queue->changed.notify_all();
}

uint32_t QXWinPostMessage(QXHwnd window, uint32_t message, QXWParam wParam, QXLParam lParam) {
  return Enqueue(Queued{reinterpret_cast<uintptr_t>(window), message, wParam, lParam, nullptr, nullptr});
}

uint32_t QXWinSendMessage(QXHwnd window, uint32_t message, QXWParam wParam, QXLParam lParam) {
  const uintptr_t id = reinterpret_cast<uintptr_t>(window);
  bool ownThread = false;
  {
    Registry& registry = GetRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    auto it = registry.windows.find(id);
    if (it == registry.windows.end()) {
      return kErrorInvalidWindowHandle;
    }
    const auto own = registry.queues.find(std::this_thread::get_id());
    ownThread = own != registry.queues.end() && it->second.queue == own->second;
  }
  if (ownThread) {
    Dispatch(id, message, wParam, lParam);
    return 0;
  }
  return SendToOtherThread(id, message, wParam, lParam, nullptr, 0);
}

uint32_t QXWinRunMessageLoop() {
  std::shared_ptr<ThreadQueue> queue;
  {
    Registry& registry = GetRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    queue = CurrentQueueLocked(registry);
    queue->looping = true;
  }
  for (;;) {
    Queued item;
    {
      std::unique_lock<std::mutex> lock(queue->mutex);
      queue->changed.wait(lock, [&] { return !queue->sent.empty() || !queue->messages.empty() || queue->quit; });
      if (!queue->sent.empty()) {
        item = std::move(queue->sent.front());
        queue->sent.pop_front();
        lock.unlock();
        Handle(item);
        continue;
      }
      if (queue->messages.empty()) {
        queue->quit = false;
        lock.unlock();
        {
          Registry& registry = GetRegistry();
          std::lock_guard<std::mutex> registryLock(registry.mutex);
          queue->looping = false;
        }
        ReleaseQueueIfUnused(queue);
        return 0;
      }
      item = std::move(queue->messages.front());
      queue->messages.pop_front();
    }
    Handle(item);
  }
}

namespace {
struct DeviceNotification {
  QXDeviceInterfaceEventSource* source = nullptr;
  uint64_t observerId = 0;
};
}  // namespace

uint32_t QXWinRegisterDeviceInterfaceNotification(QXHwnd window, const QXGuid& interfaceClassGuid,
                                                  QXHDevNotify& notification) {
  notification = nullptr;
  {
    Registry& registry = GetRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    if (registry.windows.count(reinterpret_cast<uintptr_t>(window)) == 0) {
      return kErrorInvalidWindowHandle;
    }
  }
  const uintptr_t id = reinterpret_cast<uintptr_t>(window);
  auto* record = new DeviceNotification();
  record->source = &QXGetDeviceInterfaceEventSource();
  record->observerId = record->source->AddObserver(interfaceClassGuid, [id](const QXDeviceInterfaceEvent& event) {
    const QXWString& path = event.interfacePath;
    auto payload = std::make_shared<std::vector<uint8_t>>(kQXDbccNameOffset + (path.size() + 1) * sizeof(QXWChar));
    QXDevBroadcastDeviceInterfaceW header{};
    header.dbcc_size = static_cast<uint32_t>(payload->size());
    header.dbcc_devicetype = kQXDbtDevtypDeviceInterface;
    std::memcpy(&header.dbcc_classguid, &event.interfaceClassGuid, sizeof(event.interfaceClassGuid));
    std::memcpy(payload->data(), &header, kQXDbccNameOffset);
    std::memcpy(payload->data() + kQXDbccNameOffset, path.c_str(), (path.size() + 1) * sizeof(QXWChar));
    const QXWParam kind = event.arrival ? kQXDbtDeviceArrival : kQXDbtDeviceRemoveComplete;
    const QXLParam lParam = reinterpret_cast<QXLParam>(payload->data());
    // Sent, as the system sends device broadcasts, with a bound on the wait for the window.
    SendToOtherThread(id, kQXWmDeviceChange, kind, lParam, std::move(payload), kBroadcastTimeoutMs);
  });
  notification = record;
  return 0;
}

uint32_t QXWinUnregisterDeviceNotification(QXHDevNotify notification) {
  auto* record = static_cast<DeviceNotification*>(notification);
  if (record == nullptr) {
    return kQXErrorInvalidHandle;
  }
  record->source->RemoveObserver(record->observerId);
  delete record;
  return 0;
}

}  // namespace plendrik
