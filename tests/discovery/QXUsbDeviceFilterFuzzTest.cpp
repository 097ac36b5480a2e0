// Bounded random texts through the filter parser: it must never crash, a failure must leave
// the filter empty, and every accepted filter must describe itself back to the same entries.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "diag/QXNumeric.h"
#include "discovery/QXUsbDeviceFilterDescription.h"
#include "discovery/QXUsbDeviceFilterDfu.h"

namespace plendrik {
namespace {

// Texts built from the language's keys, values and separators, then mutated with arbitrary
// bytes, so that random texts often get deep into the parser instead of failing at once.
std::string RandomText(std::mt19937& rng) {
  static const char* const kKeys[] = {"VID",           "PID",       "vid",      "MIN_BCDDEVICE",
                                      "MAX_BCDDEVICE", "IF_NUMBER", "if_class", "IF_SUBCLASS",
                                      "IF_PROT",       "GUID",      "",         "SERIAL"};
  static const char* const kValues[] = {
      "0x1234", "0X0", "1",       "65535",      "255",
      "0xFF",   "256", "0x10000", "-1",         "010",
      "12ab",   "0x",  "",        "4294967296", "{A5DCBF10-6530-11D2-901F-00C04FB951ED}"};
  static const char* const kCommonKeys[] = {"VID", "PID", "vid", "MIN_BCDDEVICE", "MAX_BCDDEVICE"};
  static const char* const kCommonValues[] = {"0x1234", "1", "2", "0x20B1", "0XfF", "65535", "0"};
  static const char* const kBlanks[] = {"", "", " ", "\t", "  "};
  static const char* const kLineEnds[] = {"\n", "\r\n", "\r", "\n\n", ",\n"};
  auto pick = [&rng](const auto& array) {
    return array[std::uniform_int_distribution<size_t>(0, std::size(array) - 1)(rng)];
  };
  std::uniform_int_distribution<int> count(0, 4);
  std::uniform_int_distribution<int> percent(0, 99);
  std::string text;
  const int lines = count(rng);
  for (int l = 0; l < lines; ++l) {
    const int statements = 1 + count(rng) % 3;
    for (int s = 0; s < statements; ++s) {
      text += std::string(pick(kBlanks)) + (percent(rng) < 80 ? pick(kCommonKeys) : pick(kKeys)) + pick(kBlanks) +
              (percent(rng) < 95 ? "=" : "==") + pick(kBlanks) +
              (percent(rng) < 80 ? pick(kCommonValues) : pick(kValues)) + pick(kBlanks);
      if (s + 1 < statements) {
        text += percent(rng) < 90 ? "," : ",,";
      }
    }
    text += pick(kLineEnds);
  }
  // Mutations: replace, insert or delete single bytes anywhere.
  const int mutations = percent(rng) < 50 ? 0 : count(rng);
  std::uniform_int_distribution<int> byte(1, 255);
  for (int m = 0; m < mutations && !text.empty(); ++m) {
    const size_t at = std::uniform_int_distribution<size_t>(0, text.size() - 1)(rng);
    switch (percent(rng) % 3) {
      case 0:
        text[at] = static_cast<char>(byte(rng));
        break;
      case 1:
        text.insert(text.begin() + static_cast<std::ptrdiff_t>(at), static_cast<char>(byte(rng)));
        break;
      default:
        text.erase(at, 1);
        break;
    }
  }
  return text;
}

std::string Describe(const QXUsbDeviceFilterEntry& e) {
  const std::pair<const char*, int32_t> fields[] = {{"VID", e.vendorId},
                                                    {"PID", e.productId},
                                                    {"MIN_BCDDEVICE", e.minBcdDevice},
                                                    {"MAX_BCDDEVICE", e.maxBcdDevice},
                                                    {"IF_NUMBER", e.interfaceNumber},
                                                    {"IF_CLASS", e.interfaceClass},
                                                    {"IF_SUBCLASS", e.interfaceSubClass},
                                                    {"IF_PROT", e.interfaceProtocol}};
  std::string line;
  for (const auto& [key, value] : fields) {
    if (value != -1) {
      line += std::string(key) + "=" + std::to_string(value) + ",";
    }
  }
  return line;
}

void ExpectSameEntries(const QXUsbDeviceFilter& a, const QXUsbDeviceFilter& b, const std::string& text) {
  ASSERT_EQ(a.entries.size(), b.entries.size()) << text;
  for (size_t i = 0; i < a.entries.size(); ++i) {
    EXPECT_EQ(Describe(a.entries[i]), Describe(b.entries[i])) << text;
  }
}

TEST(UsbDeviceFilterFuzzTest, RandomTextsNeverBreakTheParser) {
  std::mt19937 rng(20240611u);
  std::uniform_int_distribution<uint32_t> mask(0, kQXFilterKeyAll);
  const uint32_t kRequired[] = {0, 0, kQXFilterKeyVid, kQXFilterKeyVid | kQXFilterKeyPid};
  std::uniform_int_distribution<size_t> required(0, std::size(kRequired) - 1);
  size_t accepted = 0;
  size_t withEntries = 0;
  size_t dfuAccepted = 0;
  for (int round = 0; round < 20000; ++round) {
    const std::string text = RandomText(rng);
    const uint32_t allowed = round % 2 == 0 ? kQXFilterKeyAll : mask(rng) | kQXFilterKeyVid;
    const QXUsbDeviceFilterDescription parser(allowed, kRequired[required(rng)]);
    QXUsbDeviceFilter filter;
    const QXSTATUS st = parser.ParseFilterDescription(filter, text.c_str());
    ASSERT_TRUE(st == QXSTATUS_SUCCESS || st == QXSTATUS_INVALID_FORMAT || st == QXSTATUS_DUPLICATE ||
                st == QXSTATUS_OUT_OF_RANGE)
        << std::hex << st << " for " << text;
    QXUsbDeviceFilter dfu;
    const QXSTATUS dfuSt = CreateDfuDeviceFilter(dfu, text.c_str(), "{guid}");
    ASSERT_NE(dfuSt, QXSTATUS_INVALID_CONFIGURATION) << text;
    if (dfuSt == QXSTATUS_SUCCESS) {
      ++dfuAccepted;
      ASSERT_FALSE(dfu.entries.empty()) << text;
      for (const QXUsbDeviceFilterEntry& e : dfu.entries) {
        ASSERT_TRUE(e.vendorId != -1 && e.productId != -1 && e.interfaceNumber == -1) << text;
      }
    }
    if (st != QXSTATUS_SUCCESS) {
      ASSERT_TRUE(filter.entries.empty()) << text;
      ASSERT_TRUE(filter.interfaceGuid.empty()) << text;
      continue;
    }
    ++accepted;
    std::string described;
    for (const QXUsbDeviceFilterEntry& e : filter.entries) {
      const int32_t wide[] = {e.vendorId, e.productId, e.minBcdDevice, e.maxBcdDevice};
      const int32_t narrow[] = {e.interfaceNumber, e.interfaceClass, e.interfaceSubClass, e.interfaceProtocol};
      for (int32_t v : wide) ASSERT_TRUE(v >= -1 && v <= 0xFFFF) << text;
      for (int32_t v : narrow) ASSERT_TRUE(v >= -1 && v <= 0xFF) << text;
      described += Describe(e) + "\n";
    }
    withEntries += filter.entries.empty() ? 0 : 1;
    QXUsbDeviceFilter again;
    ASSERT_EQ(parser.ParseFilterDescription(again, described.c_str()), QXSTATUS_SUCCESS) << described;
    ExpectSameEntries(filter, again, text);
  }
  // The generator must actually reach accepted filters with entries, or this test proves little.
  EXPECT_GT(accepted, 2000u);
  EXPECT_GT(withEntries, 500u);
  EXPECT_GT(dfuAccepted, 100u);
}

TEST(UsbDeviceFilterFuzzTest, RandomTextsNeverBreakTheNumberConversion) {
  std::mt19937 rng(7u);
  std::uniform_int_distribution<int> length(0, 24);
  std::uniform_int_distribution<int> unit(1, 0xFFFF);
  const char kAlphabet[] = " \t0123456789abcdefxX+-ABCDEF\r\n";
  std::uniform_int_distribution<size_t> pick(0, sizeof(kAlphabet) - 2);
  for (int round = 0; round < 20000; ++round) {
    std::string narrow;
    QXWString wide;
    const int n = length(rng);
    for (int i = 0; i < n; ++i) {
      const char c = (round % 4 == 0) ? static_cast<char>(unit(rng) & 0xFF) : kAlphabet[pick(rng)];
      narrow.push_back(c == 0 ? '1' : c);
      wide.push_back(round % 3 == 0 ? static_cast<QXWChar>(unit(rng)) : static_cast<QXWChar>(kAlphabet[pick(rng)]));
    }
    uint32_t value = 0;
    const QXSTATUS st = QXConvertStringToNumeric(narrow.c_str(), value);
    ASSERT_TRUE(st == QXSTATUS_SUCCESS || st == QXSTATUS_INVALID_FORMAT || st == QXSTATUS_OUT_OF_RANGE) << narrow;
    const QXSTATUS wideSt = QXConvertStringToNumeric(wide.c_str(), value);
    ASSERT_TRUE(wideSt == QXSTATUS_SUCCESS || wideSt == QXSTATUS_INVALID_FORMAT || wideSt == QXSTATUS_OUT_OF_RANGE);
  }
}

}  // namespace
}  // namespace plendrik
