// A view over a configuration descriptor held elsewhere, with the checked walk through its
// descriptors (interfaces, alternate settings, functional and endpoint descriptors).
#pragma once

#include <cstdint>
#include <vector>

namespace plendrik {

// The standard interface descriptor (USB 2.0, table 9-12); every field is one byte.
struct QXUsbInterfaceDescriptor {
  uint8_t bLength;
  uint8_t bDescriptorType;
  uint8_t bInterfaceNumber;
  uint8_t bAlternateSetting;
  uint8_t bNumEndpoints;
  uint8_t bInterfaceClass;
  uint8_t bInterfaceSubClass;
  uint8_t bInterfaceProtocol;
  uint8_t iInterface;
};

class QXUsbConfigDescriptor {
 public:
  enum Fault : int {
    kFaultNone = 0,
    kFaultBadLength = 1,         // bLength below 2 or below the least length
    kFaultPastEnd = 2,           // the descriptor runs past the end
    kFaultHeaderPastEnd = 3,     // not even the 2-byte header fits
  };

  QXUsbConfigDescriptor() = default;
  QXUsbConfigDescriptor(const uint8_t* begin, const uint8_t* end) : mBegin(begin), mEnd(end) {}
  explicit QXUsbConfigDescriptor(const std::vector<uint8_t>& bytes)
      : mBegin(bytes.data()), mEnd(bytes.data() + bytes.size()) {}

  // Checks that a descriptor lies within the view and that its bLength is sound; a
  // minRequiredLength of 0 demands the least length of the descriptor's type.
  bool IsDescriptorValid(const uint8_t* descriptor, uint32_t minRequiredLength);
  // The next descriptor of a type after previous (from the start when null); null at the end
  // or at the first malformed descriptor. The configuration descriptor itself is never returned.
  const uint8_t* FindNextDescriptor(const uint8_t* previous, uint8_t descriptorType, uint32_t minRequiredLength);
  // The next interface descriptor of another interface number (alternate settings skipped).
  const QXUsbInterfaceDescriptor* FindNextInterfaceDescriptor(const QXUsbInterfaceDescriptor* previous);
  // The first interface descriptor of an interface number; a negative number matches any.
  const QXUsbInterfaceDescriptor* FindInterfaceDescriptor(int interfaceNumber);

  // The least bLength of a descriptor type (2 for types without a fixed least length).
  static uint32_t LeastLengthOfType(uint8_t descriptorType);

  int LastFault() const { return mLastFault; }

 private:
  const uint8_t* mBegin = nullptr;
  const uint8_t* mEnd = nullptr;
  int mLastFault = kFaultNone;
};

}  // namespace plendrik
