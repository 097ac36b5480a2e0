// The Windows-style identities of a USB device found without Windows (libusb on Linux): its
// hardware identifiers, instance identifier, container identifier and device interface path,
// made from its descriptors as Windows would present them. A device with more than one
// interface is composite: each DFU function is a node of its own (MI_xx).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "discovery/QXWinSetupApiSnapshot.h"

namespace plendrik {

struct QXUsbNodeSource {
  uint16_t vendorId = 0;
  uint16_t productId = 0;
  uint16_t bcdDevice = 0;
  QXWString serialNumber;              // empty when the device has none (or it could not be read)
  std::string portPath;                // bus and ports, as Linux names them: "1-1.4"
  bool composite = false;              // more than one interface
  std::vector<uint8_t> dfuInterfaces;  // interface numbers of class 0xFE, subclass 1
};

struct QXUsbNode {
  QXListedDeviceNode node;
  int interfaceNumber = -1;  // the MI_xx function; -1 for a whole device
};

// The listed nodes of one device under the interface class guid; none without a DFU interface.
std::vector<QXUsbNode> QXBuildUsbNodes(const QXUsbNodeSource& source, const QXGuid& interfaceClassGuid);

// A name-based GUID (RFC 4122 version 5 layout) of a text: the same text gives the same GUID.
// The container id is made from the vendor and the serial number (else the port path), so it
// survives the switch into the bootloader, which changes the product id.
QXGuid QXNameBasedGuid(const std::string& name);

}  // namespace plendrik
