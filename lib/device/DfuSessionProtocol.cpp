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

const char* DfuSessionStateText(uint32_t state) {
  static const char* const kTexts[] = {"appIDLE",          "appDETACH",   "dfuIDLE",
                                       "dfuDNLOAD_SYNC",   "dfuDNBUSY",   "dfuDNLOAD_IDLE",
                                       "dfuMANIFEST_SYNC", "dfuMANIFEST", "dfuMANIFEST_WAIT_RESET",
                                       "dfuUPLOAD_IDLE",   "dfuERROR"};
  return state < sizeof(kTexts) / sizeof(kTexts[0]) ? kTexts[state] : "unknown";
}

const char* DfuSessionStatusText(uint32_t status) {
  static const char* const kTexts[] = {"dfu_OK",     "errTARGET",       "errFILE",     "errWRITE",
                                       "errERASE",   "errCHECK_ERASED", "errPROG",     "errVERIFY",
                                       "errADDRESS", "errNOTDONE",      "errFIRMWARE", "errVENDOR",
                                       "errUSBR",    "errPOR",          "errUNKNOWN",  "errSTALLEDPKT"};
  return status < sizeof(kTexts) / sizeof(kTexts[0]) ? kTexts[status] : "unknown";
}

}  // namespace plendrik
