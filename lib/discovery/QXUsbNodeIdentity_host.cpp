#include <cstdio>

#include "discovery/QXUsbNodeIdentity.h"
#include "discovery/QXWinGuid.h"
#include "os/QXOsString.h"

namespace plendrik {

namespace {

QXWString Format(const char* format, unsigned a, unsigned b, unsigned c = 0, unsigned d = 0) {
  char buffer[96];
  std::snprintf(buffer, sizeof(buffer), format, a, b, c, d);
  return QXWidenBytes(buffer);
}

QXWString LowerAscii(QXWString text) {
  for (QXWChar& c : text) {
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<QXWChar>(c - 'A' + 'a');
    }
  }
  return text;
}

// An instance id part holds no backslash, and Windows keeps it to printable ASCII.
QXWString InstancePart(const QXWString& text) {
  QXWString out;
  for (QXWChar c : text) {
    out.push_back(c > 0x20 && c < 0x7F && c != '\\' && c != '#' ? c : QXWChar('_'));
  }
  return out;
}

QXWString InterfacePath(const QXWString& instanceId, const QXGuid& guid) {
  QXWString path = instanceId;
  for (QXWChar& c : path) {
    if (c == '\\') {
      c = '#';
    }
  }
  return QXW("\\\\?\\") + LowerAscii(path) + QXW("#") + LowerAscii(QXWinGuid::StringFromGuid(guid));
}

uint64_t Fnv1a(const std::string& text, uint64_t seed) {
  uint64_t hash = seed;
  for (unsigned char c : text) {
    hash ^= c;
    hash *= 0x100000001b3ull;
  }
  return hash;
}

}  // namespace

QXGuid QXNameBasedGuid(const std::string& name) {
  const uint64_t high = Fnv1a(name, 0xcbf29ce484222325ull);
  const uint64_t low = Fnv1a(name, high ^ 0x9e3779b97f4a7c15ull);
  QXGuid guid{};
  guid.Data1 = static_cast<uint32_t>(high >> 32);
  guid.Data2 = static_cast<uint16_t>(high >> 16);
  guid.Data3 = static_cast<uint16_t>((high & 0x0FFF) | 0x5000);  // version 5: name-based
  for (int i = 0; i < 8; ++i) {
    guid.Data4[i] = static_cast<uint8_t>(low >> (56 - 8 * i));
  }
  guid.Data4[0] = static_cast<uint8_t>((guid.Data4[0] & 0x3F) | 0x80);  // RFC 4122 variant
  return guid;
}

std::vector<QXUsbNode> QXBuildUsbNodes(const QXUsbNodeSource& source, const QXGuid& interfaceClassGuid) {
  std::vector<QXUsbNode> nodes;
  if (source.dfuInterfaces.empty()) {
    return nodes;
  }
  const unsigned vid = source.vendorId;
  const unsigned pid = source.productId;
  const unsigned rev = source.bcdDevice;
  // Windows takes the serial number when the device has one, else a location of its own.
  const QXWString suffix =
      !source.serialNumber.empty() ? InstancePart(source.serialNumber) : QXWidenBytes(source.portPath);
  char vendor[16];
  std::snprintf(vendor, sizeof(vendor), "%04X", vid);
  const QXGuid container = QXNameBasedGuid(!source.serialNumber.empty() ? "USB\\VID_" + std::string(vendor) + "\\" +
                                                                              QXUtf16ToUtf8(source.serialNumber)
                                                                        : "USB\\PORT\\" + source.portPath);
  if (!source.composite) {
    QXUsbNode entry;
    entry.node.hardwareIds.push_back(Format("USB\\VID_%04X&PID_%04X&REV_%04X", vid, pid, rev));
    entry.node.hardwareIds.push_back(Format("USB\\VID_%04X&PID_%04X", vid, pid));
    entry.node.instanceId = Format("USB\\VID_%04X&PID_%04X\\", vid, pid) + suffix;
    entry.node.containerId = container;
    entry.node.interfaceClassGuid = interfaceClassGuid;
    entry.node.interfacePath = InterfacePath(entry.node.instanceId, interfaceClassGuid);
    entry.interfaceNumber = source.dfuInterfaces.front();
    nodes.push_back(std::move(entry));
    return nodes;
  }
  for (uint8_t mi : source.dfuInterfaces) {
    QXUsbNode entry;
    entry.node.hardwareIds.push_back(Format("USB\\VID_%04X&PID_%04X&REV_%04X&MI_%02X", vid, pid, rev, mi));
    entry.node.hardwareIds.push_back(Format("USB\\VID_%04X&PID_%04X&MI_%02X", vid, pid, mi));
    // A function is a child of the composite parent: the parent's part and the function.
    entry.node.instanceId = Format("USB\\VID_%04X&PID_%04X&MI_%02X\\", vid, pid, mi) + suffix + Format("&%04X", mi, 0);
    entry.node.containerId = container;
    entry.node.interfaceClassGuid = interfaceClassGuid;
    entry.node.interfacePath = InterfacePath(entry.node.instanceId, interfaceClassGuid);
    entry.interfaceNumber = mi;
    nodes.push_back(std::move(entry));
  }
  return nodes;
}

}  // namespace plendrik
