// The waits between two DFU_GETSTATUS requests. They sleep by default; tests install an
// observer that is told each requested wait (already rounded) instead, so they can count the
// waits and check their lengths without depending on the wall clock.
#pragma once

#include <cstdint>

namespace plendrik {

class DfuPollWaitObserver {
 public:
  virtual ~DfuPollWaitObserver() = default;
  // Called on the worker thread instead of sleeping.
  virtual void OnPollWait(uint32_t milliseconds) = 0;
};

// Sleeps milliseconds, or hands them to the observer when one is installed.
void DfuPollWaitFor(uint32_t milliseconds);

// The sleep itself, as DfuPollWaitFor does it without an observer (for an observer that
// measures the waits and still sleeps them).
void DfuPollSleep(uint32_t milliseconds);

// Installs an observer (null: sleep again). Install it while no upgrade runs.
void SetDfuPollWaitObserver(DfuPollWaitObserver* observer);

}  // namespace plendrik
