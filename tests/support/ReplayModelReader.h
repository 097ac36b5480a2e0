// Test helpers around a replay model: ReplayModelReader reads its accessors on a thread of its
// own until stopped, so that a ThreadSanitizer run sees them meet the replay's own threads;
// WaitUntilFinished waits for the replay to play to the recording's end.
#pragma once

#include <atomic>
#include <chrono>
#include <thread>

#include "sim/SimReplayModel.h"

namespace fbtest {

class ReplayModelReader {
 public:
  explicit ReplayModelReader(plendrik::sim::SimReplayModelPtr model)
      : mThread([this, model = std::move(model)] {
          while (!mDone) {
            (void)model->Finished();
            (void)model->Mismatch();
            (void)model->ReceivedImage();
            (void)model->CurrentDevice();
            std::this_thread::yield();
          }
        }) {}
  ~ReplayModelReader() { Stop(); }
  ReplayModelReader(const ReplayModelReader&) = delete;
  ReplayModelReader& operator=(const ReplayModelReader&) = delete;

  void Stop() {
    mDone = true;
    if (mThread.joinable()) mThread.join();
  }

 private:
  std::atomic<bool> mDone{false};  // before mThread: set up before the thread starts
  std::thread mThread;
};

// Removals and arrivals that follow the last request are played from the bus's scheduler, after
// the caller's last request returned: waits up to 5 s for them; whether the replay finished.
inline bool WaitUntilFinished(const plendrik::sim::SimReplayModelPtr& model) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!model->Finished() && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return model->Finished();
}

}  // namespace fbtest
