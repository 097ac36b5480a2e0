#include "usb/QXWinOverlapped.h"

#include <cstring>

#include "diag/QXLog.h"

namespace plendrik {

uint32_t QXWinOverlapped::InitOverlapped() {
  ZeroOverlapped();
  const uint32_t err = mEvent.CreateEventObj();
  if (err != 0) {
    QX_LOG_ERROR("CreateEventObj() failed, err={}", QXSt{err});
  }
  return err;
}

void QXWinOverlapped::ZeroOverlapped() {
  std::memset(mSystem, 0, sizeof(mSystem));
  mStatus = 0;
  mTransferred = 0;
}

}  // namespace plendrik
