#include "usb/QXWinEvent.h"

#include "diag/QXLog.h"
#include "usb/QXWinusbDrvApi.h"

namespace plendrik {

uint32_t QXWinEvent::CreateEventObj() {
  CloseEventObj();
  QXOsHandle handle = nullptr;
  const uint32_t err = QXGetWinusbDrvApi().CreateManualResetEvent(handle);
  if (err != 0) {
    QX_LOG_ERROR("CreateEvent() failed, err={}", QXSt{err});
    return err;
  }
  mHandle = handle;
  return 0;
}

void QXWinEvent::CloseEventObj() {
  if (mHandle != nullptr) {
    QXGetWinusbDrvApi().CloseOsHandle(mHandle);
    mHandle = nullptr;
  }
}

}  // namespace plendrik
