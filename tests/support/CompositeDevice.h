// The application of a composite device, as many headsets and sound cards show themselves: an
// audio control function at interface 0 beside the DFU interface at 1.
#pragma once

#include "sim/SimDfuDevice.h"

namespace fbtest {

inline void AddAudioFunctionBeforeDfu(plendrik::sim::SimDfuDeviceConfig& config) {
  plendrik::sim::SimInterfaceSpec audio;
  audio.interfaceNumber = 0;
  audio.altSettings.front().interfaceClass = 0x01;
  audio.altSettings.front().interfaceSubClass = 0x01;
  audio.altSettings.front().interfaceProtocol = 0x00;
  config.otherApplicationInterfaces = {audio};
  config.applicationDfuInterface = 1;
}

}  // namespace fbtest
