// The simulated devices that the library's configuration names ([Simulation] DeviceFile):
// loaded onto the virtual bus when the library starts, and watched while it runs.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>

#include "diag/QXDebugPrintf.h"
#include "diag/QXLog.h"
#include "os/QXOsString.h"
#include "sim/SimDeviceFile.h"
#include "usb/QXSimulationConfig.h"

namespace plendrik {

namespace {

// The file's bytes, or nothing when it cannot be read.
std::optional<std::string> ReadWholeFile(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    return std::nullopt;
  }
  std::ostringstream text;
  text << file.rdbuf();
  if (file.bad()) {
    return std::nullopt;
  }
  return text.str();
}

void LoadAndReport(const QXWString& widePath, const sim::SimGuid& guid) {
  const sim::SimDeviceFileResult result = sim::LoadSimDeviceFile(widePath, guid);
  if (!result.ok) {
    // Also on the debugger output: a user without a log file would otherwise see 0 devices.
    QX_LOG_ERROR("simulated device file {} not loaded: {}", widePath, result.error);
    QXDebugPrintf("%s: ERROR: %s: simulated device file %s not loaded: %s\n", QXGetModuleName(),
                  "plendrik::QXLoadSimulatedDevices", QXUtf16ToUtf8(widePath).c_str(), result.error.c_str());
    // And one line on the console of the program that uses the simulation (flashtool would
    // otherwise just say "No device found.").
    std::fprintf(stderr, "%s: simulated device file %s not loaded: %s\n", QXGetModuleName(),
                 QXUtf16ToUtf8(widePath).c_str(), result.error.c_str());
    std::fflush(stderr);
    return;
  }
  QX_LOG_INFO("{} simulated device(s) from {}", static_cast<uint32_t>(result.specs.size()), widePath);
}

// Watches the device file while the library is loaded: when its contents change, the bus is
// brought in line with it, so devices can be plugged and unplugged by editing the file.
class DeviceFileWatch {
 public:
  static constexpr auto kPollInterval = std::chrono::milliseconds(250);

  ~DeviceFileWatch() { Stop(); }

  void Start(const QXWString& widePath, const sim::SimGuid& guid, std::optional<std::string> loadedText) {
    Stop();
    std::lock_guard<std::mutex> lock(mMutex);
    mStop = false;
    mThread =
        std::thread([this, widePath, guid, text = std::move(loadedText)]() mutable { Run(widePath, guid, text); });
  }

  void Stop() {
    std::thread thread;
    {
      std::lock_guard<std::mutex> lock(mMutex);
      mStop = true;
      mChanged.notify_all();
      thread = std::move(mThread);
    }
    if (thread.joinable()) {
      thread.join();
    }
  }

 private:
  void Run(const QXWString& widePath, const sim::SimGuid& guid, std::optional<std::string> lastText) {
    const std::filesystem::path path(widePath);
    std::unique_lock<std::mutex> lock(mMutex);
    while (!mChanged.wait_for(lock, kPollInterval, [this] { return mStop; })) {
      lock.unlock();
      std::optional<std::string> text = ReadWholeFile(path);
      // A file that is gone or unreadable for a moment (an editor replacing it) changes nothing.
      if (text && text != lastText) {
        lastText = std::move(text);
        LoadAndReport(widePath, guid);
      }
      lock.lock();
    }
  }

  std::mutex mMutex;
  std::condition_variable mChanged;
  bool mStop = false;
  std::thread mThread;
};

// Built on first use: the library's entry point loads the devices while the static objects
// of this file may not be constructed yet.
DeviceFileWatch& GetDeviceFileWatch() {
  static DeviceFileWatch watch;
  return watch;
}

struct ConfiguredBackend {
  std::mutex mutex;
  bool deviceFile = false;
  std::optional<std::string> interfaceGuid;
};

ConfiguredBackend& GetConfiguredBackend() {
  static ConfiguredBackend configured;
  return configured;
}

}  // namespace

bool QXSimulatedDevicesConfigured() {
  ConfiguredBackend& configured = GetConfiguredBackend();
  std::lock_guard<std::mutex> lock(configured.mutex);
  return configured.deviceFile;
}

const char* QXConfiguredInterfaceGuid() {
  ConfiguredBackend& configured = GetConfiguredBackend();
  std::lock_guard<std::mutex> lock(configured.mutex);
  return configured.interfaceGuid ? configured.interfaceGuid->c_str() : nullptr;
}

void QXLoadSimulatedDevices(const QXWString& configFilePath, const char* deviceFile, const char* interfaceGuid) {
  {
    ConfiguredBackend& configured = GetConfiguredBackend();
    std::lock_guard<std::mutex> lock(configured.mutex);
    configured.deviceFile = deviceFile != nullptr && *deviceFile != '\0';
    configured.interfaceGuid = interfaceGuid != nullptr ? std::optional<std::string>(interfaceGuid) : std::nullopt;
  }
  if (deviceFile == nullptr || *deviceFile == '\0') {
    return;
  }
  sim::SimGuid guid;
  if (interfaceGuid != nullptr) {
    sim::SimGuid::Parse(std::string_view(interfaceGuid), guid);
  }
  std::filesystem::path path(std::u8string(reinterpret_cast<const char8_t*>(deviceFile)));
  if (path.is_relative()) {
    path = std::filesystem::path(configFilePath).parent_path() / path;
  }
  const QXWString widePath = path.u16string();
  sim::SetSimDeviceFileReporter([](const std::string& message) {
    QX_LOG_ERROR("simulated device: {}", message);
    QXDebugPrintf("%s: ERROR: %s: simulated device: %s\n", QXGetModuleName(), "plendrik::QXLoadSimulatedDevices",
                  message.c_str());
  });
  // The text is taken before the load: a change made meanwhile is seen by the first poll.
  std::optional<std::string> text = ReadWholeFile(path);
  LoadAndReport(widePath, guid);
  GetDeviceFileWatch().Start(widePath, guid, std::move(text));
}

void QXStopSimulatedDeviceWatch() { GetDeviceFileWatch().Stop(); }

}  // namespace plendrik
