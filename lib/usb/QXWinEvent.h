// A manual-reset event of the transport, created unsignalled.
#pragma once

#include "os/QXOsTypes.h"
#include "usb/QXOsHandle.h"

namespace plendrik {

class QXWinEvent {
 public:
  QXWinEvent() = default;
  ~QXWinEvent() { CloseEventObj(); }
  QXWinEvent(const QXWinEvent&) = delete;
  QXWinEvent& operator=(const QXWinEvent&) = delete;

  // Returns 0 or the system error number.
  uint32_t CreateEventObj();
  void CloseEventObj();
  QXOsHandle GetHandle() const { return mHandle; }
  bool IsCreated() const { return mHandle != nullptr; }

 private:
  QXOsHandle mHandle = nullptr;
};

}  // namespace plendrik
