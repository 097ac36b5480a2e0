#include "usb/QXUsbConfigDescriptor.h"

#include "diag/QXLog.h"

namespace plendrik {

namespace {
constexpr uint8_t kInterfaceDescriptorType = 4;
}  // namespace

uint32_t QXUsbConfigDescriptor::LeastLengthOfType(uint8_t descriptorType) {
  switch (descriptorType) {
    case 2:   // configuration
    case 4:   // interface
      return 9;
    case 5:   // endpoint
      return 7;
    case 11:  // interface association
      return 8;
    case 48:  // SuperSpeed endpoint companion
      return 6;
    default:
      return 2;
  }
}

bool QXUsbConfigDescriptor::IsDescriptorValid(const uint8_t* descriptor, uint32_t minRequiredLength) {
  if (mBegin == nullptr || mEnd == nullptr || descriptor == nullptr || descriptor < mBegin || descriptor >= mEnd) {
    QX_LOG_ERROR("descriptor={} is not valid", static_cast<const void*>(descriptor));
    return false;
  }
  const size_t left = static_cast<size_t>(mEnd - descriptor);
  if (left < 2) {
    QX_LOG_ERROR("descriptor header out of range");
    mLastFault = kFaultHeaderPastEnd;
    return false;
  }
  const uint8_t bLength = descriptor[0];
  if (bLength < 2) {
    QX_LOG_ERROR("invalid bLength={}", bLength);
    mLastFault = kFaultBadLength;
    return false;
  }
  if (bLength > left) {
    QX_LOG_ERROR("bLength={} out of range", bLength);
    mLastFault = kFaultPastEnd;
    return false;
  }
  const uint32_t least = minRequiredLength != 0 ? minRequiredLength : LeastLengthOfType(descriptor[1]);
  if (bLength < least) {
    QX_LOG_ERROR("bLength={} < minRequiredLength={}", bLength, least);
    mLastFault = kFaultBadLength;
    return false;
  }
  return true;
}

const uint8_t* QXUsbConfigDescriptor::FindNextDescriptor(const uint8_t* previous, uint8_t descriptorType,
                                                         uint32_t minRequiredLength) {
  const uint8_t* current = previous != nullptr ? previous : mBegin;
  if (!IsDescriptorValid(current, 0)) {
    return nullptr;
  }
  for (;;) {
    const uint8_t* next = current + current[0];
    if (next >= mEnd) {
      return nullptr;
    }
    // Descriptors of other types are held to their own least length only: a short endpoint
    // descriptor between two interface descriptors must not end a search for interfaces.
    if (!IsDescriptorValid(next, 0)) {
      return nullptr;
    }
    if (next[1] == descriptorType) {
      if (minRequiredLength != 0 && !IsDescriptorValid(next, minRequiredLength)) {
        return nullptr;
      }
      return next;
    }
    current = next;
  }
}

const QXUsbInterfaceDescriptor* QXUsbConfigDescriptor::FindNextInterfaceDescriptor(
    const QXUsbInterfaceDescriptor* previous) {
  const uint8_t* current = reinterpret_cast<const uint8_t*>(previous);
  for (;;) {
    const uint8_t* next = FindNextDescriptor(current, kInterfaceDescriptorType, 0);
    if (next == nullptr) {
      return nullptr;
    }
    const auto* interface = reinterpret_cast<const QXUsbInterfaceDescriptor*>(next);
    if (previous == nullptr || interface->bInterfaceNumber != previous->bInterfaceNumber) {
      return interface;
    }
    current = next;
  }
}

const QXUsbInterfaceDescriptor* QXUsbConfigDescriptor::FindInterfaceDescriptor(int interfaceNumber) {
  const uint8_t* current = nullptr;
  for (;;) {
    const uint8_t* next = FindNextDescriptor(current, kInterfaceDescriptorType, 0);
    if (next == nullptr) {
      return nullptr;
    }
    const auto* interface = reinterpret_cast<const QXUsbInterfaceDescriptor*>(next);
    if (interfaceNumber < 0 || interface->bInterfaceNumber == interfaceNumber) {
      return interface;
    }
    current = next;
  }
}

}  // namespace plendrik
