// Waits that follow device timing are rounded up to the system clock resolution, so a
// requested delay is never cut short by the timer granularity.
#pragma once

#include <cstdint>

#include "os/QXOsTypes.h"

namespace plendrik {

// The clock resolution in whole milliseconds, rounded up (the clock increment on windows,
// the monotonic clock's resolution on the host).
QXSTATUS GetCurrentClockResolution(uint32_t& resolutionMs);

// The smallest multiple of resolutionMs that is not below ms; ms unchanged for a resolution
// of 0 or when the multiple does not fit 32 bits.
uint32_t RoundUpMillisecsToResolution(uint32_t ms, uint32_t resolutionMs);

// ms rounded up to the current clock resolution; unchanged when it cannot be read.
uint32_t RoundUpMillisecsToClockResolution(uint32_t ms);

}  // namespace plendrik
