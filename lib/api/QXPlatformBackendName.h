// The name a session recording's header gives the USB stack below the seams: the seam a test
// installed names itself; otherwise the platform's ("winusb" on windows; on the host the
// backend the configuration chose, "virtual-bus" or "libusb").
#pragma once

namespace plendrik {

const char* QXRecordedBackendName();

}  // namespace plendrik
