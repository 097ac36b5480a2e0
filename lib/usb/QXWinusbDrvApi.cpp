#include "usb/QXWinusbDrvApi.h"

#include <atomic>
#include <cstring>
#include <vector>

namespace plendrik {

namespace {
std::atomic<QXWinusbDrvApi*> gInstalledApi{nullptr};
std::atomic<QXWinusbDrvApi*> gRecordingApi{nullptr};
}  // namespace

QXWinusbDrvApi& QXGetWinusbDrvApi() {
  QXWinusbDrvApi* recorder = gRecordingApi.load(std::memory_order_acquire);
  return recorder != nullptr ? *recorder : QXGetUnrecordedWinusbDrvApi();
}

QXWinusbDrvApi& QXGetUnrecordedWinusbDrvApi() {
  QXWinusbDrvApi* api = gInstalledApi.load(std::memory_order_acquire);
  return api != nullptr ? *api : QXPlatformWinusbDrvApi();
}

QXWinusbDrvApi* QXInstalledWinusbDrvApi() { return gInstalledApi.load(std::memory_order_acquire); }

void QXSetRecordingWinusbDrvApi(QXWinusbDrvApi* recorder) { gRecordingApi.store(recorder, std::memory_order_release); }

uint32_t QXWinusbDrvApi::WinUsbQueryInterfaceSettings(QXOsHandle winUsb, uint8_t alternateIndex,
                                                      QXUsbInterfaceDescriptor& descriptor) {
  std::vector<uint8_t> config(255);
  uint32_t count = 0;
  uint32_t err = WinUsbGetDescriptor(winUsb, 2, 0, 0, config.data(), static_cast<uint32_t>(config.size()), count);
  if (err != 0) {
    return err;
  }
  const uint32_t totalLength = count >= 4 ? static_cast<uint32_t>(config[2] | (config[3] << 8)) : 0;
  if (totalLength > count) {
    config.assign(totalLength, 0);
    err = WinUsbGetDescriptor(winUsb, 2, 0, 0, config.data(), totalLength, count);
    if (err != 0) {
      return err;
    }
  }
  config.resize(count < config.size() ? count : config.size());
  QXUsbConfigDescriptor view(config);
  const QXUsbInterfaceDescriptor* first = view.FindNextInterfaceDescriptor(nullptr);
  if (first == nullptr) {
    return kQXErrorNoMoreItems;
  }
  // The alternate settings of the first interface, in the order the configuration lists them.
  uint8_t seen = 0;
  const uint8_t* at = nullptr;
  while ((at = view.FindNextDescriptor(at, 4, 0)) != nullptr) {
    const auto* candidate = reinterpret_cast<const QXUsbInterfaceDescriptor*>(at);
    if (candidate->bInterfaceNumber != first->bInterfaceNumber) {
      continue;
    }
    if (seen++ == alternateIndex) {
      std::memcpy(&descriptor, candidate, sizeof(descriptor));
      return 0;
    }
  }
  return kQXErrorNoMoreItems;
}

void QXSetWinusbDrvApi(QXWinusbDrvApi* api) { gInstalledApi.store(api, std::memory_order_release); }

}  // namespace plendrik
