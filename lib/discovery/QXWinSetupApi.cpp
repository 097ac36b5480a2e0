#include "discovery/QXWinSetupApi.h"

#include <atomic>

namespace plendrik {

namespace {
std::atomic<QXWinSetupApi*> gSetupApiOverride{nullptr};
}  // namespace

QXWinSetupApi& QXWinGetSetupApi() {
  QXWinSetupApi* api = gSetupApiOverride.load(std::memory_order_acquire);
  return api != nullptr ? *api : QXWinGetPlatformSetupApi();
}

void QXWinSetSetupApi(QXWinSetupApi* api) { gSetupApiOverride.store(api, std::memory_order_release); }

}  // namespace plendrik
