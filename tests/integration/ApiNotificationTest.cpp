// Device change callbacks through the loaded library, and unloading it while a registration
// is still alive.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "LibraryLoader.h"
#if defined(_WIN32)
#include <dbt.h>

#include <cstring>
#include <vector>
#endif
#include "flashbridge.h"
#include "support/TempDir.h"

namespace {

using namespace std::chrono_literals;
using RegisterFn = QXSTATUS (*)(const char*, QXDFU_DEVICE_CHANGE_CALLBACK, void*, uint32_t*);
using UnregisterFn = QXSTATUS (*)(uint32_t);

std::atomic<int> gArrivals{0};
std::atomic<int> gCalls{0};

void OnChange(void*, uint32_t event) {
  ++gCalls;
  if (event == QXDFU_DEVICE_CHANGE_ARRIVAL) {
    ++gArrivals;
  }
}

#if defined(_WIN32)
// Ends a registration of a library the caller no longer holds: with a reference of its own,
// given back afterwards; true when the library has then left the process.
bool UnregisterAndWaitForUnload(uint32_t handle) {
  HMODULE module = LoadLibraryA(fbtest::LibraryLoader::LibraryPath().c_str());
  if (module == nullptr) {
    return false;
  }
  const auto unregisterFn = reinterpret_cast<UnregisterFn>(
      reinterpret_cast<void*>(GetProcAddress(module, "QXDFU_UnregisterDeviceChangeCallback")));
  const bool unregistered = unregisterFn != nullptr && unregisterFn(handle) == QXSTATUS_SUCCESS;
  FreeLibrary(module);
  const auto until = std::chrono::steady_clock::now() + 5s;
  while (GetModuleHandleA("flashbridge.dll") != nullptr && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(10ms);
  }
  return unregistered && GetModuleHandleA("flashbridge.dll") == nullptr;
}

// Plays the system's part for the registrations of this process: sends each notificator window
// a device interface arrival of VID_1209&PID_0001 (a message with a pointer cannot be posted).
void SendArrivalToNotificators() {
  static const wchar_t kPath[] = L"\\\\?\\usb#vid_1209&pid_0001#sn1#{3c1e5f0a-7b2d-4e6f-9a8b-0c1d2e3f4a5b}";
  static std::vector<unsigned char> buffer;
  buffer.assign(offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) + sizeof(kPath), 0);
  auto* broadcast = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(buffer.data());
  broadcast->dbcc_size = static_cast<DWORD>(buffer.size());
  broadcast->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  std::memcpy(broadcast->dbcc_name, kPath, sizeof(kPath));
  EnumWindows(
      [](HWND hwnd, LPARAM lParam) -> BOOL {
        static const wchar_t kPrefix[] = L"{6F1C2A7E-3B48-4D0A-9E55-1C7B2F9A0D31}_PnPNotificatorWndClass_";
        DWORD process = 0;
        GetWindowThreadProcessId(hwnd, &process);
        wchar_t name[256] = {};
        if (process == GetCurrentProcessId() && GetClassNameW(hwnd, name, 256) > 0 &&
            wcsncmp(name, kPrefix, wcslen(kPrefix)) == 0) {
          SendMessageW(hwnd, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, lParam);
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(buffer.data()));
}
#endif

template <class Pred>
bool WaitUntil(Pred pred, std::chrono::milliseconds timeout = 5s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

TEST(ApiNotification, UnloadingWithALiveRegistrationEndsItSafely) {
  fbtest::TempDir dir;
  const std::filesystem::path config = fbtest::LibraryLoader::LibraryPath() + ".config.ini";
  std::string text = "[DriverInterface]\r\nInterfaceGUID={3C1E5F0A-7B2D-4E6F-9A8B-0C1D2E3F4A5B}\r\n";
#if !defined(_WIN32)
  fbtest::WriteFileBytes(dir.File("devices.ini"), "");
  text += "[Simulation]\r\nDeviceFile=" + dir.File("devices.ini").string() + "\r\n";
#endif
  fbtest::WriteFileBytes(config, text);
  fbtest::LibraryLoader lib;
  ASSERT_TRUE(lib.Load());
  auto registerFn = lib.Resolve<RegisterFn>("QXDFU_RegisterDeviceChangeCallback");
  ASSERT_NE(registerFn, nullptr);
  ASSERT_NE(lib.Resolve<UnregisterFn>("QXDFU_UnregisterDeviceChangeCallback"), nullptr);
  gArrivals = 0;
  gCalls = 0;
  uint32_t handle = 0;
  ASSERT_EQ(registerFn("VID=0x1209, PID=0x0001", &OnChange, nullptr, &handle), QXSTATUS_SUCCESS);
  EXPECT_NE(handle, 0u);
#if !defined(_WIN32)
  // A device plugged by editing the device file reaches the callback.
  fbtest::WriteFileBytes(dir.File("devices.ini"), "[Device]\nSerialNumber = U1\n");
  EXPECT_TRUE(WaitUntil([] { return gArrivals.load() == 1; }));
  // Unloading joins the registration's thread before the library's code goes.
  lib.Unload();
  const int calls = gCalls.load();
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(gCalls.load(), calls);
#else
  // The registration's thread holds its own reference to the library: the unload gives back
  // the caller's at once, and the library goes when the registration has ended.
  const auto before = std::chrono::steady_clock::now();
  lib.Unload();
  EXPECT_LT(std::chrono::steady_clock::now() - before, 5s);
  EXPECT_NE(GetModuleHandleA("flashbridge.dll"), nullptr);
  EXPECT_TRUE(UnregisterAndWaitForUnload(handle));
#endif
  std::filesystem::remove(config);
}

// Leaving the process with a registration alive and the library still loaded: the system
// ends the registration's thread before the library's detach, which must then not wait for it.
TEST(ApiNotificationDeathTest, ProcessExitWithALiveRegistrationEndsPromptly) {
  fbtest::TempDir dir;
  const std::filesystem::path config = fbtest::LibraryLoader::LibraryPath() + ".config.ini";
  std::string text = "[DriverInterface]\r\nInterfaceGUID={3C1E5F0A-7B2D-4E6F-9A8B-0C1D2E3F4A5B}\r\n";
#if !defined(_WIN32)
  fbtest::WriteFileBytes(dir.File("devices.ini"), "");
  text += "[Simulation]\r\nDeviceFile=" + dir.File("devices.ini").string() + "\r\n";
#endif
  fbtest::WriteFileBytes(config, text);
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const auto before = std::chrono::steady_clock::now();
  EXPECT_EXIT(
      {
        auto* lib = new fbtest::LibraryLoader();  // never unloaded: the process ends with it
        if (!lib->Load()) {
          std::exit(2);
        }
        auto registerFn = lib->Resolve<RegisterFn>("QXDFU_RegisterDeviceChangeCallback");
        uint32_t handle = 0;
        if (registerFn == nullptr || registerFn("VID=0x1209, PID=0x0001", &OnChange, nullptr, &handle) != 0) {
          std::exit(3);
        }
        std::fputs("registered\n", stderr);
        std::exit(7);
      },
      testing::ExitedWithCode(7), "registered");
  EXPECT_LT(std::chrono::steady_clock::now() - before, 20s);
  std::filesystem::remove(config);
}

#if defined(_WIN32)
// Callbacks that need the loader lock, or give back the library, while it is being unloaded.
std::atomic<bool> gInside{false};
std::atomic<bool> gGo{false};
std::atomic<bool> gDone{false};
HMODULE gCallerModule = nullptr;

void LoadALibraryWhenAllowed(void*, uint32_t) {
  if (gInside.exchange(true)) {
    return;
  }
  while (!gGo.load()) {
    std::this_thread::sleep_for(1ms);
  }
  HMODULE other = LoadLibraryA("version.dll");
  if (other != nullptr) {
    FreeLibrary(other);
  }
  gDone = true;
}

void GiveBackTheLibrary(void*, uint32_t) {
  if (gInside.exchange(true)) {
    return;
  }
  FreeLibrary(gCallerModule);
  gDone = true;
}

struct CallbackUnloadCase {
  const char* name;
  QXDFU_DEVICE_CHANGE_CALLBACK callback;
  bool unloadFromOutside;  // else the callback itself gives the caller's reference back
};

class ApiNotificationUnload : public testing::TestWithParam<CallbackUnloadCase> {};

TEST_P(ApiNotificationUnload, TheCallbackCompletesAndTheLibraryGoesWithItsRegistration) {
  const CallbackUnloadCase& c = GetParam();
  const std::filesystem::path config = fbtest::LibraryLoader::LibraryPath() + ".config.ini";
  fbtest::WriteFileBytes(config, "[DriverInterface]\r\nInterfaceGUID={3C1E5F0A-7B2D-4E6F-9A8B-0C1D2E3F4A5B}\r\n");
  gInside = false;
  gGo = false;
  gDone = false;
  gCallerModule = LoadLibraryA(fbtest::LibraryLoader::LibraryPath().c_str());
  ASSERT_NE(gCallerModule, nullptr);
  const auto registerFn = reinterpret_cast<RegisterFn>(
      reinterpret_cast<void*>(GetProcAddress(gCallerModule, "QXDFU_RegisterDeviceChangeCallback")));
  ASSERT_NE(registerFn, nullptr);
  uint32_t handle = 0;
  ASSERT_EQ(registerFn("VID=0x1209, PID=0x0001", c.callback, nullptr, &handle), QXSTATUS_SUCCESS);
  // Sent from a thread of its own, as the system does, so that this one goes on.
  std::thread system(&SendArrivalToNotificators);
  if (!WaitUntil([] { return gInside.load(); })) {
    ADD_FAILURE() << "the callback was not called";
    system.join();
    return;
  }
  std::atomic<bool> unloaded{false};
  std::thread unloader;
  if (c.unloadFromOutside) {
    // The unload runs while the callback is inside; then the callback asks for the loader lock.
    unloader = std::thread([&] {
      FreeLibrary(gCallerModule);
      unloaded = true;
    });
    WaitUntil([&] { return unloaded.load(); }, 300ms);
    gGo = true;
  }
  EXPECT_TRUE(WaitUntil([&] { return gDone.load() && (!c.unloadFromOutside || unloaded.load()); }, 10s))
      << "the unload and the callback wait for each other";
  if (unloader.joinable()) {
    unloader.join();
  }
  system.join();
  // The registration's thread still holds the library; it goes once the registration ends.
  std::this_thread::sleep_for(100ms);
  EXPECT_NE(GetModuleHandleA("flashbridge.dll"), nullptr);
  EXPECT_TRUE(UnregisterAndWaitForUnload(handle));
  std::filesystem::remove(config);
}

INSTANTIATE_TEST_SUITE_P(Cases, ApiNotificationUnload,
                         testing::Values(CallbackUnloadCase{"UnloadWhileTheCallbackLoadsALibrary",
                                                            &LoadALibraryWhenAllowed, true},
                                         CallbackUnloadCase{"FreeLibraryFromTheCallback", &GiveBackTheLibrary, false}),
                         [](const testing::TestParamInfo<CallbackUnloadCase>& info) { return info.param.name; });
#endif

void ExitFromCallback(void*, uint32_t event) {
  if (event == QXDFU_DEVICE_CHANGE_ARRIVAL) {
    std::fputs("leaving from the callback\n", stderr);
    std::exit(9);
  }
}

// A callback that ends the process: the library's teardown then runs on the registration's own
// thread (host), or the process's end reaches the library while that thread is inside the
// callback (windows); nothing may wait for that thread to end.
TEST(ApiNotificationDeathTest, ExitFromInsideACallbackEndsTheProcessPromptly) {
  fbtest::TempDir dir;
  const std::filesystem::path config = fbtest::LibraryLoader::LibraryPath() + ".config.ini";
  std::string text = "[DriverInterface]\r\nInterfaceGUID={3C1E5F0A-7B2D-4E6F-9A8B-0C1D2E3F4A5B}\r\n";
#if !defined(_WIN32)
  fbtest::WriteFileBytes(dir.File("devices.ini"), "");
  text += "[Simulation]\r\nDeviceFile=" + dir.File("devices.ini").string() + "\r\n";
  // The leak check that the sanitizer runs at exit cannot stop the world from a thread that
  // another thread is still inside of; the child runs without it.
  const char* savedAsan = std::getenv("ASAN_OPTIONS");
  const std::string saved = savedAsan != nullptr ? savedAsan : "";
  setenv("ASAN_OPTIONS", (saved.empty() ? std::string("detect_leaks=0") : saved + ":detect_leaks=0").c_str(), 1);
#endif
  fbtest::WriteFileBytes(config, text);
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const auto before = std::chrono::steady_clock::now();
  EXPECT_EXIT(
      {
        auto* lib = new fbtest::LibraryLoader();
        if (!lib->Load()) {
          std::exit(2);
        }
        auto registerFn = lib->Resolve<RegisterFn>("QXDFU_RegisterDeviceChangeCallback");
        uint32_t handle = 0;
        if (registerFn == nullptr || registerFn("VID=0x1209, PID=0x0001", &ExitFromCallback, nullptr, &handle) != 0) {
          std::exit(3);
        }
#if !defined(_WIN32)
        fbtest::WriteFileBytes(dir.File("devices.ini"), "[Device]\nSerialNumber = X1\n");
#else
        std::thread(&SendArrivalToNotificators).detach();
#endif
        std::this_thread::sleep_for(30s);
        std::exit(4);
      },
      testing::ExitedWithCode(9), "leaving from the callback");
  EXPECT_LT(std::chrono::steady_clock::now() - before, 20s);
#if !defined(_WIN32)
  if (savedAsan != nullptr) {
    setenv("ASAN_OPTIONS", saved.c_str(), 1);
  } else {
    unsetenv("ASAN_OPTIONS");
  }
#endif
  std::filesystem::remove(config);
}

}  // namespace
