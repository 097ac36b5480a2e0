// The text files the library reads at start-up: the configuration file (the interface class
// GUID, the simulated device file's name), the logging file (levels, the log file target's
// keys, %NAME% expansion of its path) and the simulated device file, whose devices are then
// built into descriptors and listed nodes as the bus would.
#include <cstdint>
#include <string>
#include <string_view>

#include "diag/QXIniFile.h"
#include "diag/QXLogConfigurationIniFile.h"
#include "discovery/QXWinGuid.h"
#include "fuzz/FuzzSupport.h"
#include "os/QXOsString.h"
#include "os/QXOsSystem.h"
#include "sim/SimDeviceFile.h"
#include "sim/VirtualUsbBus.h"

namespace {

using namespace plendrik;

void ReadConfiguration(const QXIniDocument& document) {
  const char* guid = GetStringValue(document, "DriverInterface", "InterfaceGUID");
  if (guid != nullptr) {
    QXGuid parsed{};
    (void)QXWinGuid::GuidFromString(QXWidenBytes(guid), parsed);
    sim::SimGuid simGuid;
    (void)sim::SimGuid::Parse(std::string_view(guid), simGuid);
  }
  (void)GetStringValue(document, "Simulation", "DeviceFile");
}

void ReadLogging(const QXIniDocument& document) {
  QXLogConfigurationIniFile configuration(document);
  for (const char* logger : {"Global", "DFUAPI", "DFU"}) {
    int32_t level = 0;
    (void)configuration.GetLogLevel(logger, level);
  }
  const char* file = nullptr;
  if (configuration.GetTargetString("LogFile", "LogFile", file) == QXSTATUS_SUCCESS) {
    FB_FUZZ_CHECK(file != nullptr);
    const QXWString expanded = QXOsExpandEnvironmentStrings(QXWidenBytes(file), 260);
    FB_FUZZ_CHECK(expanded.size() < 260);
  }
  for (const char* key : {"AppendMode", "FlushAfterWrite", "MaxFileSizeKB"}) {
    uint32_t value = 0;
    (void)configuration.GetTargetUint("LogFile", key, value);
  }
}

void ReadDeviceFile(std::string_view text) {
  sim::SimGuid fallback;
  FB_FUZZ_CHECK(sim::SimGuid::Parse(std::string_view("{3fe809ab-fb91-4cb5-a643-69670d52366e}"), fallback));
  const sim::SimDeviceFileResult result = sim::ParseSimDeviceFile(text, fallback);
  if (!result.ok) {
    FB_FUZZ_CHECK(!result.error.empty());
    return;
  }
  FB_FUZZ_CHECK(result.dfuDevices.size() == result.specs.size());
  uint64_t id = 1;
  for (const sim::SimDeviceSpec& spec : result.specs) {
    FB_FUZZ_CHECK(sim::BuildSimDeviceDescriptor(spec).size() == 18);
    for (const sim::SimConfigurationSpec& configuration : spec.configurations) {
      (void)sim::BuildSimConfigurationDescriptor(configuration);
    }
    for (const auto& [index, string] : spec.strings) {
      (void)sim::BuildSimStringDescriptor(string);
    }
    (void)sim::BuildSimLangIdDescriptor(spec.langIds);
    (void)sim::BuildSimDeviceListEntries(id++, spec);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  plendrik::fuzz::SilenceLogs();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  QXIniDocument document;
  if (document.Parse(text, size)) {
    ReadConfiguration(document);
    ReadLogging(document);
  }
  ReadDeviceFile(std::string_view(text, size));
  return 0;
}
