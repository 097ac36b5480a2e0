// The waits between two DFU_GETSTATUS requests. They sleep by default; tests install an
// observer that is told each requested wait (already rounded) instead, so they can count the
// waits and check their lengths without depending on the wall clock.
#pragma once

#include <cstdint>

#include "os/QXOsWorkerThread.h"

namespace plendrik {

class DfuPollWaitObserver {
 public:
  virtual ~DfuPollWaitObserver() = default;
  // Called on the worker thread instead of sleeping.
  virtual void OnPollWait(uint32_t milliseconds) = 0;
};

// Sleeps milliseconds, or hands them to the observer when one is installed. The sleep ends
// early once the worker is asked to stop (checked every few milliseconds): a device may ask
// for a wait of hours, and stopping the upgrade must not wait for it.
void DfuPollWaitFor(uint32_t milliseconds, const QXOsWorkerThread* worker = nullptr);

// The sleep itself, as DfuPollWaitFor does it without an observer (for an observer that
// measures the waits and still sleeps them).
void DfuPollSleep(uint32_t milliseconds);

// Installs an observer (null: sleep again). Install it while no upgrade runs.
void SetDfuPollWaitObserver(DfuPollWaitObserver* observer);

}  // namespace plendrik
