// The SetupAPI seam over libusb (the host's real devices): a device with a DFU interface
// (class 0xFE, subclass 1) is listed under the configured interface class with identities
// made from its descriptors as Windows would present them, and its interface paths are
// registered for the transport to open. Also the source of device interface arrivals and
// removals, from libusb's hotplug events.
#pragma once

#include <map>
#include <mutex>
#include <vector>

#include "discovery/QXDeviceInterfaceEvents.h"
#include "discovery/QXUsbNodeIdentity.h"
#include "discovery/QXWinSetupApiSnapshot.h"

struct libusb_device;

namespace plendrik {

class QXWinSetupApiLibusb final : public QXWinSetupApiSnapshot, public QXDeviceInterfaceEventSource {
 public:
  static QXWinSetupApiLibusb& Instance();

  // The interface class that devices with a DFU interface present (all zero: any).
  void SetInterfaceClassGuid(const QXGuid& guid);

  uint64_t AddObserver(const QXGuid& interfaceClassGuid, QXDeviceInterfaceObserver observer) override;
  void RemoveObserver(uint64_t id) override;

 protected:
  std::vector<QXListedDeviceNode> ListNodes(const QXGuid& interfaceClassGuid) override;

 private:
  QXWinSetupApiLibusb();
  template <class T>
  friend T& QXImmortal();

  // What makes the identities of a device, read once per libusb device (its serial number then).
  QXUsbNodeSource SourceOf(libusb_device* device);
  // The device's nodes under a class, their paths registered for the transport.
  std::vector<QXUsbNode> RegisteredNodes(libusb_device* device, const QXGuid& guid);
  QXGuid ClassGuid();

  std::mutex mMutex;
  QXGuid mGuid{};
  std::map<libusb_device*, QXUsbNodeSource> mKnown;  // referenced devices
};

}  // namespace plendrik
