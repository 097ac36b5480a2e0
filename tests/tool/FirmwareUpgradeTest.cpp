#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <regex>
#include <string>

#include "FakeConsole.h"
#include "FakeLibrary.h"
#include "FirmwareUpgrade.h"
#include "QXConsoleKeys.h"
#include "QXDfuApi.h"
#include "QXFirmwareResource.h"
#include "QXToolText.h"

namespace {

using namespace plendrik;

TEST(FlashToolText, ProgressLineOverwritesItselfAndGuardsAZeroTotal) {
  EXPECT_EQ(FormatProgressLine(QXDFU_UPGRADE_STATE_IN_PROGRESS, 1024, 4096),
            "State = InProgress : 1024 bytes of 4096 bytes downloaded (25 %)        \r");
  EXPECT_EQ(FormatProgressLine(QXDFU_UPGRADE_STATE_INITIALIZING, 0, 0),
            "State = Initializing : 0 bytes of 0 bytes downloaded (0 %)        \r");
  EXPECT_EQ(FormatProgressLine(7, 5, 0), "State = unknown : 5 bytes of 0 bytes downloaded (0 %)        \r");
  // Truncating integer percent, 64-bit sizes beyond 32 bits.
  EXPECT_EQ(ProgressPercent(1555479, 1555480), 99u);
  EXPECT_EQ(ProgressPercent(0x300000000ull, 0x400000000ull), 75u);
  EXPECT_EQ(FormatProgressLine(QXDFU_UPGRADE_STATE_FINISHED, 0x400000000ull, 0x400000000ull),
            "State = Finished : 17179869184 bytes of 17179869184 bytes downloaded (100 %)        \r");
}

TEST(FlashToolText, ElapsedTimeInSecondsWithThreeDecimals) {
  EXPECT_EQ(FormatFinishedLine(83456), "Upgrade successfully finished (took 83.456 seconds).\n");
  EXPECT_EQ(FormatFinishedLine(5), "Upgrade successfully finished (took 0.005 seconds).\n");
  EXPECT_EQ(FormatFinishedLine(60000), "Upgrade successfully finished (took 60.000 seconds).\n");
}

TEST(FlashToolText, FilterListsApplicationAndBootloaderIdentity) {
  char filter[256];
  BuildDeviceFilterDescription(filter, sizeof(filter));
  EXPECT_STREQ(filter, "VID=0x1209, PID=0x0001\nVID=0x1209, PID=0x0002\n");
  EXPECT_STREQ(RunModeText(1), "APP (application)");
  EXPECT_STREQ(RunModeText(2), "DFU (bootloader)");
  EXPECT_STREQ(RunModeText(3), "unknown");
}

// Runs the procedure against the fake library with its output captured.
class FirmwareUpgradeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mState = &fbtest::InstallFakeLibrary();
    QXSetConsoleInputPort(&mConsole);
    mOutput = tmpfile();
    ASSERT_NE(mOutput, nullptr);
    QXToolSetOutput(mOutput);
    sConsole = &mConsole;
    mState->pressKey = [] { sConsole->bytes.push_back('q'); };
    uint32_t image = 0;
    ASSERT_EQ(QXDfuApi::Instance().QXDFU_LoadFirmwareFromBuffer("fw", 2, 1, &image, 0), QXSTATUS_SUCCESS);
    mImage = image;
    BuildDeviceFilterDescription(mFilter, sizeof(mFilter));
    mState->calls.clear();
  }
  void TearDown() override {
    QXToolSetOutput(nullptr);
    QXSetConsoleInputPort(nullptr);
    fclose(mOutput);
    fbtest::RemoveFakeLibrary();
  }

  QXSTATUS Run() { return RunFirmwareUpgrade(mFilter, mImage); }

  // The printed text with the measured time replaced by "T".
  std::string Output() {
    fflush(mOutput);
    rewind(mOutput);
    std::string text;
    char buffer[512];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), mOutput)) > 0) {
      text.append(buffer, n);
    }
    return std::regex_replace(text, std::regex("took [0-9]+\\.[0-9]{3} seconds"), "took T seconds");
  }

  void ExpectNothingLeftOpen() {
    EXPECT_TRUE(mState->openDevices.empty());
    EXPECT_TRUE(mState->openEnumerations.empty());
  }

  static inline fbtest::FakeConsole* sConsole = nullptr;
  fbtest::FakeLibraryState* mState = nullptr;
  fbtest::FakeConsole mConsole;
  FILE* mOutput = nullptr;
  uint32_t mImage = 0;
  char mFilter[256] = {};
};

const char* const kFirstOpenApp =
    "Enumerate available devices...\n"
    "Found 1 device(s).\n"
    "Open device...\n"
    "Device is operating in run mode APP (application).\n";
const char* const kOpenBootloader =
    "Enumerate available devices...\n"
    "Found 1 device(s).\n"
    "Open device...\n"
    "Device is operating in run mode DFU (bootloader).\n";
const char* const kDownload =
    "Downloading to target 0, press any key to abort...\n"
    "State = Initializing : 0 bytes of 4096 bytes downloaded (0 %)        \r"
    "State = InProgress : 1024 bytes of 4096 bytes downloaded (25 %)        \r"
    "State = InProgress : 2048 bytes of 4096 bytes downloaded (50 %)        \r"
    "State = InProgress : 3072 bytes of 4096 bytes downloaded (75 %)        \r"
    "State = Finished : 4096 bytes of 4096 bytes downloaded (100 %)        \r"
    "\n"
    "Upgrade successfully finished (took T seconds).\n";
const char* const kBackToApp =
    "Rebooting device to revert back to APP mode...\n"
    "Firmware upgrade finished. The device should start in application run mode now.\n"
    "Waiting until device is gone...\n";

TEST_F(FirmwareUpgradeTest, FromApplicationModeThroughBootloaderBackToApplication) {
  EXPECT_EQ(Run(), QXSTATUS_SUCCESS);
  EXPECT_EQ(Output(), std::string(kFirstOpenApp) +
                          "Rebooting device to switch to DFU mode...\n"
                          "Waiting until device is gone...\n" +
                          kOpenBootloader + kDownload + kBackToApp);
  // First enumeration without waiting, the one after the reboot waits up to 20 s.
  EXPECT_EQ(mState->enumerateRetryCounts, (std::vector<uint32_t>{0, 200}));
  EXPECT_EQ(mState->enumerateRetryDelays, (std::vector<uint32_t>{0, 100}));
  EXPECT_EQ(mState->calls,
            (std::vector<std::string>{"Enumerate", "OpenDevice", "CloseEnumeration", "Reboot(BOOTLOADER)",
                                      "CloseDevice", "Enumerate", "OpenDevice", "CloseEnumeration", "StartUpgrade",
                                      "FinishUpgrade", "Reboot(APPLICATION)", "CloseDevice"}));
  ExpectNothingLeftOpen();
}

TEST_F(FirmwareUpgradeTest, DeviceInBootloaderIsClosedAndOpenedAgainBeforeTheDownload) {
  mState->listedRunModes = {QXDFU_RUN_MODE_BOOTLOADER};
  EXPECT_EQ(Run(), QXSTATUS_SUCCESS);
  EXPECT_EQ(Output(), std::string(kOpenBootloader) + kOpenBootloader + kDownload + kBackToApp);
  EXPECT_EQ(mState->calls, (std::vector<std::string>{"Enumerate", "OpenDevice", "CloseEnumeration", "CloseDevice",
                                                     "Enumerate", "OpenDevice", "CloseEnumeration", "StartUpgrade",
                                                     "FinishUpgrade", "Reboot(APPLICATION)", "CloseDevice"}));
  EXPECT_EQ(mState->enumerateRetryCounts, (std::vector<uint32_t>{0, 200}));
  ExpectNothingLeftOpen();
}

TEST_F(FirmwareUpgradeTest, NoDeviceAndTwoDevicesOpenNothing) {
  mState->listedRunModes = {};
  EXPECT_EQ(Run(), QXSTATUS_NO_DEVICES);
  EXPECT_EQ(Output(),
            "Enumerate available devices...\n"
            "No device found.\n"
            "EnumerateAndOpenDevice() failed, st=0xee000023 (QXSTATUS_NO_DEVICES)\n");

  TearDown();
  SetUp();
  mState->listedRunModes = {QXDFU_RUN_MODE_APPLICATION, QXDFU_RUN_MODE_BOOTLOADER};
  EXPECT_EQ(Run(), QXSTATUS_NOT_ALLOWED);
  EXPECT_EQ(Output(),
            "Enumerate available devices...\n"
            "Found 2 device(s).\n"
            "Firmware upgrade with multiple device instances in parallel is not supported.\n"
            "Please make sure that only one device is connected.\n"
            "EnumerateAndOpenDevice() failed, st=0xee000032 (QXSTATUS_NOT_ALLOWED)\n");
  EXPECT_EQ(mState->calls, (std::vector<std::string>{"Enumerate", "CloseEnumeration"}));
  ExpectNothingLeftOpen();
}

TEST_F(FirmwareUpgradeTest, KeyDuringDownloadAbortsWithoutReboot) {
  mState->listedRunModes = {QXDFU_RUN_MODE_BOOTLOADER};
  mState->keyAtQuery = 1;
  EXPECT_EQ(Run(), QXSTATUS_ABORTED);
  const std::string out = Output();
  EXPECT_NE(out.find("State = InProgress : 1024 bytes of 4096 bytes downloaded (25 %)        \r\n"
                     "Upgrade was aborted.\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(out.find("Rebooting device to revert"), std::string::npos);
  EXPECT_EQ(mState->calls.back(), "CloseDevice");
  EXPECT_EQ(mState->calls[mState->calls.size() - 2], "FinishUpgrade");
  EXPECT_EQ(mConsole.keyInputDepth, 0);
  ExpectNothingLeftOpen();
}

TEST_F(FirmwareUpgradeTest, LineEndsAndEndOfPipedInputDoNotAbort) {
  mState->listedRunModes = {QXDFU_RUN_MODE_BOOTLOADER};
  mConsole.bytes = {'\r', '\n'};
  mConsole.endOfInput = true;
  EXPECT_EQ(Run(), QXSTATUS_SUCCESS);
  EXPECT_NE(Output().find(kBackToApp), std::string::npos);
}

TEST_F(FirmwareUpgradeTest, FailedDownloadReportsTheDeviceErrorAndDoesNotReboot) {
  mState->listedRunModes = {QXDFU_RUN_MODE_BOOTLOADER};
  mState->failAtQuery = 2;
  EXPECT_EQ(Run(), 0xEE001104u);
  const std::string out = Output();
  EXPECT_NE(out.find("State = Failed : 1024 bytes of 4096 bytes downloaded (25 %)        \r\n"
                     "Upgrade failed, completionStatus=0xee001104 (unknown).\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(out.find("Rebooting device to revert"), std::string::npos);
  ExpectNothingLeftOpen();
}

TEST_F(FirmwareUpgradeTest, DeviceThatStaysAfterTheBootloaderRequestTimesOut) {
  mState->disconnectOnReboot = false;
  EXPECT_EQ(Run(), QXSTATUS_TIMEOUT);
  EXPECT_EQ(Output(), std::string(kFirstOpenApp) +
                          "Rebooting device to switch to DFU mode...\n"
                          "Waiting until device is gone...\n"
                          "Device did not disconnect after reboot request. Upgrade failed.\n");
  ExpectNothingLeftOpen();
}

TEST_F(FirmwareUpgradeTest, DeviceThatStaysAfterTheApplicationRequestOnlyWarns) {
  mState->listedRunModes = {QXDFU_RUN_MODE_BOOTLOADER};
  mState->disconnectOnRebootToApplication = false;
  EXPECT_EQ(Run(), QXSTATUS_TIMEOUT);
  EXPECT_EQ(Output(), std::string(kOpenBootloader) + kOpenBootloader + kDownload + kBackToApp +
                          "Device did not disconnect after reboot request.\n");
  ExpectNothingLeftOpen();
}

TEST_F(FirmwareUpgradeTest, DeviceThatDoesNotComeBackInItsBootloader) {
  mState->rejoinAfterReboot = false;
  EXPECT_EQ(Run(), QXSTATUS_NO_DEVICES);
  EXPECT_EQ(Output(), std::string(kFirstOpenApp) +
                          "Rebooting device to switch to DFU mode...\n"
                          "Waiting until device is gone...\n"
                          "Enumerate available devices...\n"
                          "No device found.\n"
                          "EnumerateAndOpenDevice(after reboot) failed, st=0xee000023 (QXSTATUS_NO_DEVICES)\n"
                          "If Windows is currently installing drivers, try to run the upgrade again after driver "
                          "installation has finished.\n");
  ExpectNothingLeftOpen();
}

TEST_F(FirmwareUpgradeTest, UnknownRunModeAndImageThatDidNotLoad) {
  mState->listedRunModes = {QXDFU_RUN_MODE_UNKNOWN};
  EXPECT_EQ(Run(), QXSTATUS_FAILED);
  EXPECT_NE(Output().find("Device is operating in run mode unknown.\nUnexpected run mode 0. Upgrade failed.\n"),
            std::string::npos);
  ExpectNothingLeftOpen();

  TearDown();
  SetUp();
  mState->listedRunModes = {QXDFU_RUN_MODE_BOOTLOADER};
  EXPECT_EQ(RunFirmwareUpgrade(mFilter, 0), QXSTATUS_INVALID_HANDLE);
  EXPECT_NE(Output().find("StartUpgrade(0) failed, st=0xee000048 (QXSTATUS_INVALID_HANDLE)\n"), std::string::npos);
  ExpectNothingLeftOpen();
}

TEST_F(FirmwareUpgradeTest, EntryPointsThatAreNotLoaded) {
  QXDfuApi& api = QXDfuApi::Instance();
  api.QXDFU_RebootDevice = nullptr;
  EXPECT_EQ(Run(), QXSTATUS_NOT_AVAILABLE);
  EXPECT_NE(Output().find("RebootDevice(BOOTLOADER) failed, st=0xee000034 (unknown)\n"), std::string::npos);
  ExpectNothingLeftOpen();

  // Without the error text entry the name is empty; without the close entry the handle is
  // dropped all the same.
  TearDown();
  SetUp();
  api.QXDFU_GetErrorText = nullptr;
  api.QXDFU_CloseEnumeration = nullptr;
  mState->listedRunModes = {};
  EXPECT_EQ(Run(), QXSTATUS_NO_DEVICES);
  EXPECT_NE(Output().find("EnumerateAndOpenDevice() failed, st=0xee000023 ()\n"), std::string::npos);
  EXPECT_STREQ(QXDfuErrorText(QXSTATUS_NO_DEVICES), "");
  EXPECT_EQ(QXDfuCall(api.QXDFU_CloseEnumeration, 1u), QXSTATUS_NOT_AVAILABLE);
}

TEST_F(FirmwareUpgradeTest, DeclinedConfirmationLoadsNothing) {
  fbtest::RemoveFakeLibrary();
  mConsole.terminal = true;
  mConsole.bytes = {'n'};
  EXPECT_EQ(static_cast<uint32_t>(RunFlashTool()), 0xEE000010u);
  EXPECT_EQ(Output(),
            "Veltrane Mix 20\n"
            "This program will update your FW to version 2.39\n"
            "Press (y) to continue !\n");
  EXPECT_EQ(QXDfuApi::Instance().module, nullptr);
  EXPECT_EQ(mConsole.keyInputDepth, 0);
}

}  // namespace

namespace {

TEST(FlashToolImage, CarriedImageIsTheGeneratedFileByteForByte) {
  const uint8_t* data = nullptr;
  size_t size = 0;
  ASSERT_TRUE(plendrik::QXLoadFirmwareResource(data, size));
  FILE* f = fopen(FB_FLASHTOOL_IMAGE_FILE, "rb");
  ASSERT_NE(f, nullptr) << FB_FLASHTOOL_IMAGE_FILE;
  std::string file;
  char buffer[65536];
  size_t n;
  while ((n = fread(buffer, 1, sizeof(buffer), f)) > 0) {
    file.append(buffer, n);
  }
  fclose(f);
  ASSERT_EQ(size, file.size());
  EXPECT_EQ(memcmp(data, file.data(), size), 0);
}

}  // namespace
