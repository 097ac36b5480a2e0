// A thread with a hidden window and a message loop that receives device interface arrivals
// and removals, asks a filter about each and hands the ones that pass to a sink.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "discovery/QXWinWindow.h"
#include "os/QXOsMutex.h"
#include "os/QXOsThread.h"

namespace plendrik {

// The notificator's event codes, the numbers of the public device change events.
enum : uint32_t { kQXPnpEventArrival = 1, kQXPnpEventRemoval = 2 };

using QXPnpEventSinkFunction = void (*)(void* context, uint32_t pnpEvent);
using QXPnpEventFilterFunction = bool (*)(void* context, uint32_t pnpEvent,
                                          const QXDevBroadcastDeviceInterfaceW& header);

struct QXPnpEventSink {
  QXPnpEventSinkFunction function = nullptr;
  void* context = nullptr;
};
struct QXPnpEventFilter {
  QXPnpEventFilterFunction function = nullptr;
  void* context = nullptr;
};

// A worker thread: started on a routine, joined with no overall limit.
class QXWinThread {
 public:
  QXWinThread() = default;
  ~QXWinThread() { JoinAndDestroy(); }
  QXWinThread(const QXWinThread&) = delete;
  QXWinThread& operator=(const QXWinThread&) = delete;

  QXSTATUS CreateThread(QXOsThreadEntry routine, void* parameter);
  // Waits in slices of 1000 ms until the thread has ended, then releases it.
  QXSTATUS JoinAndDestroy();
  bool IsCreated() const { return mThread.record != nullptr; }
  uint32_t GetThreadId() const { return mThreadId; }

 private:
  QXOsThread mThread;
  uint32_t mThreadId = 0;
};

// The start-up handshake: a manual-reset signal that the worker sets once.
class QXWinStartupEvent {
 public:
  void Reset();
  void SetEvent();
  // 0 when set, QXSTATUS_TIMEOUT after timeoutMs.
  QXSTATUS WaitForObject(uint32_t timeoutMs);

 private:
  std::mutex mMutex;
  std::condition_variable mChanged;
  bool mSet = false;
};

// One RegisterDeviceNotificationW registration; destroying it unregisters.
class QXWinDeviceNotification {
 public:
  QXWinDeviceNotification() = default;
  ~QXWinDeviceNotification() { UnregisterDeviceNotification(); }
  QXWinDeviceNotification(const QXWinDeviceNotification&) = delete;
  QXWinDeviceNotification& operator=(const QXWinDeviceNotification&) = delete;

  // Registers the window for one device interface class and adds the registration to the list.
  static uint32_t RegisterNotification(std::vector<std::unique_ptr<QXWinDeviceNotification>>& registrations,
                                       const QXGuid& interfaceClassGuid, QXHwnd window);
  uint32_t UnregisterDeviceNotification();

 private:
  QXHDevNotify mHandle = nullptr;
};

class QXWinDevicePnpNotificator {
 public:
  QXWinDevicePnpNotificator() = default;
  virtual ~QXWinDevicePnpNotificator();
  QXWinDevicePnpNotificator(const QXWinDevicePnpNotificator&) = delete;
  QXWinDevicePnpNotificator& operator=(const QXWinDevicePnpNotificator&) = delete;

  QXSTATUS StartAndEnablePnpNotificator(const QXGuid& interfaceClassGuid, QXPnpEventSink eventSink);
  QXSTATUS StartPnpNotificator(QXPnpEventSink eventSink);
  QXSTATUS EnableDeviceNotifications(const QXGuid& interfaceClassGuid);
  // Ends the thread (its window goes with it) and drops every registration. Harmless when
  // nothing runs; must not be called on the notificator's own thread.
  void StopPnpNotificator();

  void SetEventFilter(QXPnpEventFilter filter) { mEventFilter = filter; }
  // True on the notificator's worker thread.
  bool IsWorkerThread() const;
  // The worker thread's id while it runs, else 0.
  uint32_t GetWorkerThreadId() const;
  // The hidden window while the thread runs (for tests that deliver messages by hand).
  QXHwnd GetWindowHandle();

  static QXLResult QX_WINAPI WindowProc(QXHwnd window, uint32_t message, QXWParam wParam, QXLParam lParam);

  // How long a start waits for the worker's window.
  static constexpr uint32_t kStartupTimeoutMs = 10000;

 protected:
  // Test seam: the start-up handshake's time-out.
  uint32_t mStartupTimeoutMs = kStartupTimeoutMs;
  // Test seam: runs on the new thread before it creates its window (a test holds the start here).
  virtual void WorkerStarting() {}
  // True once a stop was asked for (the start gave up, or the notificator is stopping).
  bool IsStopRequested();

 private:
  // The private message that delivers queued events from the thread's own message loop.
  static constexpr uint32_t kWmDeliverPnpEvents = kQXWmApp + 0x1D;

  static void ThreadRoutine(void* parameter);
  // Queues an event that passed the filter and posts the message that delivers it.
  void QueueEvent(QXHwnd window, uint32_t pnpEvent);
  // Hands the queued events to the sink one after the other; does nothing when it runs
  // already further up the worker's stack (a callback that runs a message loop of its own).
  void DeliverQueuedEvents();
  void StopWorkerThreadAndCleanup();
  uint32_t RegisterAndCreateHiddenWindow(const QXWString& className);
  void UnregisterHiddenWindow(const QXWString& className);

  QXOsThreadMutex mLock;
  QXPnpEventSink mEventSink;
  QXPnpEventFilter mEventFilter;
  QXWinThread mWorkerThread;
  QXWinStartupEvent mStartupEvent;
  uint32_t mInitStatus = 0;
  QXOsModuleHandle mModule = nullptr;
  std::vector<std::unique_ptr<QXWinDeviceNotification>> mRegistrations;
  bool mStarted = false;

  // Events that passed the filter and wait for delivery. Windows sends WM_DEVICECHANGE, and a
  // thread handles sent messages also while its callback waits in a SendMessage of its own,
  // so the callback runs from a posted message instead, one event at a time.
  std::mutex mQueuedEventsMutex;
  std::deque<uint32_t> mQueuedEvents;
  bool mDelivering = false;  // worker thread only

  // The window and the stop request, shared with the worker: a stop either sees the window
  // and closes it, or the worker sees the request after creating its window and closes it
  // itself, so a worker that comes up late still ends.
  std::mutex mWindowMutex;
  QXHwnd mWindow = nullptr;
  bool mStopRequested = false;
  uint32_t mWorkerThreadId = 0;
};

}  // namespace plendrik
