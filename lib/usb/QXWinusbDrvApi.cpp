#include "usb/QXWinusbDrvApi.h"

#include <atomic>

namespace plendrik {

namespace {
std::atomic<QXWinusbDrvApi*> gInstalledApi{nullptr};
}  // namespace

QXWinusbDrvApi& QXGetWinusbDrvApi() {
  QXWinusbDrvApi* api = gInstalledApi.load(std::memory_order_acquire);
  return api != nullptr ? *api : QXPlatformWinusbDrvApi();
}

void QXSetWinusbDrvApi(QXWinusbDrvApi* api) { gInstalledApi.store(api, std::memory_order_release); }

}  // namespace plendrik
