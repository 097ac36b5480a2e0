// The Windows-style identities of a simulated device: hardware identifiers, instance
// identifier and device interface path of each listed node.
#include <cstdio>

#include "sim/VirtualUsbBus.h"

namespace plendrik::sim {

namespace {

QXWString Format(const char* format, unsigned a, unsigned b, unsigned c = 0, unsigned d = 0) {
  char buffer[96];
  std::snprintf(buffer, sizeof(buffer), format, a, b, c, d);
  return SimWiden(buffer);
}

QXWString ToLowerAscii(QXWString text) {
  for (QXWChar& c : text) {
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<QXWChar>(c - 'A' + 'a');
    }
  }
  return text;
}

QXWString InterfacePath(const QXWString& instanceId, const SimGuid& guid) {
  QXWString path = instanceId;
  for (QXWChar& c : path) {
    if (c == '\\') {
      c = '#';
    }
  }
  return QXW("\\\\?\\") + ToLowerAscii(path) + QXW("#") + ToLowerAscii(guid.ToWString());
}

// The third part of the instance identifier of a whole device: the serial number when the
// device has one, else a generated location-based identifier as Windows makes up.
QXWString InstanceSuffix(uint64_t deviceId, const SimDeviceSpec& spec) {
  if (!spec.identity.instanceSuffix.empty()) {
    return spec.identity.instanceSuffix;
  }
  if (spec.iSerialNumber != 0) {
    const auto serial = spec.strings.find(spec.iSerialNumber);
    if (serial != spec.strings.end() && !serial->second.empty()) {
      return serial->second;
    }
  }
  return Format("5&%08X&0&%u", static_cast<unsigned>(0x2C1D0000u + deviceId), static_cast<unsigned>(deviceId % 10 + 1));
}

}  // namespace

std::vector<SimDeviceListEntry> BuildSimDeviceListEntries(uint64_t deviceId, const SimDeviceSpec& spec) {
  const SimIdentitySpec& identity = spec.identity;
  const unsigned vid = spec.vendorId;
  const unsigned pid = spec.productId;
  const unsigned rev = spec.bcdDevice;
  std::vector<SimDeviceListEntry> entries;

  if (!identity.composite) {
    SimDeviceListEntry entry;
    entry.deviceId = deviceId;
    if (!identity.hardwareIds.empty()) {
      entry.hardwareIds = identity.hardwareIds;
    } else {
      if (identity.revisionInHardwareId) {
        entry.hardwareIds.push_back(Format("USB\\VID_%04X&PID_%04X&REV_%04X", vid, pid, rev));
      }
      entry.hardwareIds.push_back(Format("USB\\VID_%04X&PID_%04X", vid, pid));
    }
    entry.instanceId = Format("USB\\VID_%04X&PID_%04X\\", vid, pid) + InstanceSuffix(deviceId, spec);
    entry.containerId = identity.containerId;
    entry.interfaceClassGuid = identity.interfaceClassGuid;
    entry.interfacePath = InterfacePath(entry.instanceId, identity.interfaceClassGuid);
    entries.push_back(std::move(entry));
    return entries;
  }

  std::vector<uint8_t> functions = identity.compositeInterfaces;
  if (functions.empty() && !spec.configurations.empty()) {
    for (const SimInterfaceSpec& interface : spec.configurations.front().interfaces) {
      functions.push_back(interface.interfaceNumber);
    }
  }
  for (uint8_t mi : functions) {
    SimDeviceListEntry entry;
    entry.deviceId = deviceId;
    if (identity.revisionInHardwareId) {
      entry.hardwareIds.push_back(Format("USB\\VID_%04X&PID_%04X&REV_%04X&MI_%02X", vid, pid, rev, mi));
    }
    entry.hardwareIds.push_back(Format("USB\\VID_%04X&PID_%04X&MI_%02X", vid, pid, mi));
    // Functions of a composite device are children of the composite parent: generated suffix.
    const auto named = identity.functionInstanceSuffixes.find(mi);
    entry.instanceId = Format("USB\\VID_%04X&PID_%04X&MI_%02X\\", vid, pid, mi) +
                       (named != identity.functionInstanceSuffixes.end()
                            ? named->second
                            : Format("6&%08X&0&%04X", static_cast<unsigned>(0x1A2B0000u + deviceId), mi));
    entry.containerId = identity.containerId;
    entry.interfaceClassGuid = identity.interfaceClassGuid;
    entry.interfacePath = InterfacePath(entry.instanceId, identity.interfaceClassGuid);
    entry.interfaceNumber = mi;
    entries.push_back(std::move(entry));
  }
  return entries;
}

}  // namespace plendrik::sim
