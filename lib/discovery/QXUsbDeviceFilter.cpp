#include "discovery/QXUsbDeviceFilter.h"

#include <string>

#include "diag/QXFormatter.h"

namespace plendrik {

namespace {

bool EntryAcceptsDevice(const QXUsbDeviceFilterEntry& e, const QXUsbDeviceIdentifiers& d, uint32_t kind) {
  if (e.vendorId != -1 && e.vendorId != d.vendorId) {
    return false;
  }
  if (e.productId != -1 && e.productId != d.productId) {
    return false;
  }
  // Signed comparison: an unknown bcdDevice (-1) is below every given minimum.
  if (e.minBcdDevice != -1 && e.minBcdDevice > d.bcdDevice) {
    return false;
  }
  if (e.maxBcdDevice != -1 && (d.bcdDevice == -1 || d.bcdDevice > e.maxBcdDevice)) {
    return false;
  }
  if (kind == kQXUsbDeviceFilterKindInterface) {
    if ((e.interfaceNumber != -1 && e.interfaceNumber != d.interfaceNumber) ||
        (e.interfaceClass != -1 && e.interfaceClass != d.interfaceClass) ||
        (e.interfaceSubClass != -1 && e.interfaceSubClass != d.interfaceSubClass) ||
        (e.interfaceProtocol != -1 && e.interfaceProtocol != d.interfaceProtocol)) {
      return false;
    }
  }
  return true;
}

uint32_t FoldAscii(uint32_t unit) { return (unit >= 'a' && unit <= 'z') ? unit - ('a' - 'A') : unit; }

// Case-insensitive (letters a to z) search of an ASCII pattern in a UTF-16 text.
bool ContainsIgnoringCase(QXWStringView text, const std::string& pattern) {
  if (pattern.size() > text.size()) {
    return false;
  }
  for (size_t start = 0; start + pattern.size() <= text.size(); ++start) {
    size_t i = 0;
    while (i < pattern.size() && FoldAscii(static_cast<uint32_t>(text[start + i])) ==
                                     FoldAscii(static_cast<uint32_t>(static_cast<unsigned char>(pattern[i])))) {
      ++i;
    }
    if (i == pattern.size()) {
      return true;
    }
  }
  return false;
}

std::string BuildPathPattern(const QXUsbDeviceFilterEntry& e) {
  char buffer[64];
  std::string pattern;
  if (e.vendorId != -1) {
    QXFormat(buffer, sizeof(buffer), "VID_{:04X}", e.vendorId);
    pattern += buffer;
  }
  if (e.productId != -1) {
    QXFormat(buffer, sizeof(buffer), "&PID_{:04X}", e.productId);
    pattern += buffer;
  }
  if (e.interfaceNumber != -1) {
    QXFormat(buffer, sizeof(buffer), "&MI_{:02X}", e.interfaceNumber);
    pattern += buffer;
  }
  return pattern;
}

}  // namespace

void QXUsbDeviceFilter::Reset() {
  entries.clear();
  applyFilter = true;
  interfaceGuid.clear();
}

bool QXUsbDeviceFilter::MatchDevice(const QXUsbDeviceIdentifiers& device) const {
  if (!applyFilter) {
    return true;
  }
  for (const QXUsbDeviceFilterEntry& entry : entries) {
    if (EntryAcceptsDevice(entry, device, kind)) {
      return true;
    }
  }
  return false;
}

bool QXUsbDeviceFilter::MatchDeviceInterfacePath(QXWStringView path) const {
  for (const QXUsbDeviceFilterEntry& entry : entries) {
    const std::string pattern = BuildPathPattern(entry);
    if (pattern.empty() || ContainsIgnoringCase(path, pattern)) {
      return true;
    }
  }
  return false;
}

}  // namespace plendrik
