#include <gtest/gtest.h>

#include "diag/QXNumeric.h"

namespace plendrik {
namespace {

struct Case {
  const char* text;
  QXSTATUS status;
  uint32_t value;  // checked on success only
};

void ExpectNarrow(const Case& c) {
  uint32_t value = 0xDEADBEEF;
  EXPECT_EQ(QXConvertStringToNumeric(c.text, value), c.status) << "text '" << c.text << "'";
  EXPECT_EQ(value, c.status == QXSTATUS_SUCCESS ? c.value : 0xDEADBEEF) << "text '" << c.text << "'";
}

TEST(QXConvertStringToNumericTest, DecimalAndPrefixedHexadecimal) {
  for (const Case& c : {
           Case{"0", QXSTATUS_SUCCESS, 0},
           Case{"4660", QXSTATUS_SUCCESS, 4660},
           Case{"0x1234", QXSTATUS_SUCCESS, 0x1234},
           Case{"0XabCD", QXSTATUS_SUCCESS, 0xABCD},
           Case{"010", QXSTATUS_SUCCESS, 10},  // a leading zero is not octal
           Case{"0009", QXSTATUS_SUCCESS, 9},
           Case{"4294967295", QXSTATUS_SUCCESS, 0xFFFFFFFFu},
           Case{"0xFFFFFFFF", QXSTATUS_SUCCESS, 0xFFFFFFFFu},
           Case{"+7", QXSTATUS_SUCCESS, 7},
       }) {
    ExpectNarrow(c);
  }
}

TEST(QXConvertStringToNumericTest, WhiteSpaceAroundTheDigits) {
  for (const Case& c : {
           Case{" \t\n\v\f\r12", QXSTATUS_SUCCESS, 12}, Case{"12 ", QXSTATUS_SUCCESS, 12},
           Case{"12\r", QXSTATUS_SUCCESS, 12},
           Case{"0x12\tanything", QXSTATUS_SUCCESS, 0x12},  // nothing after the blank is examined
       }) {
    ExpectNarrow(c);
  }
}

TEST(QXConvertStringToNumericTest, RejectsTextThatIsNotOneNumber) {
  for (const Case& c : {
           Case{"", QXSTATUS_INVALID_FORMAT, 0}, Case{"   ", QXSTATUS_INVALID_FORMAT, 0},
           Case{"x", QXSTATUS_INVALID_FORMAT, 0}, Case{"0x", QXSTATUS_INVALID_FORMAT, 0},
           Case{"0xg", QXSTATUS_INVALID_FORMAT, 0},
           Case{"12ab", QXSTATUS_INVALID_FORMAT, 0},  // hexadecimal digits need the prefix
           Case{"12,", QXSTATUS_INVALID_FORMAT, 0}, Case{"1.5", QXSTATUS_INVALID_FORMAT, 0},
           Case{"- 1", QXSTATUS_INVALID_FORMAT, 0},
           Case{"-0x10", QXSTATUS_INVALID_FORMAT, 0},  // the prefix must come first
       }) {
    ExpectNarrow(c);
  }
  uint32_t value = 0;
  EXPECT_EQ(QXConvertStringToNumeric(static_cast<const char*>(nullptr), value), QXSTATUS_INVALID_PARAMETER);
}

TEST(QXConvertStringToNumericTest, ThirtyTwoBitOverflowAndNegativeWrap) {
  for (const Case& c : {
           Case{"4294967296", QXSTATUS_OUT_OF_RANGE, 0}, Case{"0x100000000", QXSTATUS_OUT_OF_RANGE, 0},
           Case{"99999999999999999999999", QXSTATUS_OUT_OF_RANGE, 0}, Case{"-0", QXSTATUS_SUCCESS, 0},
           Case{"-1", QXSTATUS_SUCCESS, 0xFFFFFFFFu}, Case{"-4294967295", QXSTATUS_SUCCESS, 1},
           Case{"-4294967296", QXSTATUS_OUT_OF_RANGE, 0},
           Case{"-18446744073709551615", QXSTATUS_OUT_OF_RANGE, 0},  // wraps to 1 in 64 bits, not in 32
       }) {
    ExpectNarrow(c);
  }
}

TEST(QXConvertStringToNumericWideTest, AlwaysHexadecimalWithTheSameRules) {
  struct WideCase {
    const QXWChar* text;
    QXSTATUS status;
    uint32_t value;
  };
  for (const WideCase& c : {
           WideCase{QXW("1234"), QXSTATUS_SUCCESS, 0x1234}, WideCase{QXW("abCD"), QXSTATUS_SUCCESS, 0xABCD},
           WideCase{QXW("0x10"), QXSTATUS_SUCCESS, 0x10}, WideCase{QXW("010"), QXSTATUS_SUCCESS, 0x10},
           WideCase{QXW(" 0100 "), QXSTATUS_SUCCESS, 0x100}, WideCase{QXW("FFFFFFFF"), QXSTATUS_SUCCESS, 0xFFFFFFFFu},
           WideCase{QXW("100000000"), QXSTATUS_OUT_OF_RANGE, 0}, WideCase{QXW(""), QXSTATUS_INVALID_FORMAT, 0},
           WideCase{QXW("G1"), QXSTATUS_INVALID_FORMAT, 0}, WideCase{QXW("12&"), QXSTATUS_INVALID_FORMAT, 0},
           WideCase{QXW("1\u00A0"), QXSTATUS_INVALID_FORMAT, 0},  // only ASCII white space ends a number
           WideCase{QXW("\u0131"), QXSTATUS_INVALID_FORMAT, 0},   // a unit that narrows to nothing special
           WideCase{QXW("1\u0120"), QXSTATUS_INVALID_FORMAT, 0},  // 0x120 must not be read as a blank (0x20)
       }) {
    uint32_t value = 0xDEADBEEF;
    EXPECT_EQ(QXConvertStringToNumeric(c.text, value), c.status);
    EXPECT_EQ(value, c.status == QXSTATUS_SUCCESS ? c.value : 0xDEADBEEF);
  }
  uint32_t value = 0;
  EXPECT_EQ(QXConvertStringToNumeric(static_cast<const QXWChar*>(nullptr), value), QXSTATUS_INVALID_PARAMETER);
}

}  // namespace
}  // namespace plendrik
