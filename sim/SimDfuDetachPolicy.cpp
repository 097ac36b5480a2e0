#include "sim/SimDfuDetachPolicy.h"

namespace plendrik::sim {

SimDfuDetachPolicy::AfterReset SimDfuDetachPolicy::UsbReset(SimRunMode mode, dfu::State state) {
  AfterReset after;
  if (mode == SimRunMode::Application) {
    after.mode = state == dfu::State::appDETACH ? SimRunMode::Bootloader : SimRunMode::Application;
    return after;
  }
  switch (state) {
    case dfu::State::dfuDNLOAD_SYNC:
    case dfu::State::dfuDNBUSY:
    case dfu::State::dfuDNLOAD_IDLE:
    case dfu::State::dfuMANIFEST_SYNC:
    case dfu::State::dfuMANIFEST:
      after.mode = SimRunMode::Bootloader;
      after.errorStatus = dfu::errFIRMWARE;
      break;
    default:
      // dfuIDLE, dfuUPLOAD_IDLE, dfuERROR, dfuMANIFEST_WAIT_RESET.
      after.mode = SimRunMode::Application;
      break;
  }
  return after;
}

}  // namespace plendrik::sim
