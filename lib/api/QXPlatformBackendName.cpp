#include "api/QXPlatformBackendName.h"

#include "usb/QXWinusbDrvApi.h"

namespace plendrik {

// The platform's name when no test seam is installed (one per target).
const char* QXPlatformBackendNameOfTarget();

const char* QXRecordedBackendName() {
  QXWinusbDrvApi* installed = QXInstalledWinusbDrvApi();
  const char* name = installed != nullptr ? installed->BackendName() : nullptr;
  return name != nullptr ? name : QXPlatformBackendNameOfTarget();
}

}  // namespace plendrik
