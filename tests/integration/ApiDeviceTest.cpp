// The device exports as a caller sees them after loading the library at run time: all ten are
// exported, and each refuses handles it does not know and missing outputs before any work.
#include <gtest/gtest.h>

#include "LibraryLoader.h"
#include "flashbridge.h"

namespace {

using CompareFn = QXSTATUS (*)(uint32_t, uint32_t, uint32_t);
using OpenFn = QXSTATUS (*)(uint32_t, uint32_t, uint32_t*, uint32_t);
using HandleFn = QXSTATUS (*)(uint32_t);
using PropertyUintFn = QXSTATUS (*)(uint32_t, uint32_t, uint32_t*);
using PropertyStringFn = QXSTATUS (*)(uint32_t, uint32_t, QXDFU_WCHAR*, uint32_t);
using RebootFn = QXSTATUS (*)(uint32_t, uint32_t, uint32_t);
using StartFn = QXSTATUS (*)(uint32_t, uint32_t, uint32_t, uint32_t);
using StatusFn = QXSTATUS (*)(uint32_t, uint32_t*, uint64_t*, uint64_t*, QXSTATUS*);
using FinishFn = QXSTATUS (*)(uint32_t, uint32_t);

class ApiDevice : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(mLib.Load()) << fbtest::LibraryLoader::LibraryPath(); }
  template <class F>
  F Get(const char* name) {
    F f = mLib.Resolve<F>(name);
    EXPECT_NE(f, nullptr) << name;
    return f;
  }
  fbtest::LibraryLoader mLib;
};

TEST_F(ApiDevice, UnknownHandlesAndMissingOutputsAreRefused) {
  auto compare = Get<CompareFn>("QXDFU_CompareDeviceInstance");
  auto open = Get<OpenFn>("QXDFU_OpenDevice");
  auto close = Get<HandleFn>("QXDFU_CloseDevice");
  auto check = Get<HandleFn>("QXDFU_CheckDeviceConnection");
  auto propertyUint = Get<PropertyUintFn>("QXDFU_GetDevicePropertyUint");
  auto propertyString = Get<PropertyStringFn>("QXDFU_GetDevicePropertyString");
  auto reboot = Get<RebootFn>("QXDFU_RebootDevice");
  auto start = Get<StartFn>("QXDFU_StartUpgrade");
  auto status = Get<StatusFn>("QXDFU_GetUpgradeStatus");
  auto finish = Get<FinishFn>("QXDFU_FinishUpgrade");
  ASSERT_FALSE(HasFailure());

  uint32_t handle = 0xDEAD;
  EXPECT_EQ(open(0x00010000, 0, nullptr, 0), QXSTATUS_INVALID_PARAMETER);
  EXPECT_EQ(open(0x00010000, 0, &handle, 0), QXSTATUS_INVALID_HANDLE);
  EXPECT_EQ(handle, 0u) << "the out-handle is cleared before the look-up";
  EXPECT_EQ(compare(0, 0, 0), QXSTATUS_INVALID_HANDLE);
  uint32_t value = 0;
  uint64_t bytes = 0;
  QXSTATUS completion = 0;
  QXDFU_WCHAR buffer[8];
  for (const uint32_t device : {0u, 0x00010000u, 0xFFFFFFFFu}) {
    EXPECT_EQ(close(device), QXSTATUS_INVALID_HANDLE);
    EXPECT_EQ(check(device), QXSTATUS_INVALID_HANDLE);
    EXPECT_EQ(propertyUint(device, QXDFU_DEVICE_PROPERTY_VENDOR_ID, &value), QXSTATUS_INVALID_HANDLE);
    EXPECT_EQ(propertyString(device, QXDFU_DEVICE_PROPERTY_PRODUCT, buffer, 8), QXSTATUS_INVALID_HANDLE);
    EXPECT_EQ(reboot(device, QXDFU_RUN_MODE_BOOTLOADER, 0), QXSTATUS_INVALID_HANDLE);
    EXPECT_EQ(start(device, 0x00010000, 0, 0), QXSTATUS_INVALID_HANDLE);
    EXPECT_EQ(status(device, &value, &bytes, &bytes, &completion), QXSTATUS_INVALID_HANDLE);
    EXPECT_EQ(finish(device, 0), QXSTATUS_INVALID_HANDLE);
  }
}

}  // namespace
