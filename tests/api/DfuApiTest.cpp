// The API frame: configuration file, string buffers, version check and enumeration texts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "api/DfuApi.h"
#include "device/DfuSessionProtocol.h"
#include "diag/QXStringBuffer.h"
#include "os/QXOsSystem.h"
#include "support/TempDir.h"
#include "support/TestLogTarget.h"

namespace plendrik {
namespace {

class DfuApiConfig : public ::testing::Test {
 protected:
  void SetUp() override { mSaved = gDfuApi.GetDriverInterfaceGuid(); }
  void TearDown() override { gDfuApi.SetDriverInterfaceGuid(mSaved); }
  std::string mSaved;
  fbtest::TempDir mDir;
};

TEST_F(DfuApiConfig, ReadsTheInterfaceGuid) {
  gDfuApi.SetDriverInterfaceGuid("");
  fbtest::WriteFileBytes(mDir.File("lib.config.ini"),
                         "[driverinterface]\ninterfaceguid = {6E45736A-2B1B-4078-B772-B3AF2B6FDE1C}\n");
  EXPECT_EQ(gDfuApi.ReadConfigFile(fbtest::ToQXWString(mDir.File("lib.config.ini"))), QXSTATUS_SUCCESS);
  EXPECT_EQ(gDfuApi.GetDriverInterfaceGuid(), "{6E45736A-2B1B-4078-B772-B3AF2B6FDE1C}");
}

TEST_F(DfuApiConfig, MissingFileOrKeyIsLoggedAndLeavesTheGuidEmpty) {
  gDfuApi.SetDriverInterfaceGuid("");
  TestLogTarget log(gLogGlobal, kQXLogLevelAll);
  EXPECT_EQ(gDfuApi.ReadConfigFile(fbtest::ToQXWString(mDir.File("none.config.ini"))), QXSTATUS_OPEN_FILE_FAILED);
  EXPECT_TRUE(log.Contains("plendrik::DfuApi::ReadConfigFile: LoadIniFile(", kQXLogLevelError));
  EXPECT_TRUE(log.Contains("none.config.ini) failed, st=0xee000090(QXSTATUS_OPEN_FILE_FAILED)"));
  fbtest::WriteFileBytes(mDir.File("nokey.config.ini"), "[DriverInterface]\nOther=1\n");
  EXPECT_EQ(gDfuApi.ReadConfigFile(fbtest::ToQXWString(mDir.File("nokey.config.ini"))), QXSTATUS_OBJECT_NOT_FOUND);
  EXPECT_TRUE(log.Contains("GetStringValue failed, st=0xee000081(QXSTATUS_OBJECT_NOT_FOUND)"));
  EXPECT_EQ(gDfuApi.GetDriverInterfaceGuid(), "");
}

// Collects the debugger output while alive.
class DebugOutput {
 public:
  DebugOutput() {
    QXOsSetDebugOutputObserver([this](const char* text) { mText += text; });
  }
  ~DebugOutput() { QXOsSetDebugOutputObserver(nullptr); }
  const std::string& Text() const { return mText; }

 private:
  std::string mText;
};

// Without a log file these mistakes would be invisible: enumeration may answer 0 devices.
TEST_F(DfuApiConfig, ConfigurationMistakesReachTheDebuggerOutput) {
  DebugOutput debug;
  fbtest::WriteFileBytes(mDir.File("bad.config.ini"), "[DriverInterface]\nInterfaceGUID = 6E45736A-2B1B\n");
  EXPECT_EQ(gDfuApi.ReadConfigFile(fbtest::ToQXWString(mDir.File("bad.config.ini"))), QXSTATUS_SUCCESS);
  EXPECT_NE(debug.Text().find("ERROR: plendrik::DfuApi::ReadConfigFile: InterfaceGUID '6E45736A-2B1B' in "),
            std::string::npos)
      << debug.Text();
  EXPECT_NE(debug.Text().find("bad.config.ini is not a braced GUID"), std::string::npos);

  fbtest::WriteFileBytes(mDir.File("nokey.config.ini"), "[DriverInterface]\n");
  gDfuApi.ReadConfigFile(fbtest::ToQXWString(mDir.File("nokey.config.ini")));
  EXPECT_NE(debug.Text().find("nokey.config.ini has no InterfaceGUID in [DriverInterface]"), std::string::npos);

#if !defined(_WIN32)
  fbtest::WriteFileBytes(mDir.File("devices.ini"), "[Device]\nVendorId = +4617\n");
  fbtest::WriteFileBytes(mDir.File("sim.config.ini"),
                         "[DriverInterface]\nInterfaceGUID = {6E45736A-2B1B-4078-B772-B3AF2B6FDE1C}\n"
                         "[Simulation]\nDeviceFile = devices.ini\n");
  EXPECT_EQ(gDfuApi.ReadConfigFile(fbtest::ToQXWString(mDir.File("sim.config.ini"))), QXSTATUS_SUCCESS);
  EXPECT_NE(debug.Text().find("ERROR: plendrik::QXLoadSimulatedDevices: simulated device file "), std::string::npos)
      << debug.Text();
  EXPECT_NE(debug.Text().find("devices.ini not loaded: line 2: invalid value '+4617' for 'vendorid'"),
            std::string::npos)
      << debug.Text();
#endif
}

TEST(QXCopyStringToStringBuffer, CopiesOnlyWhatFits) {
  const QXWString source = QXW("abc");
  QXWChar buffer[8];
  std::fill(std::begin(buffer), std::end(buffer), QXWChar('#'));
  EXPECT_EQ(QXCopyStringToStringBuffer(source, buffer, 4), QXSTATUS_SUCCESS);
  EXPECT_EQ(QXWString(buffer), QXW("abc"));
  EXPECT_EQ(buffer[4], QXWChar('#')) << "nothing written past the terminator";

  std::fill(std::begin(buffer), std::end(buffer), QXWChar('#'));
  TestLogTarget log(gLogGlobal, kQXLogLevelAll);
  EXPECT_EQ(QXCopyStringToStringBuffer(source, buffer, 3), QXSTATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(buffer[0], QXWChar('#')) << "the buffer is untouched on failure";
  EXPECT_TRUE(log.Contains("stringBufferMaxItems 3 too small"));
  EXPECT_EQ(QXCopyStringToStringBuffer(source, buffer, 0), QXSTATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(QXCopyStringToStringBuffer(QXWString(), buffer, 8), QXSTATUS_NOT_AVAILABLE);
  EXPECT_EQ(buffer[0], QXWChar('#'));
  // A source with an embedded NUL is copied up to it.
  const QXWString embedded(QXW("ab\0cd"), 5);
  EXPECT_EQ(QXCopyStringToStringBuffer(embedded, buffer, 8), QXSTATUS_SUCCESS);
  EXPECT_EQ(QXWString(buffer), QXW("ab"));
}

TEST(DfuApiFrame, EnumerationTexts) {
  EXPECT_STREQ(DfuRunModeText(QXDFU_RUN_MODE_BOOTLOADER), "Bootloader");
  EXPECT_STREQ(DfuRunModeText(7), "unknown");
  EXPECT_STREQ(DfuDeviceTypeText(QXDFU_DEVICE_TYPE_USB_DFU), "USB DFU");
  EXPECT_STREQ(DfuUpgradeStateText(QXDFU_UPGRADE_STATE_IN_PROGRESS), "InProgress");
  EXPECT_STREQ(DfuUpgradeStateText(5), "unknown");
}

}  // namespace
}  // namespace plendrik
