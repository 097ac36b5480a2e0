#include "diag/QXLog.h"
#include "usb/QXSimulationConfig.h"

namespace plendrik {

// The windows library talks to real devices only.
void QXLoadSimulatedDevices(const QXWString&, const char* deviceFile, const char*) {
  if (deviceFile != nullptr && *deviceFile != '\0') {
    QX_LOG_WARN("[Simulation] DeviceFile is ignored: simulated devices exist in the host build only");
  }
}

void QXStopSimulatedDeviceWatch() {}

}  // namespace plendrik
