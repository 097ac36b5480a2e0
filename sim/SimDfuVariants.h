// How strictly a simulated DFU device holds the host to DFU 1.1 and USB 2.0, where real devices
// are stricter than the lenient defaults: each field is one behaviour that hardware shows, off
// by default; Strict() turns on the strict set.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

namespace plendrik::sim {

// How a device that is not manifestation tolerant ends its manifestation.
enum class SimManifestationEnd {
  ResetSelf,          // resets itself into the application at once
  WaitForReset,       // stays in dfuMANIFEST_WAIT_RESET until a USB reset
  LeaveDuringStatus,  // holds the status requests it gets while busy and resets itself
                      // before answering them (the host sees the request fail)
};

struct SimDfuVariants {
  // A DFU_GETSTATUS sooner than the bwPollTimeout of an answer that reported dfuDNBUSY or
  // dfuMANIFEST is stalled (the device is busy writing flash); the state does not change.
  bool stallEarlyStatus = false;
  // DFU_DETACH in the bootloader is a wrong request: stalled, and the device enters dfuERROR.
  bool stallDetachInBootloader = false;
  SimManifestationEnd manifestationEnd = SimManifestationEnd::ResetSelf;
  // SET_INTERFACE to the DFU interface when it has a single alternate setting is stalled.
  bool stallSingleAlternateSetting = false;
  // Status answers after a waited-out dfuDNBUSY that still report dfuDNLOAD_SYNC (the state
  // the device was in when the request arrived) before dfuDNLOAD_IDLE.
  uint32_t syncAnswersAfterBusy = 0;
  // A flash write or manifestation lasts at least this much longer than the bwPollTimeout
  // the device announced for it.
  std::chrono::microseconds busyOverrun{0};
  // bwPollTimeout of a status answer that finds the device still busy after it announced its
  // time; none: the device's usual bwPollTimeout.
  std::optional<uint32_t> busyRepollMs;

  bool operator==(const SimDfuVariants&) const = default;

  // The strict set: every behaviour above, a device that waits for its reset, one more
  // dfuDNLOAD_SYNC after a busy wait, and work that runs 5 ms past its announced time while
  // the device answers dfuDNBUSY with a bwPollTimeout of 0.
  static SimDfuVariants Strict() {
    SimDfuVariants v;
    v.stallEarlyStatus = true;
    v.stallDetachInBootloader = true;
    v.manifestationEnd = SimManifestationEnd::WaitForReset;
    v.stallSingleAlternateSetting = true;
    v.syncAnswersAfterBusy = 1;
    v.busyOverrun = std::chrono::milliseconds(5);
    v.busyRepollMs = 0;
    return v;
  }
};

}  // namespace plendrik::sim
