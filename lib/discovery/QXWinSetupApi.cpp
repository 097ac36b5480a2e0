#include "discovery/QXWinSetupApi.h"

#include <atomic>

namespace plendrik {

namespace {
std::atomic<QXWinSetupApi*> gSetupApiOverride{nullptr};
std::atomic<QXWinSetupApi*> gRecordingSetupApi{nullptr};
}  // namespace

QXWinSetupApi& QXWinGetSetupApi() {
  QXWinSetupApi* recorder = gRecordingSetupApi.load(std::memory_order_acquire);
  return recorder != nullptr ? *recorder : QXWinGetUnrecordedSetupApi();
}

QXWinSetupApi& QXWinGetUnrecordedSetupApi() {
  QXWinSetupApi* api = gSetupApiOverride.load(std::memory_order_acquire);
  return api != nullptr ? *api : QXWinGetPlatformSetupApi();
}

void QXWinSetRecordingSetupApi(QXWinSetupApi* recorder) {
  gRecordingSetupApi.store(recorder, std::memory_order_release);
}

void QXWinSetSetupApi(QXWinSetupApi* api) { gSetupApiOverride.store(api, std::memory_order_release); }

}  // namespace plendrik
