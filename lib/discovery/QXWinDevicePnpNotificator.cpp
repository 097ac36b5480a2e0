#include "discovery/QXWinDevicePnpNotificator.h"

#include <chrono>

#include "diag/QXLog.h"
#include "os/QXOsSystem.h"
#include "os/QXWinErrors.h"

namespace plendrik {

namespace {
// Fixed texts of this library that open the hidden window's class name and title.
constexpr const char* kWindowClassFormat = "{6F1C2A7E-3B48-4D0A-9E55-1C7B2F9A0D31}_PnPNotificatorWndClass_";
constexpr const char* kWindowTitleFormat = "{B2D8E4A1-7C36-4F95-8A0E-5D3C9B71E6F2}_PnPNotificatorWndTitle_";
constexpr size_t kNameBufferChars = 120;

// "<prefix><process id>_<thread id>", cut to the 120-character buffer of the window APIs.
QXWString FormatWindowName(const char* prefix, uint32_t processId, uint32_t threadId) {
  const std::string text = std::string(prefix) + std::to_string(processId) + "_" + std::to_string(threadId);
  QXWString wide(text.begin(), text.end());
  if (wide.size() > kNameBufferChars - 1) {
    wide.resize(kNameBufferChars - 1);
  }
  return wide;
}
}  // namespace

// ---- QXWinThread ----

QXSTATUS QXWinThread::CreateThread(QXOsThreadEntry routine, void* parameter) {
  if (IsCreated()) {
    QX_LOG_ERROR("thread is already created");
    return QXSTATUS_ALREADY_DONE;
  }
  const QXSTATUS st = QXOsStartThread(routine, parameter, mThread);
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("_beginthreadex() failed, err={}", QXSt{st});
    return st;
  }
  mThreadId = QXOsGetThreadId(mThread);
  return QXSTATUS_SUCCESS;
}

QXSTATUS QXWinThread::JoinAndDestroy() {
  if (!IsCreated()) {
    return QXSTATUS_SUCCESS;
  }
  if (QXOsIsCurrentThread(mThread)) {
    // Called on the thread itself (a teardown that runs inside its callback, such as exit()):
    // it would wait for itself. It is let go instead and ends once its callback returns.
    if (!QXOsIsProcessEnding()) {
      QX_LOG_WARN("thread {} is the calling thread: not waited for", mThreadId);
    }
    QXOsDetachThread(mThread);
    mThreadId = 0;
    return QXSTATUS_SUCCESS;
  }
  while (!QXOsWaitAndReleaseThread(mThread, 1000)) {
    QX_LOG_WARN("Waiting for thread {} to terminate...", mThreadId);
  }
  mThreadId = 0;
  return QXSTATUS_SUCCESS;
}

// ---- QXWinStartupEvent ----

void QXWinStartupEvent::Reset() {
  std::lock_guard<std::mutex> lock(mMutex);
  mSet = false;
}

void QXWinStartupEvent::SetEvent() {
  std::lock_guard<std::mutex> lock(mMutex);
  mSet = true;
  mChanged.notify_all();
}

QXSTATUS QXWinStartupEvent::WaitForObject(uint32_t timeoutMs) {
  std::unique_lock<std::mutex> lock(mMutex);
  if (!mChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return mSet; })) {
    return QXSTATUS_TIMEOUT;
  }
  return QXSTATUS_SUCCESS;
}

// ---- QXWinDeviceNotification ----

uint32_t QXWinDeviceNotification::RegisterNotification(
    std::vector<std::unique_ptr<QXWinDeviceNotification>>& registrations, const QXGuid& interfaceClassGuid,
    QXHwnd window) {
  auto registration = std::make_unique<QXWinDeviceNotification>();
  const uint32_t err = QXWinRegisterDeviceInterfaceNotification(window, interfaceClassGuid, registration->mHandle);
  if (err != 0) {
    QX_LOG_ERROR("RegisterDeviceNotification() failed, err={}", QXSt{err});
    QX_LOG_ERROR("RegisterDeviceNotificationForWindow() failed, err={}", QXSt{err});
    return err;
  }
  registrations.push_back(std::move(registration));
  return 0;
}

uint32_t QXWinDeviceNotification::UnregisterDeviceNotification() {
  if (mHandle == nullptr) {
    return 0;
  }
  const uint32_t err = QXWinUnregisterDeviceNotification(mHandle);
  mHandle = nullptr;
  if (err != 0) {
    QX_LOG_ERROR("UnregisterDeviceNotification() failed, err={}", QXSt{err});
  }
  return err;
}

// ---- QXWinDevicePnpNotificator ----

QXWinDevicePnpNotificator::~QXWinDevicePnpNotificator() { StopPnpNotificator(); }

QXSTATUS QXWinDevicePnpNotificator::StartAndEnablePnpNotificator(const QXGuid& interfaceClassGuid,
                                                                 QXPnpEventSink eventSink) {
  QXOsLockGuard lock(mLock);
  QXSTATUS st = StartPnpNotificator(eventSink);
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("StartPnpNotificator() failed, err={}", QXSt{st});
    return st;
  }
  st = EnableDeviceNotifications(interfaceClassGuid);
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("EnableDeviceNotifications() failed, err={}", QXSt{st});
    StopPnpNotificator();
    return st;
  }
  return QXSTATUS_SUCCESS;
}

QXSTATUS QXWinDevicePnpNotificator::StartPnpNotificator(QXPnpEventSink eventSink) {
  QXOsModuleHandle module = nullptr;
  const uint32_t moduleErr = QXWinGetProcessModule(module);
  if (moduleErr != 0) {
    QX_LOG_ERROR("GetModuleHandle failed, err={}", QXSt{moduleErr});
  }
  QXOsLockGuard lock(mLock);
  if (mStarted) {
    QX_LOG_ERROR("PnP notificator already started");
    return QXSTATUS_ALREADY_DONE;
  }
  mEventSink = eventSink;
  mModule = module;
  {
    std::lock_guard<std::mutex> queueLock(mQueuedEventsMutex);
    mQueuedEvents.clear();
  }
  mInitStatus = 0;
  mStartupEvent.Reset();
  {
    std::lock_guard<std::mutex> windowLock(mWindowMutex);
    mStopRequested = false;
    mWindow = nullptr;
  }
  QXSTATUS st = mWorkerThread.CreateThread(&QXWinDevicePnpNotificator::ThreadRoutine, this);
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("CreateThread failed, err={}", QXSt{st});
    StopWorkerThreadAndCleanup();
    return st;
  }
  st = mStartupEvent.WaitForObject(mStartupTimeoutMs);
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("WaitForObject failed, err={}", QXSt{st});
    // A worker that creates its window only now still sees the stop request and ends.
    StopWorkerThreadAndCleanup();
    return st;
  }
  if (mInitStatus != 0) {
    const QXSTATUS initStatus = mInitStatus;
    QX_LOG_ERROR("thread initialization failed, err={}", QXSt{initStatus});
    StopWorkerThreadAndCleanup();
    return initStatus;
  }
  mStarted = true;
  return QXSTATUS_SUCCESS;
}

QXSTATUS QXWinDevicePnpNotificator::EnableDeviceNotifications(const QXGuid& interfaceClassGuid) {
  QXOsLockGuard lock(mLock);
  if (!mStarted) {
    QX_LOG_ERROR("PnP notificator not started");
    return QXSTATUS_NOT_INITIALIZED;
  }
  return QXWinDeviceNotification::RegisterNotification(mRegistrations, interfaceClassGuid, GetWindowHandle());
}

void QXWinDevicePnpNotificator::StopPnpNotificator() {
  QXOsLockGuard lock(mLock);
  StopWorkerThreadAndCleanup();
  for (auto& registration : mRegistrations) {
    registration->UnregisterDeviceNotification();
  }
  mRegistrations.clear();
  mStarted = false;
}

void QXWinDevicePnpNotificator::StopWorkerThreadAndCleanup() {
  QXHwnd window = nullptr;
  {
    std::lock_guard<std::mutex> windowLock(mWindowMutex);
    mStopRequested = true;
    window = mWindow;
  }
  if (window != nullptr) {
    QXWinPostMessage(window, kQXWmClose, 0, 0);
  }
  const QXSTATUS st = mWorkerThread.JoinAndDestroy();
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("JoinAndDestroy() failed, err={}", QXSt{st});
  }
  std::lock_guard<std::mutex> windowLock(mWindowMutex);
  mWorkerThreadId = 0;
}

bool QXWinDevicePnpNotificator::IsWorkerThread() const {
  std::lock_guard<std::mutex> windowLock(const_cast<std::mutex&>(mWindowMutex));
  return mWorkerThreadId != 0 && mWorkerThreadId == QXOsGetCurrentThreadId();
}

uint32_t QXWinDevicePnpNotificator::GetWorkerThreadId() const {
  std::lock_guard<std::mutex> windowLock(const_cast<std::mutex&>(mWindowMutex));
  return mWorkerThreadId;
}

bool QXWinDevicePnpNotificator::IsStopRequested() {
  std::lock_guard<std::mutex> windowLock(mWindowMutex);
  return mStopRequested;
}

QXHwnd QXWinDevicePnpNotificator::GetWindowHandle() {
  std::lock_guard<std::mutex> windowLock(mWindowMutex);
  return mWindow;
}

void QXWinDevicePnpNotificator::ThreadRoutine(void* parameter) {
  auto* self = static_cast<QXWinDevicePnpNotificator*>(parameter);
  const uint32_t threadId = QXOsGetCurrentThreadId();
  {
    std::lock_guard<std::mutex> windowLock(self->mWindowMutex);
    self->mWorkerThreadId = threadId;
  }
  self->WorkerStarting();
  const QXWString className = FormatWindowName(kWindowClassFormat, QXOsGetCurrentProcessId(), threadId);
  const uint32_t initStatus = self->RegisterAndCreateHiddenWindow(className);
  self->mInitStatus = initStatus;
  self->mStartupEvent.SetEvent();
  if (initStatus == 0) {
    const uint32_t loopErr = QXWinRunMessageLoop();
    if (loopErr != 0) {
      QX_LOG_ERROR("GetMessage() failed, err={}", QXSt{loopErr});
    }
    {
      std::lock_guard<std::mutex> windowLock(self->mWindowMutex);
      self->mWindow = nullptr;
    }
    self->UnregisterHiddenWindow(className);
  } else {
    QX_LOG_ERROR("thread initialization failed (err={}), terminate thread", QXSt{initStatus});
  }
}

uint32_t QXWinDevicePnpNotificator::RegisterAndCreateHiddenWindow(const QXWString& className) {
  const QXWString title = FormatWindowName(kWindowTitleFormat, QXOsGetCurrentProcessId(), QXOsGetCurrentThreadId());
  uint32_t err = QXWinRegisterWindowClass(className, &QXWinDevicePnpNotificator::WindowProc, mModule);
  if (err != 0) {
    QX_LOG_ERROR("RegisterClassEx() failed, err={}", QXSt{err});
    return err;
  }
  QXHwnd window = nullptr;
  err = QXWinCreateHiddenWindow(className, title, mModule, window);
  if (err != 0) {
    QX_LOG_ERROR("CreateWindow() failed, err={}", QXSt{err});
    UnregisterHiddenWindow(className);
    return err;
  }
  QXWinSetWindowUserData(window, this);
  bool stopRequested = false;
  {
    std::lock_guard<std::mutex> windowLock(mWindowMutex);
    mWindow = window;
    stopRequested = mStopRequested;
  }
  if (stopRequested) {
    // The start gave up waiting before the window existed: close it at once.
    QXWinPostMessage(window, kQXWmClose, 0, 0);
  }
  return 0;
}

void QXWinDevicePnpNotificator::UnregisterHiddenWindow(const QXWString& className) {
  const uint32_t err = QXWinUnregisterWindowClass(className, mModule);
  if (err != 0) {
    QX_LOG_ERROR("UnregisterClass() failed, err={}", QXSt{err});
  }
}

QXLResult QX_WINAPI QXWinDevicePnpNotificator::WindowProc(QXHwnd window, uint32_t message, QXWParam wParam,
                                                          QXLParam lParam) {
  auto* self = static_cast<QXWinDevicePnpNotificator*>(QXWinGetWindowUserData(window));
  if (self == nullptr) {
    return QXWinDefWindowProc(window, message, wParam, lParam);
  }
  if (message == kQXWmDestroy) {
    QXWinPostQuitMessage();
    return 0;
  }
  if (message == kWmDeliverPnpEvents) {
    self->DeliverQueuedEvents();
    return 0;
  }
  if (message != kQXWmDeviceChange) {
    return QXWinDefWindowProc(window, message, wParam, lParam);
  }
  if ((wParam != kQXDbtDeviceArrival && wParam != kQXDbtDeviceRemoveComplete) || lParam == 0) {
    return 0;
  }
  const auto* header = reinterpret_cast<const QXDevBroadcastHdr*>(lParam);
  if (header->dbch_devicetype != kQXDbtDevtypDeviceInterface) {
    return 0;
  }
  const auto& broadcast = *reinterpret_cast<const QXDevBroadcastDeviceInterfaceW*>(lParam);
  const uint32_t pnpEvent = wParam == kQXDbtDeviceArrival ? kQXPnpEventArrival : kQXPnpEventRemoval;
  if (self->mEventFilter.function != nullptr &&
      !self->mEventFilter.function(self->mEventFilter.context, pnpEvent, broadcast)) {
    return 0;
  }
  if (self->mEventSink.function != nullptr) {
    self->QueueEvent(window, pnpEvent);
  }
  return 0;
}

void QXWinDevicePnpNotificator::QueueEvent(QXHwnd window, uint32_t pnpEvent) {
  {
    std::lock_guard<std::mutex> lock(mQueuedEventsMutex);
    mQueuedEvents.push_back(pnpEvent);
  }
  const uint32_t err = QXWinPostMessage(window, kWmDeliverPnpEvents, 0, 0);
  if (err != 0) {
    // A full message queue: delivered from here, still one at a time.
    QX_LOG_ERROR("PostMessage() failed, err={}", QXSt{err});
    DeliverQueuedEvents();
  }
}

void QXWinDevicePnpNotificator::DeliverQueuedEvents() {
  if (mDelivering) {
    return;
  }
  mDelivering = true;
  for (;;) {
    uint32_t pnpEvent = 0;
    {
      std::lock_guard<std::mutex> lock(mQueuedEventsMutex);
      if (mQueuedEvents.empty()) {
        break;
      }
      pnpEvent = mQueuedEvents.front();
      mQueuedEvents.pop_front();
    }
    mEventSink.function(mEventSink.context, pnpEvent);
  }
  mDelivering = false;
}

}  // namespace plendrik
