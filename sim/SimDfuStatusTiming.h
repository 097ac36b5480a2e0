// The status timing of a simulated DFU bootloader: which bwPollTimeout a status answer
// announces, how long a flash write or manifestation really lasts, whether a status request
// comes too early for a busy device, and how many dfuDNLOAD_SYNC answers follow a busy wait.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

#include "sim/SimDfuProtocol.h"
#include "sim/SimDfuVariants.h"
#include "sim/SimScheduler.h"

namespace plendrik::sim {

class SimDfuStatusTiming {
 public:
  using Clock = SimScheduler::Clock;

  SimDfuStatusTiming(uint32_t pollTimeoutMs, const SimDfuVariants& variants);

  // bwPollTimeout of a status answer; stillBusy: the device had announced its time for the
  // work already and is polled while that work goes on.
  uint32_t PollTimeout(bool stillBusy) const;
  // How long work lasts that takes `time` on a device without overrun.
  std::chrono::microseconds WorkTime(std::chrono::microseconds time) const;
  uint32_t SyncAnswersAfterBusy() const { return mVariants.syncAnswersAfterBusy; }

  // True when a status request at `now` comes before the announced time of the last busy
  // answer and the device refuses it.
  bool RefusesStatus(Clock::time_point now) const;
  // Records a status answer that reported `state` with bwPollTimeout `pollMs` at `now`.
  void Answered(dfu::State state, uint32_t pollMs, Clock::time_point now);
  // Forgets the last answer (the device left the bus or its download ended).
  void Forget() { mQuietUntil.reset(); }

 private:
  const uint32_t mPollTimeoutMs;
  const SimDfuVariants mVariants;
  std::optional<Clock::time_point> mQuietUntil;
};

}  // namespace plendrik::sim
