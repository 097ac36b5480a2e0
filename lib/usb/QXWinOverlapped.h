// The overlapped record of one control request: the system OVERLAPPED structure, the
// completion status (997 while pending), the transferred byte count and the event that
// signals the completion.
#pragma once

#include <cstdint>

#include "usb/QXUsbTypes.h"
#include "usb/QXWinEvent.h"

namespace plendrik {

class QXWinOverlapped {
 public:
  QXWinOverlapped() { ZeroOverlapped(); }
  QXWinOverlapped(const QXWinOverlapped&) = delete;
  QXWinOverlapped& operator=(const QXWinOverlapped&) = delete;

  // Zeroes the record and creates its event. Returns 0 or the system error number.
  uint32_t InitOverlapped();
  // Zeroes the system structure, the status and the count; the event stays.
  void ZeroOverlapped();
  void CloseEvent() { mEvent.CloseEventObj(); }

  // The system OVERLAPPED structure (its event member is set by the platform seam).
  void* SystemOverlapped() { return mSystem; }
  QXOsHandle EventHandle() const { return mEvent.GetHandle(); }

  uint32_t mStatus = 0;
  uint32_t mTransferred = 0;

 private:
  alignas(8) unsigned char mSystem[32];
  QXWinEvent mEvent;
};

}  // namespace plendrik
