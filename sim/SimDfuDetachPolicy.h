// How a simulated DFU device changes its run mode: what DFU_DETACH does in the bootloader, and
// in which run mode and state a USB reset lets it enumerate again.
#pragma once

#include <cstdint>
#include <optional>

#include "sim/SimDfuProtocol.h"
#include "sim/SimDfuVariants.h"

namespace plendrik::sim {

enum class SimRunMode { Application = 1, Bootloader = 2 };

class SimDfuDetachPolicy {
 public:
  explicit SimDfuDetachPolicy(const SimDfuVariants& variants) : mStall(variants.stallDetachInBootloader) {}

  // DFU_DETACH in the bootloader: a wrong request (stalled, dfuERROR) rather than the way
  // back into the application.
  bool RefusesDetachInBootloader() const { return mStall; }

  // Where a USB reset takes the device.
  struct AfterReset {
    SimRunMode mode = SimRunMode::Application;
    // The bootloader comes back in dfuERROR with this bStatus; none: in its idle state.
    std::optional<uint8_t> errorStatus;
  };
  // The application re-enumerates as itself unless it was told to detach (appDETACH: into the
  // bootloader). The bootloader starts the application it holds (after a manifestation the
  // new one; dfuERROR is cleared), but a download that was cut short leaves the application
  // incomplete: the bootloader stays and reports errFIRMWARE.
  static AfterReset UsbReset(SimRunMode mode, dfu::State state);

 private:
  const bool mStall;
};

}  // namespace plendrik::sim
