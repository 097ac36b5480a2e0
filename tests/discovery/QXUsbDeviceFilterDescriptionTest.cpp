#include <gtest/gtest.h>

#include "discovery/QXUsbDeviceFilterDescription.h"
#include "support/TestLogTarget.h"

namespace plendrik {
namespace {

bool operator==(const QXUsbDeviceFilterEntry& a, const QXUsbDeviceFilterEntry& b) {
  return a.vendorId == b.vendorId && a.productId == b.productId && a.minBcdDevice == b.minBcdDevice &&
         a.maxBcdDevice == b.maxBcdDevice && a.interfaceNumber == b.interfaceNumber &&
         a.interfaceClass == b.interfaceClass && a.interfaceSubClass == b.interfaceSubClass &&
         a.interfaceProtocol == b.interfaceProtocol;
}

QXUsbDeviceFilterEntry VidPid(int32_t vid, int32_t pid) {
  QXUsbDeviceFilterEntry e;
  e.vendorId = vid;
  e.productId = pid;
  return e;
}

// The library's own key set: VID and PID required, bcdDevice bounds optional.
class FilterDescriptionTest : public ::testing::Test {
 protected:
  QXSTATUS Parse(const char* text) { return parser.ParseFilterDescription(filter, text); }

  QXUsbDeviceFilterDescription parser{0x01E, 0x006};
  QXUsbDeviceFilter filter;
  TestLogTarget log{gLogGlobal, kQXLogLevelInfo};
};

TEST_F(FilterDescriptionTest, OneLineGivesOneEntryWithTheRestUnconstrained) {
  ASSERT_EQ(Parse("VID=0x1234, PID=0x5678"), QXSTATUS_SUCCESS) << log.Dump();
  ASSERT_EQ(filter.entries.size(), 1u);
  EXPECT_TRUE(filter.entries[0] == VidPid(0x1234, 0x5678));
  EXPECT_TRUE(filter.applyFilter);
  EXPECT_TRUE(filter.interfaceGuid.empty());
  EXPECT_EQ(log.Problems(), 0u) << log.Dump();
}

TEST_F(FilterDescriptionTest, DecimalValuesAnyKeyCaseAndBlanksAroundKeysAndValues) {
  ASSERT_EQ(Parse("vid = 4660 ,pid=22136"), QXSTATUS_SUCCESS) << log.Dump();
  ASSERT_EQ(filter.entries.size(), 1u);
  EXPECT_TRUE(filter.entries[0] == VidPid(0x1234, 0x5678));

  ASSERT_EQ(Parse("\tPid=2,Min_BcdDevice=0x0100 , max_bcddevice = 0x0200, vId=1\t"), QXSTATUS_SUCCESS) << log.Dump();
  ASSERT_EQ(filter.entries.size(), 1u);
  QXUsbDeviceFilterEntry expected = VidPid(1, 2);
  expected.minBcdDevice = 0x100;
  expected.maxBcdDevice = 0x200;
  EXPECT_TRUE(filter.entries[0] == expected);
}

TEST_F(FilterDescriptionTest, LineEndsAndBlankLinesDoNotMatter) {
  const char* texts[] = {
      "VID=1,PID=2\nVID=3,PID=4",   "VID=1,PID=2\r\nVID=3,PID=4\r\n", "\n\nVID=1,PID=2\n   \n\t\nVID=3,PID=4\n\n",
      "VID=1,PID=2\rVID=3,PID=4\r",
      "VID=1,,PID=2,\nVID=3,PID=4",  // empty statements are skipped
  };
  for (const char* text : texts) {
    ASSERT_EQ(Parse(text), QXSTATUS_SUCCESS) << text << "\n" << log.Dump();
    ASSERT_EQ(filter.entries.size(), 2u) << text;
    EXPECT_TRUE(filter.entries[0] == VidPid(1, 2)) << text;
    EXPECT_TRUE(filter.entries[1] == VidPid(3, 4)) << text;
  }
}

TEST_F(FilterDescriptionTest, EmptyTextGivesAnArmedFilterWithoutEntries) {
  filter.entries.push_back(VidPid(1, 2));
  filter.interfaceGuid = QXW("{x}");
  filter.kind = kQXUsbDeviceFilterKindInterface;
  ASSERT_EQ(Parse(" \r\n\t"), QXSTATUS_SUCCESS);
  EXPECT_TRUE(filter.entries.empty());
  EXPECT_TRUE(filter.interfaceGuid.empty());
  EXPECT_TRUE(filter.applyFilter);
  EXPECT_EQ(filter.kind, kQXUsbDeviceFilterKindInterface);  // the creator's choice survives
}

TEST_F(FilterDescriptionTest, IncompleteLineIsNamed) {
  EXPECT_EQ(Parse("VID=1,PID=2\n  VID=0x1234  \nVID=3,PID=4"), QXSTATUS_INVALID_FORMAT);
  EXPECT_TRUE(
      log.Contains("plendrik::QXUsbDeviceFilterDescription::ParseLine: "
                   "Specification in this line is incomplete: 'VID=0x1234'",
                   kQXLogLevelError))
      << log.Dump();
  EXPECT_TRUE(log.Contains("ParseLine('VID=0x1234') failed, st=0xee000051", kQXLogLevelError)) << log.Dump();
  // A failing line empties the filter, also of the lines before it.
  EXPECT_TRUE(filter.entries.empty());
  EXPECT_TRUE(filter.applyFilter);
}

TEST_F(FilterDescriptionTest, NumericKeyTwiceIsDuplicate) {
  EXPECT_EQ(Parse("VID=1, VID=2, PID=3"), QXSTATUS_DUPLICATE);
  EXPECT_TRUE(log.Contains("key 'VID' already present in this line", kQXLogLevelError)) << log.Dump();
  EXPECT_TRUE(log.Contains("ParseKeyValue('VID=2') failed, st=0xee00003d(QXSTATUS_DUPLICATE)")) << log.Dump();
  EXPECT_TRUE(log.Contains("ParseLine('VID=1, VID=2, PID=3') failed, st=0xee00003d")) << log.Dump();
  // The same key on another line is fine, and a repeated key counts as itself, not another.
  EXPECT_EQ(Parse("VID=1,PID=2\nVID=1,PID=2"), QXSTATUS_SUCCESS);
  EXPECT_EQ(Parse("vid=1, VID=1, PID=2"), QXSTATUS_DUPLICATE);
}

TEST_F(FilterDescriptionTest, ValuesOutOfRangeOrMalformed) {
  EXPECT_EQ(Parse("VID=0x10000, PID=1"), QXSTATUS_OUT_OF_RANGE);
  EXPECT_TRUE(log.Contains("key='VID' QXConvertStringToNumeric(0x10000) failed, st=0xee000067")) << log.Dump();
  EXPECT_EQ(Parse("VID=0xFFFF, PID=65535"), QXSTATUS_SUCCESS);
  EXPECT_EQ(Parse("VID=1, PID=-1"), QXSTATUS_OUT_OF_RANGE);  // wraps to 0xFFFFFFFF
  EXPECT_EQ(Parse("VID=1, PID=99999999999"), QXSTATUS_OUT_OF_RANGE);
  EXPECT_EQ(Parse("VID=1, PID=2, MAX_BCDDEVICE=65536"), QXSTATUS_OUT_OF_RANGE);
  log.Clear();
  EXPECT_EQ(Parse("VID=12ab, PID=1"), QXSTATUS_INVALID_FORMAT);
  EXPECT_TRUE(log.Contains("key='VID' QXConvertStringToNumeric(12ab) failed, st=0xee000051")) << log.Dump();
  EXPECT_EQ(Parse("VID=0x, PID=1"), QXSTATUS_INVALID_FORMAT);
  EXPECT_EQ(Parse("VID=one, PID=1"), QXSTATUS_INVALID_FORMAT);
}

TEST_F(FilterDescriptionTest, EightBitKeysStopAt0xFF) {
  QXUsbDeviceFilterDescription all(kQXFilterKeyAll, 0);
  QXUsbDeviceFilter f;
  ASSERT_EQ(all.ParseFilterDescription(f, "IF_NUMBER=0xFF, IF_CLASS=254, IF_SUBCLASS=1, IF_PROT=0"), QXSTATUS_SUCCESS);
  ASSERT_EQ(f.entries.size(), 1u);
  EXPECT_EQ(f.entries[0].interfaceNumber, 0xFF);
  EXPECT_EQ(f.entries[0].interfaceClass, 254);
  EXPECT_EQ(f.entries[0].interfaceSubClass, 1);
  EXPECT_EQ(f.entries[0].interfaceProtocol, 0);
  EXPECT_EQ(f.entries[0].vendorId, -1);
  for (const char* text : {"IF_NUMBER=0x100", "IF_CLASS=256", "IF_SUBCLASS=0x1FF", "IF_PROT=300"}) {
    EXPECT_EQ(all.ParseFilterDescription(f, text), QXSTATUS_OUT_OF_RANGE) << text;
  }
  EXPECT_EQ(all.ParseFilterDescription(f, "VID=0x100"), QXSTATUS_SUCCESS);  // 16-bit keys go further
}

TEST_F(FilterDescriptionTest, MalformedStatementsAndLines) {
  struct Case {
    const char* text;
    const char* message;
  };
  for (const Case& c : {
           Case{"VID=1=2, PID=3", "malformed statement: 'VID=1=2'"},
           Case{"VID 1, PID=3", "malformed statement: 'VID 1'"}, Case{" = 1, PID=3", "no key in statement: '= 1'"},
           Case{"VID=1, PID=  ", "no value in statement: 'PID='"}, Case{",,,", "no keys present in line ',,,'"},
           Case{"VID=1, PID=2, SERIAL=7", "unknown key 'SERIAL'"},
           Case{"VID=1, PID=2, If_Number=0", "unknown key 'If_Number'"},  // known key, not allowed
       }) {
    log.Clear();
    EXPECT_EQ(Parse(c.text), QXSTATUS_INVALID_FORMAT) << c.text;
    EXPECT_TRUE(log.Contains(c.message, kQXLogLevelError)) << c.text << "\n" << log.Dump();
  }
}

TEST_F(FilterDescriptionTest, FailureStopsAtTheFirstBadLineAndEmptiesTheFilter) {
  QXUsbDeviceFilterDescription withGuid(kQXFilterKeyAll, 0);
  EXPECT_EQ(withGuid.ParseFilterDescription(filter, "GUID={abc}\nVID=1\nVID=x\nPID=y"), QXSTATUS_INVALID_FORMAT);
  EXPECT_TRUE(filter.entries.empty());
  EXPECT_TRUE(filter.interfaceGuid.empty());
  EXPECT_EQ(log.Count("ParseLine("), 1u) << log.Dump();
  EXPECT_TRUE(log.Contains("ParseLine('VID=x') failed")) << log.Dump();
}

TEST_F(FilterDescriptionTest, GuidLinesSetTheInterfaceGuid) {
  QXUsbDeviceFilterDescription withGuid(kQXFilterKeyAll, kQXFilterKeyGuid | kQXFilterKeyVid);
  ASSERT_EQ(withGuid.ParseFilterDescription(filter, "guid = {first}\nVID=1\nGUID={second}\nVID=2"), QXSTATUS_SUCCESS)
      << log.Dump();
  EXPECT_EQ(filter.interfaceGuid, QXWString(QXW("{second}")));  // the later line wins
  ASSERT_EQ(filter.entries.size(), 2u);
  EXPECT_EQ(filter.entries[1].vendorId, 2);

  EXPECT_EQ(withGuid.ParseFilterDescription(filter, "VID=1\nVID=2"), QXSTATUS_INVALID_FORMAT);
  EXPECT_TRUE(log.Contains("GUID required but not specified", kQXLogLevelError)) << log.Dump();
  EXPECT_TRUE(filter.entries.empty());  // refused: no entries of the parsed lines remain

  EXPECT_EQ(withGuid.ParseFilterDescription(filter, "GUID={a}, VID=1"), QXSTATUS_INVALID_FORMAT);
  EXPECT_TRUE(log.Contains("GUID and additional keys present in line 'GUID={a}, VID=1'")) << log.Dump();

  EXPECT_EQ(withGuid.ParseFilterDescription(filter, "GUID={a}, guid={b}"), QXSTATUS_INVALID_FORMAT);
  EXPECT_TRUE(log.Contains("key 'guid' already present in this line")) << log.Dump();
}

TEST_F(FilterDescriptionTest, RequiredEightBitKey) {
  QXUsbDeviceFilterDescription needsInterface(kQXFilterKeyAll, kQXFilterKeyIfNumber);
  EXPECT_EQ(needsInterface.ParseFilterDescription(filter, "VID=1, PID=2"), QXSTATUS_INVALID_FORMAT);
  EXPECT_TRUE(log.Contains("Specification in this line is incomplete: 'VID=1, PID=2'")) << log.Dump();
  EXPECT_EQ(needsInterface.ParseFilterDescription(filter, "IF_NUMBER=0"), QXSTATUS_SUCCESS);
}

TEST_F(FilterDescriptionTest, MinAboveMaxIsAcceptedByTheParser) {
  ASSERT_EQ(Parse("VID=1, PID=2, MIN_BCDDEVICE=0x200, MAX_BCDDEVICE=0x100"), QXSTATUS_SUCCESS);
  ASSERT_EQ(filter.entries.size(), 1u);
  EXPECT_EQ(filter.entries[0].minBcdDevice, 0x200);
  EXPECT_EQ(filter.entries[0].maxBcdDevice, 0x100);
}

TEST_F(FilterDescriptionTest, ParsingTraceAtLevelSix) {
  log.SetLoggerLevel(kQXLogLevelTrace);
  ASSERT_EQ(Parse("VID=1, PID=2"), QXSTATUS_SUCCESS);
  EXPECT_TRUE(log.Contains("ParseLine: parsing line 'VID=1, PID=2'", kQXLogLevelTrace)) << log.Dump();
  EXPECT_TRUE(log.Contains("ParseKeyValue: parsing statement 'PID=2'", kQXLogLevelTrace)) << log.Dump();
  log.Clear();
  log.SetLoggerLevel(kQXLogLevelDetail);
  ASSERT_EQ(Parse("VID=1, PID=2"), QXSTATUS_SUCCESS);
  EXPECT_FALSE(log.Contains("parsing")) << log.Dump();
}

TEST_F(FilterDescriptionTest, NullTextIsRejected) {
  EXPECT_EQ(Parse(nullptr), QXSTATUS_INVALID_PARAMETER);
  EXPECT_TRUE(filter.entries.empty());
}

TEST(FilterDescriptionSplitTest, EarliestDelimiterWinsThenTheLongest) {
  using V = std::vector<std::string>;
  using D = QXUsbDeviceFilterDescription;
  EXPECT_EQ(D::SplitString("a,b,,c,", {","}), (V{"a", "b", "", "c", ""}));
  EXPECT_EQ(D::SplitString("", {","}), (V{""}));
  EXPECT_EQ(D::SplitString("abc", {","}), (V{"abc"}));
  EXPECT_EQ(D::SplitString("a\r\nb\rc\nd", {"\r", "\r\n", "\n"}), (V{"a", "b", "c", "d"}));
  EXPECT_EQ(D::SplitString("a\r\nb", {"\n", "\r"}), (V{"a", "", "b"}));
  EXPECT_EQ(D::SplitString("x::y:z", {":", "::"}), (V{"x", "y", "z"}));
  EXPECT_EQ(D::SplitString("a,b", {"", ","}), (V{"a", "b"}));  // an empty delimiter cannot loop
  EXPECT_EQ(D::TrimString(" \t\r\n a b \n\r\t "), "a b");
  EXPECT_EQ(D::TrimString("\v x \f"), "\v x \f");  // only the four trim characters
  EXPECT_EQ(D::TrimString(" \t "), "");
}

}  // namespace
}  // namespace plendrik
