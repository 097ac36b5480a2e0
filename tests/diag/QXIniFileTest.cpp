// Reading ini files: sections and keys regardless of letter case, comments, byte order mark,
// repeated keys, and the failure statuses.
#include <gtest/gtest.h>

#include "diag/QXIniFile.h"
#include "support/TempDir.h"

namespace plendrik {
namespace {

TEST(QXIniFile, ParsesSectionsKeysAndComments) {
  fbtest::TempDir dir;
  fbtest::WriteFileBytes(dir.File("a.ini"),
                         "\xEF\xBB\xBF[DriverInterface]\r\n"
                         "; a comment\r\n"
                         "# another = comment\r\n"
                         "  InterfaceGUID  =  {6E45736A-2B1B-4078-B772-B3AF2B6FDE1C}  \r\n"
                         "Key=first\r\n"
                         "[other]\r\n"
                         "x=1\r\n"
                         "[driverinterface]\r\n"
                         "key=second\r\n");
  QXIniDocument doc;
  ASSERT_EQ(LoadIniFile(doc, fbtest::ToQXWString(dir.File("a.ini"))), QXSTATUS_SUCCESS);
  ASSERT_NE(GetStringValue(doc, "DRIVERINTERFACE", "interfaceguid"), nullptr);
  EXPECT_STREQ(GetStringValue(doc, "DRIVERINTERFACE", "interfaceguid"), "{6E45736A-2B1B-4078-B772-B3AF2B6FDE1C}");
  // A section named twice is one section, and the later value of a key wins.
  EXPECT_STREQ(GetStringValue(doc, "DriverInterface", "Key"), "second");
  EXPECT_STREQ(GetStringValue(doc, "Other", "X"), "1");
  EXPECT_EQ(GetStringValue(doc, "DriverInterface", "a comment"), nullptr);
  EXPECT_EQ(GetStringValue(doc, "Missing", "x"), nullptr);
}

TEST(QXIniFile, MissingAndEmptyFiles) {
  fbtest::TempDir dir;
  QXIniDocument doc;
  EXPECT_EQ(LoadIniFile(doc, fbtest::ToQXWString(dir.File("none.ini"))), QXSTATUS_OPEN_FILE_FAILED);
  fbtest::WriteFileBytes(dir.File("empty.ini"), "");
  EXPECT_EQ(LoadIniFile(doc, fbtest::ToQXWString(dir.File("empty.ini"))), QXSTATUS_SUCCESS);
  EXPECT_EQ(GetStringValue(doc, "a", "b"), nullptr);
  // A folder cannot be read as a file.
  const QXSTATUS st = LoadIniFile(doc, fbtest::ToQXWString(dir.Path()));
  EXPECT_TRUE(st == QXSTATUS_OPEN_FILE_FAILED || st == QXSTATUS_READ_FILE_FAILED) << std::hex << st;
}

TEST(QXIniFile, LoadingAgainForgetsTheEarlierDocument) {
  fbtest::TempDir dir;
  fbtest::WriteFileBytes(dir.File("a.ini"), "[s]\nk=v\n");
  QXIniDocument doc;
  ASSERT_EQ(LoadIniFile(doc, fbtest::ToQXWString(dir.File("a.ini"))), QXSTATUS_SUCCESS);
  EXPECT_EQ(LoadIniFile(doc, fbtest::ToQXWString(dir.File("gone.ini"))), QXSTATUS_OPEN_FILE_FAILED);
  EXPECT_EQ(GetStringValue(doc, "s", "k"), nullptr);
}

}  // namespace
}  // namespace plendrik
