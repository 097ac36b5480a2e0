#include "libusb/UmockdevUsbBus.h"

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <umockdev.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <list>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "sim/VirtualUsbBus.h"

namespace fbtest {

namespace sim = plendrik::sim;

namespace {

std::string Hex(const std::vector<uint8_t>& bytes) {
  std::string out;
  char digits[3];
  for (uint8_t b : bytes) {
    std::snprintf(digits, sizeof(digits), "%02X", b);
    out += digits;
  }
  return out;
}

// One URB the handler holds from SUBMITURB until it is reaped.
struct Urb {
  std::string devNode;
  UMockdevIoctlData* urbData = nullptr;     // the usbdevfs_urb (referenced)
  UMockdevIoctlData* bufferData = nullptr;  // its buffer: setup packet and data stage (referenced)
  sim::SimDevicePtr device;
  sim::SimControlRequestPtr request;
  bool finished = false;
  int status = 0;
  uint32_t actual = 0;
};

// A mirrored device: its sysfs path and device node.
struct Mirror {
  std::string sysPath;
  std::string devNode;
  sim::SimDevicePtr device;
};

}  // namespace

struct UmockdevUsbBus::Impl {
  UMockdevTestbed* testbed = nullptr;
  UMockdevIoctlBase* handler = nullptr;
  std::mutex mutex;
  std::condition_variable changed;
  std::map<uint64_t, Mirror> mirrors;  // virtual-bus device id -> mirror
  std::map<std::string, uint64_t> byNode;
  std::map<std::string, unsigned> ports;  // serial (or id) -> port, kept across re-enumeration
  unsigned nextDevNum = 2;
  unsigned nextPort = 1;
  std::list<std::shared_ptr<Urb>> urbs;
  size_t discards = 0;
  size_t resets = 0;
  uint64_t pendingEvents = 0;

  sim::SimDevicePtr DeviceOf(const std::string& node) {
    std::lock_guard<std::mutex> lock(mutex);
    const auto it = byNode.find(node);
    if (it == byNode.end()) {
      return nullptr;
    }
    return mirrors[it->second].device;
  }

  void Add(const sim::SimDeviceListEntry& entry) {
    sim::SimDevicePtr device = sim::VirtualUsbBus::Instance().FindDevice(entry.deviceId);
    std::unique_lock<std::mutex> lock(mutex);
    if (!device || mirrors.count(entry.deviceId) != 0) {
      return;
    }
    const sim::SimDeviceSpec& spec = device->Spec();
    std::string key = std::to_string(entry.deviceId);
    const auto serial = spec.strings.find(spec.iSerialNumber);
    if (spec.iSerialNumber != 0 && serial != spec.strings.end()) {
      key = sim::SimNarrow(serial->second);
    }
    auto [portIt, fresh] = ports.emplace(key, nextPort);
    if (fresh) {
      ++nextPort;
    }
    const unsigned port = portIt->second;
    const unsigned devNum = nextDevNum++;
    char node[64];
    std::snprintf(node, sizeof(node), "/dev/bus/usb/001/%03u", devNum);
    Mirror mirror;
    mirror.devNode = node;
    mirror.sysPath = "/sys/devices/usb1/1-" + std::to_string(port);
    mirror.device = device;
    std::vector<uint8_t> descriptors = device->DeviceDescriptor();
    if (auto config = device->ConfigurationDescriptor(0)) {
      descriptors.insert(descriptors.end(), config->begin(), config->end());
    }
    const char* speed = spec.deviceSpeed >= 3 ? "480" : (spec.deviceSpeed == 2 ? "12" : "1.5");
    char text[256];
    std::snprintf(text, sizeof(text),
                  "P: /devices/usb1/1-%u\nN: bus/usb/001/%03u\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n"
                  "E: DRIVER=usb\nE: BUSNUM=001\nE: DEVNUM=%03u\nE: DEVNAME=%s\n",
                  port, devNum, devNum, node);
    std::string record = text;
    record += "A: busnum=1\\n\nA: devnum=" + std::to_string(devNum) + "\\n\nA: speed=" + speed +
              "\\n\nA: bConfigurationValue=1\\n\nH: descriptors=" + Hex(descriptors) + "\n";
    byNode[mirror.devNode] = entry.deviceId;
    mirrors[entry.deviceId] = mirror;
    lock.unlock();
    GError* error = nullptr;
    umockdev_testbed_attach_ioctl(testbed, node, handler, &error);
    if (error != nullptr) {
      std::fprintf(stderr, "umockdev_testbed_attach_ioctl(%s): %s\n", node, error->message);
      g_clear_error(&error);
    }
    if (umockdev_testbed_add_from_string(testbed, record.c_str(), &error) == FALSE) {
      std::fprintf(stderr, "umockdev_testbed_add_from_string: %s\n", error != nullptr ? error->message : "?");
      g_clear_error(&error);
    }
  }

  void Remove(uint64_t deviceId) {
    std::unique_lock<std::mutex> lock(mutex);
    const auto it = mirrors.find(deviceId);
    if (it == mirrors.end()) {
      return;
    }
    const Mirror mirror = it->second;
    mirrors.erase(it);
    byNode.erase(mirror.devNode);
    lock.unlock();
    umockdev_testbed_uevent(testbed, mirror.sysPath.c_str(), "remove");
    umockdev_testbed_remove_device(testbed, mirror.sysPath.c_str());
    umockdev_testbed_detach_ioctl(testbed, mirror.devNode.c_str(), nullptr);
  }

  static int StatusOf(sim::SimTransferStatus status) {
    switch (status) {
      case sim::SimTransferStatus::Success:
        return 0;
      case sim::SimTransferStatus::Stall:
        return -EPIPE;
      case sim::SimTransferStatus::Cancelled:
        return -ENOENT;
      case sim::SimTransferStatus::Babble:
        return -EOVERFLOW;
      default:
        return -ENODEV;
    }
  }

  gboolean SubmitUrb(UMockdevIoctlClient* client, UMockdevIoctlData* arg, const std::string& node) {
    // The argument points to the URB, which points to its buffer.
    UMockdevIoctlData* urbData = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
    if (urbData == nullptr) {
      return FALSE;
    }
    auto* urb = reinterpret_cast<usbdevfs_urb*>(urbData->data);
    if (urb->type != USBDEVFS_URB_TYPE_CONTROL || urb->buffer_length < 8) {
      umockdev_ioctl_client_complete(client, -1, EINVAL);
      return TRUE;
    }
    UMockdevIoctlData* buffer =
        umockdev_ioctl_data_resolve(urbData, G_STRUCT_OFFSET(usbdevfs_urb, buffer), urb->buffer_length, nullptr);
    sim::SimDevicePtr device = DeviceOf(node);
    if (buffer == nullptr || !device) {
      umockdev_ioctl_client_complete(client, -1, ENODEV);
      return TRUE;
    }
    const uint8_t* bytes = buffer->data;
    sim::SimSetupPacket setup;
    setup.bmRequestType = bytes[0];
    setup.bRequest = bytes[1];
    setup.wValue = static_cast<uint16_t>(bytes[2] | (bytes[3] << 8));
    setup.wIndex = static_cast<uint16_t>(bytes[4] | (bytes[5] << 8));
    setup.wLength = static_cast<uint16_t>(bytes[6] | (bytes[7] << 8));
    std::vector<uint8_t> out;
    if (!setup.IsDeviceToHost()) {
      out.assign(bytes + 8, bytes + 8 + std::min<int>(setup.wLength, urb->buffer_length - 8));
    }
    auto held = std::make_shared<Urb>();
    held->devNode = node;
    held->urbData = umockdev_ioctl_data_ref(urbData);
    held->bufferData = umockdev_ioctl_data_ref(buffer);
    held->device = device;
    {
      std::lock_guard<std::mutex> lock(mutex);
      urbs.push_back(held);
    }
    held->request = device->Submit(setup, out);
    std::weak_ptr<Urb> weak = held;
    held->request->AddCompletionCallback([this, weak] {
      std::shared_ptr<Urb> done = weak.lock();
      if (!done) {
        return;
      }
      std::lock_guard<std::mutex> lock(mutex);
      done->finished = true;
      done->status = StatusOf(done->request->Status());
      done->actual = done->request->TransferredLength();
    });
    umockdev_ioctl_client_complete(client, 0, 0);
    return TRUE;
  }

  gboolean ReapUrb(UMockdevIoctlClient* client, UMockdevIoctlData* arg, const std::string& node) {
    // The argument points to the caller's URB pointer, which receives the reaped URB.
    UMockdevIoctlData* slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), nullptr);
    if (slot == nullptr) {
      return FALSE;
    }
    std::shared_ptr<Urb> done;
    {
      std::lock_guard<std::mutex> lock(mutex);
      for (auto it = urbs.begin(); it != urbs.end(); ++it) {
        if ((*it)->devNode == node && (*it)->finished) {
          done = *it;
          urbs.erase(it);
          break;
        }
      }
    }
    if (!done) {
      umockdev_ioctl_client_complete(client, -1, EAGAIN);
      return TRUE;
    }
    auto* urb = reinterpret_cast<usbdevfs_urb*>(done->urbData->data);
    urb->status = done->status;
    urb->actual_length = done->status == 0 ? static_cast<int>(done->actual) : 0;
    const uint8_t* setup = done->bufferData->data;
    if (done->status == 0 && (setup[0] & 0x80) != 0 && done->actual > 0) {
      const std::vector<uint8_t> in = done->request->InData();
      const size_t count =
          std::min<size_t>({in.size(), done->actual, static_cast<size_t>(done->bufferData->data_len - 8)});
      std::memcpy(done->bufferData->data + 8, in.data(), count);
    }
    umockdev_ioctl_data_set_ptr(slot, 0, done->urbData);
    umockdev_ioctl_client_complete(client, 0, 0);
    umockdev_ioctl_data_unref(done->bufferData);
    umockdev_ioctl_data_unref(done->urbData);
    return TRUE;
  }

  gboolean DiscardUrb(UMockdevIoctlClient* client, UMockdevIoctlData* arg, const std::string& node) {
    // The argument is the URB's address in the caller.
    uint64_t address = 0;
    std::memcpy(&address, arg->data, std::min<size_t>(sizeof(address), static_cast<size_t>(arg->data_len)));
    std::shared_ptr<Urb> found;
    {
      std::lock_guard<std::mutex> lock(mutex);
      ++discards;
      for (const auto& urb : urbs) {
        if (urb->devNode == node && urb->urbData->client_addr == address && !urb->finished) {
          found = urb;
          break;
        }
      }
    }
    if (!found) {
      umockdev_ioctl_client_complete(client, -1, EINVAL);
      return TRUE;
    }
    found->device->Cancel(found->request);
    umockdev_ioctl_client_complete(client, 0, 0);
    return TRUE;
  }

  // SET_INTERFACE reaches the device as the standard request; the ioctl completes with it.
  gboolean SetInterface(UMockdevIoctlClient* client, UMockdevIoctlData* arg, const std::string& node) {
    UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_setinterface), nullptr);
    if (data == nullptr) {
      return FALSE;
    }
    const auto* set = reinterpret_cast<const usbdevfs_setinterface*>(data->data);
    sim::SimDevicePtr device = DeviceOf(node);
    if (!device) {
      umockdev_ioctl_client_complete(client, -1, ENODEV);
      return TRUE;
    }
    sim::SimSetupPacket setup;
    setup.bmRequestType = 0x01;
    setup.bRequest = 0x0B;
    setup.wValue = static_cast<uint16_t>(set->altsetting);
    setup.wIndex = static_cast<uint16_t>(set->interface);
    sim::SimControlRequestPtr request = device->Submit(setup, {});
    g_object_ref(client);
    request->AddCompletionCallback([client, request] {
      const int status = StatusOf(request->Status());
      umockdev_ioctl_client_complete(client, status == 0 ? 0 : -1, status == 0 ? 0 : -status);
      g_object_unref(client);
    });
    return TRUE;
  }

  gboolean Handle(UMockdevIoctlClient* client) {
    const std::string node = umockdev_ioctl_client_get_devnode(client);
    const gulong request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    switch (request) {
      case USBDEVFS_SUBMITURB:
        return SubmitUrb(client, arg, node);
      case USBDEVFS_REAPURBNDELAY:
      case USBDEVFS_REAPURB:
        return ReapUrb(client, arg, node);
      case USBDEVFS_DISCARDURB:
        return DiscardUrb(client, arg, node);
      case USBDEVFS_SETINTERFACE:
        return SetInterface(client, arg, node);
      case USBDEVFS_GET_CAPABILITIES: {
        UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, sizeof(uint32_t), nullptr);
        if (data == nullptr) {
          return FALSE;
        }
        const uint32_t caps = 0;
        std::memcpy(data->data, &caps, sizeof(caps));
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
      }
      case USBDEVFS_RESET: {
        // The hub resets the port: the device's model takes the reset (it usually leaves the
        // bus and joins again), and the mirror follows the bus.
        uint64_t deviceId = 0;
        {
          std::lock_guard<std::mutex> lock(mutex);
          ++resets;
          const auto it = byNode.find(node);
          deviceId = it != byNode.end() ? it->second : 0;
        }
        const bool reset = deviceId != 0 && sim::VirtualUsbBus::Instance().ResetDevice(deviceId);
        umockdev_ioctl_client_complete(client, reset ? 0 : -1, reset ? 0 : ENODEV);
        return TRUE;
      }
      case USBDEVFS_CLAIMINTERFACE:
      case USBDEVFS_DISCONNECT_CLAIM:
      case USBDEVFS_RELEASEINTERFACE:
      case USBDEVFS_CLEAR_HALT:
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
      case USBDEVFS_GETDRIVER:
      case USBDEVFS_IOCTL:
        umockdev_ioctl_client_complete(client, -1, ENODATA);
        return TRUE;
      default:
        return FALSE;
    }
  }

  static gboolean OnIoctl(UMockdevIoctlBase* /*base*/, UMockdevIoctlClient* client, gpointer self) {
    return static_cast<Impl*>(self)->Handle(client);
  }
};

UmockdevUsbBus::UmockdevUsbBus() : mImpl(new Impl()) {
  mImpl->testbed = umockdev_testbed_new();
  mImpl->handler = umockdev_ioctl_base_new();
  g_signal_connect(mImpl->handler, "handle-ioctl", reinterpret_cast<GCallback>(&Impl::OnIoctl), mImpl);
  Impl* impl = mImpl;
  sim::VirtualUsbBus::Instance().AddObserver([impl](const sim::SimBusEvent& event) {
    if (event.kind == sim::SimBusEventKind::Arrival) {
      impl->Add(event.entry);
    } else {
      impl->Remove(event.entry.deviceId);
    }
  });
}

UmockdevUsbBus& UmockdevUsbBus::Instance() {
  static UmockdevUsbBus* bus = new UmockdevUsbBus();
  return *bus;
}

void UmockdevUsbBus::WaitMirrored() { sim::VirtualUsbBus::Instance().WaitIdle(); }

std::string UmockdevUsbBus::DevNode(uint64_t deviceId) {
  std::lock_guard<std::mutex> lock(mImpl->mutex);
  const auto it = mImpl->mirrors.find(deviceId);
  return it != mImpl->mirrors.end() ? it->second.devNode : std::string();
}

size_t UmockdevUsbBus::UrbsInFlight() {
  std::lock_guard<std::mutex> lock(mImpl->mutex);
  return mImpl->urbs.size();
}

size_t UmockdevUsbBus::DiscardCount() {
  std::lock_guard<std::mutex> lock(mImpl->mutex);
  return mImpl->discards;
}

size_t UmockdevUsbBus::ResetCount() {
  std::lock_guard<std::mutex> lock(mImpl->mutex);
  return mImpl->resets;
}

}  // namespace fbtest
