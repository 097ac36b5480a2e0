#include "api/QXPlatformBackendName.h"

namespace plendrik {

const char* QXPlatformBackendNameOfTarget() { return "winusb"; }

}  // namespace plendrik
