#include <libusb.h>

#include <cstdio>
#include <set>

#include "diag/QXLog.h"
#include "discovery/QXWinSetupApiLibusb.h"
#include "os/QXImmortal.h"
#include "usb/QXLibusbContext.h"

namespace plendrik {

namespace {

constexpr uint8_t kDfuInterfaceClass = 0xFE;
constexpr uint8_t kDfuInterfaceSubClass = 0x01;
constexpr unsigned int kDescriptorTimeoutMs = 1000;

// GET_DESCRIPTOR(STRING) bounded by the library's descriptor time-out.
int GetStringDescriptor(libusb_device_handle* handle, uint8_t index, uint16_t langId, unsigned char* buffer,
                        uint16_t length) {
  return libusb_control_transfer(handle, LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR,
                                 static_cast<uint16_t>((LIBUSB_DT_STRING << 8) | index), langId, buffer, length,
                                 kDescriptorTimeoutMs);
}

std::string PortPath(libusb_device* device) {
  uint8_t ports[8];
  const int count = libusb_get_port_numbers(device, ports, sizeof(ports));
  char path[64];
  int used = std::snprintf(path, sizeof(path), "%u", static_cast<unsigned>(libusb_get_bus_number(device)));
  if (count <= 0) {
    // A root hub: no ports; its address names it.
    std::snprintf(path + used, sizeof(path) - used, "-0.%u", static_cast<unsigned>(libusb_get_device_address(device)));
    return path;
  }
  for (int i = 0; i < count && used < static_cast<int>(sizeof(path)); ++i) {
    used +=
        std::snprintf(path + used, sizeof(path) - used, "%c%u", i == 0 ? '-' : '.', static_cast<unsigned>(ports[i]));
  }
  return path;
}

// The serial number string, read from the device (UTF-16 as it sends it); empty when it
// has none or it cannot be opened (no permission: the port path then names it).
QXWString ReadSerialNumber(libusb_device* device, uint8_t index) {
  QXWString serial;
  if (index == 0) {
    return serial;
  }
  libusb_device_handle* handle = nullptr;
  if (libusb_open(device, &handle) != LIBUSB_SUCCESS) {
    return serial;
  }
  unsigned char buffer[255];
  int rc = GetStringDescriptor(handle, 0, 0, buffer, sizeof(buffer));
  if (rc >= 4 && buffer[1] == LIBUSB_DT_STRING) {
    const uint16_t langId = static_cast<uint16_t>(buffer[2] | (buffer[3] << 8));
    rc = GetStringDescriptor(handle, index, langId, buffer, sizeof(buffer));
    if (rc >= 2 && buffer[1] == LIBUSB_DT_STRING) {
      const int length = std::min<int>(rc, buffer[0]);
      for (int i = 2; i + 1 < length; i += 2) {
        serial.push_back(static_cast<QXWChar>(buffer[i] | (buffer[i + 1] << 8)));
      }
    }
  }
  libusb_close(handle);
  return serial;
}

QXUsbNodeSource DescribeDevice(libusb_device* device) {
  QXUsbNodeSource source;
  libusb_device_descriptor descriptor{};
  if (libusb_get_device_descriptor(device, &descriptor) != LIBUSB_SUCCESS) {
    return source;
  }
  source.vendorId = descriptor.idVendor;
  source.productId = descriptor.idProduct;
  source.bcdDevice = descriptor.bcdDevice;
  source.portPath = PortPath(device);
  libusb_config_descriptor* config = nullptr;
  if (libusb_get_active_config_descriptor(device, &config) != LIBUSB_SUCCESS &&
      libusb_get_config_descriptor(device, 0, &config) != LIBUSB_SUCCESS) {
    return source;
  }
  source.composite = config->bNumInterfaces > 1;
  for (int i = 0; i < config->bNumInterfaces; ++i) {
    const libusb_interface& iface = config->interface[i];
    for (int a = 0; a < iface.num_altsetting; ++a) {
      const libusb_interface_descriptor& alt = iface.altsetting[a];
      if (alt.bInterfaceClass == kDfuInterfaceClass && alt.bInterfaceSubClass == kDfuInterfaceSubClass) {
        source.dfuInterfaces.push_back(alt.bInterfaceNumber);
        break;
      }
    }
  }
  libusb_free_config_descriptor(config);
  if (!source.dfuInterfaces.empty()) {
    source.serialNumber = ReadSerialNumber(device, descriptor.iSerialNumber);
  }
  return source;
}

}  // namespace

QXWinSetupApiLibusb::QXWinSetupApiLibusb() {
  // The devices described so far are released before the libusb context ends.
  QXLibusbContext::Instance().SetReleaseHook([this] {
    std::map<libusb_device*, QXUsbNodeSource> known;
    {
      std::lock_guard<std::mutex> lock(mMutex);
      known.swap(mKnown);
    }
    for (auto& [device, source] : known) {
      libusb_unref_device(device);
    }
  });
}

QXWinSetupApiLibusb& QXWinSetupApiLibusb::Instance() { return QXImmortal<QXWinSetupApiLibusb>(); }

void QXWinSetupApiLibusb::SetInterfaceClassGuid(const QXGuid& guid) {
  std::lock_guard<std::mutex> lock(mMutex);
  mGuid = guid;
}

QXGuid QXWinSetupApiLibusb::ClassGuid() {
  std::lock_guard<std::mutex> lock(mMutex);
  return mGuid;
}

QXUsbNodeSource QXWinSetupApiLibusb::SourceOf(libusb_device* device) {
  {
    std::lock_guard<std::mutex> lock(mMutex);
    const auto it = mKnown.find(device);
    if (it != mKnown.end()) {
      return it->second;
    }
  }
  // Described outside the lock: reading the serial number is I/O.
  QXUsbNodeSource source = DescribeDevice(device);
  std::lock_guard<std::mutex> lock(mMutex);
  const auto [it, inserted] = mKnown.emplace(device, std::move(source));
  if (inserted) {
    libusb_ref_device(device);
  }
  return it->second;
}

std::vector<QXUsbNode> QXWinSetupApiLibusb::RegisteredNodes(libusb_device* device, const QXGuid& guid) {
  std::vector<QXUsbNode> nodes = QXBuildUsbNodes(SourceOf(device), guid);
  for (const QXUsbNode& node : nodes) {
    QXLibusbContext::Instance().RegisterPath(node.node.interfacePath, device, node.interfaceNumber);
  }
  return nodes;
}

std::vector<QXListedDeviceNode> QXWinSetupApiLibusb::ListNodes(const QXGuid& interfaceClassGuid) {
  std::vector<QXListedDeviceNode> listed;
  const QXGuid configured = ClassGuid();
  if (!QXIsNullGuid(configured) && !QXGuidEqual(configured, interfaceClassGuid)) {
    return listed;
  }
  QXLibusbContext& usb = QXLibusbContext::Instance();
  libusb_context* context = usb.Context();
  if (context == nullptr) {
    return listed;
  }
  libusb_device** devices = nullptr;
  const ssize_t count = libusb_get_device_list(context, &devices);
  if (count < 0) {
    QX_LOG_ERROR("libusb_get_device_list() failed, err={}", libusb_error_name(static_cast<int>(count)));
    return listed;
  }
  std::set<libusb_device*> present;
  for (ssize_t i = 0; i < count; ++i) {
    libusb_device* device = devices[i];
    present.insert(device);
    if (usb.IsGone(device)) {
      continue;
    }
    for (QXUsbNode& node : RegisteredNodes(device, interfaceClassGuid)) {
      listed.push_back(std::move(node.node));
    }
  }
  // Devices that have left are forgotten with their paths.
  std::vector<libusb_device*> left;
  {
    std::lock_guard<std::mutex> lock(mMutex);
    for (auto it = mKnown.begin(); it != mKnown.end();) {
      if (present.count(it->first) == 0) {
        left.push_back(it->first);
        it = mKnown.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (libusb_device* device : left) {
    usb.ForgetDevice(device);
    libusb_unref_device(device);
  }
  libusb_free_device_list(devices, 1);
  return listed;
}

uint64_t QXWinSetupApiLibusb::AddObserver(const QXGuid& interfaceClassGuid, QXDeviceInterfaceObserver observer) {
  QXLibusbContext& usb = QXLibusbContext::Instance();
  if (usb.Context() == nullptr) {
    return 0;
  }
  // Runs on the hotplug thread, never on libusb's event thread: reading the serial number
  // of an arriving device is allowed here.
  return usb.AddHotplugObserver(
      [this, interfaceClassGuid, observer = std::move(observer)](QXLibusbHotplugKind kind, libusb_device* device) {
        std::vector<QXUsbNode> nodes;
        if (kind == QXLibusbHotplugKind::Arrived) {
          nodes = RegisteredNodes(device, interfaceClassGuid);
        } else {
          std::lock_guard<std::mutex> lock(mMutex);
          const auto it = mKnown.find(device);
          if (it != mKnown.end()) {
            nodes = QXBuildUsbNodes(it->second, interfaceClassGuid);
          }
        }
        for (const QXUsbNode& node : nodes) {
          QXDeviceInterfaceEvent event;
          event.arrival = kind == QXLibusbHotplugKind::Arrived;
          event.interfaceClassGuid = interfaceClassGuid;
          event.interfacePath = node.node.interfacePath;
          observer(event);
        }
      });
}

void QXWinSetupApiLibusb::RemoveObserver(uint64_t id) {
  if (id != 0) {
    QXLibusbContext::Instance().RemoveHotplugObserver(id);
  }
}

}  // namespace plendrik
