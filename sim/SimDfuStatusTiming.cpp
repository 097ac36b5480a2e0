#include "sim/SimDfuStatusTiming.h"

#include <algorithm>

namespace plendrik::sim {

namespace {

// bwPollTimeout is a 3-byte field.
constexpr uint32_t kMaxPollTimeoutMs = 0xFFFFFF;

}  // namespace

SimDfuStatusTiming::SimDfuStatusTiming(uint32_t pollTimeoutMs, const SimDfuVariants& variants)
    : mPollTimeoutMs(pollTimeoutMs & kMaxPollTimeoutMs), mVariants(variants) {}

uint32_t SimDfuStatusTiming::PollTimeout(bool stillBusy) const {
  if (stillBusy && mVariants.busyRepollMs) {
    return *mVariants.busyRepollMs & kMaxPollTimeoutMs;
  }
  return mPollTimeoutMs;
}

std::chrono::microseconds SimDfuStatusTiming::WorkTime(std::chrono::microseconds time) const {
  if (mVariants.busyOverrun.count() <= 0) {
    return time;
  }
  return std::max(time, std::chrono::microseconds(std::chrono::milliseconds(mPollTimeoutMs)) + mVariants.busyOverrun);
}

bool SimDfuStatusTiming::RefusesStatus(Clock::time_point now) const {
  return mVariants.stallEarlyStatus && mQuietUntil && now < *mQuietUntil;
}

void SimDfuStatusTiming::Answered(dfu::State state, uint32_t pollMs, Clock::time_point now) {
  // Only a device that is busy (writing flash, committing the image) cannot answer; the
  // other states announce a time that a host may keep but need not.
  if (state == dfu::State::dfuDNBUSY || state == dfu::State::dfuMANIFEST) {
    mQuietUntil = now + std::chrono::milliseconds(pollMs);
  } else {
    mQuietUntil.reset();
  }
}

}  // namespace plendrik::sim
