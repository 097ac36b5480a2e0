// The driver type bundle of the USB front layer: WinUSB device and interface classes.
#pragma once

#include "usb/QXWinusbDrvDevice.h"
#include "usb/QXWinusbDrvInterface.h"

namespace plendrik {

struct QXWinusbDrvTypes {
  using Device = QXWinusbDrvDevice;
  using Interface = QXWinusbDrvInterface;
};

}  // namespace plendrik
