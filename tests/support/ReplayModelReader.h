// Reads a replay model's accessors on a thread of its own until stopped, so that a
// ThreadSanitizer run sees them meet the replay's own threads.
#pragma once

#include <atomic>
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

}  // namespace fbtest
