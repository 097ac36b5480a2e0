#include "diag/QXFormatter.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "diag/QXDebugPrintf.h"
#include "diag/QXStatusNames.h"
#include "os/QXOsSystem.h"

namespace plendrik {
namespace {

class QXFormatterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QXOsSetDebugOutputObserver([this](const char* text) { mOutput.emplace_back(text); });
  }
  void TearDown() override { QXOsSetDebugOutputObserver({}); }

  template <class... A>
  std::string Format(const char* format, const A&... args) {
    char buffer[256];
    const size_t count = QXFormat(buffer, sizeof(buffer), format, args...);
    EXPECT_EQ(count, strlen(buffer)) << format;
    return buffer;
  }

  // The two debugger output lines of one diagnostic of the narrow formatter.
  static std::vector<std::string> Diagnostic(const char* level, const std::string& text, const char* format,
                                             unsigned arguments) {
    return {std::string(QXGetModuleName()) + ": " + level + ": plendrik::QXFormatterT<char>::FormatArgs: " +
                text + " FormatString follows, " + std::to_string(arguments) + " arguments.\n",
            std::string(format) + "\n"};
  }

  // The problem lines only, without the format string lines that follow each of them.
  std::vector<std::string> Problems() const {
    std::vector<std::string> result;
    for (size_t i = 0; i < mOutput.size(); i += 2) {
      result.push_back(mOutput[i]);
    }
    return result;
  }

  std::vector<std::string> mOutput;
};

TEST_F(QXFormatterTest, EscapesAndStrayClosingBracket) {
  EXPECT_EQ(Format("a{{b}}c"), "a{b}c");
  EXPECT_TRUE(mOutput.empty());

  EXPECT_EQ(Format("a}b"), "ab");
  EXPECT_EQ(mOutput, Diagnostic("WARNING", "Discarding unexpected closing bracket }.", "a}b", 0));
}

TEST_F(QXFormatterTest, ArgumentOrderAndCountDiagnostics) {
  EXPECT_EQ(Format("{1}{}", 10, 11, 12), "1112");
  EXPECT_EQ(Format("{} {0} { 1 }", 1u, 2u), "1 1 2");
  EXPECT_TRUE(mOutput.empty());

  EXPECT_EQ(Format("x={} y={}", 1), "x=1 y=");
  EXPECT_EQ(mOutput, Diagnostic("ERROR", "No argument for {} replacement field.", "x={} y={}", 1));

  mOutput.clear();
  EXPECT_EQ(Format("x={} y={}", 1, 2, 3), "x=1 y=2");
  EXPECT_EQ(mOutput, Diagnostic("ERROR", "More arguments than {} replacement fields.", "x={} y={}", 3));

  mOutput.clear();
  EXPECT_EQ(Format("{2}", 7, 8), "7");
  std::vector<std::string> expected = Diagnostic("ERROR", "Index=2 is an invalid index specification.", "{2}", 2);
  const std::vector<std::string> more = Diagnostic("ERROR", "More arguments than {} replacement fields.", "{2}", 2);
  expected.insert(expected.end(), more.begin(), more.end());
  EXPECT_EQ(mOutput, expected);
}

TEST_F(QXFormatterTest, Hexadecimal) {
  EXPECT_EQ(Format("{:#x}", 0x41u), "0x00000041");
  EXPECT_EQ(Format("{:x}", 0x41u), "41");
  EXPECT_EQ(Format("{:#X}", 0xEE000041u), "0xEE000041");
  EXPECT_EQ(Format("{:X}", 0xabcu), "ABC");
  EXPECT_EQ(Format("{:04x}", 0xAu), "000a");
  EXPECT_EQ(Format("{:x}", -1), "ffffffff");  // cut to the 32-bit size, no sign
  EXPECT_EQ(Format("{:#x}", uint16_t{0x12}), "0x0012");
  EXPECT_EQ(Format("{:_x}", 0x12345678u), "1234_5678");
  EXPECT_EQ(Format("{:_x}", 0x12345u), "1_2345");
  EXPECT_EQ(Format("{:#_x}", 0x41u), "0x0000_0041");
  EXPECT_EQ(Format("{:_x}", uint64_t{0x123456789abcdef0}), "12345678_9abcdef0");
  EXPECT_EQ(Format("{:>12x}", 0xffu), "          ff");
  EXPECT_EQ(Format("{:#014x}", 0x41u), "0x000000000041");  // zero fill goes behind the prefix
  EXPECT_TRUE(mOutput.empty());
}

TEST_F(QXFormatterTest, DecimalSignWidthAlignAndSeparators) {
  EXPECT_EQ(Format("{:02}", 7), "07");
  EXPECT_EQ(Format("{:+}", 5), "+5");
  EXPECT_EQ(Format("{: }|{: }", 5, -5), " 5|-5");
  EXPECT_EQ(Format("{:=6}", -42), "-   42");
  EXPECT_EQ(Format("{:^6}", 42), "  42  ");
  EXPECT_EQ(Format("{:^7}", 42), "  42   ");
  EXPECT_EQ(Format("{:<6}|", -42), "-42   |");
  EXPECT_EQ(Format("{:6}", -42), "   -42");
  EXPECT_EQ(Format("{:*>+6}", 42), "***+42");
  EXPECT_EQ(Format("{:+06}", 42), "+00042");
  EXPECT_EQ(Format("{:,}", 1234567u), "1,234,567");
  EXPECT_EQ(Format("{:'}", 123456), "123'456");
  EXPECT_EQ(Format("{:_}", -1234), "-1_234");
  EXPECT_EQ(Format("{}", INT32_MIN), "-2147483648");
  EXPECT_EQ(Format("{}", INT64_MIN), "-9223372036854775808");
  EXPECT_EQ(Format("{}", UINT64_MAX), "18446744073709551615");
  EXPECT_EQ(Format("{:d}", 0x10u), "16");
  EXPECT_EQ(Format("{:.3f}", 9), "9");  // precision and float types are accepted and ignored
  EXPECT_EQ(Format("{}{}", true, false), "10");
  EXPECT_EQ(Format("{}", uint8_t{200}), "200");  // 8-bit values are numbers unless 'c' is asked
  EXPECT_TRUE(mOutput.empty());
}

TEST_F(QXFormatterTest, Characters) {
  EXPECT_EQ(Format("{:c}", 65), "A");
  EXPECT_EQ(Format("{:c}", 0), "NUL");
  EXPECT_EQ(Format("{:c}", 7), "?");
  EXPECT_EQ(Format("{:c}", uint8_t{'z'}), "z");
  EXPECT_EQ(Format("{:c}", 0x141u), "A");  // low 8 bits
  EXPECT_EQ(Format("{:>3c}", 66), "  B");
}

TEST_F(QXFormatterTest, StatusAndPointer) {
  EXPECT_EQ(Format("{}", QXSt{0}), "0x00000000(ERROR_SUCCESS)");
  EXPECT_EQ(Format("{}", QXSt{QXSTATUS_INVALID_PARAMETER}), "0xee000041(QXSTATUS_INVALID_PARAMETER)");
  EXPECT_EQ(Format("{}", QXSt{5}), std::string("0x00000005(") + QXStatusLogName(5) + ")");
  EXPECT_EQ(Format("{:X}", QXSt{0}), "0x00000000(ERROR_SUCCESS)");
  EXPECT_EQ(Format("{:d}", QXSt{0}), "0(ERROR_SUCCESS)");

  EXPECT_EQ(Format("{}", reinterpret_cast<const void*>(uintptr_t{0x1234})), "0x0000000000001234");
  EXPECT_EQ(Format("{}", nullptr), "0x0000000000000000");
  EXPECT_TRUE(mOutput.empty());
}

TEST_F(QXFormatterTest, Strings) {
  EXPECT_EQ(Format("[{:>8}]", "ab"), "[      ab]");
  EXPECT_EQ(Format("[{:8}]", "ab"), "[      ab]");
  EXPECT_EQ(Format("[{:=8}]", "ab"), "[      ab]");
  EXPECT_EQ(Format("[{:<8}]", "ab"), "[ab      ]");
  EXPECT_EQ(Format("[{:.^7}]", "ab"), "[..ab...]");
  EXPECT_EQ(Format("[{:1}]", "abc"), "[abc]");
  EXPECT_EQ(Format("{}-{}", std::string("std"), QXWString(QXW("wide"))), "std-wide");
  const QXWChar wide[] = {u'a', 0xE9, 0x263A, u'z', 0};
  EXPECT_EQ(Format("{}", wide), "a\xE9?z");
  EXPECT_TRUE(mOutput.empty());

  const char* none = nullptr;
  EXPECT_EQ(Format("s={}", none), "s=<<nullptr>>");
  EXPECT_EQ(mOutput, Diagnostic("ERROR", "Conversion of argument 0 failed.", "s={}", 1));
  mOutput.clear();
  const QXWChar* wideNone = nullptr;
  EXPECT_EQ(Format("{} {}", 1, wideNone), "1 <<nullptr>>");
  EXPECT_EQ(Problems(), std::vector<std::string>{Diagnostic("ERROR", "Conversion of argument 1 failed.", "", 2)[0]});
}

TEST_F(QXFormatterTest, MalformedFields) {
  EXPECT_EQ(Format("value={", 1), "value=");
  EXPECT_EQ(Problems(), (std::vector<std::string>{
                            Diagnostic("ERROR", "More arguments than {} replacement fields.", "", 1)[0],
                            Diagnostic("ERROR", "Missing closing bracket }.", "", 1)[0]}));
  EXPECT_EQ(mOutput[1], "value={\n");

  mOutput.clear();
  EXPECT_EQ(Format("value={:", 1), "value=");
  EXPECT_EQ(Problems(), (std::vector<std::string>{
                            Diagnostic("ERROR", "Incomplete format specification.", "", 1)[0],
                            Diagnostic("ERROR", "More arguments than {} replacement fields.", "", 1)[0],
                            Diagnostic("ERROR", "Missing closing bracket }.", "", 1)[0]}));

  mOutput.clear();
  EXPECT_EQ(Format("{:qx}|{a}", 255u, 1u), "ff|1");
  EXPECT_EQ(Problems(),
            (std::vector<std::string>{
                Diagnostic("WARNING", "Ignoring unsupported format specifier 113.", "", 2)[0],
                Diagnostic("WARNING", "Ignoring unexpected character 97 within {} replacement field.", "", 2)[0]}));
}

TEST_F(QXFormatterTest, TruncatesButCountsTheWholeOutput) {
  const std::string text(600, 'm');
  char buffer[512];
  memset(buffer, 'X', sizeof(buffer));
  EXPECT_EQ(QXFormat(buffer, sizeof(buffer), "{}", text.c_str()), 600u);
  EXPECT_EQ(strlen(buffer), 511u);
  EXPECT_EQ(std::string(buffer), text.substr(0, 511));

  // A padded field that runs past the end is counted in full.
  char small[4];
  EXPECT_EQ(QXFormat(small, sizeof(small), "{:>1000}", 1), 1000u);
  EXPECT_STREQ(small, "   ");
  char one[1] = {'X'};
  EXPECT_EQ(QXFormat(one, sizeof(one), "abc"), 3u);
  EXPECT_EQ(one[0], '\0');
}

TEST_F(QXFormatterTest, WideInstance) {
  QXWChar buffer[64];
  const char* narrow = "n\xE9";
  const size_t count = QXFormatW(buffer, 64, QXW("{{{}|{:#x}|{}|{}}}"), narrow, 0x41u, QXW("w\x263A"), QXSt{0});
  const QXWString expected = QXW("{n\xE9|0x00000041|w\x263A|0x00000000(ERROR_SUCCESS)}");
  EXPECT_EQ(QXWString(buffer), expected);
  EXPECT_EQ(count, expected.size());
  EXPECT_TRUE(mOutput.empty());

  QXFormatW(buffer, 64, QXW("\x263A}"));
  EXPECT_EQ(mOutput, (std::vector<std::string>{
                         std::string(QXGetModuleName()) +
                             ": WARNING: plendrik::QXFormatterT<wchar_t>::FormatArgs: Discarding unexpected closing "
                             "bracket }. FormatString follows, 0 arguments.\n",
                         "?}\n"}));
}

}  // namespace
}  // namespace plendrik
