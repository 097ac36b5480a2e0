// The kernel's USB file interface for the libusb backend, emulated with umockdev: every device
// on the virtual USB bus is mirrored as a usbfs device (sysfs attributes and /dev/bus/usb/BBB/DDD)
// whose usbdevfs ioctls are answered by that device's own simulated model. So libusb, in this
// process, talks to the same device models the virtual-bus tests use. A device that leaves the
// bus is removed (a "remove" uevent), and one that joins again gets a new device number.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace fbtest {

class UmockdevUsbBus {
 public:
  // The one testbed of the process; made before libusb starts (it reads the emulated sysfs).
  static UmockdevUsbBus& Instance();

  // Waits until every device of the virtual bus is mirrored (and every one gone is removed).
  void WaitMirrored();
  // The device node a virtual-bus device is mirrored at ("" when not mirrored now).
  std::string DevNode(uint64_t deviceId);
  // URBs the handler holds (submitted, not yet reaped); tests check that none is left behind.
  size_t UrbsInFlight();
  // DISCARDURB ioctls seen so far.
  size_t DiscardCount();
  // USBDEVFS_RESET ioctls seen so far.
  size_t ResetCount();

  struct Impl;

 private:
  UmockdevUsbBus();
  Impl* mImpl;
};

}  // namespace fbtest
