// What the engine tells a running session recording that the transport seam cannot see: the
// image a download is about to send. Installed by the library while recording is on; null
// otherwise, so the engine computes nothing for it then.
#pragma once

#include <cstdint>

namespace plendrik {

class QXSessionRecorderHook {
 public:
  virtual ~QXSessionRecorderHook() = default;
  // A download of an image of `size` bytes with this SHA-256 starts on the calling thread; its
  // first DFU_DNLOAD block from this thread is the image's byte 0.
  virtual void OnImageDownloadStart(const uint8_t (&sha256)[32], uint64_t size) = 0;
};

// The recording in progress, or null (one atomic load).
QXSessionRecorderHook* QXGetActiveSessionRecorder();
void QXSetActiveSessionRecorder(QXSessionRecorderHook* recorder);

}  // namespace plendrik
