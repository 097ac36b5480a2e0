// The device filter language: any text, under any set of allowed and required keys. A refused
// text leaves the filter empty, an accepted one holds values in range and reads back to the
// same entries when it is written out again, and the match rules take any device and path.
#include <cstdint>
#include <string>

#include "discovery/QXUsbDeviceFilterDescription.h"
#include "discovery/QXUsbDeviceFilterDfu.h"
#include "fuzz/FuzzSupport.h"
#include "os/QXOsString.h"

namespace {

using namespace plendrik;

std::string Describe(const QXUsbDeviceFilterEntry& e) {
  const std::pair<const char*, int32_t> fields[] = {
      {"VID", e.vendorId},          {"PID", e.productId},          {"MIN_BCDDEVICE", e.minBcdDevice},
      {"MAX_BCDDEVICE", e.maxBcdDevice}, {"IF_NUMBER", e.interfaceNumber}, {"IF_CLASS", e.interfaceClass},
      {"IF_SUBCLASS", e.interfaceSubClass}, {"IF_PROT", e.interfaceProtocol}};
  std::string line;
  for (const auto& [key, value] : fields) {
    if (value != -1) {
      line += std::string(key) + "=" + std::to_string(value) + ",";
    }
  }
  return line;
}

bool InRange(const QXUsbDeviceFilterEntry& e) {
  const int32_t wide[] = {e.vendorId, e.productId, e.minBcdDevice, e.maxBcdDevice};
  const int32_t narrow[] = {e.interfaceNumber, e.interfaceClass, e.interfaceSubClass, e.interfaceProtocol};
  for (int32_t v : wide) {
    if (v < -1 || v > 0xFFFF) return false;
  }
  for (int32_t v : narrow) {
    if (v < -1 || v > 0xFF) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  plendrik::fuzz::SilenceLogs();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) {
    return 0;
  }
  // Two bytes of key masks, then the text (cut at its first NUL, as a caller's C string is).
  const uint32_t allowed = (data[0] | (data[1] & 0x01u) << 8) & kQXFilterKeyAll;
  const uint32_t required = (data[1] >> 1) & kQXFilterKeyAll;
  const std::string text(reinterpret_cast<const char*>(data + 2), size - 2);
  const char* cText = text.c_str();

  const QXUsbDeviceFilterDescription parser(allowed, required);
  QXUsbDeviceFilter filter;
  filter.kind = (data[1] & 0x80) != 0 ? kQXUsbDeviceFilterKindInterface : kQXUsbDeviceFilterKindDevice;
  const QXSTATUS st = parser.ParseFilterDescription(filter, cText);
  FB_FUZZ_CHECK(st == QXSTATUS_SUCCESS || st == QXSTATUS_INVALID_FORMAT || st == QXSTATUS_DUPLICATE ||
                st == QXSTATUS_OUT_OF_RANGE);
  if (st != QXSTATUS_SUCCESS) {
    FB_FUZZ_CHECK(filter.entries.empty() && filter.interfaceGuid.empty());
  } else {
    std::string described;
    for (const QXUsbDeviceFilterEntry& e : filter.entries) {
      FB_FUZZ_CHECK(InRange(e));
      described += Describe(e) + "\n";
    }
    QXUsbDeviceFilter again;
    const QXUsbDeviceFilterDescription all(kQXFilterKeyAll, 0);
    FB_FUZZ_CHECK(all.ParseFilterDescription(again, described.c_str()) == QXSTATUS_SUCCESS);
    FB_FUZZ_CHECK(again.entries.size() == filter.entries.size());
    for (size_t i = 0; i < filter.entries.size(); ++i) {
      FB_FUZZ_CHECK(Describe(again.entries[i]) == Describe(filter.entries[i]));
    }
    // The match rules on identifiers and a device interface path taken from the text itself.
    QXUsbDeviceIdentifiers device;
    device.vendorId = 0x1209;
    device.productId = static_cast<int32_t>(size & 0xFFFF);
    device.bcdDevice = data[0] == 0xFF ? -1 : data[0];
    device.interfaceNumber = data[1];
    (void)filter.MatchDevice(device);
    (void)filter.MatchDeviceInterfacePath(QXWidenBytes(text));
  }

  QXUsbDeviceFilter dfu;
  const QXSTATUS dfuSt = CreateDfuDeviceFilter(dfu, cText, "{A5DCBF10-6530-11D2-901F-00C04FB951ED}");
  FB_FUZZ_CHECK(dfuSt != QXSTATUS_SUCCESS || !dfu.entries.empty());
  if (dfuSt == QXSTATUS_SUCCESS) {
    for (const QXUsbDeviceFilterEntry& e : dfu.entries) {
      FB_FUZZ_CHECK(InRange(e) && e.vendorId != -1 && e.productId != -1 && e.interfaceNumber == -1);
    }
  }
  return 0;
}
