// Device change registrations through the exports: events from the virtual USB bus reach the
// callback on the registration's own thread, filtered by the registration's filter. On the
// host the library's own windows hear the bus; in the windows build the bus's arrivals and
// removals are sent to the real hidden windows as WM_DEVICECHANGE, as Windows sends them.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
// windows.h first
#include <dbt.h>
#endif

#include "api/DfuApi.h"
#include "discovery/DfuNotification.h"
#include "discovery/EnumerationTestBus.h"
#include "discovery/QXUsbDeviceFilterDfu.h"
#include "discovery/QXWinWindow.h"
#include "flashbridge.h"
#include "os/QXOsSystem.h"
#include "support/TestLogTarget.h"

namespace plendrik {
namespace {

using namespace std::chrono_literals;

// What one registration's callback heard, and on which thread.
struct Recorder {
  struct Call {
    uint32_t event;
    uint32_t threadId;
  };
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<Call> calls;
  std::atomic<bool> closed{false};  // set once unregistering has returned
  std::atomic<int> callsAfterClose{0};

  static void Callback(void* context, uint32_t event) {
    auto* self = static_cast<Recorder*>(context);
    if (self->closed.load()) {
      ++self->callsAfterClose;
    }
    std::lock_guard<std::mutex> lock(self->mutex);
    self->calls.push_back({event, QXOsGetCurrentThreadId()});
    self->changed.notify_all();
  }
  bool WaitForCalls(size_t count, std::chrono::milliseconds timeout = 5s) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, timeout, [&] { return calls.size() >= count; });
  }
  std::vector<Call> Calls() {
    std::lock_guard<std::mutex> lock(mutex);
    return calls;
  }
};

#if defined(_WIN32)
const wchar_t kClassPrefix[] = L"{6F1C2A7E-3B48-4D0A-9E55-1C7B2F9A0D31}_PnPNotificatorWndClass_";

std::vector<HWND> NotificatorWindows() {
  std::vector<HWND> windows;
  EnumWindows(
      [](HWND hwnd, LPARAM lParam) -> BOOL {
        // Other processes on the same desktop may run notificators too: only this one's count.
        DWORD process = 0;
        GetWindowThreadProcessId(hwnd, &process);
        wchar_t name[256] = {};
        if (process == GetCurrentProcessId() && GetClassNameW(hwnd, name, 256) > 0 &&
            wcsncmp(name, kClassPrefix, wcslen(kClassPrefix)) == 0) {
          reinterpret_cast<std::vector<HWND>*>(lParam)->push_back(hwnd);
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&windows));
  return windows;
}

// Plays the system's part: every arrival and removal of the test class on the bus is sent to
// the notificator windows as WM_DEVICECHANGE with a DEV_BROADCAST_DEVICEINTERFACE_W.
class DeviceChangeBroadcaster {
 public:
  DeviceChangeBroadcaster() {
    mObserver = sim::VirtualUsbBus::Instance().AddObserver([](const sim::SimBusEvent& event) {
      if (event.entry.interfaceClassGuid != TestGuid()) {
        return;
      }
      const std::wstring path(event.entry.interfacePath.begin(), event.entry.interfacePath.end());
      std::vector<uint8_t> buffer(offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) +
                                  (path.size() + 1) * sizeof(wchar_t));
      auto* broadcast = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(buffer.data());
      broadcast->dbcc_size = static_cast<DWORD>(buffer.size());
      broadcast->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
      const QXGuid guid = QXWinSetupApiVirtualBus::ToGuid(event.entry.interfaceClassGuid);
      std::memcpy(&broadcast->dbcc_classguid, &guid, sizeof(guid));
      std::memcpy(broadcast->dbcc_name, path.c_str(), (path.size() + 1) * sizeof(wchar_t));
      const WPARAM kind = event.kind == sim::SimBusEventKind::Arrival ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE;
      for (HWND window : NotificatorWindows()) {
        SendMessageW(window, WM_DEVICECHANGE, kind, reinterpret_cast<LPARAM>(broadcast));
      }
    });
  }
  ~DeviceChangeBroadcaster() { sim::VirtualUsbBus::Instance().RemoveObserver(mObserver); }

 private:
  uint64_t mObserver = 0;
};
#endif

class DfuNotificationThreads : public EnumerationBusTest {
 protected:
  void SetUp() override {
    EnumerationBusTest::SetUp();
    mSavedGuid = gDfuApi.GetDriverInterfaceGuid();
    gDfuApi.SetDriverInterfaceGuid(kTestGuidText);
#if defined(_WIN32)
    mBroadcaster = std::make_unique<DeviceChangeBroadcaster>();
#endif
  }
  void TearDown() override {
#if defined(_WIN32)
    mBroadcaster.reset();
#endif
    gDfuApi.SetDriverInterfaceGuid(mSavedGuid);
    EnumerationBusTest::TearDown();
  }

  uint32_t Register(const char* filter, Recorder* recorder) {
    uint32_t handle = 0;
    EXPECT_EQ(QXDFU_RegisterDeviceChangeCallback(filter, recorder != nullptr ? &Recorder::Callback : nullptr, recorder,
                                                 &handle),
              QXSTATUS_SUCCESS);
    EXPECT_NE(handle, 0u);
    return handle;
  }
  uint64_t Plug(uint16_t vid, uint16_t pid, const char* serial) {
    return Attach(DfuDeviceSpec(vid, pid, 0x0100, serial))->Id();
  }

  std::string mSavedGuid;
#if defined(_WIN32)
  std::unique_ptr<DeviceChangeBroadcaster> mBroadcaster;
#endif
};

TEST_F(DfuNotificationThreads, MatchingArrivalAndRemovalReachTheCallbackOnTheRegistrationsThread) {
  Recorder recorder;
  const uint32_t handle = Register("VID=0x1209, PID=0x0001\n", &recorder);
#if defined(_WIN32)
  // A real, hidden window of its own thread.
  const std::vector<HWND> windows = NotificatorWindows();
  ASSERT_EQ(windows.size(), 1u);
  EXPECT_FALSE(IsWindowVisible(windows[0]));
  const DWORD windowThread = GetWindowThreadProcessId(windows[0], nullptr);
  EXPECT_NE(windowThread, GetCurrentThreadId());
#endif
  const uint64_t id = Plug(0x1209, 0x0001, "SN1");
  ASSERT_TRUE(recorder.WaitForCalls(1));
  sim::VirtualUsbBus::Instance().Detach(id);
  ASSERT_TRUE(recorder.WaitForCalls(2));
  const auto calls = recorder.Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].event, QXDFU_DEVICE_CHANGE_ARRIVAL);
  EXPECT_EQ(calls[1].event, QXDFU_DEVICE_CHANGE_REMOVAL);
  EXPECT_NE(calls[0].threadId, QXOsGetCurrentThreadId());
  EXPECT_EQ(calls[0].threadId, calls[1].threadId);
#if defined(_WIN32)
  EXPECT_EQ(calls[0].threadId, windowThread);
#endif
  EXPECT_EQ(QXDFU_UnregisterDeviceChangeCallback(handle), QXSTATUS_SUCCESS);
  EXPECT_EQ(QXDFU_UnregisterDeviceChangeCallback(handle), QXSTATUS_INVALID_HANDLE);
#if defined(_WIN32)
  EXPECT_TRUE(NotificatorWindows().empty());
#endif
}

TEST_F(DfuNotificationThreads, OtherIdentifiersAreLoggedAsNoMatchAndNotPassedOn) {
  TestLogTarget log(gLogGlobal, kQXLogLevelInfo);
  Recorder recorder;
  const uint32_t handle = Register("VID=0x1209, PID=0x0001\n", &recorder);
  Plug(0x1234, 0x0001, "OTHER1");
  Plug(0x1209, 0x0002, "OTHER2");
  Plug(0x1209, 0x0001, "MINE");
  ASSERT_TRUE(recorder.WaitForCalls(1));
  sim::VirtualUsbBus::Instance().WaitIdle();
  EXPECT_EQ(QXDFU_UnregisterDeviceChangeCallback(handle), QXSTATUS_SUCCESS);
  // Events are handled in order: the two others came before the one that was passed on.
  ASSERT_EQ(recorder.Calls().size(), 1u);
  EXPECT_EQ(log.Count("no match: ignoring pnpEvent=1 for dbcc_name="), 2u);
  EXPECT_TRUE(log.Contains("no match: ignoring pnpEvent=1 for dbcc_name=\\\\?\\usb#vid_1234&pid_0001"));
  EXPECT_TRUE(log.Contains("pattern match: passing on pnpEvent=1 for dbcc_name=\\\\?\\usb#vid_1209&pid_0001"));
}

// A window on a thread of its own, reached with a cross-thread SendMessage as a callback
// reaches a UI thread; the work runs on that thread when kWork arrives.
class HelperWindowThread {
 public:
  static constexpr uint32_t kWork = kQXWmApp + 1;

  explicit HelperWindowThread(std::function<void()> work) : mWork(std::move(work)) {
    mThread = std::thread([this] { Run(); });
    std::unique_lock<std::mutex> lock(mMutex);
    mReady.wait(lock, [&] { return mStarted; });
  }
  ~HelperWindowThread() {
    if (mWindow != nullptr) {
      QXWinPostMessage(mWindow, kQXWmClose, 0, 0);
    }
    mThread.join();
  }
  QXHwnd Window() const { return mWindow; }

 private:
  static QXLResult QX_WINAPI Proc(QXHwnd window, uint32_t message, QXWParam wParam, QXLParam lParam) {
    auto* self = static_cast<HelperWindowThread*>(QXWinGetWindowUserData(window));
    if (self != nullptr && message == kWork) {
      self->mWork();
      return 0;
    }
    if (message == kQXWmDestroy) {
      QXWinPostQuitMessage();
      return 0;
    }
    return QXWinDefWindowProc(window, message, wParam, lParam);
  }
  void Run() {
    const std::string name = "FbTestHelperWindow_" + std::to_string(QXOsGetCurrentThreadId());
    const QXWString className(name.begin(), name.end());
    QXOsModuleHandle module = nullptr;
    QXWinGetProcessModule(module);
    QXHwnd window = nullptr;
    const bool made = QXWinRegisterWindowClass(className, &Proc, module) == 0 &&
                      QXWinCreateHiddenWindow(className, className, module, window) == 0;
    if (made) {
      QXWinSetWindowUserData(window, this);
    }
    {
      std::lock_guard<std::mutex> lock(mMutex);
      mWindow = made ? window : nullptr;
      mStarted = true;
    }
    mReady.notify_all();
    if (made) {
      QXWinRunMessageLoop();
    }
    QXWinUnregisterWindowClass(className, module);
  }

  std::function<void()> mWork;
  std::thread mThread;
  std::mutex mMutex;
  std::condition_variable mReady;
  bool mStarted = false;
  QXHwnd mWindow = nullptr;
};

// A callback that, for its first event, waits in a SendMessage to another thread; it notes
// how deeply its calls nest.
struct NestingProbe {
  Recorder recorder;
  QXHwnd helper = nullptr;
  std::atomic<bool> sent{false};
  std::atomic<int> depth{0};
  std::atomic<int> maxDepth{0};
  static void Callback(void* context, uint32_t event) {
    auto* self = static_cast<NestingProbe*>(context);
    const int depth = ++self->depth;
    int seen = self->maxDepth.load();
    while (depth > seen && !self->maxDepth.compare_exchange_weak(seen, depth)) {
    }
    if (!self->sent.exchange(true)) {
      QXWinSendMessage(self->helper, HelperWindowThread::kWork, 0, 0);
    }
    Recorder::Callback(&self->recorder, event);
    --self->depth;
  }
};

TEST_F(DfuNotificationThreads, ACallbackWaitingInASendMessageIsNotEnteredAgain) {
  NestingProbe probe;
  // While the callback waits for it, the other thread plugs a second device and waits until
  // its arrival was handed to the registration's window.
  HelperWindowThread helper([this] {
    Plug(0x1209, 0x0001, "SECOND");
    sim::VirtualUsbBus::Instance().WaitIdle();
  });
  ASSERT_NE(helper.Window(), nullptr);
  probe.helper = helper.Window();
  uint32_t handle = 0;
  ASSERT_EQ(QXDFU_RegisterDeviceChangeCallback("VID=0x1209, PID=0x0001\n", &NestingProbe::Callback, &probe, &handle),
            QXSTATUS_SUCCESS);
  Plug(0x1209, 0x0001, "FIRST");
  ASSERT_TRUE(probe.recorder.WaitForCalls(2));
  EXPECT_EQ(QXDFU_UnregisterDeviceChangeCallback(handle), QXSTATUS_SUCCESS);
  EXPECT_EQ(probe.maxDepth.load(), 1) << "the callback was entered again while it waited";
  const auto calls = probe.recorder.Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].event, QXDFU_DEVICE_CHANGE_ARRIVAL);
  EXPECT_EQ(calls[1].event, QXDFU_DEVICE_CHANGE_ARRIVAL);
  EXPECT_EQ(calls[0].threadId, calls[1].threadId);
}

// Builds a broadcast of a device interface with the given path and size field.
std::vector<uint8_t> InterfaceBroadcast(const char* path, uint32_t sizeField = 0) {
  const QXWString wide(path, path + std::strlen(path));
  std::vector<uint8_t> buffer(kQXDbccNameOffset + (wide.size() + 1) * sizeof(QXWChar));
  QXDevBroadcastDeviceInterfaceW header{};
  header.dbcc_size = sizeField != 0 ? sizeField : static_cast<uint32_t>(buffer.size());
  header.dbcc_devicetype = kQXDbtDevtypDeviceInterface;
  std::memcpy(buffer.data(), &header, kQXDbccNameOffset);
  std::memcpy(buffer.data() + kQXDbccNameOffset, wide.c_str(), (wide.size() + 1) * sizeof(QXWChar));
  return buffer;
}

TEST_F(DfuNotificationThreads, OnlyArrivalAndRemovalOfDeviceInterfacesArePassedOn) {
  Recorder recorder;
  const uint32_t handle = Register("VID=0x1209, PID=0x0001\n", &recorder);
  auto notification = gDfuApi.mNotifications.GetObject(handle);
  ASSERT_TRUE(notification);
  const QXHwnd window = notification->GetNotificator().GetWindowHandle();
  ASSERT_NE(window, nullptr);
  const char* kPath = "\\\\?\\usb#vid_1209&pid_0001#sn#{6e45736a-2b1b-4078-b772-b3af2b6fde1c}";
  std::vector<uint8_t> matching = InterfaceBroadcast(kPath);
  const auto lParam = [](std::vector<uint8_t>& b) { return reinterpret_cast<QXLParam>(b.data()); };

  // A volume and a port: other device types.
  for (uint32_t type : {kQXDbtDevtypVolume, kQXDbtDevtypPort}) {
    std::vector<uint8_t> other = matching;
    std::memcpy(other.data() + 4, &type, sizeof(type));
    EXPECT_EQ(QXWinSendMessage(window, kQXWmDeviceChange, kQXDbtDeviceArrival, lParam(other)), 0u);
  }
  // Other device change messages: query remove (0x8001), remove pending (0x8003), nodes changed (7).
  for (QXWParam kind : {QXWParam{0x8001}, QXWParam{0x8003}, QXWParam{7}}) {
    EXPECT_EQ(QXWinSendMessage(window, kQXWmDeviceChange, kind, lParam(matching)), 0u);
  }
  // No header at all, and a header whose size leaves no room for the name it seems to carry.
  EXPECT_EQ(QXWinSendMessage(window, kQXWmDeviceChange, kQXDbtDeviceArrival, 0), 0u);
  std::vector<uint8_t> cut = InterfaceBroadcast(kPath, static_cast<uint32_t>(kQXDbccNameOffset) + 10);
  EXPECT_EQ(QXWinSendMessage(window, kQXWmDeviceChange, kQXDbtDeviceArrival, lParam(cut)), 0u);
  EXPECT_TRUE(recorder.Calls().empty());

  EXPECT_EQ(QXWinSendMessage(window, kQXWmDeviceChange, kQXDbtDeviceRemoveComplete, lParam(matching)), 0u);
  ASSERT_TRUE(recorder.WaitForCalls(1));
  EXPECT_EQ(recorder.Calls()[0].event, QXDFU_DEVICE_CHANGE_REMOVAL);
  notification.Reset();
  EXPECT_EQ(QXDFU_UnregisterDeviceChangeCallback(handle), QXSTATUS_SUCCESS);
  EXPECT_EQ(DfuNotification::MapEvent(7), QXDFU_DEVICE_CHANGE_UNKNOWN);
}

TEST_F(DfuNotificationThreads, NullCallbackIsAcceptedAndEventsAreStillFiltered) {
  TestLogTarget log(gLogGlobal, kQXLogLevelInfo);
  const uint32_t handle = Register("VID=0x1209, PID=0x0001\n", nullptr);
  Plug(0x1209, 0x0001, "SN1");
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (!log.Contains("pattern match: passing on pnpEvent=1") && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_TRUE(log.Contains("pattern match: passing on pnpEvent=1"));
  EXPECT_EQ(QXDFU_UnregisterDeviceChangeCallback(handle), QXSTATUS_SUCCESS);
}

TEST_F(DfuNotificationThreads, FailedRegistrationsIssueNoHandleAndStartNoThread) {
  TestLogTarget log(gLogGlobal, kQXLogLevelInfo);
  Recorder recorder;
  uint32_t handle = 0xFFFF;
  EXPECT_EQ(QXDFU_RegisterDeviceChangeCallback("VID=0x1209\n", &Recorder::Callback, &recorder, nullptr),
            QXSTATUS_INVALID_PARAMETER);
  EXPECT_EQ(QXDFU_RegisterDeviceChangeCallback(nullptr, &Recorder::Callback, &recorder, &handle),
            QXSTATUS_INVALID_PARAMETER);
  EXPECT_EQ(handle, 0u);

  handle = 0xFFFF;
  const QXSTATUS parse =
      QXDFU_RegisterDeviceChangeCallback("VID=0x12G9, PID=1\n", &Recorder::Callback, &recorder, &handle);
  QXUsbDeviceFilter filter;
  EXPECT_EQ(parse, CreateDfuDeviceFilter(filter, "VID=0x12G9, PID=1\n", kTestGuidText));
  EXPECT_NE(parse, QXSTATUS_SUCCESS);
  EXPECT_EQ(handle, 0u);
  EXPECT_TRUE(log.Contains("CreateDfuDeviceFilter failed"));

  gDfuApi.SetDriverInterfaceGuid("");
  EXPECT_EQ(QXDFU_RegisterDeviceChangeCallback("VID=0x1209, PID=1\n", &Recorder::Callback, &recorder, &handle),
            QXSTATUS_INVALID_CONFIGURATION);
  gDfuApi.SetDriverInterfaceGuid("{not-a-guid}");
  EXPECT_EQ(QXDFU_RegisterDeviceChangeCallback("VID=0x1209, PID=1\n", &Recorder::Callback, &recorder, &handle),
            QXSTATUS_INVALID_FORMAT);
  EXPECT_EQ(handle, 0u);
  EXPECT_EQ(gDfuApi.mNotifications.GetObjectCount(), 0u);
  // No thread was started: its window would be registered by the start.
  EXPECT_FALSE(log.Contains("StartPnpNotificator"));
#if defined(_WIN32)
  EXPECT_TRUE(NotificatorWindows().empty());
#endif
  EXPECT_EQ(QXDFU_UnregisterDeviceChangeCallback(0), QXSTATUS_INVALID_HANDLE);
}

TEST_F(DfuNotificationThreads, TwoRegistrationsSeeOnlyTheirOwnEventsOnTheirOwnThreads) {
  Recorder first;
  Recorder second;
  const uint32_t h1 = Register("VID=0x1209, PID=0x0001\n", &first);
  const uint32_t h2 = Register("VID=0x1209, PID=0x0002\nVID=0x1209, PID=0x0003\n", &second);
  const uint64_t a = Plug(0x1209, 0x0001, "A");
  Plug(0x1209, 0x0002, "B");
  Plug(0x1209, 0x0003, "C");
  sim::VirtualUsbBus::Instance().Detach(a);
  ASSERT_TRUE(first.WaitForCalls(2));
  ASSERT_TRUE(second.WaitForCalls(2));
  sim::VirtualUsbBus::Instance().WaitIdle();
  EXPECT_EQ(QXDFU_UnregisterDeviceChangeCallback(h1), QXSTATUS_SUCCESS);
  EXPECT_EQ(QXDFU_UnregisterDeviceChangeCallback(h2), QXSTATUS_SUCCESS);
  const auto c1 = first.Calls();
  const auto c2 = second.Calls();
  ASSERT_EQ(c1.size(), 2u);
  ASSERT_EQ(c2.size(), 2u);
  EXPECT_EQ(c1[0].event, QXDFU_DEVICE_CHANGE_ARRIVAL);
  EXPECT_EQ(c1[1].event, QXDFU_DEVICE_CHANGE_REMOVAL);
  EXPECT_EQ(c2[0].event, QXDFU_DEVICE_CHANGE_ARRIVAL);
  EXPECT_EQ(c2[1].event, QXDFU_DEVICE_CHANGE_ARRIVAL);
  EXPECT_NE(c1[0].threadId, c2[0].threadId);
  EXPECT_EQ(c2[0].threadId, c2[1].threadId);
}

// A callback that tries to end its own registration, and one that ends another one.
struct Unregisterer {
  Recorder recorder;
  std::atomic<uint32_t> ownHandle{0};
  std::atomic<uint32_t> otherHandle{0};
  std::atomic<QXSTATUS> ownStatus{0xFFFFFFFFu};
  std::atomic<QXSTATUS> otherStatus{0xFFFFFFFFu};
  static void Callback(void* context, uint32_t event) {
    auto* self = static_cast<Unregisterer*>(context);
    self->ownStatus = QXDFU_UnregisterDeviceChangeCallback(self->ownHandle);
    if (self->otherHandle != 0) {
      self->otherStatus = QXDFU_UnregisterDeviceChangeCallback(self->otherHandle.exchange(0));
    }
    Recorder::Callback(&self->recorder, event);
  }
};

TEST_F(DfuNotificationThreads, ACallbackCannotEndItsOwnRegistrationButMayEndAnother) {
  TestLogTarget log;
  Unregisterer self;
  Recorder other;
  const uint32_t otherHandle = Register("VID=0x1209, PID=0x0002\n", &other);
  uint32_t handle = 0;
  ASSERT_EQ(QXDFU_RegisterDeviceChangeCallback("VID=0x1209, PID=0x0001\n", &Unregisterer::Callback, &self, &handle),
            QXSTATUS_SUCCESS);
  self.ownHandle = handle;
  self.otherHandle = otherHandle;
  Plug(0x1209, 0x0001, "SN1");
  ASSERT_TRUE(self.recorder.WaitForCalls(1));
  EXPECT_EQ(self.ownStatus.load(), QXSTATUS_NOT_POSSIBLE);
  EXPECT_EQ(self.otherStatus.load(), QXSTATUS_SUCCESS);
  EXPECT_TRUE(log.Contains("cannot be closed from its own callback"));
  // The refused registration still works and can be ended from outside.
  self.otherHandle = 0;
  Plug(0x1209, 0x0001, "SN2");
  ASSERT_TRUE(self.recorder.WaitForCalls(2));
  EXPECT_EQ(QXDFU_UnregisterDeviceChangeCallback(handle), QXSTATUS_SUCCESS);
  EXPECT_EQ(QXDFU_UnregisterDeviceChangeCallback(otherHandle), QXSTATUS_INVALID_HANDLE);
}

// Two callbacks, both running for the same arrival, that each end the other's registration.
struct MutualUnregisterer {
  std::atomic<uint32_t> otherHandle{0};
  std::atomic<QXSTATUS> status{0xFFFFFFFFu};
  std::atomic<int>* inside = nullptr;
  static void Callback(void* context, uint32_t) {
    auto* self = static_cast<MutualUnregisterer*>(context);
    const uint32_t other = self->otherHandle.exchange(0);
    if (other == 0) {
      return;
    }
    // Both callbacks are inside before either ends the other.
    ++*self->inside;
    const auto until = std::chrono::steady_clock::now() + 5s;
    while (self->inside->load() < 2 && std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(1ms);
    }
    self->status = QXDFU_UnregisterDeviceChangeCallback(other);
  }
};

TEST_F(DfuNotificationThreads, TwoCallbacksThatEndEachOthersRegistrationDoNotDeadlock) {
  TestLogTarget log;
  std::atomic<int> inside{0};
  MutualUnregisterer a;
  MutualUnregisterer b;
  a.inside = &inside;
  b.inside = &inside;
  uint32_t ha = 0;
  uint32_t hb = 0;
  ASSERT_EQ(QXDFU_RegisterDeviceChangeCallback("VID=0x1209, PID=0x0001\n", &MutualUnregisterer::Callback, &a, &ha),
            QXSTATUS_SUCCESS);
  ASSERT_EQ(QXDFU_RegisterDeviceChangeCallback("VID=0x1209, PID=0x0001\n", &MutualUnregisterer::Callback, &b, &hb),
            QXSTATUS_SUCCESS);
  a.otherHandle = hb;
  b.otherHandle = ha;
  Plug(0x1209, 0x0001, "SN1");
  const auto until = std::chrono::steady_clock::now() + 10s;
  while ((a.status == 0xFFFFFFFFu || b.status == 0xFFFFFFFFu) && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(5ms);
  }
  // One of them ends the other's registration; the call that would close the ring is refused.
  const std::multiset<QXSTATUS> results{a.status.load(), b.status.load()};
  EXPECT_EQ(results, (std::multiset<QXSTATUS>{QXSTATUS_SUCCESS, QXSTATUS_NOT_POSSIBLE}));
  EXPECT_TRUE(log.Contains("cannot be closed now: its callback is ending this registration")) << log.Dump();
  // The refused caller's own registration was ended; the other one is still there.
  const uint32_t survivor = a.status == QXSTATUS_SUCCESS ? ha : hb;
  const uint32_t ended = a.status == QXSTATUS_SUCCESS ? hb : ha;
  EXPECT_EQ(QXDFU_UnregisterDeviceChangeCallback(ended), QXSTATUS_INVALID_HANDLE);
  EXPECT_EQ(QXDFU_UnregisterDeviceChangeCallback(survivor), QXSTATUS_SUCCESS);
}

TEST_F(DfuNotificationThreads, NoCallbackAfterUnregisteringWhileEventsRace) {
  std::atomic<bool> stop{false};
  std::thread plugger([&] {
    uint32_t n = 0;
    while (!stop) {
      char serial[24];
      std::snprintf(serial, sizeof(serial), "R%u", n++);
      const uint64_t id = Attach(DfuDeviceSpec(0x1209, 0x0001, 0x0100, serial))->Id();
      sim::VirtualUsbBus::Instance().Detach(id);
    }
  });
#if defined(_WIN32)
  constexpr int kRounds = 12;
#else
  constexpr int kRounds = 30;
#endif
  std::vector<std::unique_ptr<Recorder>> recorders;
  for (int round = 0; round < kRounds; ++round) {
    recorders.push_back(std::make_unique<Recorder>());
    Recorder& recorder = *recorders.back();
    const uint32_t handle = Register("VID=0x1209, PID=0x0001\n", &recorder);
    recorder.WaitForCalls(1, 2s);
    ASSERT_EQ(QXDFU_UnregisterDeviceChangeCallback(handle), QXSTATUS_SUCCESS);
    recorder.closed = true;
  }
  stop = true;
  plugger.join();
  sim::VirtualUsbBus::Instance().WaitIdle();
  size_t heard = 0;
  for (auto& recorder : recorders) {
    EXPECT_EQ(recorder->callsAfterClose.load(), 0);
    heard += recorder->Calls().size();
  }
  EXPECT_GT(heard, 0u);
}

TEST_F(DfuNotificationThreads, RegisteringAndUnregisteringInALoopLeavesNothingBehind) {
  std::atomic<bool> stop{false};
  std::thread plugger([&] {
    uint32_t n = 0;
    while (!stop) {
      char serial[24];
      std::snprintf(serial, sizeof(serial), "L%u", n++);
      const uint64_t id = Attach(DfuDeviceSpec(0x1209, static_cast<uint16_t>(1 + n % 2), 0x0100, serial))->Id();
      std::this_thread::sleep_for(1ms);
      sim::VirtualUsbBus::Instance().Detach(id);
    }
  });
#if defined(_WIN32)
  constexpr int kRounds = 60;
#else
  constexpr int kRounds = 200;
#endif
  Recorder recorder;
  for (int round = 0; round < kRounds; ++round) {
    const uint32_t a = Register("VID=0x1209, PID=0x0001\n", &recorder);
    const uint32_t b = Register("VID=0x1209, PID=0x0002\n", &recorder);
    const uint32_t c = Register("VID=0x1209, PID=0x0001\nVID=0x1209, PID=0x0002\n", nullptr);
    EXPECT_EQ(QXDFU_UnregisterDeviceChangeCallback(b), QXSTATUS_SUCCESS);
    EXPECT_EQ(QXDFU_UnregisterDeviceChangeCallback(a), QXSTATUS_SUCCESS);
    EXPECT_EQ(QXDFU_UnregisterDeviceChangeCallback(c), QXSTATUS_SUCCESS);
  }
  stop = true;
  plugger.join();
  EXPECT_EQ(gDfuApi.mNotifications.GetObjectCount(), 0u);
#if defined(_WIN32)
  EXPECT_TRUE(NotificatorWindows().empty());
#endif
}

// A start whose new thread is held before it creates its window until the start has given up
// waiting: the late thread then creates its window all the same, and the failed start must end
// and join it.
class HeldNotificator : public QXWinUsbPnpNotificator {
 public:
  HeldNotificator() { mStartupTimeoutMs = 20; }
  std::atomic<bool> heldThreadRan{false};

 protected:
  void WorkerStarting() override {
    while (!IsStopRequested()) {
      std::this_thread::sleep_for(1ms);
    }
    heldThreadRan = true;
  }
};

TEST_F(DfuNotificationThreads, AStartThatTimesOutLeavesNoThreadOrWindowRunning) {
  TestLogTarget log;
  QXUsbDeviceFilter filter;
  ASSERT_EQ(CreateDfuDeviceFilter(filter, "VID=0x1209, PID=1\n", kTestGuidText), QXSTATUS_SUCCESS);
  for (int round = 0; round < 3; ++round) {
    HeldNotificator notificator;
    EXPECT_EQ(notificator.StartUsbPnpNotificator(filter, QXPnpEventSink{}), QXSTATUS_TIMEOUT);
    // The start returned only after the late thread had run and ended.
    EXPECT_TRUE(notificator.heldThreadRan.load());
    EXPECT_EQ(notificator.GetWindowHandle(), nullptr);
    EXPECT_EQ(notificator.EnableDeviceNotifications(QXGuid{}), QXSTATUS_NOT_INITIALIZED);
#if defined(_WIN32)
    EXPECT_TRUE(NotificatorWindows().empty());
#endif
  }
  EXPECT_EQ(log.Count("WaitForObject failed, err=0xee000003"), 3u) << log.Dump();
}

TEST_F(DfuNotificationThreads, AFilterWithoutInterfaceClassIsRefusedBeforeAnyThreadStarts) {
  TestLogTarget log;
  QXUsbDeviceFilter filter;
  ASSERT_EQ(CreateDfuDeviceFilter(filter, "VID=0x1209, PID=1\n", kTestGuidText), QXSTATUS_SUCCESS);
  QXWinUsbPnpNotificator notificator;
  filter.interfaceGuid.clear();
  EXPECT_EQ(notificator.StartUsbPnpNotificator(filter, QXPnpEventSink{}), QXSTATUS_NOT_POSSIBLE);
  EXPECT_TRUE(log.Contains("no driver interface GUID available"));
  EXPECT_EQ(notificator.GetWindowHandle(), nullptr);
}

}  // namespace
}  // namespace plendrik
