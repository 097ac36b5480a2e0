// On the host the USB stack is the virtual USB bus.
#include "sim/SimWinusbDrvApi.h"
#include "usb/QXWinusbDrvApi.h"

namespace plendrik {

QXWinusbDrvApi& QXPlatformWinusbDrvApi() { return sim::SimWinusbDrvApi::Instance(); }

}  // namespace plendrik
