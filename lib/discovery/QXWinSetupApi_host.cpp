// The seam's host implementation: the virtual USB bus.
#include "discovery/QXWinSetupApi.h"
#include "discovery/QXWinSetupApiVirtualBus.h"
#include "os/QXImmortal.h"

namespace plendrik {

QXWinSetupApi& QXWinGetPlatformSetupApi() {
  // Enumerations released while the module unloads still close their sets through it.
  return QXImmortal<QXWinSetupApiVirtualBus>();
}

}  // namespace plendrik
