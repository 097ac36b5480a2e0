// The device session through the exported functions: open and its flags, properties,
// connection check, comparison with an enumeration, reboot and the rebooting and closed states.
#include <gtest/gtest.h>

#include <cstdio>

#include "device/DfuDeviceTestFixture.h"
#include "support/TestLogTarget.h"

namespace fbdev {
namespace {

class DfuDeviceSession : public DfuDeviceTest {};

uint32_t Enumerate(uint32_t* count = nullptr) {
  uint32_t handle = 0;
  uint32_t n = 0;
  EXPECT_EQ(QXDFU_EnumerateUsbDfuDevices("VID=0x1209, PID=0x2002", &handle, &n, 0, 0, 0), QXSTATUS_SUCCESS);
  if (count != nullptr) {
    *count = n;
  }
  return handle;
}

TEST_F(DfuDeviceSession, OpenRefusesEveryFlagAndWarnsAboutTheWithdrawnOne) {
  const uint32_t enumeration = Enumerate();
  TestLogTarget log;
  uint32_t handle = 0xDEAD;
  EXPECT_EQ(QXDFU_OpenDevice(enumeration, 0, &handle, 1), QXSTATUS_INVALID_PARAMETER);
  EXPECT_EQ(handle, 0u);
  EXPECT_TRUE(
      log.Contains("The flag QXDFU_DEVICE_FLAG_USE_XMOS_DFU_EXTENSIONS is no longer supported. See "
                   "QXDFU_RebootDevice() and QXDFU_StartUpgrade().",
                   kQXLogLevelWarn));
  EXPECT_TRUE(log.Contains("invalid parameter: flags=1", kQXLogLevelError));
  EXPECT_TRUE(log.Contains("OpenDevice failed, st=0xee000041(QXSTATUS_INVALID_PARAMETER)"));
  log.Clear();
  EXPECT_EQ(QXDFU_OpenDevice(enumeration, 0, &handle, 2), QXSTATUS_INVALID_PARAMETER);
  EXPECT_TRUE(log.Contains("invalid parameter: flags=2"));
  EXPECT_FALSE(log.Contains("no longer supported"));
  EXPECT_EQ(mDevice->Count(Req::OpenPort), 0u) << "refused before a port is opened";

  EXPECT_EQ(QXDFU_OpenDevice(enumeration, 0, nullptr, 0), QXSTATUS_INVALID_PARAMETER);
  EXPECT_TRUE(log.Contains("deviceHandle is nullptr"));
  EXPECT_EQ(QXDFU_OpenDevice(0, 0, &handle, 0), QXSTATUS_INVALID_HANDLE);
  EXPECT_TRUE(log.Contains("invalid enumeratorHandle 0x0"));
  EXPECT_EQ(QXDFU_CloseEnumeration(enumeration), QXSTATUS_SUCCESS);
}

TEST_F(DfuDeviceSession, AFailedOpenIssuesNoHandleAndReleasesThePort) {
  const uint32_t enumeration = Enumerate();
  mDevice->fault = [](Req req, uint32_t) { return req == Req::OpenPort ? QXSTATUS_IN_USE : QXSTATUS_SUCCESS; };
  TestLogTarget log;
  uint32_t handle = 0xDEAD;
  EXPECT_EQ(QXDFU_OpenDevice(enumeration, 0, &handle, 0), QXSTATUS_IN_USE);
  EXPECT_EQ(handle, 0u);
  EXPECT_TRUE(log.Contains("OpenPortDevice failed, st=0xee000006(QXSTATUS_IN_USE)"));
  EXPECT_EQ(mDevice->portsAlive, 0);
  EXPECT_EQ(gDfuApi.mDevices.GetObjectCount(), 0u);
  mDevice->fault = nullptr;
  // An index beyond the list is the port's refusal.
  EXPECT_EQ(QXDFU_OpenDevice(enumeration, 5, &handle, 0), QXSTATUS_INVALID_INDEX);
  EXPECT_EQ(QXDFU_CloseEnumeration(enumeration), QXSTATUS_SUCCESS);
}

TEST_F(DfuDeviceSession, OpenRecordsTheRunModeAndAnswersItWithoutTraffic) {
  mDevice->runMode = QXDFU_RUN_MODE_APPLICATION;
  TestLogTarget dfuLog(gLogDfu, kQXLogLevelAll);
  TestLogTarget log(gLogGlobal, kQXLogLevelAll);
  const uint32_t device = Open();
  EXPECT_TRUE(dfuLog.Contains("Opened device (type=USB DFU, run mode=Application)", kQXLogLevelInfo));
  EXPECT_TRUE(log.Contains("Successfully opened device 0 on enumerator 0x", kQXLogLevelInfo)) << log.Dump();
  uint32_t value = 0;
  EXPECT_EQ(QXDFU_GetDevicePropertyUint(device, QXDFU_DEVICE_PROPERTY_CURRENT_RUN_MODE, &value), QXSTATUS_SUCCESS);
  EXPECT_EQ(value, QXDFU_RUN_MODE_APPLICATION);
  EXPECT_EQ(mDevice->Count(Req::PropertyUint), 0u);
  EXPECT_EQ(QXDFU_GetDevicePropertyUint(device, QXDFU_DEVICE_PROPERTY_PRODUCT_ID, &value), QXSTATUS_SUCCESS);
  EXPECT_EQ(value, 0x2002u);
  value = 77;
  EXPECT_EQ(QXDFU_GetDevicePropertyUint(device, QXDFU_DEVICE_PROPERTY_MANUFACTURER, &value),
            QXSTATUS_INVALID_PARAMETER);
  EXPECT_EQ(value, 0u) << "the output is cleared before the work";
  EXPECT_EQ(QXDFU_GetDevicePropertyUint(device, 1, nullptr), QXSTATUS_INVALID_PARAMETER);
  EXPECT_TRUE(log.Contains("propertyValue is nullptr"));
  // In application mode there is no upgrade to ask about.
  uint32_t state = 0;
  EXPECT_EQ(QXDFU_GetUpgradeStatus(device, &state, nullptr, nullptr, nullptr), QXSTATUS_WRONG_DEVICE_STATE);
}

TEST_F(DfuDeviceSession, StringPropertiesFollowTheBufferRules) {
  mDevice->product = QXW("P");
  const uint32_t device = Open();
  QXWChar buffer[4] = {'#', '#', '#', '#'};
  TestLogTarget log;
  EXPECT_EQ(QXDFU_GetDevicePropertyString(device, QXDFU_DEVICE_PROPERTY_PRODUCT, buffer, 1), QXSTATUS_BUFFER_TOO_SMALL);
  EXPECT_TRUE(log.Contains("stringBufferMaxItems 1 too small"));
  EXPECT_EQ(buffer[0], QXWChar('#'));
  EXPECT_EQ(mDevice->Count(Req::PropertyString), 0u) << "refused before the port is asked";
  EXPECT_EQ(QXDFU_GetDevicePropertyString(device, QXDFU_DEVICE_PROPERTY_PRODUCT, buffer, 2), QXSTATUS_SUCCESS);
  EXPECT_EQ(buffer[0], QXWChar('P'));
  EXPECT_EQ(buffer[1], QXWChar(0));
  EXPECT_EQ(buffer[2], QXWChar('#'));
  EXPECT_EQ(QXDFU_GetDevicePropertyString(device, QXDFU_DEVICE_PROPERTY_SERIAL_NUMBER, buffer, 4),
            QXSTATUS_NOT_AVAILABLE);
  EXPECT_EQ(buffer[0], QXWChar(0)) << "the buffer starts empty";
  EXPECT_EQ(QXDFU_GetDevicePropertyString(device, QXDFU_DEVICE_PROPERTY_PRODUCT, nullptr, 4),
            QXSTATUS_INVALID_PARAMETER);
  EXPECT_TRUE(log.Contains("stringBuffer is nullptr"));
  QXWChar id[512];
  EXPECT_EQ(QXDFU_GetDevicePropertyString(device, QXDFU_DEVICE_PROPERTY_DEVICE_INSTANCE_ID, id, 512), QXSTATUS_SUCCESS);
  EXPECT_NE(QXWString(id).find(QXW("VID_1209&PID_2002")), QXWString::npos);
}

TEST_F(DfuDeviceSession, ConnectionCheckAsksThePort) {
  const uint32_t device = Open();
  EXPECT_EQ(QXDFU_CheckDeviceConnection(device), QXSTATUS_SUCCESS);
  mDevice->connected = false;
  EXPECT_EQ(QXDFU_CheckDeviceConnection(device), QXSTATUS_DEVICE_REMOVED);
  EXPECT_EQ(QXDFU_CheckDeviceConnection(0), QXSTATUS_INVALID_HANDLE);
}

// The comparison reads the instance identifier that a USB port recorded at open; a session on
// any other port is refused. Matching against real ports is covered with simulated DFU devices.
TEST_F(DfuDeviceSession, CompareChecksHandlesAndRefusesAForeignPort) {
  uint32_t count = 0;
  const uint32_t enumeration = Enumerate(&count);
  ASSERT_GE(count, 1u);
  uint32_t device = 0;
  ASSERT_EQ(QXDFU_OpenDevice(enumeration, 0, &device, 0), QXSTATUS_SUCCESS);
  mDeviceHandles.push_back(device);
  TestLogTarget log;
  EXPECT_EQ(QXDFU_CompareDeviceInstance(enumeration, 0, device), QXSTATUS_INVALID_PARAMETER);
  EXPECT_EQ(QXDFU_CompareDeviceInstance(0, 0, device), QXSTATUS_INVALID_HANDLE);
  EXPECT_TRUE(log.Contains("invalid enumeratorHandle 0x0"));
  EXPECT_EQ(QXDFU_CompareDeviceInstance(enumeration, 0, 0), QXSTATUS_INVALID_HANDLE);
  EXPECT_TRUE(log.Contains("invalid deviceHandle 0x0"));
  EXPECT_EQ(QXDFU_CloseEnumeration(enumeration), QXSTATUS_SUCCESS);
}

TEST_F(DfuDeviceSession, RebootSwitchesOnceAndThenTheSessionIsRebooting) {
  mDevice->runMode = QXDFU_RUN_MODE_APPLICATION;
  const uint32_t device = Open();
  TestLogTarget log;
  TestLogTarget dfuLog(gLogDfu, kQXLogLevelAll);
  EXPECT_EQ(QXDFU_RebootDevice(device, 2, 2), QXSTATUS_INVALID_PARAMETER);
  EXPECT_TRUE(log.Contains("unsupported flags are specified, flags=2"));
  log.SetLoggerLevel(kQXLogLevelAll);
  EXPECT_EQ(QXDFU_RebootDevice(device, 1, 0), QXSTATUS_ALREADY_DONE);
  EXPECT_TRUE(log.Contains("already in run mode Application", kQXLogLevelInfo));
  EXPECT_EQ(mDevice->Count(Req::Reboot), 0u);

  EXPECT_EQ(QXDFU_RebootDevice(device, 2, QXDFU_REBOOT_FLAG_USE_XMOS_DFU_EXTENSIONS), QXSTATUS_SUCCESS);
  EXPECT_TRUE(dfuLog.Contains("Rebooting from run mode Application to run mode Bootloader", kQXLogLevelInfo));
  EXPECT_EQ(mDevice->Count(Req::Reboot), 1u);

  uint32_t value = 0;
  EXPECT_EQ(QXDFU_GetDevicePropertyUint(device, QXDFU_DEVICE_PROPERTY_CURRENT_RUN_MODE, &value),
            QXSTATUS_INVALID_DEVICE_STATE);
  EXPECT_TRUE(log.Contains("device is rebooting", kQXLogLevelError));
  QXWChar buffer[8];
  EXPECT_EQ(QXDFU_GetDevicePropertyString(device, QXDFU_DEVICE_PROPERTY_PRODUCT, buffer, 8),
            QXSTATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(QXDFU_RebootDevice(device, 1, 0), QXSTATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(QXDFU_FinishUpgrade(device, 0), QXSTATUS_INVALID_DEVICE_STATE);
  const uint32_t image = Load(fbimg::Filler(10));
  EXPECT_EQ(QXDFU_StartUpgrade(device, image, 0, 0), QXSTATUS_INVALID_DEVICE_STATE);
  uint32_t state = 0;
  EXPECT_EQ(QXDFU_GetUpgradeStatus(device, &state, nullptr, nullptr, nullptr), QXSTATUS_WRONG_DEVICE_STATE);
  EXPECT_EQ(mDevice->Count(Req::Reboot), 1u);
  EXPECT_EQ(QXDFU_CloseDevice(device), QXSTATUS_SUCCESS);
}

TEST_F(DfuDeviceSession, AFailedRebootLeavesTheSessionUsable) {
  const uint32_t device = Open();
  mDevice->fault = [](Req req, uint32_t) { return req == Req::Reboot ? QXSTATUS_TIMEOUT : QXSTATUS_SUCCESS; };
  TestLogTarget log;
  EXPECT_EQ(QXDFU_RebootDevice(device, 1, 0), QXSTATUS_TIMEOUT);
  EXPECT_TRUE(log.Contains("mDevicePort->RebootDevice failed, st=0xee000003(QXSTATUS_TIMEOUT)"));
  uint32_t value = 0;
  EXPECT_EQ(QXDFU_GetDevicePropertyUint(device, QXDFU_DEVICE_PROPERTY_CURRENT_RUN_MODE, &value), QXSTATUS_SUCCESS);
  EXPECT_EQ(value, QXDFU_RUN_MODE_BOOTLOADER);
  // A run mode the port does not know is its refusal.
  mDevice->fault = nullptr;
  EXPECT_EQ(QXDFU_RebootDevice(device, 5, 0), QXSTATUS_INVALID_PARAMETER);
}

TEST_F(DfuDeviceSession, NoRebootWhileAnUpgradeIsNotFinished) {
  const uint32_t device = Open();
  const uint32_t image = Load(fbimg::Filler(10));
  ASSERT_EQ(QXDFU_StartUpgrade(device, image, 0, 0), QXSTATUS_SUCCESS);
  ASSERT_EQ(WaitForEnd(device).state, QXDFU_UPGRADE_STATE_FINISHED);
  TestLogTarget log;
  EXPECT_EQ(QXDFU_RebootDevice(device, 1, 0), QXSTATUS_NOT_ALLOWED);
  EXPECT_TRUE(log.Contains("an operation is in progress"));
  EXPECT_EQ(QXDFU_FinishUpgrade(device, 0), QXSTATUS_SUCCESS);
  EXPECT_EQ(QXDFU_RebootDevice(device, 1, 0), QXSTATUS_SUCCESS);
}

TEST_F(DfuDeviceSession, EveryDeviceFunctionRefusesUnknownHandles) {
  const uint32_t device = Open();
  ASSERT_EQ(QXDFU_CloseDevice(device), QXSTATUS_SUCCESS);
  uint32_t value = 0;
  uint64_t bytes = 0;
  QXWChar buffer[8];
  for (const uint32_t handle : {0u, device, device + 1}) {
    TestLogTarget log;
    EXPECT_EQ(QXDFU_CloseDevice(handle), QXSTATUS_INVALID_HANDLE);
    EXPECT_EQ(QXDFU_CheckDeviceConnection(handle), QXSTATUS_INVALID_HANDLE);
    EXPECT_EQ(QXDFU_GetDevicePropertyUint(handle, 1, &value), QXSTATUS_INVALID_HANDLE);
    EXPECT_EQ(QXDFU_GetDevicePropertyString(handle, 5, buffer, 8), QXSTATUS_INVALID_HANDLE);
    EXPECT_EQ(QXDFU_RebootDevice(handle, 1, 0), QXSTATUS_INVALID_HANDLE);
    EXPECT_EQ(QXDFU_GetUpgradeStatus(handle, &value, &bytes, &bytes, &value), QXSTATUS_INVALID_HANDLE);
    EXPECT_EQ(QXDFU_FinishUpgrade(handle, 0), QXSTATUS_INVALID_HANDLE);
    EXPECT_EQ(log.Count("invalid deviceHandle", kQXLogLevelError), 7u) << log.Dump();
  }
}

TEST_F(DfuDeviceSession, TheApiTraceNamesEveryDeviceCall) {
  const uint32_t device = Open();
  TestLogTarget trace(gLogDfuApi, kQXLogLevelAll);
  uint32_t value = 0;
  EXPECT_EQ(QXDFU_GetDevicePropertyUint(device, 7, &value), QXSTATUS_SUCCESS);
  EXPECT_EQ(QXDFU_FinishUpgrade(device, 0), QXSTATUS_SUCCESS);
  char expected[96];
  std::snprintf(expected, sizeof(expected), "QXDFU_FinishUpgrade: [ deviceHandle=0x%08X, flags=0x00000000", device);
  EXPECT_TRUE(trace.Contains(expected)) << trace.Dump();
  EXPECT_TRUE(trace.Contains("QXDFU_GetDevicePropertyUint: [ deviceHandle=0x")) << trace.Dump();
  EXPECT_EQ(trace.Count("] "), 2u) << trace.Dump();
}

}  // namespace
}  // namespace fbdev
