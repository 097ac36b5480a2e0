#include <filesystem>

#include "diag/QXDebugPrintf.h"
#include "diag/QXLog.h"
#include "os/QXOsString.h"
#include "sim/SimDeviceFile.h"
#include "usb/QXSimulationConfig.h"

namespace plendrik {

void QXLoadSimulatedDevices(const QXWString& configFilePath, const char* deviceFile, const char* interfaceGuid) {
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
  const sim::SimDeviceFileResult result = sim::LoadSimDeviceFile(widePath, guid);
  if (!result.ok) {
    // Also on the debugger output: a user without a log file would otherwise see 0 devices.
    QX_LOG_ERROR("simulated device file {} not loaded: {}", widePath, result.error);
    QXDebugPrintf("%s: ERROR: %s: simulated device file %s not loaded: %s\n", QXGetModuleName(),
                  "plendrik::QXLoadSimulatedDevices", QXUtf16ToUtf8(widePath).c_str(), result.error.c_str());
    return;
  }
  QX_LOG_INFO("{} simulated device(s) from {}", static_cast<uint32_t>(result.specs.size()), widePath);
}

}  // namespace plendrik
