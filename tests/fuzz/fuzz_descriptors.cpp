// The configuration descriptor walker and the string descriptor conversions over any bytes a
// device may answer. Every descriptor the walker returns lies whole within the bytes and is as
// long as its type demands; the conversions write only within the caller's capacity.
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "usb/QXUsbConfigDescriptor.h"
#include "usb/QXUsbStringDescriptor.h"

namespace {

using namespace plendrik;

void CheckWithin(const uint8_t* begin, const uint8_t* end, const uint8_t* d, uint32_t least) {
  FB_FUZZ_CHECK(d >= begin && d < end);
  FB_FUZZ_CHECK(static_cast<size_t>(end - d) >= 2);
  FB_FUZZ_CHECK(d[0] >= 2 && d[0] <= static_cast<size_t>(end - d));
  FB_FUZZ_CHECK(d[0] >= least);
}

void Walk(const uint8_t* begin, const uint8_t* end) {
  const size_t size = static_cast<size_t>(end - begin);
  // Every type the engine looks for: interfaces, endpoints, DFU functional descriptors, IADs.
  for (uint8_t type : {uint8_t{4}, uint8_t{5}, uint8_t{0x21}, uint8_t{11}}) {
    for (uint32_t least : {0u, 9u}) {
      QXUsbConfigDescriptor view(begin, end);
      size_t found = 0;
      for (const uint8_t* d = view.FindNextDescriptor(nullptr, type, least); d != nullptr;
           d = view.FindNextDescriptor(d, type, least)) {
        CheckWithin(begin, end, d, least != 0 ? least : QXUsbConfigDescriptor::LeastLengthOfType(type));
        FB_FUZZ_CHECK(d[1] == type);
        FB_FUZZ_CHECK(++found <= size / 2);
      }
    }
  }
  QXUsbConfigDescriptor view(begin, end);
  size_t interfaces = 0;
  for (const QXUsbInterfaceDescriptor* i = view.FindNextInterfaceDescriptor(nullptr); i != nullptr;
       i = view.FindNextInterfaceDescriptor(i)) {
    CheckWithin(begin, end, reinterpret_cast<const uint8_t*>(i), 9);
    FB_FUZZ_CHECK(++interfaces <= size / 9);
  }
  for (int number : {-1, 0, 1, 255}) {
    const QXUsbInterfaceDescriptor* i = view.FindInterfaceDescriptor(number);
    if (i != nullptr) {
      CheckWithin(begin, end, reinterpret_cast<const uint8_t*>(i), 9);
      FB_FUZZ_CHECK(number < 0 || i->bInterfaceNumber == number);
    }
  }
}

void Strings(const uint8_t* raw, uint32_t rawLength, uint32_t capacity) {
  std::unique_ptr<QXWChar[]> text(new QXWChar[capacity == 0 ? 1 : capacity]);
  const QXSTATUS st = QXConvertUsbStringDescToString(raw, rawLength, capacity == 0 ? nullptr : text.get(), capacity);
  if (st == QXSTATUS_SUCCESS) {
    const uint32_t units = (raw[0] - 2u) / 2u;
    FB_FUZZ_CHECK(units < capacity && text[units] == 0);
  }
  std::vector<uint16_t> langIds{0xAAAA};
  if (QXConvertUsbStringDescToLangIdList(raw, rawLength, langIds) == QXSTATUS_SUCCESS) {
    FB_FUZZ_CHECK(rawLength >= 4 && langIds.size() == 1 + (rawLength - 2) / 2 && langIds[0] == 0xAAAA);
  } else {
    FB_FUZZ_CHECK(langIds.size() == 1);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  plendrik::fuzz::SilenceLogs();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) {
    return 0;
  }
  // The first byte is the string capacity, the rest the descriptor bytes, copied to an
  // exact-size buffer so that a read one past the end is reported.
  const uint32_t capacity = data[0];
  const size_t n = size - 1;
  std::unique_ptr<uint8_t[]> bytes(new uint8_t[n == 0 ? 1 : n]);
  if (n != 0) {
    std::memcpy(bytes.get(), data + 1, n);
  }
  Walk(bytes.get(), bytes.get() + n);
  Strings(n == 0 ? nullptr : bytes.get(), static_cast<uint32_t>(n), capacity);
  return 0;
}
