// The descriptors of the simulated DFU device in each run mode.
#include <algorithm>

#include "sim/SimDfuDevice.h"

namespace plendrik::sim {

namespace {

constexpr uint8_t kManufacturerString = 1;
constexpr uint8_t kProductString = 2;
constexpr uint8_t kSerialString = 3;
constexpr uint8_t kFirstTargetString = 4;

std::vector<uint8_t> FunctionalDescriptor(const SimDfuDeviceConfig& config) {
  return {dfu::kFunctionalDescriptorLength,
          dfu::kFunctionalDescriptorType,
          config.bmAttributes,
          static_cast<uint8_t>(config.wDetachTimeOut & 0xFF),
          static_cast<uint8_t>(config.wDetachTimeOut >> 8),
          static_cast<uint8_t>(config.wTransferSize & 0xFF),
          static_cast<uint8_t>(config.wTransferSize >> 8),
          static_cast<uint8_t>(config.bcdDFUVersion & 0xFF),
          static_cast<uint8_t>(config.bcdDFUVersion >> 8)};
}

SimAltSettingSpec DfuAltSetting(uint8_t alternateSetting, uint8_t protocol) {
  SimAltSettingSpec alt;
  alt.alternateSetting = alternateSetting;
  alt.interfaceClass = dfu::kInterfaceClass;
  alt.interfaceSubClass = dfu::kInterfaceSubClass;
  alt.interfaceProtocol = protocol;
  return alt;
}

}  // namespace

SimDeviceSpec SimDfuDevice::BuildSpec(SimRunMode mode) const { return BuildSpec(mConfig, mode); }

SimDeviceSpec SimDfuDevice::BuildSpec(const SimDfuDeviceConfig& config, SimRunMode mode) {
  SimDeviceSpec spec;
  spec.vendorId = config.vendorId;
  spec.productId = mode == SimRunMode::Application ? config.applicationProductId : config.bootloaderProductId;
  spec.bcdDevice = config.bcdDevice;
  const auto addString = [&spec](uint8_t index, const QXWString& text, uint8_t& field) {
    if (!text.empty()) {
      spec.strings[index] = text;
      field = index;
    }
  };
  addString(kManufacturerString, config.manufacturer, spec.iManufacturer);
  addString(kProductString, config.product, spec.iProduct);
  addString(kSerialString, config.serialNumber, spec.iSerialNumber);
  spec.identity = config.identity;

  SimConfigurationSpec configuration;
  configuration.interfaces.clear();
  if (mode == SimRunMode::Application) {
    SimInterfaceSpec dfuInterface;
    dfuInterface.interfaceNumber = config.applicationDfuInterface;
    dfuInterface.altSettings = {DfuAltSetting(0, dfu::kProtocolApplication)};
    dfuInterface.altSettings.front().functionalDescriptors.push_back(FunctionalDescriptor(config));
    configuration.interfaces = config.otherApplicationInterfaces;
    configuration.interfaces.push_back(dfuInterface);
    std::stable_sort(
        configuration.interfaces.begin(), configuration.interfaces.end(),
        [](const SimInterfaceSpec& a, const SimInterfaceSpec& b) { return a.interfaceNumber < b.interfaceNumber; });
    // A device with more functions than its DFU interface is composite; Windows lists the DFU
    // function (the one bound to WinUSB) as its own node.
    if (!config.otherApplicationInterfaces.empty() && !spec.identity.composite) {
      spec.identity.composite = true;
      spec.identity.compositeInterfaces = {config.applicationDfuInterface};
    }
  } else {
    SimInterfaceSpec dfuInterface;
    dfuInterface.interfaceNumber = config.bootloaderDfuInterface;
    dfuInterface.altSettings.clear();
    const size_t targets = std::min<size_t>(config.targets.size(), 256);
    for (size_t i = 0; i < targets; ++i) {
      SimAltSettingSpec alt = DfuAltSetting(static_cast<uint8_t>(i), dfu::kProtocolBootloader);
      if (!config.targets[i].name.empty() && kFirstTargetString + i <= 0xFF) {
        alt.iInterface = static_cast<uint8_t>(kFirstTargetString + i);
        spec.strings[alt.iInterface] = config.targets[i].name;
      }
      dfuInterface.altSettings.push_back(std::move(alt));
    }
    if (dfuInterface.altSettings.empty()) {
      dfuInterface.altSettings.push_back(DfuAltSetting(0, dfu::kProtocolBootloader));
    }
    // One functional descriptor for the interface, after its last alternate setting.
    dfuInterface.altSettings.back().functionalDescriptors.push_back(FunctionalDescriptor(config));
    configuration.interfaces.push_back(std::move(dfuInterface));
    spec.identity.composite = false;
    spec.identity.compositeInterfaces.clear();
  }
  spec.configurations = {configuration};
  return spec;
}

}  // namespace plendrik::sim
