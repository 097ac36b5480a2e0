// The SetupAPI seam answered from the virtual USB bus: a device information set is a
// snapshot of the bus's listed nodes of one interface class. The host library's backend
// binding serves it when the configuration names simulated devices; the windows unit tests
// put it behind the seam. Header-only so that the windows library itself never contains the bus.
#pragma once

#include <cstddef>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "discovery/QXWinSetupApiSnapshot.h"
#include "sim/VirtualUsbBus.h"

namespace plendrik {

class QXWinSetupApiVirtualBus final : public QXWinSetupApiSnapshot {
 public:
  static QXGuid ToGuid(const sim::SimGuid& g) {
    QXGuid out{};
    out.Data1 = g.data1;
    out.Data2 = g.data2;
    out.Data3 = g.data3;
    std::memcpy(out.Data4, g.data4, 8);
    return out;
  }
  static sim::SimGuid ToSimGuid(const QXGuid& g) {
    sim::SimGuid out;
    out.data1 = g.Data1;
    out.data2 = g.Data2;
    out.data3 = g.Data3;
    std::memcpy(out.data4, g.Data4, 8);
    return out;
  }

  std::vector<QXListedDeviceNode> ListNodes(const QXGuid& guid) override {
    std::vector<QXListedDeviceNode> nodes;
    for (const sim::SimDeviceListEntry& entry : sim::VirtualUsbBus::Instance().ListDevices(ToSimGuid(guid))) {
      QXListedDeviceNode node;
      node.hardwareIds = entry.hardwareIds;
      node.instanceId = entry.instanceId;
      if (entry.containerId.has_value()) {
        node.containerId = ToGuid(*entry.containerId);
      }
      node.interfaceClassGuid = ToGuid(entry.interfaceClassGuid);
      node.interfacePath = entry.interfacePath;
      nodes.push_back(std::move(node));
    }
    return nodes;
  }
};

}  // namespace plendrik
