#include "device/DfuSessionProtocol.h"

#include "flashbridge.h"

namespace plendrik {

const char* DfuRunModeText(uint32_t runMode) {
  switch (runMode) {
    case QXDFU_RUN_MODE_APPLICATION:
      return "Application";
    case QXDFU_RUN_MODE_BOOTLOADER:
      return "Bootloader";
    default:
      return "unknown";
  }
}

const char* DfuDeviceTypeText(uint32_t deviceType) {
  return deviceType == QXDFU_DEVICE_TYPE_USB_DFU ? "USB DFU" : "unknown";
}

const char* DfuUpgradeStateText(uint32_t upgradeState) {
  static const char* const kTexts[] = {"Idle", "Initializing", "InProgress", "Finished", "Failed"};
  return upgradeState < sizeof(kTexts) / sizeof(kTexts[0]) ? kTexts[upgradeState] : "unknown";
}

}  // namespace plendrik
