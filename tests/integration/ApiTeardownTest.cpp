// Unloading the library while the caller still holds enumerations, images, opened devices with
// an upgrade running and a device change registration: every thread of the library ends and
// everything it holds is released (the host run's leak check covers memory; the counts of the
// process's threads and, on windows, its handles cover the rest), and the library loads and
// works again afterwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "LibraryLoader.h"
#include "flashbridge.h"
#include "support/TempDir.h"

#if defined(_WIN32)
#include <tlhelp32.h>
#endif

namespace {

using namespace std::chrono_literals;
using EnumerateFn = QXSTATUS (*)(const char*, uint32_t*, uint32_t*, uint32_t, uint32_t, uint32_t);
using CloseEnumerationFn = QXSTATUS (*)(uint32_t);
using OpenFn = QXSTATUS (*)(uint32_t, uint32_t, uint32_t*, uint32_t);
using CloseFn = QXSTATUS (*)(uint32_t);
using LoadBufferFn = QXSTATUS (*)(const void*, uint64_t, uint32_t, uint32_t*, uint32_t);
using StartFn = QXSTATUS (*)(uint32_t, uint32_t, uint32_t, uint32_t);
using StatusFn = QXSTATUS (*)(uint32_t, uint32_t*, uint64_t*, uint64_t*, QXSTATUS*);
using RegisterFn = QXSTATUS (*)(const char*, QXDFU_DEVICE_CHANGE_CALLBACK, void*, uint32_t*);
using UnregisterFn = QXSTATUS (*)(uint32_t);

constexpr const char* kFilter = "VID=0x1209, PID=0x7E01";
std::atomic<int> gCalls{0};

[[maybe_unused]] void OnChange(void*, uint32_t) { ++gCalls; }

// Threads of this process.
size_t ThreadCount() {
#if defined(_WIN32)
  size_t n = 0;
  const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) {
    return 0;
  }
  THREADENTRY32 entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    n += entry.th32OwnerProcessID == GetCurrentProcessId() ? 1 : 0;
  }
  CloseHandle(snapshot);
  return n;
#else
  size_t n = 0;
  for ([[maybe_unused]] const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    ++n;
  }
  return n;
#endif
}

// Whether the library is still in the process (an unload that did not happen keeps its threads
// alive and its destructors unrun).
bool LibraryMapped() {
#if defined(_WIN32)
  return GetModuleHandleA("flashbridge.dll") != nullptr;
#else
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line)) {
    if (line.find("/flashbridge.so") != std::string::npos) {
      return true;
    }
  }
  return false;
#endif
}

#if defined(_WIN32)
// One entry of the system's handle table (SystemHandleInformation).
struct HandleEntry {
  USHORT processId;
  USHORT creatorBackTraceIndex;
  UCHAR objectTypeIndex;
  UCHAR handleAttributes;
  USHORT handleValue;
  PVOID object;
  ULONG grantedAccess;
};
struct HandleTable {
  ULONG count;
  HandleEntry entries[1];
};
#endif

// Open handles of this process (windows); the host has no such count and reports 0. Counted
// from the system's handle table, which Wine serves too (its GetProcessHandleCount does not count).
size_t HandleCount() {
#if defined(_WIN32)
  using QueryFn = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
  const auto query = reinterpret_cast<QueryFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
  if (query == nullptr) {
    return 0;
  }
  constexpr ULONG kSystemHandleInformation = 16;
  std::vector<unsigned char> buffer(1 << 16);
  for (;;) {
    ULONG needed = 0;
    const LONG st = query(kSystemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
    if (st == 0) {
      break;
    }
    if (buffer.size() >= (64u << 20)) {
      return 0;
    }
    buffer.resize(std::max<size_t>(buffer.size() * 2, needed + 4096));
  }
  const auto* table = reinterpret_cast<const HandleTable*>(buffer.data());
  const DWORD self = GetCurrentProcessId();
  size_t n = 0;
  for (ULONG i = 0; i < table->count; ++i) {
    n += table->entries[i].processId == static_cast<USHORT>(self) ? 1 : 0;
  }
  return n;
#else
  return 0;
#endif
}

// Waits up to two seconds for a count to come back to what it was.
template <class Count>
size_t Settled(Count count, size_t baseline) {
  const auto until = std::chrono::steady_clock::now() + 2s;
  size_t now = count();
  while (now != baseline && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(10ms);
    now = count();
  }
  return now;
}

// A count once it has stopped changing for 300 ms (at most three seconds): threads that were
// released a moment ago may still be on their way out, with their handles.
template <class Count>
size_t Steady(Count count) {
  const auto until = std::chrono::steady_clock::now() + 3s;
  size_t last = count();
  auto since = std::chrono::steady_clock::now();
  while (std::chrono::steady_clock::now() < until && std::chrono::steady_clock::now() - since < 300ms) {
    std::this_thread::sleep_for(10ms);
    const size_t now = count();
    if (now != last) {
      last = now;
      since = std::chrono::steady_clock::now();
    }
  }
  return last;
}

// The exports the test uses, resolved from one load of the library.
struct Exports {
  EnumerateFn enumerate = nullptr;
  CloseEnumerationFn closeEnumeration = nullptr;
  OpenFn open = nullptr;
  CloseFn close = nullptr;
  LoadBufferFn loadBuffer = nullptr;
  StartFn start = nullptr;
  StatusFn status = nullptr;
  RegisterFn registerCallback = nullptr;
  UnregisterFn unregisterCallback = nullptr;

  bool Resolve(const fbtest::LibraryLoader& lib) {
    enumerate = lib.Resolve<EnumerateFn>("QXDFU_EnumerateUsbDfuDevices");
    closeEnumeration = lib.Resolve<CloseEnumerationFn>("QXDFU_CloseEnumeration");
    open = lib.Resolve<OpenFn>("QXDFU_OpenDevice");
    close = lib.Resolve<CloseFn>("QXDFU_CloseDevice");
    loadBuffer = lib.Resolve<LoadBufferFn>("QXDFU_LoadFirmwareFromBuffer");
    start = lib.Resolve<StartFn>("QXDFU_StartUpgrade");
    status = lib.Resolve<StatusFn>("QXDFU_GetUpgradeStatus");
    registerCallback = lib.Resolve<RegisterFn>("QXDFU_RegisterDeviceChangeCallback");
    unregisterCallback = lib.Resolve<UnregisterFn>("QXDFU_UnregisterDeviceChangeCallback");
    return enumerate && closeEnumeration && open && close && loadBuffer && start && status && registerCallback &&
           unregisterCallback;
  }
};

class ApiTeardown : public testing::Test {
 protected:
  void SetUp() override {
    mConfig = fbtest::LibraryLoader::LibraryPath() + ".config.ini";
    std::string text = "[DriverInterface]\r\nInterfaceGUID={5B1D3C7E-2A4F-4E11-9C3D-7F6A5B4C3D2E}\r\n";
#if !defined(_WIN32)
    // Two bootloaders that write their flash slowly, so that upgrades are still running at the unload.
    const std::string device =
        "Model = dfu\nRunMode = bootloader\nVendorId = 0x1209\nBootloaderProductId = 0x7E01\n"
        "DfuTransferSize = 64\nFlashTimePerBlockMs = 20\nPollTimeoutMs = 20\n";
    WriteText(mDir.File("devices.ini"),
              "[Device]\nSerialNumber = TD1\n" + device + "\n[Device 2]\nSerialNumber = TD2\n" + device);
    text += "[Simulation]\r\nDeviceFile=" + mDir.File("devices.ini").string() + "\r\n";
#endif
    WriteText(mConfig, text);
  }

  void TearDown() override { std::filesystem::remove(mConfig); }

  void CleanCycle();

  static void WriteText(const std::filesystem::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
  }

  fbtest::TempDir mDir;
  std::filesystem::path mConfig;
};

TEST_F(ApiTeardown, UnloadWithEverythingStillOpenEndsEveryThreadAndReleasesEverything) {
  // A first clean cycle loads what the library needs of the system once (system libraries
  // may stay loaded, with their handles); what is left after the second cycle is the library's.
  CleanCycle();
  const size_t threadsBefore = Steady(ThreadCount);
  // The mingw-w64 threading runtime linked into the windows library keeps a record of each
  // thread that calls into it, with two handles, until the thread ends; an unload cannot
  // give back the records of threads that live on. That cost of a bare load is not the
  // library's: it is measured here and allowed for.
  const size_t handlesBeforeBareLoad = Steady(HandleCount);
  {
    fbtest::LibraryLoader lib;
    ASSERT_TRUE(lib.Load());
    lib.Unload();
  }
  const size_t perLoad = Steady(HandleCount) - handlesBeforeBareLoad;
  EXPECT_LE(perLoad, 2u);
  size_t handlesBefore = handlesBeforeBareLoad + perLoad * 2;
  const std::vector<uint8_t> image(64 * 400, 0x5A);  // 400 blocks of 20 ms: far from done at the unload
  {
    fbtest::LibraryLoader lib;
    ASSERT_TRUE(lib.Load());
    Exports api;
    ASSERT_TRUE(api.Resolve(lib));

    // Enumerations and images that are never given back.
    uint32_t enumeration = 0;
    uint32_t count = 0;
    ASSERT_EQ(api.enumerate(kFilter, &enumeration, &count, 0, 0, 0), QXSTATUS_SUCCESS);
    uint32_t second = 0;
    uint32_t secondCount = 0;
    ASSERT_EQ(api.enumerate(kFilter, &second, &secondCount, 0, 0, 0), QXSTATUS_SUCCESS);
    std::vector<uint32_t> images(3);
    for (uint32_t& h : images) {
      ASSERT_EQ(api.loadBuffer(image.data(), image.size(), QXDFU_IMAGE_TYPE_RAW_BINARY, &h, 0), QXSTATUS_SUCCESS);
    }
#if !defined(_WIN32)
    // Both devices opened, each with an upgrade running on its worker thread.
    ASSERT_EQ(count, 2u);
    for (uint32_t index = 0; index < count; ++index) {
      uint32_t device = 0;
      ASSERT_EQ(api.open(enumeration, index, &device, 0), QXSTATUS_SUCCESS);
      ASSERT_EQ(api.start(device, images[index], 0, 0), QXSTATUS_SUCCESS);
      const auto until = std::chrono::steady_clock::now() + 5s;
      uint64_t current = 0;
      uint32_t state = 0;
      QXSTATUS completion = 0;
      while (current == 0 && state != QXDFU_UPGRADE_STATE_FAILED && std::chrono::steady_clock::now() < until) {
        ASSERT_EQ(api.status(device, &state, &current, nullptr, &completion), QXSTATUS_SUCCESS);
        std::this_thread::sleep_for(5ms);
      }
      EXPECT_GT(current, 0u);
      EXPECT_EQ(state, QXDFU_UPGRADE_STATE_IN_PROGRESS) << std::hex << completion;
    }
#else
    // Wine has no USB devices to open.
    EXPECT_EQ(count, 0u);
#endif
    // A registration whose thread waits for device changes in its window's message loop.
    uint32_t notification = 0;
    ASSERT_EQ(api.registerCallback(kFilter, &OnChange, nullptr, &notification), QXSTATUS_SUCCESS);
#if defined(_WIN32)
    EXPECT_GT(ThreadCount(), threadsBefore);
    // On windows a registration's thread keeps the library loaded until it ends (the caller's
    // unload would only give back the caller's reference): it is ended first here.
    EXPECT_EQ(api.unregisterCallback(notification), QXSTATUS_SUCCESS);
#else
    EXPECT_GT(ThreadCount(), threadsBefore + 2);
#endif
    lib.Unload();
  }
  EXPECT_EQ(Settled(ThreadCount, threadsBefore), threadsBefore) << "a thread of the library outlived it";
  EXPECT_FALSE(LibraryMapped()) << "the library is still loaded after its last unload";
  EXPECT_EQ(Settled(HandleCount, handlesBefore), handlesBefore) << "the library left handles open";
  const int calls = gCalls.load();

  // Loaded again, the library starts from nothing: the devices are there and idle.
  CleanCycle();
  handlesBefore += perLoad;
  EXPECT_EQ(Settled(ThreadCount, threadsBefore), threadsBefore);
  EXPECT_EQ(Settled(HandleCount, handlesBefore), handlesBefore);
  EXPECT_FALSE(LibraryMapped());
  EXPECT_EQ(gCalls.load(), calls) << "a callback ran after its library was unloaded";
}

// Loads the library, lists the devices, opens and closes one (on the host), gives everything
// back and unloads it.
void ApiTeardown::CleanCycle() {
  {
    fbtest::LibraryLoader lib;
    ASSERT_TRUE(lib.Load());
    Exports api;
    ASSERT_TRUE(api.Resolve(lib));
    uint32_t enumeration = 0;
    uint32_t count = 0;
    ASSERT_EQ(api.enumerate(kFilter, &enumeration, &count, 0, 0, 0), QXSTATUS_SUCCESS);
#if !defined(_WIN32)
    ASSERT_EQ(count, 2u);
    uint32_t device = 0;
    ASSERT_EQ(api.open(enumeration, 0, &device, 0), QXSTATUS_SUCCESS);
    uint32_t state = 99;
    ASSERT_EQ(api.status(device, &state, nullptr, nullptr, nullptr), QXSTATUS_SUCCESS);
    EXPECT_EQ(state, QXDFU_UPGRADE_STATE_IDLE);
    EXPECT_EQ(api.close(device), QXSTATUS_SUCCESS);
#endif
    EXPECT_EQ(api.closeEnumeration(enumeration), QXSTATUS_SUCCESS);
    // A registration ended the ordinary way (the system's own device notification service
    // may start what it needs once, here).
    uint32_t notification = 0;
    ASSERT_EQ(api.registerCallback(kFilter, &OnChange, nullptr, &notification), QXSTATUS_SUCCESS);
    EXPECT_EQ(api.unregisterCallback(notification), QXSTATUS_SUCCESS);
    lib.Unload();
  }
  EXPECT_FALSE(LibraryMapped());
}

// Leaving the process while an upgrade worker waits inside a transfer that the device never
// answers: the process ends promptly, without waiting for the transfer's time-out.
TEST_F(ApiTeardown, ProcessExitWhileAnUpgradeIsInsideATransferEndsPromptly) {
#if !defined(_WIN32)
  WriteText(mDir.File("devices.ini"),
            "[Device]\nSerialNumber = TX1\nModel = dfu\nRunMode = bootloader\nVendorId = 0x1209\n"
            "BootloaderProductId = 0x7E01\nDfuTransferSize = 64\nNoAnswerAtBlock = 3\n");
#endif
  // The child process runs this test's set-up again with a folder of its own: the log goes
  // where both can find it.
  const std::filesystem::path logPath = fbtest::LibraryLoader::ProgramFolder() + "/process-exit-test.log";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const auto before = std::chrono::steady_clock::now();
  EXPECT_EXIT(
      {
        auto* lib = new fbtest::LibraryLoader();  // never unloaded: the process ends with it
        Exports api;
        if (!lib->Load() || !api.Resolve(*lib)) {
          std::exit(2);
        }
        using StartLoggingFn = QXSTATUS (*)(const QXDFU_WCHAR*, uint32_t);
        const auto startLogging = lib->Resolve<StartLoggingFn>("QXDFU_StartFileLogging");
        std::filesystem::remove(logPath);
        const std::string logName = logPath.string();
        const std::basic_string<QXDFU_WCHAR> logFile(logName.begin(), logName.end());
        if (startLogging == nullptr || startLogging(logFile.c_str(), QXDFU_LOGGING_FLAG_FLUSH_AFTER_WRITE) != 0) {
          std::exit(3);
        }
#if !defined(_WIN32)
        uint32_t enumeration = 0;
        uint32_t count = 0;
        uint32_t device = 0;
        uint32_t image = 0;
        const std::vector<uint8_t> bytes(64 * 10, 0x5A);
        if (api.enumerate(kFilter, &enumeration, &count, 0, 0, 0) != 0 || count != 1 ||
            api.open(enumeration, 0, &device, 0) != 0 ||
            api.loadBuffer(bytes.data(), bytes.size(), QXDFU_IMAGE_TYPE_RAW_BINARY, &image, 0) != 0 ||
            api.start(device, image, 0, 0) != 0) {
          std::exit(4);
        }
        // Block 3 is never answered: the worker waits inside that transfer.
        uint64_t current = 0;
        while (current < 3 * 64) {
          uint32_t state = 0;
          api.status(device, &state, &current, nullptr, nullptr);
          std::this_thread::sleep_for(5ms);
        }
        std::this_thread::sleep_for(100ms);
#else
        // Wine has no USB devices: other threads of the library are busy logging when the
        // process ends (the system ends them wherever they are, locks held or not).
        for (int i = 0; i < 4; ++i) {
          std::thread([api] {
            for (;;) {
              uint32_t enumeration = 0;
              uint32_t count = 0;
              if (api.enumerate(kFilter, &enumeration, &count, 0, 0, 0) == 0) {
                api.closeEnumeration(enumeration);
              }
            }
          }).detach();
        }
        std::this_thread::sleep_for(200ms);
#endif
        std::fputs("leaving\n", stderr);
        std::exit(7);
      },
      testing::ExitedWithCode(7), "leaving");
  EXPECT_LT(std::chrono::steady_clock::now() - before, 15s);
  // On windows the process's end is not logged: no teardown runs, and no lock is taken for a
  // log line, since the system has ended the other threads wherever they were. On the host
  // those threads still run during exit(), and the teardown ends them before the library's
  // objects go.
  std::string text;
  {
    std::ifstream log(logPath);
    text.assign(std::istreambuf_iterator<char>(log), std::istreambuf_iterator<char>());
  }
  std::filesystem::remove(logPath);
  EXPECT_NE(text.find("**** Version"), std::string::npos);
#if defined(_WIN32)
  EXPECT_EQ(text.find("DLL_PROCESS_DETACH"), std::string::npos);
  EXPECT_EQ(text.find("leaked"), std::string::npos);
#endif
}

}  // namespace
