// Logging of the loaded library: the logging file beside it, QXDFU_StartFileLogging, the
// banner and the API trace.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>

#include "LibraryLoader.h"
#include "flashbridge.h"
#include "support/TempDir.h"

namespace {

using GetApiVersionFn = uint32_t (*)();
using CheckApiVersionFn = int32_t (*)(uint32_t, uint32_t);
using StartFileLoggingFn = QXSTATUS (*)(const QXDFU_WCHAR*, uint32_t);
using LoadFromBufferFn = QXSTATUS (*)(const void*, uint64_t, uint32_t, uint32_t*, uint32_t);

std::filesystem::path LoggingIniPath() {
  return std::filesystem::path(fbtest::LibraryLoader::LibraryPath() + ".logging.ini");
}

class ApiLogging : public ::testing::Test {
 protected:
  void TearDown() override {
    mLib.Unload();
    std::filesystem::remove(LoggingIniPath());
  }
  void Load() { ASSERT_TRUE(mLib.Load()); }
  std::string LogText(const std::string& name) { return fbtest::ReadFileBytes(mDir.File(name)); }
  fbtest::TempDir mDir;
  fbtest::LibraryLoader mLib;
};

TEST_F(ApiLogging, IniFileBesideTheLibraryStartsTheLogWithBannerAndTrace) {
  fbtest::WriteFileBytes(LoggingIniPath(), "[Target.LogFile]\r\nLogFile=" + mDir.File("lib.log").string() +
                                               "\r\nFlushAfterWrite=1\r\n[Logger.Global]\r\nLogLevel=4\r\n");
  Load();
  auto version = mLib.Resolve<GetApiVersionFn>("QXDFU_GetApiVersion");
  auto check = mLib.Resolve<CheckApiVersionFn>("QXDFU_CheckApiVersion");
  EXPECT_EQ(version(), 0x0001000Du);
  EXPECT_EQ(check(2, 0), 0);
  const std::string text = LogText("lib.log");
  const std::string prefix = R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} \[\d+\] \(\d+\) flashbridge: )";
  EXPECT_TRUE(std::regex_search(text, std::regex(prefix + R"(Global: INFO: plendrik::PrintBanner: \r\n)")));
  EXPECT_TRUE(std::regex_search(
      text, std::regex(prefix + R"(Global: INFO: plendrik::PrintBanner:  \*\*\*\* Version 2\.60\.0 release x64 build )"
                                R"(timestamp: [A-Z][a-z]{2} [ 1-3]\d \d{4} \d{2}:\d{2}:\d{2}\r\n)")))
      << text;
  EXPECT_TRUE(std::regex_search(text, std::regex(prefix + R"(Global: INFO: DllMain:  \*\*\*\* DLL_PROCESS_ATTACH\r\n)")));
  EXPECT_TRUE(std::regex_search(text, std::regex(prefix + R"(DFUAPI: INFO: QXDFU_GetApiVersion: \[ \r\n)")));
  EXPECT_TRUE(std::regex_search(text, std::regex(prefix + R"(DFUAPI: INFO: QXDFU_GetApiVersion: \] \r\n)")));
  EXPECT_TRUE(std::regex_search(
      text, std::regex(prefix + R"(DFUAPI: INFO: QXDFU_CheckApiVersion: \[ majorVersion=2, minorVersion=0\r\n)")));
  EXPECT_TRUE(std::regex_search(
      text, std::regex(prefix + R"(Global: ERROR: plendrik::DfuApi::CheckApiVersion: API version 1\.13 is )"
                                R"(incompatible with requested version 2\.0\r\n)")));
  // The configuration file is missing: reported, and the library still loaded.
  EXPECT_NE(text.find("plendrik::DfuApi::ReadConfigFile: LoadIniFile("), std::string::npos);
  mLib.Unload();
  EXPECT_NE(LogText("lib.log").find("DllMain:  **** DLL_PROCESS_DETACH\r\n"), std::string::npos);
}

TEST_F(ApiLogging, ApiLevelTwoSuppressesTheTraceButNotErrors) {
  fbtest::WriteFileBytes(LoggingIniPath(), "[Target.LogFile]\nLogFile=" + mDir.File("quiet.log").string() +
                                               "\n[Logger.DFUAPI]\nLogLevel=2\n");
  Load();
  auto check = mLib.Resolve<CheckApiVersionFn>("QXDFU_CheckApiVersion");
  EXPECT_EQ(check(0, 13), 0);
  mLib.Unload();
  const std::string text = LogText("quiet.log");
  EXPECT_EQ(text.find("DFUAPI:"), std::string::npos);
  EXPECT_NE(text.find("API version 1.13 is incompatible with requested version 0.13"), std::string::npos);
}

TEST_F(ApiLogging, StartFileLoggingOpensTheFileOnce) {
  Load();
  auto start = mLib.Resolve<StartFileLoggingFn>("QXDFU_StartFileLogging");
  const plendrik::QXWString first = fbtest::ToQXWString(mDir.File("first.log"));
  const plendrik::QXWString second = fbtest::ToQXWString(mDir.File("second.log"));
  // An unknown flag bit is ignored, not rejected.
  ASSERT_EQ(start(first.c_str(), QXDFU_LOGGING_FLAG_FLUSH_AFTER_WRITE | 0x4), QXSTATUS_SUCCESS);
  EXPECT_EQ(start(second.c_str(), 0), QXSTATUS_ALREADY_DONE);
  // The refused second call left the running file's options alone: still flushed per line.
  const std::string text = LogText("first.log");
  // The banner opens the new file, and the second call's trace and failure follow it.
  EXPECT_EQ(text.find("plendrik::PrintBanner: \r\n"), text.find("Global: INFO: ") +
                                                          std::string("Global: INFO: ").size());
  EXPECT_NE(text.find("QXDFU_StartFileLogging: [ logFileName="), std::string::npos);
  EXPECT_NE(text.find("second.log, flags=0x00000000\r\n"), std::string::npos);
  EXPECT_NE(text.find("gLogTargets.LogFile.StartTarget() failed, st=0xee000008(QXSTATUS_ALREADY_DONE)"),
            std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(mDir.File("second.log")));
}

TEST_F(ApiLogging, UnloadingTheLibraryReportsAndReleasesLeakedHandles) {
  Load();
  auto start = mLib.Resolve<StartFileLoggingFn>("QXDFU_StartFileLogging");
  auto load = mLib.Resolve<LoadFromBufferFn>("QXDFU_LoadFirmwareFromBuffer");
  const plendrik::QXWString path = fbtest::ToQXWString(mDir.File("leak.log"));
  ASSERT_EQ(start(path.c_str(), 0), QXSTATUS_SUCCESS);
  const std::string bytes(64, '\x5A');
  uint32_t image1 = 0, image2 = 0;
  ASSERT_EQ(load(bytes.data(), bytes.size(), QXDFU_IMAGE_TYPE_RAW_BINARY, &image1, 0), QXSTATUS_SUCCESS);
  ASSERT_EQ(load(bytes.data(), bytes.size(), QXDFU_IMAGE_TYPE_RAW_BINARY, &image2, 0), QXSTATUS_SUCCESS);
  mLib.Unload();
  const std::string text = LogText("leak.log");
  const size_t leaked = text.find("WARN: plendrik::DfuApi::~DfuApi: The application has leaked image handles\r\n");
  const size_t left = text.find("WARN: plendrik::QXHandleBasedMapT<");
  EXPECT_NE(leaked, std::string::npos) << text;
  EXPECT_EQ(text.find("leaked enumeration handles"), std::string::npos);
  EXPECT_EQ(text.find("leaked device handles"), std::string::npos);
  ASSERT_NE(left, std::string::npos) << text;
  EXPECT_LT(leaked, left);
  EXPECT_NE(text.find("There are 2 handles left\r\n", left), std::string::npos) << text;
}

}  // namespace
