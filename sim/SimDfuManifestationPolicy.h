// How a simulated DFU device ends a manifestation: a manifestation tolerant device goes back to
// dfuIDLE; one that is not resets itself, waits for a USB reset, or resets itself while it
// holds the host's status request.
#pragma once

#include "sim/SimDfuVariants.h"

namespace plendrik::sim {

class SimDfuManifestationPolicy {
 public:
  enum class End { BackToIdle, ResetSelf, WaitForReset, LeaveDuringStatus };

  SimDfuManifestationPolicy(bool tolerant, const SimDfuVariants& variants)
      : mEnd(tolerant ? End::BackToIdle : FromVariant(variants.manifestationEnd)) {}

  End AtCompletion() const { return mEnd; }
  // Status requests during the manifestation are held unanswered until it ends.
  bool HoldsStatusWhileBusy() const { return mEnd == End::LeaveDuringStatus; }
  // In dfuMANIFEST_WAIT_RESET the device still answers the status requests (every other
  // request is stalled); a device that resets itself at once answers nothing there.
  bool AnswersStatusWhileWaiting() const { return mEnd == End::WaitForReset; }

 private:
  static End FromVariant(SimManifestationEnd end) {
    switch (end) {
      case SimManifestationEnd::WaitForReset:
        return End::WaitForReset;
      case SimManifestationEnd::LeaveDuringStatus:
        return End::LeaveDuringStatus;
      case SimManifestationEnd::ResetSelf:
        break;
    }
    return End::ResetSelf;
  }

  const End mEnd;
};

}  // namespace plendrik::sim
