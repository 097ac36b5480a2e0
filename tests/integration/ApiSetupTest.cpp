// The set-up exports as a caller sees them after loading the library at run time.
#include <gtest/gtest.h>

#include <string>

#include "LibraryLoader.h"
#include "flashbridge.h"

namespace {

using GetApiVersionFn = uint32_t (*)();
using CheckApiVersionFn = int32_t (*)(uint32_t, uint32_t);
using GetUniCharSizeFn = uint32_t (*)();
using GetErrorTextFn = const char* (*)(QXSTATUS);
using StartFileLoggingFn = QXSTATUS (*)(const QXDFU_WCHAR*, uint32_t);

class ApiSetup : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(mLib.Load()) << fbtest::LibraryLoader::LibraryPath(); }
  fbtest::LibraryLoader mLib;
};

TEST_F(ApiSetup, VersionAndCharacterSize) {
  auto getVersion = mLib.Resolve<GetApiVersionFn>("QXDFU_GetApiVersion");
  auto check = mLib.Resolve<CheckApiVersionFn>("QXDFU_CheckApiVersion");
  auto charSize = mLib.Resolve<GetUniCharSizeFn>("QXDFU_GetUniCharSize");
  ASSERT_NE(getVersion, nullptr);
  ASSERT_NE(check, nullptr);
  ASSERT_NE(charSize, nullptr);
  EXPECT_EQ(getVersion(), 0x0001000Du);
  EXPECT_EQ(charSize(), 2u);
  EXPECT_EQ(check(1, 13), 1);
  EXPECT_EQ(check(1, 0), 1);
  EXPECT_EQ(check(1, 14), 0);
  EXPECT_EQ(check(0, 13), 0);
  EXPECT_EQ(check(2, 0), 0);
}

TEST_F(ApiSetup, ErrorTextsNeverNull) {
  auto text = mLib.Resolve<GetErrorTextFn>("QXDFU_GetErrorText");
  ASSERT_NE(text, nullptr);
  EXPECT_STREQ(text(0), "QXSTATUS_SUCCESS");
  EXPECT_STREQ(text(0xEE000048), "QXSTATUS_INVALID_HANDLE");
  EXPECT_STREQ(text(0xEE00004C), "unknown");
  EXPECT_STREQ(text(0xE0020005), "QXSTATUS_CR_INVALID_DEVNODE");
  EXPECT_STREQ(text(0xEF000004), "QXSTATUS_USBD_STATUS_STALL_PID");
  EXPECT_STREQ(text(0xAF000200), "QXSTATUS_USBD_STATUS_INVALID_URB_FUNCTION");
  EXPECT_STREQ(text(0xEE00110A), "unknown");
  EXPECT_STREQ(text(0xEE001100), "QXSTATUS_DFU_STATUS_ERROR");
  // Windows error codes have no name here.
  EXPECT_STREQ(text(5), "unknown");
  // The pointer stays valid: the same text comes back.
  EXPECT_EQ(text(0xEE000048), text(0xEE000048));
}

TEST_F(ApiSetup, OnlyTheImplementedExportsAreVisible) {
  for (const char* name : {"QXDFU_GetApiVersion", "QXDFU_CheckApiVersion", "QXDFU_GetUniCharSize",
                           "QXDFU_GetErrorText", "QXDFU_StartFileLogging"}) {
    EXPECT_NE(mLib.Resolve<void*>(name), nullptr) << name;
  }
  // Internal functions are not exported.
  EXPECT_EQ(mLib.Resolve<void*>("_ZN8plendrik12QXStatusNameEj"), nullptr);
}

}  // namespace
