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
  // Under Wine the library has no simulated devices: the registration only waits. Unloading
  // ends its thread and window from the library's detach, under the loader lock, and returns.
  const auto before = std::chrono::steady_clock::now();
  lib.Unload();
  EXPECT_LT(std::chrono::steady_clock::now() - before, 5s);
  EXPECT_EQ(GetModuleHandleA("flashbridge.dll"), nullptr);
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

#if !defined(_WIN32)
void ExitFromCallback(void*, uint32_t event) {
  if (event == QXDFU_DEVICE_CHANGE_ARRIVAL) {
    std::fputs("leaving from the callback\n", stderr);
    std::exit(9);
  }
}

// A callback that ends the process: the library's teardown then runs on the registration's own
// thread, and must not wait for that thread to end.
TEST(ApiNotificationDeathTest, ExitFromInsideACallbackEndsTheProcessPromptly) {
  fbtest::TempDir dir;
  const std::filesystem::path config = fbtest::LibraryLoader::LibraryPath() + ".config.ini";
  fbtest::WriteFileBytes(dir.File("devices.ini"), "");
  fbtest::WriteFileBytes(config, "[DriverInterface]\r\nInterfaceGUID={3C1E5F0A-7B2D-4E6F-9A8B-0C1D2E3F4A5B}\r\n"
                                 "[Simulation]\r\nDeviceFile=" +
                                     dir.File("devices.ini").string() + "\r\n");
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // The leak check that the sanitizer runs at exit cannot stop the world from a thread that
  // another thread is still inside of; the child runs without it.
  const char* savedAsan = std::getenv("ASAN_OPTIONS");
  const std::string saved = savedAsan != nullptr ? savedAsan : "";
  setenv("ASAN_OPTIONS", (saved.empty() ? std::string("detect_leaks=0") : saved + ":detect_leaks=0").c_str(), 1);
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
        fbtest::WriteFileBytes(dir.File("devices.ini"), "[Device]\nSerialNumber = X1\n");
        std::this_thread::sleep_for(30s);
        std::exit(4);
      },
      testing::ExitedWithCode(9), "leaving from the callback");
  if (savedAsan != nullptr) {
    setenv("ASAN_OPTIONS", saved.c_str(), 1);
  } else {
    unsetenv("ASAN_OPTIONS");
  }
  std::filesystem::remove(config);
}
#endif

}  // namespace
