// The upgrade through the exported functions against a scripted DFU device: block sizes and
// numbers, progress, polling and its waits, manifestation, device errors, aborts, the
// compatibility check, the unlock handshake and the start's checks.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <thread>

#if defined(__linux__)
#include <sys/prctl.h>
#endif

#include "device/DfuDeviceTestFixture.h"
#include "device/DfuPollWait.h"
#include "discovery/QXWinClockResolution.h"
#include "support/TestLogTarget.h"

namespace fbdev {
namespace {

using fbimg::Bytes;
using fbimg::Filler;

std::vector<uint32_t> DnloadNumbers(const ScriptedDfuDevice& device) {
  std::vector<uint32_t> numbers;
  for (const RequestRecord& r : device.Requests()) {
    if (r.req == Req::Dnload) {
      numbers.push_back(r.value);
    }
  }
  return numbers;
}

class DfuUpgrade : public DfuDeviceTest {};

TEST_F(DfuUpgrade, TenThousandBytesGoAsThreeBlocksAndTheClosingBlockThree) {
  // The progress at each DFU_DNLOAD, read from the worker's own thread.
  std::vector<uint64_t> progress;
  uint32_t device = 0;
  mDevice->fault = [&](Req req, uint32_t) {
    if (req == Req::Dnload) {
      uint32_t state = 0;
      uint64_t current = 0;
      EXPECT_EQ(QXDFU_GetUpgradeStatus(device, &state, &current, nullptr, nullptr), QXSTATUS_SUCCESS);
      EXPECT_EQ(state, QXDFU_UPGRADE_STATE_IN_PROGRESS);
      progress.push_back(current);
    }
    return QXSTATUS_SUCCESS;
  };
  TestLogTarget dfuLog(gLogDfu, kQXLogLevelAll);
  const Bytes image = Filler(10000, 9);
  device = Open();
  const uint32_t imageHandle = Load(image);
  ASSERT_EQ(QXDFU_StartUpgrade(device, imageHandle, 0, 0), QXSTATUS_SUCCESS);
  const UpgradeResult r = WaitForEnd(device);

  EXPECT_EQ(r.state, QXDFU_UPGRADE_STATE_FINISHED);
  EXPECT_EQ(r.completionStatus, QXSTATUS_SUCCESS);
  EXPECT_EQ(r.currentBytes, 10000u);
  EXPECT_EQ(r.totalBytes, 10000u);
  EXPECT_EQ(mDevice->DataBlockLengths(), (std::vector<uint64_t>{4096, 4096, 1808, 0}));
  EXPECT_EQ(DnloadNumbers(*mDevice), (std::vector<uint32_t>{0, 1, 2, 3}));
  EXPECT_EQ(progress, (std::vector<uint64_t>{0, 4096, 8192, 10000}));
  EXPECT_EQ(mDevice->Firmware(), image);
  // One buffer serves every block of the download.
  const std::vector<const uint8_t*> buffers = mDevice->BlockBuffers();
  ASSERT_EQ(buffers.size(), 3u);
  EXPECT_EQ(buffers[0], buffers[1]);
  EXPECT_EQ(buffers[1], buffers[2]);
  EXPECT_TRUE(dfuLog.Contains("Downloading 10000 bytes in blocks of 4096 bytes")) << dfuLog.Dump();
  EXPECT_TRUE(dfuLog.Contains("Downloading data block 2 (1808 bytes)"));
  EXPECT_TRUE(dfuLog.Contains("Initializing --> InProgress"));
  EXPECT_TRUE(dfuLog.Contains("InProgress --> Finished"));
  EXPECT_TRUE(dfuLog.Contains("Manifestation done"));

  // A finished upgrade is finished with success and the session is Idle again.
  EXPECT_EQ(QXDFU_FinishUpgrade(device, 0), QXSTATUS_SUCCESS);
  const UpgradeResult idle = Status(device);
  EXPECT_EQ(idle.state, QXDFU_UPGRADE_STATE_IDLE);
  EXPECT_EQ(idle.currentBytes, 0u);
  EXPECT_EQ(idle.totalBytes, 0u);
}

TEST_F(DfuUpgrade, BlocksNeverExceed4096BytesWhateverTheTransferSize) {
  mDevice->transferSize = 8192;
  const Bytes image = Filler(9000, 3);
  const UpgradeResult r = Upgrade(image);
  EXPECT_EQ(r.state, QXDFU_UPGRADE_STATE_FINISHED);
  EXPECT_EQ(mDevice->DataBlockLengths(), (std::vector<uint64_t>{4096, 4096, 808, 0}));
  EXPECT_EQ(mDevice->Firmware(), image);
}

TEST_F(DfuUpgrade, SmallTransferSizeGivesSmallBlocks) {
  mDevice->transferSize = 64;
  const Bytes image = Filler(200, 4);
  EXPECT_EQ(Upgrade(image).state, QXDFU_UPGRADE_STATE_FINISHED);
  EXPECT_EQ(mDevice->DataBlockLengths(), (std::vector<uint64_t>{64, 64, 64, 8, 0}));
  EXPECT_EQ(mDevice->Firmware(), image);
}

// An image without firmware bytes would go straight to manifestation and leave the device
// without firmware: it is refused at load, so no upgrade can start with it.
TEST_F(DfuUpgrade, AnImageWithoutFirmwareNeverReachesTheDevice) {
  const Bytes image = fbimg::AddDfuSuffix(Bytes(), 0x1209, 0x2002, 0x0100);
  uint32_t imageHandle = 0;
  EXPECT_EQ(QXDFU_LoadFirmwareFromBuffer(image.data(), image.size(), QXDFU_IMAGE_TYPE_RAW_BINARY, &imageHandle, 0),
            QXSTATUS_INVALID_FILE);
  EXPECT_EQ(imageHandle, 0u);
  const uint32_t device = Open();
  EXPECT_EQ(QXDFU_StartUpgrade(device, imageHandle, 0, 0), QXSTATUS_INVALID_HANDLE);
  EXPECT_TRUE(mDevice->DataBlockLengths().empty());
}

TEST_F(DfuUpgrade, SyncThenBusyWaitsOncePollTimeRoundedUp) {
  mDevice->syncFirst = true;
  mDevice->busyPollsPerBlock = 1;
  mDevice->bwPollTimeout = 10;
  const UpgradeResult r = Upgrade(Filler(100));
  EXPECT_EQ(r.state, QXDFU_UPGRADE_STATE_FINISHED);
  // The busy wait, then the minimum wait of the busy answer in dfuMANIFEST.
  const std::vector<uint32_t> waits = mInstaller->Waits();
  ASSERT_EQ(waits.size(), 2u);
  EXPECT_EQ(waits[0], RoundUpMillisecsToClockResolution(10));
  EXPECT_EQ(waits[1], RoundUpMillisecsToClockResolution(DfuDevice::kMinBusyPollWaitMs));
  EXPECT_GE(waits[0], 10u);
  uint32_t resolution = 0;
  ASSERT_EQ(GetCurrentClockResolution(resolution), QXSTATUS_SUCCESS);
  if (resolution != 0) {
    EXPECT_EQ(waits[0] % resolution, 0u);
  }
  // GETSTATUS: dfuDNLOAD_SYNC, dfuDNBUSY, dfuDNLOAD_IDLE; then three through manifestation.
  EXPECT_EQ(mDevice->Count(Req::GetStatus), 6u);
}

// A device stuck busy gets its polls and the time budget of a block in waits, at least the
// minimum wait apart when it announces no wait, or its own announced wait.
TEST_F(DfuUpgrade, StuckBusyDeviceTimesOutOnceItsTimeBudgetIsWaited) {
  for (const uint32_t pollTimeout : {0u, 3u, 700u}) {
    SCOPED_TRACE(pollTimeout);
    NewScriptedDevice();
    mDevice->stuckBusy = true;
    mDevice->bwPollTimeout = pollTimeout;
    TestLogTarget log;
    const UpgradeResult r = Upgrade(Filler(100));
    EXPECT_EQ(r.state, QXDFU_UPGRADE_STATE_FAILED);
    EXPECT_EQ(r.completionStatus, QXSTATUS_TIMEOUT);
    const uint32_t wait =
        RoundUpMillisecsToClockResolution(pollTimeout == 0 ? DfuDevice::kMinBusyPollWaitMs : pollTimeout);
    const size_t expected = std::max<size_t>(DfuDevice::kDownloadPollLimit,
                                             (DfuDevice::kBlockBusyBudgetMs + wait - 1) / wait);
    EXPECT_EQ(mInstaller->Waits(), std::vector<uint32_t>(expected, wait));
    EXPECT_EQ(mDevice->Count(Req::GetStatus), expected + 1) << "one answer after the block and one per wait";
    EXPECT_TRUE(log.Contains("timeout while processing data block 0", kQXLogLevelError)) << log.Dump();
    EXPECT_TRUE(log.Contains("UpgradeOperation failed, st=0xee000003(QXSTATUS_TIMEOUT)")) << log.Dump();
    // A failed upgrade is never finished with success.
    EXPECT_EQ(QXDFU_FinishUpgrade(mLastDevice, 0), QXSTATUS_TIMEOUT);
  }
}

// A device whose write runs past the time it announced answers dfuDNBUSY again with a poll
// time of 0, and may report dfuDNLOAD_SYNC once more after each busy wait: neither is a fault.
TEST_F(DfuUpgrade, LateWritesAndRepeatedSyncAnswersStillSucceed) {
  mDevice->busyPollsPerBlock = 6;
  mDevice->bwPollTimeout = 5;
  mDevice->lateBusyPollTimeout = 0;
  mDevice->syncAfterBusy = 2;
  mDevice->syncFirst = true;
  const Bytes image = Filler(3 * 4096 + 5, 8);
  const UpgradeResult r = Upgrade(image);
  EXPECT_EQ(r.state, QXDFU_UPGRADE_STATE_FINISHED);
  EXPECT_EQ(r.completionStatus, QXSTATUS_SUCCESS);
  EXPECT_EQ(mDevice->Firmware(), image);
  // Per block: the announced wait once, then the minimum wait for each late busy answer.
  const std::vector<uint32_t> waits = mInstaller->Waits();
  ASSERT_GE(waits.size(), 4u * 6u);
  EXPECT_EQ(waits[0], RoundUpMillisecsToClockResolution(5));
  EXPECT_EQ(waits[1], RoundUpMillisecsToClockResolution(DfuDevice::kMinBusyPollWaitMs));
}

TEST_F(DfuUpgrade, DeviceStuckInDnloadSyncIsRefusedAfterSeveralAnswers) {
  mDevice->stuckSync = true;
  TestLogTarget log;
  EXPECT_EQ(Upgrade(Filler(10)).completionStatus, QXSTATUS_INVALID_DEVICE_STATE);
  EXPECT_TRUE(log.Contains("device seems to stuck in dfuDNLOAD_SYNC state after data block 0")) << log.Dump();
  EXPECT_EQ(mDevice->Count(Req::GetStatus), 1u + DfuDevice::kSyncAnswerLimit);
}

// A device that announces a poll time beyond the ceiling is polled at the ceiling, with one
// warning per upgrade.
TEST_F(DfuUpgrade, PollTimeAboveTheCeilingIsCappedWithAWarning) {
  mDevice->busyPollsPerBlock = 2;
  mDevice->bwPollTimeout = 0xFFFFFF;
  TestLogTarget log;
  EXPECT_EQ(Upgrade(Filler(2 * 4096)).state, QXDFU_UPGRADE_STATE_FINISHED);
  const uint32_t ceiling = RoundUpMillisecsToClockResolution(DfuDevice::kPollTimeoutCeilingMs);
  const std::vector<uint32_t> waits = mInstaller->Waits();
  ASSERT_EQ(waits.size(), 5u);  // two per block, and the minimum wait in manifestation
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(waits[i], ceiling) << i;
  }
  EXPECT_EQ(log.Count("bwPollTimeout 16777215 ms exceeds the ceiling of 5000 ms, waiting 5000 ms per poll",
                      kQXLogLevelWarn),
            1u)
      << log.Dump();
}

TEST_F(DfuUpgrade, ManifestationTolerantDevicePollsUntilIdle) {
  mDevice->manifestPolls = 2;
  mDevice->manifestPollTimeout = 5;
  TestLogTarget dfuLog(gLogDfu, kQXLogLevelAll);
  EXPECT_EQ(Upgrade(Filler(10)).state, QXDFU_UPGRADE_STATE_FINISHED);
  EXPECT_EQ(mInstaller->Waits().size(), 2u);
  // One block (1 GETSTATUS), then dfuMANIFEST_SYNC, dfuMANIFEST twice and dfuIDLE.
  EXPECT_EQ(mDevice->Count(Req::GetStatus), 5u);
  EXPECT_TRUE(dfuLog.Contains("Manifestation done", kQXLogLevelInfo));
  EXPECT_EQ(mDevice->CurrentState(), kIdle);
}

// A device that is not manifestation tolerant ends the upgrade with success however it
// goes on after the closing block: it resets itself, it leaves while answering the status
// after the closing block, or it waits in dfuMANIFEST_WAIT_RESET for the reset the host
// gives it. The session then knows that the device left: the reboot into the application
// sends nothing more.
TEST_F(DfuUpgrade, DeviceNotManifestationTolerantEndsWithSuccessHoweverItLeaves) {
  for (const ManifestEnd end : {ManifestEnd::ResetsItself, ManifestEnd::LeavesWhileAnswering,
                                ManifestEnd::WaitsForReset}) {
    SCOPED_TRACE(static_cast<int>(end));
    NewScriptedDevice();
    mDevice->manifestationTolerant = false;
    mDevice->manifestPollTimeout = 20;
    mDevice->manifestEnd = end;
    TestLogTarget dfuLog(gLogDfu, kQXLogLevelAll);
    const Bytes image = Filler(5000, 3);
    const UpgradeResult r = Upgrade(image);
    EXPECT_EQ(r.state, QXDFU_UPGRADE_STATE_FINISHED);
    EXPECT_EQ(r.completionStatus, QXSTATUS_SUCCESS);
    EXPECT_EQ(r.currentBytes, image.size());
    EXPECT_TRUE(dfuLog.Contains("Manifestation done, the device")) << dfuLog.Dump();
    EXPECT_EQ(mDevice->Count(Req::Reset), end == ManifestEnd::WaitsForReset ? 1u : 0u);
    EXPECT_EQ(mDevice->Count(Req::Abort), 0u);
    EXPECT_FALSE(mDevice->connected);
    EXPECT_EQ(QXDFU_FinishUpgrade(mLastDevice, 0), QXSTATUS_SUCCESS);
    const size_t requests = mDevice->Requests().size();
    EXPECT_EQ(QXDFU_RebootDevice(mLastDevice, QXDFU_RUN_MODE_APPLICATION, 0), QXSTATUS_SUCCESS);
    EXPECT_EQ(mDevice->Requests().size(), requests) << "nothing is sent to a device that left";
    uint32_t mode = 0;
    EXPECT_EQ(QXDFU_GetDevicePropertyUint(mLastDevice, QXDFU_DEVICE_PROPERTY_CURRENT_RUN_MODE, &mode),
              QXSTATUS_INVALID_DEVICE_STATE);
  }
}

// Where the platform cannot reset a device that waits for it, the upgrade does not claim
// success: it fails with the status that says the device waits for a reset.
TEST_F(DfuUpgrade, DeviceWaitingForAResetThePlatformCannotGiveIsReported) {
  mDevice->manifestationTolerant = false;
  mDevice->manifestEnd = ManifestEnd::WaitsForReset;
  mDevice->canReset = false;
  TestLogTarget log;
  const UpgradeResult r = Upgrade(Filler(100));
  EXPECT_EQ(r.state, QXDFU_UPGRADE_STATE_FAILED);
  EXPECT_EQ(r.completionStatus, QXSTATUS_RESTART_REQUIRED);
  EXPECT_TRUE(log.Contains("waits for a USB reset, which this platform cannot issue")) << log.Dump();
  EXPECT_EQ(QXDFU_FinishUpgrade(mLastDevice, 0), QXSTATUS_RESTART_REQUIRED);
  EXPECT_EQ(mDevice->CurrentState(), kManifestWaitReset);
}

// A tolerant device that fails the status request after the closing block has failed the
// upgrade: only a device that is not tolerant may leave there.
TEST_F(DfuUpgrade, TolerantDeviceFailingAfterTheClosingBlockFailsTheUpgrade) {
  uint32_t statusCalls = 0;
  mDevice->fault = [&statusCalls](Req req, uint32_t) {
    return req == Req::GetStatus && ++statusCalls == 2 ? kQXErrorDeviceNotConnected : QXSTATUS_SUCCESS;
  };
  TestLogTarget log;
  const UpgradeResult r = Upgrade(Filler(100));
  EXPECT_EQ(r.state, QXDFU_UPGRADE_STATE_FAILED);
  EXPECT_EQ(r.completionStatus, kQXErrorDeviceNotConnected);
  EXPECT_TRUE(log.Contains("DfuGetStatus(after zero-length DfuDnload, block=1) failed")) << log.Dump();
}

TEST_F(DfuUpgrade, DfuErrorAfterBlockTwelveGivesTheDeviceStatus) {
  mDevice->errorAfterBlock = 12;
  mDevice->errorStatus = 7;
  TestLogTarget log;
  const UpgradeResult r = Upgrade(Filler(14 * 4096));
  EXPECT_EQ(r.state, QXDFU_UPGRADE_STATE_FAILED);
  EXPECT_EQ(r.completionStatus, 0xEE001107u);
  EXPECT_EQ(r.currentBytes, 12u * 4096u) << "block 12 was not acknowledged";
  EXPECT_TRUE(log.Contains("device has enterred dfuERROR after data block 12, bStatus=0x07 (errVERIFY)")) << log.Dump();
  EXPECT_EQ(mDevice->Count(Req::Abort), 0u) << "only a stop request aborts at once";
}

TEST_F(DfuUpgrade, AFailedRequestEndsTheUpgradeWithItsStatus) {
  // A DFU_GETSTATUS that times out, and a device that is unplugged during a block.
  mDevice->fault = [](Req req, uint32_t) { return req == Req::GetStatus ? QXSTATUS_TIMEOUT : QXSTATUS_SUCCESS; };
  TestLogTarget log;
  UpgradeResult r = Upgrade(Filler(5000));
  EXPECT_EQ(r.state, QXDFU_UPGRADE_STATE_FAILED);
  EXPECT_EQ(r.completionStatus, QXSTATUS_TIMEOUT);
  EXPECT_TRUE(log.Contains("DfuGetStatus(after DfuDnload, block=0) failed, st=0xee000003(QXSTATUS_TIMEOUT)"))
      << log.Dump();
  EXPECT_TRUE(log.Contains("DoDownload failed, st=0xee000003(QXSTATUS_TIMEOUT)"));
  EXPECT_EQ(QXDFU_FinishUpgrade(mLastDevice, 0), QXSTATUS_TIMEOUT);

  mDevice->fault = [](Req req, uint32_t block) {
    return req == Req::Dnload && block == 1 ? QXSTATUS_DEVICE_REMOVED : QXSTATUS_SUCCESS;
  };
  const uint32_t image = Load(Filler(5000));
  ASSERT_EQ(QXDFU_StartUpgrade(mLastDevice, image, 0, 0), QXSTATUS_SUCCESS);
  r = WaitForEnd(mLastDevice);
  EXPECT_EQ(r.state, QXDFU_UPGRADE_STATE_FAILED);
  EXPECT_EQ(r.completionStatus, QXSTATUS_DEVICE_REMOVED);
  EXPECT_EQ(r.currentBytes, 4096u);
}

TEST_F(DfuUpgrade, FinishDuringTheDownloadAbortsAtTheNextCheckpoint) {
  const uint32_t device = Open();
  const uint32_t image = Load(Filler(10 * 4096));
  DfuDevice* session = gDfuApi.mDevices.GetObject(device).Get();
  mDevice->SetGate(Req::Dnload, 3, [session] { return session->IsStopRequested(); });
  TestLogTarget dfuLog(gLogDfu, kQXLogLevelAll);
  TestLogTarget log;
  ASSERT_EQ(QXDFU_StartUpgrade(device, image, 0, 0), QXSTATUS_SUCCESS);
  while (!mDevice->gateReached) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(QXDFU_FinishUpgrade(device, 0), QXSTATUS_ABORTED);
  EXPECT_TRUE(dfuLog.Contains("operation was aborted", kQXLogLevelInfo));
  EXPECT_TRUE(log.Contains("aborting download, current block=4", kQXLogLevelWarn)) << log.Dump();
  EXPECT_EQ(mDevice->Count(Req::Abort), 1u);
  EXPECT_EQ(mDevice->Firmware().size(), 4u * 4096u) << "the block in flight was completed";
  EXPECT_EQ(Status(device).state, QXDFU_UPGRADE_STATE_IDLE);
  EXPECT_EQ(mDevice->CurrentState(), kIdle);
}

// A stop request while the device writes a block: DFU_ABORT waits until the device has
// taken the block (dfuDNLOAD_IDLE); a device that stays busy gets none, and the stop still
// ends within a bounded time.
TEST_F(DfuUpgrade, StopWhileTheDeviceIsBusyAbortsOnlyOnceItIsIdle) {
  for (const bool staysBusy : {false, true}) {
    SCOPED_TRACE(staysBusy ? "stays busy" : "takes the block");
    NewScriptedDevice();
    mDevice->busyPollsPerBlock = 4;
    mDevice->stuckBusy = staysBusy;
    mDevice->bwPollTimeout = 1;
    const uint32_t device = Open();
    const uint32_t image = Load(Filler(3 * 4096));
    DfuDevice* session = gDfuApi.mDevices.GetObject(device).Get();
    mDevice->SetGate(Req::GetStatus, 0, [session] { return session->IsStopRequested(); });
    TestLogTarget log;
    ASSERT_EQ(QXDFU_StartUpgrade(device, image, 0, 0), QXSTATUS_SUCCESS);
    while (!mDevice->gateReached) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(QXDFU_FinishUpgrade(device, 0), QXSTATUS_ABORTED);
    EXPECT_TRUE(log.Contains("aborting download sync., current block=0", kQXLogLevelWarn)) << log.Dump();
    const std::vector<RequestRecord> requests = mDevice->Requests();
    EXPECT_EQ(mDevice->Count(Req::Abort), staysBusy ? 0u : 1u);
    EXPECT_EQ(mDevice->Count(Req::Dnload), 1u) << "no block after the stop";
    if (staysBusy) {
      EXPECT_TRUE(log.Contains("device still busy with data block 0, DFU_ABORT not sent")) << log.Dump();
    } else {
      EXPECT_EQ(requests.back().req, Req::Abort);
      EXPECT_EQ(mDevice->CurrentState(), kIdle);
      // The settling waits honour the device's poll time.
      for (const uint32_t wait : mInstaller->Waits()) {
        EXPECT_GE(wait, 1u);
      }
    }
  }
}

// A device may ask for a poll wait of up to 0xFFFFFF ms (4.6 hours): the wait is cut to the
// ceiling, and FinishUpgrade stops the worker in the middle of a busy wait (the device then
// has a bounded time to take the block). In manifestation the stop does not undo the image:
// the device is followed to its end. The waits are really slept here (no observer).
TEST_F(DfuUpgrade, FinishDuringALongPollWaitEndsWithinABoundedTime) {
  for (const bool inManifestation : {false, true}) {
    SCOPED_TRACE(inManifestation ? "dfuMANIFEST" : "dfuDNBUSY");
    NewScriptedDevice();
    mDevice->stuckBusy = !inManifestation;
    mDevice->bwPollTimeout = 0xFFFFFF;
    mDevice->manifestationTolerant = false;
    mDevice->manifestPollTimeout = 300;
    const uint32_t device = Open();
    const uint32_t image = Load(Filler(100));
    const size_t statusPolls = mDevice->Count(Req::GetStatus);
    TestLogTarget log;
    SetDfuPollWaitObserver(nullptr);
    ASSERT_EQ(QXDFU_StartUpgrade(device, image, 0, 0), QXSTATUS_SUCCESS);
    // After the block (and the closing block) the device answers the status that asks for the wait.
    const size_t answers = inManifestation ? 3 : 1;
    while (mDevice->Count(Req::GetStatus) < statusPolls + answers) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    const size_t polled = mDevice->Count(Req::GetStatus);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(QXDFU_FinishUpgrade(device, 0), inManifestation ? QXSTATUS_SUCCESS : QXSTATUS_ABORTED);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    SetDfuPollWaitObserver(mInstaller.get());
    EXPECT_LE(mDevice->Count(Req::GetStatus), polled + 1) << "one poll after the whole wait at most";
    EXPECT_EQ(mDevice->Count(Req::Abort), 0u) << "no DFU_ABORT to a busy or manifesting device";
    if (!inManifestation) {
      EXPECT_TRUE(log.Contains("aborting download sync., current block=0", kQXLogLevelWarn)) << log.Dump();
      EXPECT_TRUE(log.Contains("exceeds the ceiling", kQXLogLevelWarn)) << log.Dump();
    }
  }
}

TEST_F(DfuUpgrade, ClosingTheDeviceDuringTheDownloadAbortsAndReleasesIt) {
  const uint32_t device = Open();
  const uint32_t image = Load(Filler(10 * 4096));
  // The session lives until the close has joined the worker that asks the predicate.
  DfuDevice* session = gDfuApi.mDevices.GetObject(device).Get();
  mDevice->SetGate(Req::Dnload, 2, [session] { return session->IsStopRequested(); });
  TestLogTarget log;
  ASSERT_EQ(QXDFU_StartUpgrade(device, image, 0, 0), QXSTATUS_SUCCESS);
  while (!mDevice->gateReached) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(QXDFU_CloseDevice(device), QXSTATUS_SUCCESS);
  EXPECT_TRUE(log.Contains("AbortPendingOperation failed, st=0xee000005(QXSTATUS_ABORTED)", kQXLogLevelError))
      << log.Dump();
  EXPECT_TRUE(log.Contains("was closed", kQXLogLevelInfo));
  EXPECT_EQ(mDevice->Count(Req::Abort), 1u);
  uint32_t state = 0;
  EXPECT_EQ(QXDFU_GetUpgradeStatus(device, &state, nullptr, nullptr, nullptr), QXSTATUS_INVALID_HANDLE);
  EXPECT_EQ(mDevice->portsAlive, 0) << "the port goes with the session";
}

TEST_F(DfuUpgrade, ASessionReleasedWithoutCloseStopsItsWorkerFirst) {
  // As at unload with leaked handles: the table's reference goes without RequestCloseDevice.
  const uint32_t device = Open();
  const uint32_t image = Load(Filler(10 * 4096));
  DfuDevice* session = gDfuApi.mDevices.GetObject(device).Get();
  mDevice->SetGate(Req::Dnload, 1, [session] { return session->IsStopRequested(); });
  ASSERT_EQ(QXDFU_StartUpgrade(device, image, 0, 0), QXSTATUS_SUCCESS);
  while (!mDevice->gateReached) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  gDfuApi.mDevices.RemoveObject(device).Reset();
  EXPECT_EQ(mDevice->portsAlive, 0);
  EXPECT_EQ(mDevice->Count(Req::Abort), 1u) << "the worker stopped at its next checkpoint";
}

TEST_F(DfuUpgrade, AnImageUnloadedDuringItsUpgradeIsDownloadedWhole) {
  const Bytes bytes = Filler(3 * 4096 + 17, 5);
  const uint32_t device = Open();
  const uint32_t image = Load(bytes);
  std::atomic<bool> unloaded{false};
  mDevice->SetGate(Req::Dnload, 1, [&unloaded] { return unloaded.load(); });
  ASSERT_EQ(QXDFU_StartUpgrade(device, image, 0, 0), QXSTATUS_SUCCESS);
  while (!mDevice->gateReached) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(QXDFU_UnloadFirmwareImage(image), QXSTATUS_SUCCESS);
  uint32_t size32 = 0;
  EXPECT_EQ(QXDFU_GetImagePropertyUint(image, QXDFU_IMAGE_PROPERTY_HAS_DFU_SUFFIX, &size32), QXSTATUS_INVALID_HANDLE);
  unloaded = true;
  const UpgradeResult r = WaitForEnd(device);
  EXPECT_EQ(r.state, QXDFU_UPGRADE_STATE_FINISHED);
  EXPECT_EQ(mDevice->Firmware(), bytes);
  EXPECT_EQ(QXDFU_FinishUpgrade(device, 0), QXSTATUS_SUCCESS);
}

TEST_F(DfuUpgrade, RawImagesSendNoPrivateRequest) {
  mDevice->compatibilityAnswer = 0x4007;
  EXPECT_EQ(Upgrade(Filler(300)).state, QXDFU_UPGRADE_STATE_FINISHED);
  EXPECT_EQ(mDevice->Count(Req::StoreHeader), 0u);
  EXPECT_EQ(mDevice->Count(Req::CheckCompatibility), 0u);
}

TEST_F(DfuUpgrade, ImagesWithMetadataAreJudgedByTheDevice) {
  fbimg::QxImageSpec spec;
  const Bytes image = fbimg::MakeQxImage(spec);
  EXPECT_EQ(Upgrade(image, 0, QXDFU_IMAGE_TYPE_QX_BINARY).state, QXDFU_UPGRADE_STATE_FINISHED);
  const Bytes header(image.begin() + static_cast<std::ptrdiff_t>(spec.blockOffset),
                     image.begin() + static_cast<std::ptrdiff_t>(spec.blockOffset + 60));
  EXPECT_EQ(mDevice->StoredHeader(), header);
  EXPECT_EQ(mDevice->Count(Req::CheckCompatibility), 1u);
  EXPECT_EQ(mDevice->Firmware(), image) << "the whole image, block included, is the firmware";
}

TEST_F(DfuUpgrade, AnImageTheDeviceRefusesIsNotDownloaded) {
  mDevice->compatibilityAnswer = 0x4007;
  TestLogTarget log;
  const UpgradeResult r = Upgrade(fbimg::MakeQxImage(), 0, QXDFU_IMAGE_TYPE_QX_BINARY);
  EXPECT_EQ(r.state, QXDFU_UPGRADE_STATE_FAILED);
  EXPECT_EQ(r.completionStatus, QXSTATUS_BUSY);
  EXPECT_EQ(mDevice->Count(Req::Dnload), 0u);
  EXPECT_TRUE(log.Contains("device reports that image is incompatible, targetId=0, reqSt=0xee000007(QXSTATUS_BUSY)"))
      << log.Dump();
}

TEST_F(DfuUpgrade, UnlockHandshakeOpensALockedTarget) {
  mDevice->requireUnlock = true;
  EXPECT_EQ(Upgrade(Filler(500), QXDFU_UPGRADE_FLAG_UNLOCK_TARGET).state, QXDFU_UPGRADE_STATE_FINISHED);
  EXPECT_TRUE(mDevice->Unlocked());
  EXPECT_EQ(mDevice->Count(Req::GetToken), 1u);
  EXPECT_EQ(mDevice->Firmware().size(), 500u);
}

TEST_F(DfuUpgrade, ALockedTargetRefusesTheDownloadWithoutUnlock) {
  mDevice->requireUnlock = true;
  const UpgradeResult r = Upgrade(Filler(500));
  EXPECT_EQ(r.state, QXDFU_UPGRADE_STATE_FAILED);
  EXPECT_EQ(mDevice->Count(Req::GetToken), 0u);
  EXPECT_TRUE(mDevice->Firmware().empty());
}

TEST_F(DfuUpgrade, AWrongTokenOrARefusedRequestGivesAccessDenied) {
  mDevice->tokenSize = 0x40;
  TestLogTarget log;
  UpgradeResult r = Upgrade(Filler(500), QXDFU_UPGRADE_FLAG_UNLOCK_TARGET);
  EXPECT_EQ(r.state, QXDFU_UPGRADE_STATE_FAILED);
  EXPECT_EQ(r.completionStatus, QXSTATUS_ACCESS_DENIED);
  EXPECT_TRUE(log.Contains("invalid size 64", kQXLogLevelError)) << log.Dump();
  EXPECT_TRUE(log.Contains("UnlockTarget failed, st=0xee000059(QXSTATUS_INVALID_SIZE)"));
  EXPECT_EQ(mDevice->Count(Req::Unlock), 0u);
  EXPECT_EQ(mDevice->Count(Req::Dnload), 0u);
  EXPECT_EQ(QXDFU_FinishUpgrade(mLastDevice, 0), QXSTATUS_ACCESS_DENIED);

  // The device's refusal of the request is also reported as access denied.
  mDevice->tokenSize = kQXUnlockTokenSize;
  mDevice->fault = [](Req req, uint32_t) { return req == Req::Unlock ? QXSTATUS_USB_STALL : QXSTATUS_SUCCESS; };
  const uint32_t image = Load(Filler(10));
  ASSERT_EQ(QXDFU_StartUpgrade(mLastDevice, image, 0, QXDFU_UPGRADE_FLAG_UNLOCK_TARGET), QXSTATUS_SUCCESS);
  r = WaitForEnd(mLastDevice);
  EXPECT_EQ(r.completionStatus, QXSTATUS_ACCESS_DENIED);
  EXPECT_TRUE(log.Contains("PrivUnlockTarget failed, st=0xee000065(QXSTATUS_USB_STALL)")) << log.Dump();
}

TEST_F(DfuUpgrade, TheUnlockKeyStaysOutOfTheLog) {
  mDevice->requireUnlock = true;
  TestLogTarget log(gLogGlobal, kQXLogLevelAll);
  TestLogTarget dfuLog(gLogDfu, kQXLogLevelAll);
  ASSERT_EQ(Upgrade(Filler(10), QXDFU_UPGRADE_FLAG_UNLOCK_TARGET).state, QXDFU_UPGRADE_STATE_FINISHED);
  uint8_t key[kQXUnlockKeySize];
  QXAssembleUnlockKeyGeneration0(key);
  char hex[8];
  std::snprintf(hex, sizeof(hex), "%02x%02x%02x", key[0], key[1], key[2]);
  const std::string all = log.Dump() + dfuLog.Dump();
  QXHmacSha256::Wipe(key, sizeof(key));
  EXPECT_EQ(all.find(hex), std::string::npos);
}

TEST_F(DfuUpgrade, AnErrorStateIsClearedBeforeTheUpgrade) {
  mDevice->state = kError;
  mDevice->status = 7;
  EXPECT_EQ(Upgrade(Filler(10)).state, QXDFU_UPGRADE_STATE_FINISHED);
  const std::vector<RequestRecord> requests = mDevice->Requests();
  // OpenPort, then GETSTATE, CLRSTATUS, GETSTATE, target selection.
  ASSERT_GE(requests.size(), 5u);
  EXPECT_EQ(requests[1].req, Req::GetState);
  EXPECT_EQ(requests[2].req, Req::ClrStatus);
  EXPECT_EQ(requests[3].req, Req::GetState);
  EXPECT_EQ(requests[4].req, Req::SelectTarget);
}

TEST_F(DfuUpgrade, AnUnfinishedDownloadIsAbortedBeforeTheUpgrade) {
  mDevice->state = kDnloadIdle;
  TestLogTarget dfuLog(gLogDfu, kQXLogLevelAll);
  EXPECT_EQ(Upgrade(Filler(10)).state, QXDFU_UPGRADE_STATE_FINISHED);
  EXPECT_EQ(mDevice->Count(Req::Abort), 1u);
  EXPECT_TRUE(dfuLog.Contains("state is dfuDNLOAD_IDLE, trying to abort", kQXLogLevelWarn));
}

TEST_F(DfuUpgrade, StatesTheHostCannotLeaveAreRefusedAtTheStart) {
  for (const uint8_t state : {kDnbusy, kAppIdle}) {
    mDevice->state = state;
    TestLogTarget log;
    const UpgradeResult r = Upgrade(Filler(10));
    EXPECT_EQ(r.state, QXDFU_UPGRADE_STATE_FAILED);
    EXPECT_EQ(r.completionStatus, QXSTATUS_INVALID_DEVICE_STATE);
    EXPECT_TRUE(log.Contains(state == kDnbusy ? "unexpected device state 0x04 (dfuDNBUSY)"
                                              : "unexpected device state 0x00 (appIDLE)"))
        << log.Dump();
    EXPECT_EQ(mDevice->Count(Req::SelectTarget), 0u);
  }
}

TEST_F(DfuUpgrade, StartChecksItsArgumentsAndTheSession) {
  const uint32_t device = Open();
  const uint32_t image = Load(Filler(10));
  TestLogTarget log;
  EXPECT_EQ(QXDFU_StartUpgrade(device, image, 256, 0), QXSTATUS_INVALID_PARAMETER);
  EXPECT_TRUE(log.Contains("targetId 256 exceeds max. 255"));
  EXPECT_EQ(QXDFU_StartUpgrade(device, image, 0, 4), QXSTATUS_INVALID_PARAMETER);
  EXPECT_TRUE(log.Contains("unsupported flags are specified, flags=4"));
  EXPECT_EQ(QXDFU_StartUpgrade(device, 0, 0, 0), QXSTATUS_INVALID_HANDLE);
  EXPECT_TRUE(log.Contains("invalid imageHandle 0x0"));
  EXPECT_EQ(QXDFU_StartUpgrade(0, image, 0, 0), QXSTATUS_INVALID_HANDLE);
  EXPECT_TRUE(log.Contains("invalid deviceHandle 0x0"));
  EXPECT_EQ(QXDFU_FinishUpgrade(device, 1), QXSTATUS_INVALID_PARAMETER);
  uint64_t current = 0;
  EXPECT_EQ(QXDFU_GetUpgradeStatus(device, nullptr, &current, nullptr, nullptr), QXSTATUS_INVALID_PARAMETER);
  EXPECT_TRUE(log.Contains("upgradeState is nullptr"));

  // A failed upgrade holds the session until it is finished.
  mDevice->stuckBusy = true;
  ASSERT_EQ(QXDFU_StartUpgrade(device, image, 7, 0), QXSTATUS_SUCCESS);
  EXPECT_EQ(WaitForEnd(device).state, QXDFU_UPGRADE_STATE_FAILED);
  EXPECT_EQ(QXDFU_StartUpgrade(device, image, 7, 0), QXSTATUS_NOT_ALLOWED);
  EXPECT_TRUE(log.Contains("an operation is in progress"));
  EXPECT_EQ(QXDFU_FinishUpgrade(device, 0), QXSTATUS_TIMEOUT);
  mDevice->stuckBusy = false;
  mDevice->state = kIdle;
  ASSERT_EQ(QXDFU_StartUpgrade(device, image, 7, 0), QXSTATUS_SUCCESS);
  EXPECT_EQ(WaitForEnd(device).state, QXDFU_UPGRADE_STATE_FINISHED);
  EXPECT_EQ(mDevice->Requests().back().req, Req::GetStatus);
  EXPECT_EQ(QXDFU_FinishUpgrade(device, 0), QXSTATUS_SUCCESS);
  EXPECT_EQ(mDevice->Count(Req::SelectTarget), 2u);
}

TEST_F(DfuUpgrade, DevicesThatCannotTakeADownloadAreRefusedBeforeAnyRequest) {
  const uint32_t image = Load(Filler(10));
  TestLogTarget log;
  mDevice->runMode = QXDFU_RUN_MODE_APPLICATION;
  uint32_t device = Open();
  EXPECT_EQ(QXDFU_StartUpgrade(device, image, 0, 0), QXSTATUS_WRONG_DEVICE_STATE);
  EXPECT_TRUE(log.Contains("device not in bootloader mode, current run mode=Application"));

  mDevice->runMode = QXDFU_RUN_MODE_BOOTLOADER;
  mDevice->downloadCapable = false;
  device = Open();
  EXPECT_EQ(QXDFU_StartUpgrade(device, image, 0, 0), QXSTATUS_NOT_SUPPORTED);
  EXPECT_TRUE(log.Contains("device is not download cabable"));

  // wTransferSize 0 would send empty blocks, which a device takes as the end of the download.
  mDevice->downloadCapable = true;
  mDevice->transferSize = 0;
  device = Open();
  EXPECT_EQ(QXDFU_StartUpgrade(device, image, 0, 0), QXSTATUS_INVALID_DEVICE_CONFIG);
  EXPECT_TRUE(log.Contains("device reports wTransferSize 0, no data can be downloaded"));
  EXPECT_EQ(Status(device).state, QXDFU_UPGRADE_STATE_IDLE);
  for (const RequestRecord& r : mDevice->Requests()) {
    EXPECT_EQ(r.req, Req::OpenPort) << "no request but the opens";
  }
}

// The sleep between status polls lasts at least the asked time; on Linux the sleeping thread
// asks for the shortest timer slack, so that it lasts little more.
TEST(DfuPollSleep, SleepsAtLeastTheTimeWithExactTimers) {
  std::thread sleeper([] {
    const auto start = std::chrono::steady_clock::now();
    plendrik::DfuPollSleep(3);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(3));
#if defined(__linux__)
    EXPECT_EQ(prctl(PR_GET_TIMERSLACK, 0UL, 0UL, 0UL, 0UL), 1);
#endif
  });
  sleeper.join();
#if defined(__linux__)
  // Only the thread that waited: the caller's own slack is left as it was.
  EXPECT_NE(prctl(PR_GET_TIMERSLACK, 0UL, 0UL, 0UL, 0UL), 1);
#endif
}

}  // namespace
}  // namespace fbdev
