// Time on the virtual bus: delayed work of device models (poll times, flash writes, detach
// and manifestation delays, leaving and re-joining the bus) runs from one scheduler instead of
// threads that each model starts. Tests may substitute a scheduler they step by hand.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

namespace plendrik::sim {

class SimScheduler {
 public:
  using TaskId = uint64_t;
  using Clock = std::chrono::steady_clock;

  virtual ~SimScheduler() = default;

  // Runs work once, on the scheduler's thread, when delay has passed. Tasks due at the same
  // time run in the order they were scheduled. Never runs work on the calling thread. Returns
  // an id that is never 0.
  virtual TaskId ScheduleAfter(std::chrono::microseconds delay, std::function<void()> work) = 0;
  // Cancels a task: true when it had not started and now never will. A task that is running
  // on the scheduler's thread is waited for (unless Cancel is called from that task) and false
  // returned; false also for a task that already ran or an unknown id.
  virtual bool Cancel(TaskId id) = 0;
  // The scheduler's time, by which its tasks fall due; a scheduler stepped by hand answers its
  // own clock.
  virtual Clock::time_point Now() const { return Clock::now(); }
};

}  // namespace plendrik::sim
