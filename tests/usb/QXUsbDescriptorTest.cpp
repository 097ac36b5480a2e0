// The descriptor walk over malformed configuration descriptors and the string conversions.
#include <gtest/gtest.h>

#include "support/TestLogTarget.h"
#include "usb/QXUsbConfigDescriptor.h"
#include "usb/QXUsbStringDescriptor.h"

namespace plendrik {
namespace {

// Configuration, interface 0 alt 0, DFU functional, endpoint, interface 0 alt 1, interface 1.
std::vector<uint8_t> Sample() {
  return {9, 2, 48, 0, 2, 1, 0, 0x80, 50,
          9, 4, 0, 0, 1, 0xFE, 1, 2, 0,
          9, 0x21, 0x0B, 0xE8, 0x03, 0, 4, 0x10, 1,
          7, 5, 0x81, 2, 64, 0, 0,
          9, 4, 0, 1, 0, 0xFE, 1, 2, 0,
          5, 0x24, 1, 2, 3,
          9, 4, 1, 0, 0, 0xFF, 0, 0, 0};
}

TEST(QXUsbConfigDescriptorTest, WalksInterfacesSkippingAlternateSettings) {
  std::vector<uint8_t> bytes = Sample();
  bytes[2] = static_cast<uint8_t>(bytes.size());
  QXUsbConfigDescriptor view(bytes);
  const QXUsbInterfaceDescriptor* first = view.FindNextInterfaceDescriptor(nullptr);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->bInterfaceNumber, 0);
  const QXUsbInterfaceDescriptor* second = view.FindNextInterfaceDescriptor(first);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->bInterfaceNumber, 1);
  EXPECT_EQ(view.FindNextInterfaceDescriptor(second), nullptr);
  EXPECT_EQ(view.FindInterfaceDescriptor(1), second);
  EXPECT_EQ(view.FindInterfaceDescriptor(-1), first);
  EXPECT_EQ(view.FindInterfaceDescriptor(7), nullptr);
  // The configuration descriptor itself is never a result.
  EXPECT_EQ(view.FindNextDescriptor(nullptr, 2, 0), nullptr);
  const uint8_t* functional = view.FindNextDescriptor(nullptr, 0x21, 9);
  ASSERT_NE(functional, nullptr);
  EXPECT_EQ(functional - bytes.data(), 18);
  // A least length for the type searched for does not apply to the 7-byte endpoint on the way.
  const uint8_t* alt1 = view.FindNextDescriptor(functional, 4, 9);
  ASSERT_NE(alt1, nullptr);
  EXPECT_EQ(alt1[3], 1);
  EXPECT_EQ(view.FindNextDescriptor(alt1, 0x21, 9), nullptr);
  EXPECT_EQ(view.LastFault(), QXUsbConfigDescriptor::kFaultNone);
}

TEST(QXUsbConfigDescriptorTest, MalformedDescriptorsStopTheWalkWithTheirFault) {
  TestLogTarget log;
  {
    std::vector<uint8_t> bytes = Sample();
    bytes[27] = 1;  // endpoint bLength below 2
    QXUsbConfigDescriptor view(bytes);
    EXPECT_EQ(view.FindInterfaceDescriptor(1), nullptr);
    EXPECT_EQ(view.LastFault(), QXUsbConfigDescriptor::kFaultBadLength);
    EXPECT_TRUE(log.Contains("invalid bLength=1"));
  }
  {
    std::vector<uint8_t> bytes = Sample();
    bytes[27] = 5;  // an endpoint descriptor shorter than 7
    QXUsbConfigDescriptor view(bytes);
    EXPECT_EQ(view.FindInterfaceDescriptor(1), nullptr);
    EXPECT_EQ(view.LastFault(), QXUsbConfigDescriptor::kFaultBadLength);
    EXPECT_TRUE(log.Contains("bLength=5 < minRequiredLength=7"));
  }
  {
    std::vector<uint8_t> bytes = Sample();
    bytes.resize(bytes.size() - 4);  // the last interface descriptor runs past the end
    QXUsbConfigDescriptor view(bytes);
    EXPECT_EQ(view.FindInterfaceDescriptor(1), nullptr);
    EXPECT_EQ(view.LastFault(), QXUsbConfigDescriptor::kFaultPastEnd);
    EXPECT_TRUE(log.Contains("bLength=9 out of range"));
  }
  {
    std::vector<uint8_t> bytes = Sample();
    bytes.resize(bytes.size() - 8);  // one byte of a header is left
    QXUsbConfigDescriptor view(bytes);
    EXPECT_EQ(view.FindInterfaceDescriptor(1), nullptr);
    EXPECT_EQ(view.LastFault(), QXUsbConfigDescriptor::kFaultHeaderPastEnd);
  }
  {
    std::vector<uint8_t> bytes = Sample();
    bytes[0] = 0;  // a zero bLength would loop forever if stepped over
    QXUsbConfigDescriptor view(bytes);
    EXPECT_EQ(view.FindNextInterfaceDescriptor(nullptr), nullptr);
  }
  QXUsbConfigDescriptor empty;
  EXPECT_FALSE(empty.IsDescriptorValid(nullptr, 0));
  EXPECT_TRUE(log.Contains("is not valid"));
  std::vector<uint8_t> bytes = Sample();
  QXUsbConfigDescriptor view(bytes);
  EXPECT_FALSE(view.IsDescriptorValid(bytes.data() + bytes.size(), 0));
  EXPECT_TRUE(view.IsDescriptorValid(bytes.data() + 9, 9));
  EXPECT_FALSE(view.IsDescriptorValid(bytes.data() + 9, 10));
}

TEST(QXUsbConfigDescriptorTest, ArbitraryBytesNeverReadOutsideTheView) {
  uint32_t state = 12345;
  for (int round = 0; round < 2000; ++round) {
    std::vector<uint8_t> bytes(state % 64);
    for (uint8_t& b : bytes) {
      state = state * 1103515245u + 12345u;
      b = static_cast<uint8_t>((state >> 16) % 12);
    }
    state = state * 1103515245u + 12345u;
    QXUsbConfigDescriptor view(bytes);
    for (const QXUsbInterfaceDescriptor* i = view.FindNextInterfaceDescriptor(nullptr); i != nullptr;
         i = view.FindNextInterfaceDescriptor(i)) {
      const auto* p = reinterpret_cast<const uint8_t*>(i);
      ASSERT_LE(p + 9, bytes.data() + bytes.size());
    }
  }
}

TEST(QXUsbStringDescriptorTest, StringConversion) {
  TestLogTarget log;
  QXWChar text[4];
  const uint8_t empty[2] = {2, 3};
  ASSERT_EQ(QXConvertUsbStringDescToString(empty, 2, text, 4), QXSTATUS_SUCCESS);
  EXPECT_EQ(QXWString(text), QXWString());

  const uint8_t uneven[9] = {9, 3, 'a', 0, 'b', 0, 'c', 0, 'x'};
  ASSERT_EQ(QXConvertUsbStringDescToString(uneven, 9, text, 4), QXSTATUS_SUCCESS);
  EXPECT_EQ(QXWString(text), QXW("abc"));
  EXPECT_TRUE(log.Contains("uneven bLength 9 in string desc.", kQXLogLevelWarn));

  EXPECT_EQ(QXConvertUsbStringDescToString(uneven, 9, text, 3), QXSTATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(QXConvertUsbStringDescToString(uneven, 8, text, 4), QXSTATUS_INVALID_DESCRIPTOR);
  EXPECT_TRUE(log.Contains("unexpected bLength 9 in string desc."));
  EXPECT_EQ(QXConvertUsbStringDescToString(uneven, 1, text, 4), QXSTATUS_INVALID_DESCRIPTOR);
  EXPECT_TRUE(log.Contains("too few data for string desc., got 1, min. 2"));
}

TEST(QXUsbStringDescriptorTest, LanguageIdList) {
  TestLogTarget log;
  std::vector<uint16_t> list;
  const uint8_t two[6] = {6, 3, 0x09, 0x04, 0x07, 0x04};
  ASSERT_EQ(QXConvertUsbStringDescToLangIdList(two, 6, list), QXSTATUS_SUCCESS);
  EXPECT_EQ(list, std::vector<uint16_t>({0x0409, 0x0407}));
  list.clear();
  const uint8_t uneven[5] = {5, 3, 0x09, 0x04, 0x07};
  ASSERT_EQ(QXConvertUsbStringDescToLangIdList(uneven, 5, list), QXSTATUS_SUCCESS);
  EXPECT_EQ(list, std::vector<uint16_t>({0x0409}));
  EXPECT_TRUE(log.Contains("uneven bLength 5 in lang. Id string desc", kQXLogLevelWarn));
  EXPECT_EQ(QXConvertUsbStringDescToLangIdList(two, 3, list), QXSTATUS_INVALID_DESCRIPTOR);
  EXPECT_TRUE(log.Contains("too few data for lang. Id string desc., got 3, min. 4"));
  EXPECT_EQ(QXConvertUsbStringDescToLangIdList(two, 4, list), QXSTATUS_INVALID_DESCRIPTOR);
}

}  // namespace
}  // namespace plendrik
