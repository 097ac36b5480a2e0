// The one binding that knows both host backends: it answers the platform seams with the
// backend chosen from the configuration.
#include <atomic>

#include "api/QXHostBackend.h"
#include "diag/QXDebugPrintf.h"
#include "diag/QXLog.h"
#include "discovery/QXDeviceInterfaceEvents.h"
#include "discovery/QXWinGuid.h"
#include "discovery/QXWinSetupApiLibusb.h"
#include "os/QXImmortal.h"
#include "os/QXOsString.h"
#include "sim/SimSetupApi.h"
#include "sim/SimWinusbDrvApi.h"
#include "sim/VirtualUsbBus.h"
#include "usb/QXLibusbContext.h"
#include "usb/QXSimulationConfig.h"
#include "usb/QXWinusbDrvApiLibusb.h"

namespace plendrik {

namespace {

std::atomic<QXHostBackend> gBackend{QXHostBackend::VirtualBus};

// Device interface arrivals and removals of the virtual bus.
class VirtualBusEventSource final : public QXDeviceInterfaceEventSource {
 public:
  uint64_t AddObserver(const QXGuid& interfaceClassGuid, QXDeviceInterfaceObserver observer) override {
    const sim::SimGuid wanted = QXWinSetupApiVirtualBus::ToSimGuid(interfaceClassGuid);
    return sim::VirtualUsbBus::Instance().AddObserver(
        [wanted, interfaceClassGuid, observer = std::move(observer)](const sim::SimBusEvent& event) {
          if (event.entry.interfaceClassGuid != wanted) {
            return;
          }
          QXDeviceInterfaceEvent out;
          out.arrival = event.kind == sim::SimBusEventKind::Arrival;
          out.interfaceClassGuid = interfaceClassGuid;
          out.interfacePath = event.entry.interfacePath;
          observer(out);
        });
  }
  void RemoveObserver(uint64_t id) override { sim::VirtualUsbBus::Instance().RemoveObserver(id); }
};

}  // namespace

QXHostBackend QXGetHostBackend() { return gBackend.load(std::memory_order_acquire); }

QXHostBackend QXConfiguredHostBackend() {
  return QXSimulatedDevicesConfigured() ? QXHostBackend::VirtualBus : QXHostBackend::Libusb;
}

void QXSelectHostBackend(QXHostBackend backend) {
  gBackend.store(backend, std::memory_order_release);
  const char* name =
      backend == QXHostBackend::Libusb ? "libusb (real USB devices)" : "virtual USB bus (simulated devices)";
  if (backend == QXHostBackend::Libusb) {
    QXGuid guid{};
    const char* text = QXConfiguredInterfaceGuid();
    if (text != nullptr) {
      QXWinGuid::GuidFromString(QXWidenBytes(text), guid);
    }
    QXWinSetupApiLibusb::Instance().SetInterfaceClassGuid(guid);
  }
  QX_LOG_INFO("USB backend: {}", name);
  QXDebugPrintf("%s: INFO: %s: USB backend: %s\n", QXGetModuleName(), "plendrik::QXSelectHostBackend", name);
}

void QXShutdownHostBackend() {
  QXStopSimulatedDeviceWatch();
  QXLibusbContext::Instance().Shutdown();
  // The virtual bus is a USB stack inside this module: its devices go with it.
  sim::VirtualUsbBus::Instance().Shutdown();
}

QXWinusbDrvApi& QXPlatformWinusbDrvApi() {
  if (QXGetHostBackend() == QXHostBackend::Libusb) {
    return QXWinusbDrvApiLibusb::Instance();
  }
  return sim::SimWinusbDrvApi::Instance();
}

QXWinSetupApi& QXWinGetPlatformSetupApi() {
  if (QXGetHostBackend() == QXHostBackend::Libusb) {
    return QXWinSetupApiLibusb::Instance();
  }
  // Enumerations released while the module unloads still close their sets through it.
  return QXImmortal<QXWinSetupApiVirtualBus>();
}

QXDeviceInterfaceEventSource& QXGetDeviceInterfaceEventSource() {
  if (QXGetHostBackend() == QXHostBackend::Libusb) {
    return QXWinSetupApiLibusb::Instance();
  }
  return QXImmortal<VirtualBusEventSource>();
}

}  // namespace plendrik

namespace plendrik {

// Read while the configuration is read, before the backend is selected from it.
const char* QXPlatformBackendNameOfTarget() {
  return QXConfiguredHostBackend() == QXHostBackend::Libusb ? "libusb" : "virtual-bus";
}

}  // namespace plendrik
