// The host's libusb session: one libusb context, one event-handling thread that ends at
// unload, hotplug events delivered on a thread of their own, and the registry that pairs the
// device interface paths the listing hands out with libusb's devices. Both libusb seams (the
// transport and the device listing) and the device notifications share it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "os/QXOsTypes.h"

struct libusb_context;
struct libusb_device;

namespace plendrik {

// The rules file that grants the logged-in user access to DFU devices.
constexpr const char* kQXUdevRulesFile = "contrib/udev/70-flashbridge-dfu.rules";

// A hotplug event, after the event thread has queued it.
enum class QXLibusbHotplugKind { Arrived, Left };
using QXLibusbHotplugObserver = std::function<void(QXLibusbHotplugKind kind, libusb_device* device)>;

class QXLibusbContext {
 public:
  static QXLibusbContext& Instance();

  // The context, made (with its event thread) on first use; null when libusb cannot start.
  libusb_context* Context();
  // Ends the event and hotplug threads: in-flight transfers are cancelled and their callbacks
  // waited for. Calls afterwards find no context. Run when the library unloads.
  void Shutdown();

  // Pairs an interface path (letter case ignored) with a device and the interface its handle
  // binds (-1: the device's first interface). Holds a reference to the device.
  void RegisterPath(const QXWString& interfacePath, libusb_device* device, int interfaceNumber);
  // Forgets every path of a device and drops the references.
  void ForgetDevice(libusb_device* device);
  struct PathTarget {
    libusb_device* device = nullptr;  // referenced for the caller: libusb_unref_device when done
    int interfaceNumber = -1;
  };
  std::optional<PathTarget> FindPath(const QXWString& interfacePath);

  // A device that has left the bus (hotplug, or a transfer that found no device).
  void MarkGone(libusb_device* device);
  bool IsGone(libusb_device* device);

  // Hotplug observers run on the hotplug thread, never on the event thread, in the order
  // libusb reported the events. After RemoveHotplugObserver returns the observer is not called.
  uint64_t AddHotplugObserver(QXLibusbHotplugObserver observer);
  void RemoveHotplugObserver(uint64_t id);

  // Transfers in flight count, so that shutdown can wait for their callbacks; open device
  // handles count, so that shutdown ends the context only when nothing uses it any more.
  void TransferStarted();
  void TransferEnded();
  void HandleOpened();
  void HandleClosed();
  // Called by Shutdown before the context ends: drop every device reference held elsewhere.
  void SetReleaseHook(std::function<void()> hook);

  struct Impl;

 private:
  QXLibusbContext();
  template <class T>
  friend T& QXImmortal();
  Impl* mImpl;  // in static storage: nothing of it is on the heap until libusb is used
};

// libusb's error code as the Windows error the layers above expect.
uint32_t QXMapLibusbError(int libusbError);
// libusb's transfer status as the Windows error the layers above expect (0 for completed).
uint32_t QXMapLibusbTransferStatus(int transferStatus);

}  // namespace plendrik
